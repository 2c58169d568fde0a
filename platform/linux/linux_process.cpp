// The process status and process calls of the subset on Linux. A process handle holds a pidfd,
// so the process it names stays the one it was opened for: every query and change first checks
// that this very process is still there, and a change whose process exits meanwhile fails.
#include "linux_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sched.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// What EnumProcessModules hands out for the one module it knows, the executable.
const HMODULE MainModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));

struct ProcessHandle {
    pid_t pid;
    int pidfd;
    DWORD access;
};

std::mutex Lock;
std::set<ProcessHandle*> Handles;

ProcessHandle* Lookup(HANDLE handle) {
    std::lock_guard<std::mutex> guard(Lock);
    ProcessHandle* process = static_cast<ProcessHandle*>(handle);
    return Handles.count(process) != 0 ? process : nullptr;
}

// Whether the handle's process has exited (its pidfd is readable): from then on its identifier
// may be another process's at any moment.
bool Exited(const ProcessHandle* process) {
    pollfd exited{process->pidfd, POLLIN, 0};
    return poll(&exited, 1, 0) != 0;
}

// The handle's process, if it is open with the rights asked for and has not exited.
ProcessHandle* Usable(HANDLE handle, DWORD access) {
    ProcessHandle* process = Lookup(handle);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((process->access & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    if (Exited(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return process;
}

// Confirms after a change that the process was there throughout it.
BOOL StillThere(const ProcessHandle* process) {
    if (Exited(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case EPERM:
    case EACCES:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

bool ReadFile(const std::string& path, std::string* text, size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    text->clear();
    char buffer[4096];
    while (text->size() < limit) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

std::string ProcPath(pid_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// The identifiers of the process's threads, or false when the process is gone.
bool Threads(pid_t pid, std::vector<pid_t>* threads) {
    DIR* tasks = opendir(ProcPath(pid, "task").c_str());
    if (tasks == nullptr) {
        return false;
    }
    threads->clear();
    while (const dirent* entry = readdir(tasks)) {
        char* end = nullptr;
        const long tid = strtol(entry->d_name, &end, 10);
        if (*end == '\0' && tid > 0) {
            threads->push_back(static_cast<pid_t>(tid));
        }
    }
    closedir(tasks);
    return !threads->empty();
}

// Applies a change to every thread, again for threads that appeared meanwhile, until a round
// finds none new. Threads that exit during the round are not failures. The process is checked
// right before each change: an identifier is only another process's once this one has exited,
// been reaped and the number handed out again, and Linux offers no pidfd form of these calls to
// close that last instant between the check and the change.
bool ForEveryThread(const ProcessHandle* process, int (*change)(pid_t tid, const void* what),
                    const void* what) {
    std::set<pid_t> done;
    for (int round = 0; round < 16; ++round) {
        std::vector<pid_t> threads;
        if (!Threads(process->pid, &threads)) {
            errno = ESRCH;
            return false;
        }
        bool fresh = false;
        for (const pid_t tid : threads) {
            if (done.count(tid) != 0) {
                continue;
            }
            fresh = true;
            if (Exited(process)) {
                errno = ESRCH;
                return false;
            }
            if (change(tid, what) != 0 && errno != ESRCH) {
                return false;
            }
            done.insert(tid);
        }
        if (!fresh) {
            return true;
        }
    }
    return true;
}

int SetNice(pid_t tid, const void* what) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), *static_cast<const int*>(what));
}

int SetAffinity(pid_t tid, const void* what) {
    return sched_setaffinity(tid, sizeof(cpu_set_t), static_cast<const cpu_set_t*>(what));
}

bool SystemMask(DWORD_PTR* mask) {
    std::string online;
    return ReadFile("/sys/devices/system/cpu/online", &online, 4096) &&
           linux_platform::ParseCpuList(online, mask) && *mask != 0;
}

DWORD_PTR MaskOf(const cpu_set_t& set) {
    DWORD_PTR mask = 0;
    for (unsigned cpu = 0; cpu < sizeof(DWORD_PTR) * 8; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            mask |= static_cast<DWORD_PTR>(1) << cpu;
        }
    }
    return mask;
}

} // namespace

extern "C" {

BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, LPDWORD bytesReturned) {
    if (bytesReturned == nullptr || (processIds == nullptr && bytes != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    // As the platform's does: a buffer that is too small is filled, and the call succeeds.
    const size_t room = bytes / sizeof(DWORD);
    size_t written = 0;
    int error = 0;
    while (written < room) {
        // The end of the list and a failure to read it both give null; only a failure sets errno.
        errno = 0;
        const dirent* entry = readdir(proc);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        char* end = nullptr;
        const unsigned long pid = strtoul(entry->d_name, &end, 10);
        if (*end == '\0' && entry->d_name[0] >= '1' && entry->d_name[0] <= '9' && pid <= MAXDWORD) {
            processIds[written++] = static_cast<DWORD>(pid);
        }
    }
    closedir(proc);
    if (error != 0) {
        SetLastError(ErrorFromErrno(error));
        return FALSE;
    }
    *bytesReturned = static_cast<DWORD>(written * sizeof(DWORD));
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL, DWORD processId) {
    if (processId == 0 || processId > static_cast<DWORD>(INT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const pid_t pid = static_cast<pid_t>(processId);
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
        return nullptr;
    }
    fcntl(pidfd, F_SETFD, FD_CLOEXEC);
    ProcessHandle* process = new (std::nothrow) ProcessHandle{pid, pidfd, desiredAccess};
    if (process == nullptr) {
        close(pidfd);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(Lock);
    Handles.insert(process);
    return process;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    ProcessHandle* process = nullptr;
    {
        std::lock_guard<std::mutex> guard(Lock);
        process = static_cast<ProcessHandle*>(object);
        if (Handles.erase(process) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    close(process->pidfd);
    delete process;
    return TRUE;
}

BOOL WINAPI EnumProcessModules(HANDLE handle, HMODULE* modules, DWORD bytes, LPDWORD bytesNeeded) {
    const ProcessHandle* process = Usable(handle, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (process == nullptr) {
        return FALSE;
    }
    if (bytesNeeded == nullptr || (modules == nullptr && bytes != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A kernel thread has no executable and no command line: there is no module to name.
    char target[16];
    const bool hasExe =
        readlink(ProcPath(process->pid, "exe").c_str(), target, sizeof target) >= 0 ||
        errno == EACCES;
    std::string commandLine;
    if (!hasExe || !ReadFile(ProcPath(process->pid, "cmdline"), &commandLine, 1) ||
        commandLine.empty()) {
        SetLastError(ERROR_PARTIAL_COPY);
        return FALSE;
    }
    if (bytes >= sizeof(HMODULE)) {
        modules[0] = MainModule;
    }
    *bytesNeeded = sizeof(HMODULE);
    return StillThere(process);
}

DWORD WINAPI GetModuleBaseNameA(HANDLE handle, HMODULE module, LPSTR baseName, DWORD size) {
    const ProcessHandle* process = Usable(handle, PROCESS_QUERY_INFORMATION | PROCESS_VM_READ);
    if (process == nullptr) {
        return 0;
    }
    if (baseName == nullptr || size == 0 || (module != nullptr && module != MainModule)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    linux_platform::ProcessNames names;
    char exe[4096];
    const ssize_t length = readlink(ProcPath(process->pid, "exe").c_str(), exe, sizeof exe);
    if (length > 0 && static_cast<size_t>(length) < sizeof exe) {
        names.exeKnown = true;
        names.exePath.assign(exe, static_cast<size_t>(length));
    }
    std::string comm;
    std::string commandLine;
    if (!ReadFile(ProcPath(process->pid, "comm"), &comm, 64) ||
        !ReadFile(ProcPath(process->pid, "cmdline"), &commandLine, 4096)) {
        SetLastError(ERROR_PARTIAL_COPY);
        return 0;
    }
    if (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    names.comm = comm;
    names.argv0 = commandLine.substr(0, commandLine.find('\0'));
    // Named from procfs by identifier: the name counts only if the process is still this one.
    if (!StillThere(process)) {
        return 0;
    }
    const std::string name = linux_platform::BaseName(names);
    const size_t copied = name.size() < size ? name.size() : size - 1;
    memcpy(baseName, name.data(), copied);
    baseName[copied] = '\0';
    return static_cast<DWORD>(copied);
}

DWORD WINAPI GetPriorityClass(HANDLE handle) {
    const ProcessHandle* process = Usable(handle, PROCESS_QUERY_INFORMATION);
    if (process == nullptr) {
        return 0;
    }
    std::vector<pid_t> threads;
    if (!Threads(process->pid, &threads)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // The class of the process's most urgent thread: it is below normal only when all are.
    bool realtime = false;
    bool any = false;
    int lowestNice = 19;
    for (const pid_t tid : threads) {
        const int policy = sched_getscheduler(tid);
        if (policy == SCHED_FIFO || policy == SCHED_RR) {
            realtime = true;
        }
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
        if (errno != 0) {
            continue; // the thread exited meanwhile
        }
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
    if (!ForEveryThread(process, SetNice, &nice)) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return StillThere(process);
}

BOOL WINAPI GetProcessAffinityMask(HANDLE handle, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
    const ProcessHandle* process = Usable(handle, PROCESS_QUERY_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    DWORD_PTR system = 0;
    std::vector<pid_t> threads;
    if (processMask == nullptr || systemMask == nullptr || !SystemMask(&system) ||
        !Threads(process->pid, &threads)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The processors that every thread may use: the process is on all of them only when each
    // of its threads is.
    DWORD_PTR shared = system;
    bool any = false;
    for (const pid_t tid : threads) {
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(tid, sizeof set, &set) != 0) {
            continue;
        }
        any = true;
        shared &= MaskOf(set);
    }
    if (!any || !StillThere(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *processMask = shared;
    *systemMask = system;
    return TRUE;
}

BOOL WINAPI SetProcessAffinityMask(HANDLE handle, DWORD_PTR processMask) {
    const ProcessHandle* process = Usable(handle, PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    DWORD_PTR system = 0;
    if (processMask == 0 || !SystemMask(&system) || (processMask & ~system) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned cpu = 0; cpu < sizeof(DWORD_PTR) * 8; ++cpu) {
        if ((processMask >> cpu) & 1) {
            CPU_SET(cpu, &set);
        }
    }
    if (!ForEveryThread(process, SetAffinity, &set)) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return StillThere(process);
}

} // extern "C"
