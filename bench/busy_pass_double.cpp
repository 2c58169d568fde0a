// A busy pass over the test double, against the number of processes: what the system's own code
// costs per process, with the platform's cost taken out of the picture as far as a double can.
#include "cpu_load_sampler.h"
#include "fake_platform.h"
#include "monitor.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <string>

namespace {

void FillTable(int processes) {
    fake::Reset();
    for (int i = 0; i < processes; ++i) {
        fake::Process process;
        process.id = static_cast<DWORD>(4 * (i + 1));
        // One process in a hundred is a compiler, already calmed, so a pass changes nothing and
        // every pass costs the same.
        process.name = i % 100 == 0 ? "cl.exe" : "svchost.exe";
        process.priorityClass = i % 100 == 0 ? BELOW_NORMAL_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS;
        fake::Processes().push_back(process);
    }
}

void BusyPass(benchmark::State& state) {
    const int processes = static_cast<int>(state.range(0));
    FillTable(processes);
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<fake::Process> table = fake::Processes();
        fake::Reset();
        fake::Processes() = table;
        CpuLoadSampler = CpuLoadSamplerState{};
        StopRequested = false;
        fake::ScriptCounterValues({99.0});
        fake::SetBeforeCall([](fake::Api api) {
            if (api == fake::Api::Sleep) {
                StopRequested = true;
            }
        });
        state.ResumeTiming();
        RunMonitorLoop(); // banner, priming, one busy pass
    }
    state.SetItemsProcessed(state.iterations() * processes);
}

BENCHMARK(BusyPass)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

} // namespace

// The log lines would only measure the terminal, so stdout goes nowhere; results are read from
// --benchmark_out.
int main(int argc, char** argv) {
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
