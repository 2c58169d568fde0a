#include "monitor.h"

#include "cpu_load_sampler.h"
#include "failure_memory.h"
#include "log_line.h"
#include "pid_snapshot.h"
#include "target_policy.h"
#include "wow64_warning.h"

#include <cstdio>
#include <new>

std::atomic<bool> StopRequested{false};

namespace {

constexpr DWORD PollIntervalMs = 5000;
constexpr int BusyThresholdPercent = 95;
constexpr DWORD InitialPidCapacity = 100;

} // namespace

bool NextPidCapacity(DWORD count, size_t largest, DWORD* capacity) {
    const unsigned long long next = 2ull * count + 1;
    if (next > MAXDWORD / sizeof(DWORD) || next > largest) {
        return false;
    }
    *capacity = static_cast<DWORD>(next);
    return true;
}

SnapshotResult TakePidSnapshot(PidList& pids) {
    DWORD capacity = InitialPidCapacity;
    try {
        for (;;) {
            pids.resize(capacity);
            DWORD bytesReturned = 0;
            if (!EnumProcesses(pids.data(), capacity * static_cast<DWORD>(sizeof(DWORD)),
                               &bytesReturned)) {
                return SnapshotEnumFailed;
            }
            const DWORD count = bytesReturned / static_cast<DWORD>(sizeof(DWORD));
            if (capacity > count) {
                pids.resize(count);
                return SnapshotComplete;
            }
            // A call that fills its storage may have had more to say.
            if (!NextPidCapacity(count, pids.max_size(), &capacity)) {
                return SnapshotNoMemory;
            }
        }
    } catch (const std::bad_alloc&) {
        return SnapshotNoMemory;
    }
}

void RunMonitorLoop() {
    OpenEventSource();
    LogLine(stdout, EVENTLOG_INFORMATION_TYPE, EventBanner,
            "keeping cl.exe processes scheduled accross all CPU cores and running with below "
            "normal priority");
    WarnIfUnderWow64();
    // Opens the query and takes the baseline, so the first pass measures a whole interval.
    (void)SampleCpuUsage();

    while (!StopRequested.load()) {
        Sleep(PollIntervalMs);
        if (SampleCpuUsage() < BusyThresholdPercent) {
            continue;
        }

        PidList pids;
        const SnapshotResult snapshot = TakePidSnapshot(pids);
        if (snapshot == SnapshotEnumFailed) {
            LogLine(stderr, EVENTLOG_ERROR_TYPE, EventEnumProcessesFailed,
                    "error: EnumProcesses() failed");
            return;
        }
        if (snapshot == SnapshotNoMemory) {
            // The next busy pass tries again with a fresh list.
            LogLine(stderr, EVENTLOG_ERROR_TYPE, EventPidListNoMemory,
                    "error: not enough memory for the process list");
            continue;
        }
        ForgetExitedProcesses(pids);
        for (const DWORD processId : pids) {
            if (processId != 0) {
                ApplyTargetPolicy(processId);
            }
        }
    }
}
