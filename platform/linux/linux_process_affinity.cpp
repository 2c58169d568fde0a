// Affinity: a process's masks from every thread's affinity, and a new mask given to every thread.
#include "linux_process.h"

#include <cerrno>
#include <sched.h>

using namespace linux_process;

namespace {

// A processor set in the kernel's form, for `count` processors, empty; null when memory is short.
cpu_set_t* NewKernelCpuSet(size_t count) {
    cpu_set_t* set = CPU_ALLOC(count);
    if (set != nullptr) {
        CPU_ZERO_S(CPU_ALLOC_SIZE(count), set);
    }
    return set;
}

// One thread's affinity, or false when the thread has gone. The kernel refuses a set smaller
// than its own, whose size it does not tell: 1024 processors first, then twice as many.
bool ThreadAffinity(pid_t tid, linux_platform::CpuSet* cpus) {
    for (size_t count = 1024; count <= linux_platform::MaxCpus; count *= 2) {
        cpu_set_t* set = NewKernelCpuSet(count);
        if (set == nullptr) {
            return false;
        }
        const size_t bytes = CPU_ALLOC_SIZE(count);
        const bool read = sched_getaffinity(tid, bytes, set) == 0;
        const int error = errno;
        if (read) {
            cpus->assign(count, false);
            for (size_t cpu = 0; cpu < count; ++cpu) {
                (*cpus)[cpu] = CPU_ISSET_S(cpu, bytes, set);
            }
        }
        CPU_FREE(set);
        if (read || error != EINVAL) {
            return read;
        }
    }
    return false;
}

// What SetAffinity gives every thread.
struct KernelCpuSet {
    size_t bytes;
    const cpu_set_t* set;
};

int SetAffinity(pid_t tid, void* what) {
    const KernelCpuSet* cpus = static_cast<const KernelCpuSet*>(what);
    return sched_setaffinity(tid, cpus->bytes, cpus->set);
}

} // namespace

extern "C" {

BOOL WINAPI GetProcessAffinityMask(HANDLE handle, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
    ProcessHandle* process = Open(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    const std::vector<pid_t>* threads =
        processMask == nullptr || systemMask == nullptr ? nullptr : QueriedThreads(process);
    if (threads == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<linux_platform::CpuSet> affinities;
    for (const pid_t tid : *threads) {
        linux_platform::CpuSet cpus;
        if (ThreadAffinity(tid, &cpus)) {
            affinities.push_back(cpus);
        }
    }
    if (affinities.empty() || !ReadProcessors(process) || !StillThere(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    linux_platform::AffinityMasks(process->allowed, affinities, processMask, systemMask);
    return TRUE;
}

BOOL WINAPI SetProcessAffinityMask(HANDLE handle, DWORD_PTR processMask) {
    ProcessHandle* process = Usable(handle, PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    linux_platform::CpuSet cpus;
    if (!ReadProcessors(process) ||
        !linux_platform::AffinityForMask(process->online, process->allowed, processMask, &cpus)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A set smaller than the kernel's own is taken as if the rest were empty.
    cpu_set_t* set = NewKernelCpuSet(cpus.size());
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    KernelCpuSet kernel{CPU_ALLOC_SIZE(cpus.size()), set};
    for (size_t cpu = 0; cpu < cpus.size(); ++cpu) {
        if (cpus[cpu]) {
            CPU_SET_S(cpu, kernel.bytes, set);
        }
    }
    const bool changed = ForEveryThread(process, SetAffinity, &kernel);
    const int error = errno;
    CPU_FREE(set);
    if (!changed) {
        SetLastError(ErrorFromErrno(error));
        return FALSE;
    }
    return StillThere(process);
}

} // extern "C"
