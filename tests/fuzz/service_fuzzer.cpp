// Drives a whole service life over the double from arbitrary bytes: process tables with names of
// any bytes, masks and failures; counter statuses and values; failed platform calls; control
// codes at arbitrary moments. Whatever the input, the promises of the service must hold.
#include "capture.h"
#include "cpu_load_sampler.h"
#include "failure_memory.h"
#include "fake_platform.h"
#include "log_line.h"
#include "monitor.h"
#include "service_host.h"
#include "target_policy.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <limits>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

using fake::Api;

// The service stops itself no later than this sleep, so every input ends.
constexpr int LastSleep = 8;

[[noreturn]] void Broken(const std::string& promise, const std::string& detail) {
    fprintf(stderr, "broken promise: %s\n%s\n", promise.c_str(), detail.c_str());
    abort();
}

std::vector<std::string> WholeLines(const std::string& text) {
    if (!text.empty() && text.back() != '\n') {
        Broken("every line ends with a newline", text);
    }
    return Lines(text);
}

bool IsStdoutLine(const std::string& line) {
    static const std::regex sample("CPU usage: ( *-?[0-9]+)%");
    static const std::regex change("([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}|"
                                   "\\?{4}-\\?{2}-\\?{2}T\\?{2}:\\?{2}:\\?{2}) - set "
                                   "(priority class of '[^\\x00-\\x1f\\x7f]*' \\(PID [0-9]+\\) to "
                                   "below normal|affinity mask of '[^\\x00-\\x1f\\x7f]*' \\(PID "
                                   "[0-9]+\\) to 0x[0-9a-f]{4,}|execution speed throttling of "
                                   "'[^\\x00-\\x1f\\x7f]*' \\(PID [0-9]+\\) to off)");
    std::smatch match;
    if (std::regex_match(line, match, sample)) {
        return match[1].length() >= 3;
    }
    return line == "keeping cl.exe processes scheduled accross all CPU cores and running with "
                   "below normal priority" ||
           std::regex_match(line, change);
}

bool IsStderrLine(const std::string& line) {
    static const std::regex status("(PdhOpenQuery|PhdCollectQueryData|PdhGetFormattedCounterValue)"
                                   "\\(\\) \\*\\*\\*Error: 0x[0-9A-F]+");
    return line == "error: EnumProcesses() failed" || line == "error: SetPriorityClass() failed" ||
           line == "error: SetProcessAffinityMask() failed" ||
           line == "error: SetProcessInformation() failed" ||
           line == "error: not enough memory for the process list" ||
           line == "PDH_INVALID_HANDLE" || line == "PDH_NO_DATA" || line == "Unknown error" ||
           std::regex_match(line, status);
}

double CounterValue(FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
        return std::numeric_limits<double>::quiet_NaN();
    case 1:
        return input.ConsumeBool() ? INFINITY : -INFINITY;
    case 2:
        return input.ConsumeFloatingPoint<double>();
    default:
        return input.ConsumeFloatingPointInRange<double>(-10.0, 200.0);
    }
}

void Reset() {
    fake::Reset();
    CpuLoadSampler = CpuLoadSamplerState{};
    EventLog = EventLogState{};
    FailureMemory = FailureMemoryState{};
    StopRequested = false;
    ServiceStatus = SERVICE_STATUS{};
    ServiceStatusHandle = nullptr;
    CheckPointCounter = 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reset();
    FuzzedDataProvider input(data, size);

    const DWORD classes[] = {IDLE_PRIORITY_CLASS,   BELOW_NORMAL_PRIORITY_CLASS,
                             NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS,
                             HIGH_PRIORITY_CLASS,   REALTIME_PRIORITY_CLASS};
    DWORD_PTR systemMask = input.ConsumeIntegral<DWORD_PTR>();
    if (systemMask == 0) {
        systemMask = 1;
    }
    fake::SetSystemMask(systemMask);
    const int processes = input.ConsumeIntegralInRange<int>(0, 24);
    for (int i = 0; i < processes; ++i) {
        fake::Process process;
        process.id = input.ConsumeIntegralInRange<DWORD>(0, 64);
        process.name = input.ConsumeBool()
                           ? std::string("cl.exe") + input.ConsumeRandomLengthString(254)
                           : input.ConsumeRandomLengthString(260);
        process.priorityClass =
            input.ConsumeBool() ? input.PickValueInArray(classes) : input.ConsumeIntegral<DWORD>();
        process.processMask = input.ConsumeIntegral<DWORD_PTR>();
        const uint8_t failures = input.ConsumeIntegral<uint8_t>();
        process.openFails = failures & 0x01;
        process.changeOpenFails = failures & 0x02;
        process.nameFails = failures & 0x04;
        process.getPriorityFails = failures & 0x08;
        process.setPriorityFails = failures & 0x10;
        process.getAffinityFails = failures & 0x20;
        process.setAffinityFails = failures & 0x40;
        process.setInformationFails = failures & 0x80;
        fake::Processes().push_back(process);
    }
    std::deque<fake::CounterRead> reads;
    const int samples = input.ConsumeIntegralInRange<int>(0, LastSleep);
    for (int i = 0; i < samples; ++i) {
        const PDH_STATUS status =
            input.ConsumeIntegralInRange<int>(0, 3) == 0 ? input.ConsumeIntegral<PDH_STATUS>() : 0;
        reads.push_back(fake::CounterRead{status, CounterValue(input)});
    }
    fake::ScriptCounter(reads);
    fake::SetPowerThrottlingRefusal(
        input.PickValueInArray<DWORD>({0, ERROR_INVALID_PARAMETER, ERROR_INVALID_FUNCTION}));
    fake::SetTime(input.ConsumeIntegral<int64_t>() % 400000000000LL);
    fake::SetLocaltimeFails(input.ConsumeIntegralInRange<int>(0, 7) == 0);

    int closeFailures = 0;
    const int failures = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < failures; ++i) {
        const Api api = static_cast<Api>(
            input.ConsumeIntegralInRange<int>(0, static_cast<int>(Api::Count) - 1));
        const int call = input.ConsumeIntegralInRange<int>(1, 40);
        fake::FailCall(api, call, input.ConsumeIntegral<PDH_STATUS>());
        closeFailures += api == Api::CloseHandle;
    }

    // Controls: on the n-th call of some function, from the thread making that call.
    struct Control {
        Api api;
        int call;
        DWORD code;
    };
    std::vector<Control> controls;
    const int sent = input.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < sent; ++i) {
        const Api api = input.PickValueInArray(
            {Api::Sleep, Api::PdhCollectQueryData, Api::OpenProcess, Api::SetPriorityClass});
        controls.push_back(
            Control{api, input.ConsumeIntegralInRange<int>(1, 20),
                    input.ConsumeBool() ? SERVICE_CONTROL_STOP : input.ConsumeIntegral<DWORD>()});
    }
    fake::SetBeforeCall([controls](Api api) {
        if (api != Api::Sleep && api != Api::PdhCollectQueryData && api != Api::OpenProcess &&
            api != Api::SetPriorityClass) {
            return;
        }
        const int call = fake::CallCount(api);
        for (const Control& control : controls) {
            if (control.api == api && control.call == call) {
                fake::SendControl(control.code);
            }
        }
        if (api == Api::Sleep && call == LastSleep) {
            fake::SendControl(SERVICE_CONTROL_STOP);
        }
    });

    const std::vector<fake::Process> before = fake::Processes();
    std::string out;
    std::string err;
    BOOL dispatched = FALSE;
    {
        OutputCapture capture;
        SERVICE_TABLE_ENTRYA table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
        dispatched = StartServiceCtrlDispatcherA(table);
        out = capture.Stdout();
        err = capture.Stderr();
    }

    // Every opened handle is closed, save those whose close was made to fail.
    if (fake::HandlesStillOpen() > closeFailures || !fake::HandleMisuse().empty()) {
        Broken("every handle is closed", std::to_string(fake::HandlesStillOpen()));
    }
    for (const std::string& line : WholeLines(out)) {
        if (!IsStdoutLine(line)) {
            Broken("stdout lines have the service's shapes", line);
        }
    }
    for (const std::string& line : WholeLines(err)) {
        if (!IsStderrLine(line)) {
            Broken("stderr lines have the service's shapes", line);
        }
    }

    // Every line but the samples is offered to the event log once a source is registered, as
    // one event per line (two for a failed collection), with the line's own text and a type
    // that matches its stream. A failed change names its process and error after the line, and
    // is offered once per process: a repeat of it is on stderr alone.
    std::vector<std::string> informationLines;
    std::vector<std::string> errorLines;
    for (const fake::Event& event : fake::Events()) {
        if (event.type != EVENTLOG_INFORMATION_TYPE && event.type != EVENTLOG_ERROR_TYPE) {
            Broken("events are information or errors", std::to_string(event.type));
        }
        const bool aboutAProcess = event.id >= 200 && event.id < 300;
        if (aboutAProcess && event.strings.size() != 5) {
            Broken("a failed change names its process and error", std::to_string(event.id));
        }
        std::vector<std::string>& lines =
            event.type == EVENTLOG_ERROR_TYPE ? errorLines : informationLines;
        lines.insert(lines.end(), event.strings.begin(),
                     aboutAProcess ? event.strings.begin() + 1 : event.strings.end());
    }
    std::vector<std::string> reportable;
    for (const std::string& line : WholeLines(out)) {
        if (line.rfind("CPU usage: ", 0) != 0) {
            reportable.push_back(line);
        }
    }
    std::vector<std::string> unreported;
    size_t next = 0;
    for (const std::string& line : WholeLines(err)) {
        if (next < errorLines.size() && line == errorLines[next]) {
            ++next;
        } else if (line.rfind("error: Set", 0) != 0) {
            unreported.push_back(line);
        }
    }
    const bool registered = fake::EventSourcesOpen() == 1;
    if (informationLines != (registered ? reportable : std::vector<std::string>{}) ||
        next != errorLines.size() || (registered && !unreported.empty())) {
        Broken("the event log is offered the lines that matter, as written", out + err);
    }

    // Only processes whose name begins with cl.exe change, and only to the policy's values.
    const std::vector<fake::Process>& after = fake::Processes();
    for (size_t i = 0; i < before.size(); ++i) {
        const bool classChanged = after[i].priorityClass != before[i].priorityClass;
        const bool maskChanged = after[i].processMask != before[i].processMask;
        if (!classChanged && !maskChanged) {
            continue;
        }
        if (strncmp(before[i].name.c_str(), "cl.exe", 6) != 0) {
            Broken("only compilers change", before[i].name);
        }
        if ((classChanged && after[i].priorityClass != BELOW_NORMAL_PRIORITY_CLASS) ||
            (maskChanged && after[i].processMask != systemMask)) {
            Broken("changes are below normal and the system mask", before[i].name);
        }
    }
    // The monitoring ends on a stop, or where the process list failed; the SCM hears so.
    const std::vector<fake::StatusReport> reports = fake::StatusReports();
    if (!dispatched || reports.empty()) {
        if (!reports.empty() || !out.empty()) {
            Broken("no dispatcher or no handler, no service", out);
        }
        return 0;
    }
    if (!StopRequested.load() && err.find("error: EnumProcesses() failed\n") == std::string::npos) {
        Broken("the loop ends only on a stop or a failed process list", err);
    }
    if (fake::Sleeps().size() > static_cast<size_t>(LastSleep)) {
        Broken("no pass begins after the stop", std::to_string(fake::Sleeps().size()));
    }
    const SERVICE_STATUS& first = reports.front().status;
    const SERVICE_STATUS& last = reports.back().status;
    if (first.dwCurrentState != SERVICE_START_PENDING || first.dwCheckPoint != 1 ||
        first.dwWaitHint != 1000 || first.dwControlsAccepted != 0 || reports.size() < 3 ||
        reports[1].status.dwCurrentState != SERVICE_RUNNING ||
        last.dwCurrentState != SERVICE_STOPPED || last.dwCheckPoint != 0) {
        Broken("the reports begin with start-pending and running and end with stopped",
               std::to_string(reports.size()));
    }
    DWORD checkPoint = 2;
    for (size_t i = 0; i < reports.size(); ++i) {
        const SERVICE_STATUS& status = reports[i].status;
        if (status.dwServiceType != SERVICE_WIN32_OWN_PROCESS) {
            Broken("every report is of an own-process service", std::to_string(i));
        }
        if (i >= 2 && i + 1 < reports.size() &&
            (status.dwCurrentState != SERVICE_STOP_PENDING ||
             status.dwCheckPoint != checkPoint++)) {
            Broken("stop-pending reports carry rising check-points", std::to_string(i));
        }
        if (i + 1 < reports.size() &&
            (status.dwWin32ExitCode != 0 || status.dwServiceSpecificExitCode != 0)) {
            Broken("only the stopped report carries an exit code", std::to_string(i));
        }
    }
    const bool failure = last.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
                         last.dwServiceSpecificExitCode == ProcessListUnreadableExitCode;
    const bool clean = last.dwWin32ExitCode == 0 && last.dwServiceSpecificExitCode == 0;
    if (!(failure || clean) || (failure && StopRequested.load()) ||
        (clean && !StopRequested.load())) {
        Broken("the stopped report says why the service stopped", err);
    }
    return 0;
}
