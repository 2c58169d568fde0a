#include "target_policy.h"

#include "log_line.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

// Split so that no pair of question marks before a dash reads as a trigraph.
const char UnknownTimestamp[] = "????"
                                "-"
                                "??"
                                "-"
                                "??"
                                "T??:??:??";

ReportedFailuresState ReportedFailures;

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

// The moment the process was created, or 0 where it cannot be read.
ULONGLONG CreationTime(HANDLE process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return static_cast<ULONGLONG>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

// Whether this failure was reported for this process before; if not, it is remembered, while
// there is room, and false is returned.
bool ReportedBefore(DWORD processId, ULONGLONG created, DWORD eventId) {
    std::vector<ReportedFailure>& failures = ReportedFailures.failures;
    for (const ReportedFailure& failure : failures) {
        if (failure.processId == processId && failure.created == created &&
            failure.eventId == eventId) {
            return true;
        }
    }
    if (failures.size() < MaxReportedFailures) {
        try {
            failures.push_back(ReportedFailure{created, processId, eventId});
        } catch (const std::bad_alloc&) {
            // Unremembered, it is reported again next time: nothing is lost.
        }
    }
    return false;
}

// A change refused for one process. The line goes to stderr at every refusal, as every failure
// does. The event says which process and why, and comes once per process: a job object's limits,
// say, refuse the same change on every busy pass for as long as the compiler runs, and tens of
// thousands of compilers in a build would otherwise bury everything else in the log.
void ReportProcessFailure(HANDLE process, const char* name, DWORD processId, DWORD eventId,
                          const char* line) {
    const DWORD error = GetLastError();
    fprintf(stderr, "%s\n", line);
    if (ReportedBefore(processId, CreationTime(process), eventId)) {
        return;
    }
    char id[16];
    snprintf(id, sizeof id, "%lu", static_cast<unsigned long>(processId));
    char code[16];
    snprintf(code, sizeof code, "%lu", static_cast<unsigned long>(error));
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    // The system's texts end with a line break, which the message table supplies itself.
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        --length;
    }
    text[length] = '\0';
    LPCSTR strings[] = {line, id, name, code, length > 0 ? text : "no description"};
    ReportLogEvent(EVENTLOG_ERROR_TYPE, eventId, strings, 5);
}

// On hybrid processors Windows chooses between performance and efficient cores by a process's
// quality of service, which it infers unless the process says otherwise: a compiler under a
// minimized IDE takes its window's low QoS, one under a build agent's service or in a container
// that of background work, and Windows 10 also sends below-normal background work to the
// efficient cores. Lowered by us, a compiler would lose the performance cores; opted out of
// execution-speed throttling it keeps high QoS, and so every processor. A Windows that does not
// know the class has no such heuristic to leave, and nothing is logged: before Windows 10 1709
// (its error is not documented; ERROR_INVALID_PARAMETER is the call's own for a class it does not
// know), and Wine (ERROR_INVALID_FUNCTION).
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
        ReportProcessFailure(process, name, processId, EventSetThrottlingFailed,
                             "error: SetProcessInformation() failed");
    }
}

// A compiler already below normal was put there by its build tool (MSBuild -lowPriority, say),
// which chose its scheduling itself: it is left as it is, its throttling included. One at idle is
// raised to below normal, but keeps its quality of service: idle with low QoS is what Task
// Manager's efficiency mode sets, the user's choice. A class that cannot be read (0) is taken for
// one above idle, as a compiler's nearly always is: it is set to below normal and opted out, so
// that the lowering does not cost it the performance cores.
void SetBelowNormalPriority(HANDLE process, const char* name, DWORD processId) {
    const DWORD previous = GetPriorityClass(process);
    if (previous == BELOW_NORMAL_PRIORITY_CLASS) {
        return;
    }
    if (SetPriorityClass(process, BELOW_NORMAL_PRIORITY_CLASS)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set priority class of '%s' (PID %lu) to below normal",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventPrioritySet, line);
        // Only a compiler lowered now: later passes find it below normal, so it is tagged once.
        if (previous != IDLE_PRIORITY_CLASS) {
            OptOutOfExecutionSpeedThrottling(process, name, processId);
        }
    } else {
        ReportProcessFailure(process, name, processId, EventSetPriorityFailed,
                             "error: SetPriorityClass() failed");
    }
}

// Whether the process's threads are in more than one processor group, as they may be from
// Windows 11 and Server 2022 on machines of more than 64 logical processors. An affinity mask names
// the processors of one group, and setting one would confine the whole process to that group. A
// Windows that cannot say (Wine: ERROR_CALL_NOT_IMPLEMENTED) is taken for one of a single group,
// as every machine of 64 processors or fewer is.
bool SpansProcessorGroups(HANDLE process) {
    USHORT groups[1] = {0};
    USHORT count = 1;
    return !GetProcessGroupAffinity(process, &count, groups) &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

void WidenAffinityToSystem(HANDLE process, const char* name, DWORD processId) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (SpansProcessorGroups(process) ||
        !GetProcessAffinityMask(process, &processMask, &systemMask) || processMask == systemMask) {
        return;
    }
    if (SetProcessAffinityMask(process, systemMask)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set affinity mask of '%s' (PID %lu) to 0x%04llx",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId),
                 static_cast<unsigned long long>(systemMask));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventAffinitySet, line);
    } else {
        ReportProcessFailure(process, name, processId, EventSetAffinityFailed,
                             "error: SetProcessAffinityMask() failed");
    }
}

// A name is printed inside a log line: a control character in it (which no Windows file name
// has) could end the line early and forge the next one. C0 and DEL are controls in every code
// page; the others of a platform's encoding (C1 in UTF-8 on Linux) are its layer's to replace.
void ReplaceControlCharacters(char* name) {
    for (; *name != '\0'; ++name) {
        if (static_cast<unsigned char>(*name) < 0x20 || *name == 0x7f) {
            *name = '?';
        }
    }
}

// Where the image's path is read: room for the longest Win32 path, 32,767 characters, so that a
// compiler installed deep in a tree is named; only its file name must fit the name buffer. In a
// double-byte code page a path that long may need more bytes, and its process stays unnamed. One
// buffer, for the service thread alone, as the timestamp's is.
char ImagePath[32768];

// Fills name with the file name of the process's image: what follows the path's last backslash.
// Leaves it alone when the path cannot be read or does not fit, or the file name does not fit.
void NameProcess(HANDLE process, char* name) {
    DWORD size = sizeof ImagePath;
    if (!QueryFullProcessImageNameA(process, 0, ImagePath, &size) || size >= sizeof ImagePath) {
        return;
    }
    ImagePath[size] = '\0';
    const char* separator = strrchr(ImagePath, '\\');
    const char* file = separator != nullptr ? separator + 1 : ImagePath;
    const size_t length = strlen(file);
    if (length >= MAX_PATH) {
        return;
    }
    memcpy(name, file, length + 1);
    ReplaceControlCharacters(name);
}

} // namespace

void ForgetExitedProcesses(const PidList& pids) {
    std::vector<ReportedFailure>& failures = ReportedFailures.failures;
    if (failures.empty()) {
        return;
    }
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [&pids](const ReportedFailure& failure) {
                                      return std::find(pids.begin(), pids.end(),
                                                       failure.processId) == pids.end();
                                  }),
                   failures.end());
}

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

    // Every process is asked for the one right that names it and no more: the name comes from the
    // path the system keeps for the process, not from the process's memory, so no process is read
    // (lsass.exe included), and a 32-bit caller names a 64-bit process too.
    HANDLE named = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (named != nullptr) {
        NameProcess(named, name);
    }

    for (const char* target : TargetImageNames) {
        if (strncmp(name, target, strlen(target)) != 0) {
            continue;
        }
        // Only a compiler is opened for change, with the rights its changes need. The first handle
        // is still open, and Windows gives no process the identifier of one that a handle still
        // holds: this is the process that was named. One that cannot be opened passes silently.
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_INFORMATION,
                                     FALSE, processId);
        if (process != nullptr) {
            SetBelowNormalPriority(process, name, processId);
            WidenAffinityToSystem(process, name, processId);
            CloseHandle(process);
        }
        break;
    }

    if (named != nullptr) {
        CloseHandle(named);
    }
}
