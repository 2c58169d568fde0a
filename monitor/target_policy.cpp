#include "target_policy.h"

#include "log_line.h"

#include <cstdio>
#include <cstring>

// Split so that no pair of question marks before a dash reads as a trigraph.
const char UnknownTimestamp[] = "????"
                                "-"
                                "??"
                                "-"
                                "??"
                                "T??:??:??";

namespace {

const char* const TargetImageNames[] = {"cl.exe"};

// Exactly the 19 characters of a timestamp and its terminating zero.
char TimestampBuffer[20];

bool IsPrintableTime(const struct tm& local) {
    const int year = local.tm_year + 1900;
    return year >= 0 && year <= 9999 && local.tm_mon >= 0 && local.tm_mon <= 11 &&
           local.tm_mday >= 1 && local.tm_mday <= 31 && local.tm_hour >= 0 && local.tm_hour <= 23 &&
           local.tm_min >= 0 && local.tm_min <= 59 && local.tm_sec >= 0 && local.tm_sec <= 60;
}

// On hybrid processors Windows chooses between performance and efficient cores by a process's
// quality of service, which it infers unless the process says otherwise: a windowless background
// process, as a compiler under a build agent or in a container is, counts as low, and Windows 10
// also sends below-normal background work to the efficient cores. Lowered by us, a compiler would
// lose the performance cores; opted out of execution-speed throttling it keeps high QoS, and so
// every processor. A Windows that does not know the class (before Windows 10 1709:
// ERROR_INVALID_PARAMETER; Wine: ERROR_INVALID_FUNCTION) has no such heuristic to leave, and
// nothing is logged.
void OptOutOfExecutionSpeedThrottling(HANDLE process, const char* name, DWORD processId) {
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
    state.StateMask = 0;
    if (SetProcessInformation(process, ProcessPowerThrottling, &state, sizeof state)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set execution speed throttling of '%s' (PID %lu) to off",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventThrottlingSet, line);
        return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION) {
        LogLine(stderr, EVENTLOG_ERROR_TYPE, EventSetThrottlingFailed,
                "error: SetProcessInformation() failed");
    }
}

// A compiler already below normal was put there by its build tool (MSBuild -lowPriority, say),
// which chose its scheduling itself: it is left as it is, its throttling included.
void SetBelowNormalPriority(HANDLE process, const char* name, DWORD processId) {
    // A failed query (0) is not below normal either, so it leads to the attempt to set it.
    if (GetPriorityClass(process) == BELOW_NORMAL_PRIORITY_CLASS) {
        return;
    }
    if (SetPriorityClass(process, BELOW_NORMAL_PRIORITY_CLASS)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set priority class of '%s' (PID %lu) to below normal",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventPrioritySet, line);
        // Only a compiler lowered now: later passes find it below normal, so it is tagged once.
        OptOutOfExecutionSpeedThrottling(process, name, processId);
    } else {
        LogLine(stderr, EVENTLOG_ERROR_TYPE, EventSetPriorityFailed,
                "error: SetPriorityClass() failed");
    }
}

void WidenAffinityToSystem(HANDLE process, const char* name, DWORD processId) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (!GetProcessAffinityMask(process, &processMask, &systemMask) || processMask == systemMask) {
        return;
    }
    if (SetProcessAffinityMask(process, systemMask)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set affinity mask of '%s' (PID %lu) to 0x%04llx",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId),
                 static_cast<unsigned long long>(systemMask));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventAffinitySet, line);
    } else {
        LogLine(stderr, EVENTLOG_ERROR_TYPE, EventSetAffinityFailed,
                "error: SetProcessAffinityMask() failed");
    }
}

// A name is printed inside a log line: a control character in it (which no Windows file name
// has) could end the line early and forge the next one.
void ReplaceControlCharacters(char* name) {
    for (; *name != '\0'; ++name) {
        if (static_cast<unsigned char>(*name) < 0x20 || *name == 0x7f) {
            *name = '?';
        }
    }
}

} // namespace

void WarnIfUnderWow64() {
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
        // The message table holds the whole text: there is no line to go with it.
        ReportLogEvent(EVENTLOG_WARNING_TYPE, EventUnderWow64, nullptr, 0);
    }
}

const char* FormatLocalTimestamp() {
    const __time64_t now = _time64(nullptr);
    const struct tm* local = _localtime64(&now);
    if (local != nullptr && IsPrintableTime(*local)) {
        const int written =
            snprintf(TimestampBuffer, sizeof TimestampBuffer, "%04d-%02d-%02dT%02d:%02d:%02d",
                     local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
                     local->tm_min, local->tm_sec);
        if (written == static_cast<int>(sizeof TimestampBuffer) - 1) {
            return TimestampBuffer;
        }
    }
    memcpy(TimestampBuffer, UnknownTimestamp, sizeof TimestampBuffer);
    return TimestampBuffer;
}

void ApplyTargetPolicy(DWORD processId) {
    // "<unknown>" and zero bytes to the end: a process that cannot be named matches no prefix.
    char name[MAX_PATH] = "<unknown>";

    HANDLE process = OpenProcess(
        PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process != nullptr) {
        // Room for one module handle: the first module is the process's executable.
        HMODULE module = nullptr;
        DWORD bytesNeeded = 0;
        if (EnumProcessModules(process, &module, sizeof module, &bytesNeeded)) {
            (void)GetModuleBaseNameA(process, module, name, sizeof name);
            // The result is not examined; whatever the call left, the name stays a string.
            name[sizeof name - 1] = '\0';
            ReplaceControlCharacters(name);
        }
    }

    for (const char* target : TargetImageNames) {
        if (strncmp(name, target, strlen(target)) != 0) {
            continue;
        }
        SetBelowNormalPriority(process, name, processId);
        WidenAffinityToSystem(process, name, processId);
        break;
    }

    if (process != nullptr) {
        CloseHandle(process);
    }
}
