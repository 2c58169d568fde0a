// Priority: a process's priority class as the nice values of its threads, read from the most
// urgent thread and set on every one, never raising any.
#include "linux_process.h"

#include <cerrno>
#include <cstdint>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace linux_process;

namespace {

// A thread's policy as sched_getscheduler gives it, without the flag that it adds for a thread
// set to reset its policy on fork; -1 where the thread has gone.
int PolicyOf(pid_t tid) {
    const int policy = sched_getscheduler(tid);
    return policy < 0 ? policy : policy & ~SCHED_RESET_ON_FORK;
}

bool IsRealTime(int policy) {
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

// Finds whether a thread is under a real-time policy, which no nice value reaches.
int FindRealTime(pid_t tid, void* what) {
    const int policy = PolicyOf(tid);
    if (policy < 0) {
        return -1;
    }
    *static_cast<bool*>(what) = *static_cast<bool*>(what) || IsRealTime(policy);
    return 0;
}

// What SetNice gives every thread, and whether it changed any.
struct NiceChange {
    int nice;
    bool changed = false;
};

// Lowers a thread to the nice value, and never raises one: a thread already at that value or
// lower in priority is left as it is. The service holds CAP_SYS_NICE and names processes by what
// they call themselves, so raising one would let any user have a process of theirs named cl.exe
// lifted past their RLIMIT_NICE, or past a batch slice's Nice=. A thread under a deadline policy
// has its nice value set too: the kernel keeps it, and the thread has it if it returns to a normal
// policy.
int SetNice(pid_t tid, void* what) {
    NiceChange* change = static_cast<NiceChange*>(what);
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) {
        return -1;
    }
    if (current >= change->nice) {
        return 0;
    }
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), change->nice) != 0) {
        return -1;
    }
    change->changed = true;
    return 0;
}

// A thread's scheduling policy and nice value, or false when the thread has gone: one call of
// sched_getattr, or where that is refused (a kernel before 3.14, a filter) the two older calls.
// sched_getattr gives the nice value only for the normal policies (other, batch, idle), and 0 for
// the rest: a deadline thread would read as normal however often it was lowered, and be lowered
// again on every pass. For those the nice value is asked for itself.
bool ThreadScheduling(pid_t tid, int* policy, int* nice) {
    struct {
        std::uint32_t size;
        std::uint32_t policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime;
        std::uint64_t deadline;
        std::uint64_t period;
    } attributes{};
    if (syscall(SYS_sched_getattr, tid, &attributes, sizeof attributes, 0) == 0) {
        *policy = static_cast<int>(attributes.policy);
        if (*policy == SCHED_OTHER || *policy == SCHED_BATCH || *policy == SCHED_IDLE) {
            *nice = attributes.nice;
            return true;
        }
    } else if (errno == ESRCH) {
        return false;
    } else {
        *policy = PolicyOf(tid);
    }
    errno = 0;
    *nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return errno == 0;
}

} // namespace

extern "C" {

// A query reads first and checks after: a process there after the reads was there throughout them,
// so a check before them would add nothing.
DWORD WINAPI GetPriorityClass(HANDLE handle) {
    ProcessHandle* process = Open(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return 0;
    }
    const std::vector<pid_t>* threads = QueriedThreads(process);
    if (threads == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The class of the process's most urgent thread: it is below normal only when all are.
    bool realtime = false;
    bool any = false;
    int lowestNice = 19;
    for (const pid_t tid : *threads) {
        int policy = 0;
        int nice = 0;
        if (!ThreadScheduling(tid, &policy, &nice)) {
            continue; // the thread exited meanwhile
        }
        realtime = realtime || IsRealTime(policy);
        any = true;
        lowestNice = nice < lowestNice ? nice : lowestNice;
    }
    if (!any || !StillThere(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return realtime ? REALTIME_PRIORITY_CLASS : linux_platform::PriorityClassForNice(lowestNice);
}

BOOL WINAPI SetPriorityClass(HANDLE handle, DWORD priorityClass) {
    const ProcessHandle* process = Usable(handle, PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    int nice = 0;
    if (!linux_platform::NiceForPriorityClass(priorityClass, &nice)) {
        // Real-time scheduling is never granted through a priority class here.
        SetLastError(priorityClass == REALTIME_PRIORITY_CLASS ? ERROR_NOT_SUPPORTED
                                                              : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A real-time thread stays ahead of every normal one whatever its nice value, so no nice value
    // gives the process the class asked for: nothing is changed, and the failure says so. Saying it
    // was set would be said again on every pass.
    bool realtime = false;
    if (!ForEveryThread(process, FindRealTime, &realtime)) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (realtime) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    NiceChange change{nice};
    if (!ForEveryThread(process, SetNice, &change)) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (!StillThere(process)) {
        return FALSE;
    }
    if (change.changed) {
        SayTaskGroupOnce(process);
    }
    return TRUE;
}

// Linux has no quality of service inferred for a process that it would need opting out of: the
// layer answers as a Windows that does not know the class, so the policy changes and logs nothing.
BOOL WINAPI SetProcessInformation(HANDLE handle, PROCESS_INFORMATION_CLASS, LPVOID, DWORD) {
    if (Usable(handle, PROCESS_SET_INFORMATION) != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return FALSE;
}

} // extern "C"
