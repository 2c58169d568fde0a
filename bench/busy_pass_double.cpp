// A busy pass over the test double, against the number of processes: what the system's own code
// costs per process, with the platform's cost taken out of the picture as far as a double can.
#include "cpu_load_sampler.h"
#include "failure_memory.h"
#include "fake_platform.h"
#include "monitor.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <string>

namespace {

// With owed, every compiler is owed a throttling opt-out that is refused again at every pass, as a
// job object may refuse it for as long as the compiler runs.
void FillTable(int processes, bool owed) {
    fake::Reset();
    FailureMemory = FailureMemoryState{};
    for (int i = 0; i < processes; ++i) {
        fake::Process process;
        process.id = static_cast<DWORD>(4 * (i + 1));
        // One process in a hundred is a compiler, already calmed, so a pass changes nothing and
        // every pass costs the same.
        process.name = i % 100 == 0 ? "cl.exe" : "svchost.exe";
        process.priorityClass = i % 100 == 0 ? BELOW_NORMAL_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS;
        process.setInformationFails = owed;
        if (owed && i % 100 == 0) {
            FailureMemory.owedOptOuts[process.id] = OwedOptOut{process.created, false};
        }
        fake::Processes().push_back(process);
    }
}

void BusyPass(benchmark::State& state, bool owed) {
    const int processes = static_cast<int>(state.range(0));
    FillTable(processes, owed);
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<fake::Process> table = fake::Processes();
        fake::Reset();
        fake::SetPowerThrottlingRefusal(0);
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

void BusyPassCalmed(benchmark::State& state) {
    BusyPass(state, false);
}

void BusyPassOwed(benchmark::State& state) {
    BusyPass(state, true);
}

void Sizes(benchmark::internal::Benchmark* pass) {
    pass->RangeMultiplier(10)->Range(100, 100000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BusyPassCalmed)->Name("BusyPass")->Apply(Sizes);
BENCHMARK(BusyPassOwed)->Apply(Sizes);

} // namespace

// The log lines would only measure the terminal, so stdout goes nowhere, and stderr too once the
// arguments are read; results are read from --benchmark_out.
int main(int argc, char** argv) {
    if (freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (freopen("/dev/null", "w", stderr) == nullptr) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
