#include "target_policy.h"

#include "failure_memory.h"
#include "local_timestamp.h"
#include "log_line.h"
#include "process_name.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const TargetImageNames[] = {"cl.exe"};

// On hybrid processors Windows chooses between performance and efficient cores by a process's
// quality of service, which it infers unless the process says otherwise: a compiler under a
// minimized IDE takes its window's low QoS, one under a build agent's service or in a container
// that of background work, and Windows 10 also sends below-normal background work to the
// efficient cores. Lowered by us, a compiler would lose the performance cores; opted out of
// execution-speed throttling it keeps high QoS, and so every processor. A Windows that does not
// know the class has no such heuristic to leave, and nothing is logged: before Windows 10 1709
// (its error is not documented; ERROR_INVALID_PARAMETER is the call's own for a class it does not
// know), and Wine (ERROR_INVALID_FUNCTION). Returns whether the opt-out was made.
bool OptOutOfExecutionSpeedThrottling(HANDLE process, const char* name, DWORD processId) {
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_EXECUTION_SPEED;
    state.StateMask = 0;
    if (SetProcessInformation(process, ProcessPowerThrottling, &state, sizeof state)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set execution speed throttling of '%s' (PID %lu) to off",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventThrottlingSet, line);
        return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INVALID_PARAMETER && error != ERROR_INVALID_FUNCTION) {
        ReportProcessFailure(process, name, processId, EventSetThrottlingFailed,
                             "error: SetProcessInformation() failed");
        OweOptOut(process, processId);
    }
    return false;
}

// A compiler already below normal was put there by its build tool (MSBuild -lowPriority, say),
// which chose its scheduling itself: it is left as it is, its throttling included. One at idle is
// raised to below normal, but keeps its quality of service: idle with EcoQoS is what Task
// Manager's efficiency mode sets, the user's choice. A class that cannot be read (0) is taken for
// one above idle, as a compiler's nearly always is: it is set to below normal and opted out, so
// that the lowering does not cost it the performance cores.
void SetBelowNormalPriority(HANDLE process, const char* name, DWORD processId) {
    const DWORD previous = GetPriorityClass(process);
    if (previous == BELOW_NORMAL_PRIORITY_CLASS) {
        // Later passes find a compiler we lowered below normal too. One whose opt-out was refused
        // is owed it, and is tried again until the opt-out is made or it exits; one lowered by its
        // build tool is owed none. Where nothing was refused this asks nothing.
        if (OwesOptOut(process, processId) &&
            OptOutOfExecutionSpeedThrottling(process, name, processId)) {
            SettleOptOut(processId);
        }
        return;
    }
    if (SetPriorityClass(process, BELOW_NORMAL_PRIORITY_CLASS)) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "%s - set priority class of '%s' (PID %lu) to below normal",
                 FormatLocalTimestamp(), name, static_cast<unsigned long>(processId));
        LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventPrioritySet, line);
        // Only a compiler lowered now is opted out, not one raised from idle. Either way an opt-out
        // refused at an earlier lowering is settled: made now, or no longer wanted, since someone
        // raised the compiler in between or put it in efficiency mode. A refusal now is owed
        // again.
        if (previous == IDLE_PRIORITY_CLASS ||
            OptOutOfExecutionSpeedThrottling(process, name, processId)) {
            SettleOptOut(processId);
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

// The system mask is the one reported with the compiler's own mask: on a machine of one group,
// every processor. On a machine of several groups of unequal size, Windows 11 and Server 2022
// report the masks of the compiler's primary group, but for Windows 10 and Server 2019 the pages
// speak only of "the calling process", whose group may be another. A process mask is a subset of
// its group's system mask, so a compiler mask with a processor outside the system mask shows two
// groups' masks: setting that system mask would narrow the compiler, and it is left as it is.
void WidenAffinityToSystem(HANDLE process, const char* name, DWORD processId) {
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (SpansProcessorGroups(process) ||
        !GetProcessAffinityMask(process, &processMask, &systemMask) || processMask == systemMask ||
        (processMask & ~systemMask) != 0) {
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

} // namespace

void ApplyTargetPolicy(DWORD processId) {
    // "<unknown>" and zero bytes to the end: a process that cannot be named matches no prefix.
    char name[MAX_PATH] = "<unknown>";

    // Every process is asked for the one right that names it and no more, the right Microsoft
    // documents for QueryFullProcessImageName: no process is opened to read its memory
    // (lsass.exe included).
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
