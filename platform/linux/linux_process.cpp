// The process status and process calls of the subset on Linux. A process handle holds a pidfd,
// so the process it names stays the one it was opened for: every answer and every change is
// checked against it, and one that may concern whatever process took the identifier after this
// one exited fails instead.
#include "linux_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sched.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// What naming found, once per handle.
enum class Naming {
    Unread,
    Named,    // imagePath holds the image's path
    NoModule, // a kernel thread: no executable, no command line
    Gone,     // the process exited before it could be named
};

struct ProcessHandle {
    pid_t pid;
    int pidfd;
    DWORD access;
    Naming naming;
    std::string imagePath;
    // The online processors and those the process may use, once processorsRead.
    bool processorsRead;
    linux_platform::CpuSet online;
    linux_platform::CpuSet allowed;
    // The threads that the queries speak of, once threadsRead.
    bool threadsRead;
    std::vector<pid_t> threads;
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

// The handle's process, if the handle is open with the rights asked for.
ProcessHandle* Open(HANDLE handle, DWORD access) {
    ProcessHandle* process = Lookup(handle);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((process->access & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return process;
}

// The handle's process, if the handle is open with the rights asked for and the process has not
// exited.
ProcessHandle* Usable(HANDLE handle, DWORD access) {
    ProcessHandle* process = Open(handle, access);
    if (process == nullptr) {
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

std::string ProcPath(pid_t pid, const char* entry) {
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// Reads the process's own words for what it is: its command name and, where that may have been
// cut, its command line's first argument. False for a process without them, a kernel thread.
// The kernel keeps 15 bytes of a name, so only a 15-byte command name can be the start of a
// longer one, which argv[0] may hold in full. The command line, empty for a kernel thread, is
// read to tell one only for a process that may be one.
bool ReadOwnWords(pid_t pid, bool mayBeKernelThread, linux_platform::ProcessNames* names) {
    std::string commandLine;
    bool lineRead = false;
    if (mayBeKernelThread) {
        lineRead = linux_platform::ReadFileStart(ProcPath(pid, "cmdline"), &commandLine, 4096);
        if (!lineRead || commandLine.empty()) {
            return false;
        }
    }
    // One read holds it all: the kernel keeps 15 bytes of a name, and gives them at once.
    std::string comm;
    if (!linux_platform::ReadFileStart(ProcPath(pid, "comm"), &comm, 64)) {
        return false;
    }
    if (!comm.empty() && comm.back() == '\n') {
        comm.pop_back();
    }
    const bool mayBeCut = comm.size() == 15;
    if (mayBeCut && !lineRead) {
        lineRead = linux_platform::ReadFileStart(ProcPath(pid, "cmdline"), &commandLine, 4096);
    }
    names->comm = comm;
    names->argv0 = mayBeCut && lineRead ? commandLine.substr(0, commandLine.find('\0')) : "";
    return true;
}

// What PIDFD_GET_INFO gives (Linux 6.13 and later), in its first form, which every later kernel
// still takes.
struct PidfdInfo {
    std::uint64_t mask;
    std::uint64_t cgroupId;
    std::uint32_t pid, tgid, ppid;
    std::uint32_t ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
    std::uint32_t spare;
};
constexpr unsigned long PidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr std::uint64_t PidfdInfoCreds = 1 << 1;

// The process's credentials and parent, where the kernel gives them with its pidfd.
bool PidfdCredentials(const ProcessHandle* process, PidfdInfo* info) {
    *info = PidfdInfo{};
    info->mask = PidfdInfoCreds;
    return ioctl(process->pidfd, PidfdGetInfo, info) == 0 && (info->mask & PidfdInfoCreds) != 0;
}

// The service's own credentials: whether it holds CAP_SYS_PTRACE, which lets it read every
// process's executable link, and its user and group.
struct OwnCredentials {
    bool readEvery = false;
    uid_t user = 0;
    gid_t group = 0;
};

OwnCredentials ReadOwnCredentials() {
    OwnCredentials own;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    own.readEvery = syscall(SYS_capget, &header, data) == 0 &&
                    (data[CAP_SYS_PTRACE / 32].effective & (1u << (CAP_SYS_PTRACE % 32))) != 0;
    own.user = geteuid();
    own.group = getegid();
    return own;
}

// Whether the service may read the executable link of a process of these credentials: without
// CAP_SYS_PTRACE, only where its real, effective and saved user and group are all the service's
// (ptrace(2), "Ptrace access mode checking"). (A process in a user namespace that the service's
// user owns would be readable all the same; the unit's dynamic user owns none.)
bool MayReadExecutable(const OwnCredentials& own, const PidfdInfo& info) {
    return info.ruid == own.user && info.euid == own.user && info.suid == own.user &&
           info.rgid == own.group && info.egid == own.group && info.sgid == own.group;
}

// What the processes of a busy pass share: the service's own credentials, and for the compilers
// the online processors, the mount table, and each cgroup's members and cpuset. A pass begins with
// the list of processes, so EnumProcesses empties it: each is read at most once a pass, however
// many compilers share it, and a change between passes is seen at the next.
struct PassState {
    bool credentialsRead = false;
    OwnCredentials credentials;
    bool onlineRead = false;
    bool onlineFound = false;
    linux_platform::CpuSet online;
    linux_platform::CgroupCache cgroups;
};
std::mutex PassLock;
PassState Pass;

// The service's own credentials, read once a pass.
OwnCredentials PassCredentials() {
    std::lock_guard<std::mutex> guard(PassLock);
    if (!Pass.credentialsRead) {
        Pass.credentialsRead = true;
        Pass.credentials = ReadOwnCredentials();
    }
    return Pass.credentials;
}

// Names the process the first time a call needs it, and keeps the answer for the handle's life:
// a busy pass names every process on the machine, when no processor time is to spare. An
// ordinary process costs one readlink of its executable and one poll of the pidfd; its own words
// are read only where the executable does not name it: a Wine loader, or an executable that
// cannot be read (another user's process without CAP_SYS_PTRACE, or a kernel thread). The poll
// comes after the reads: a process still there then was there throughout, so what they read was
// its own and not a newcomer's under the same identifier.
//
// As the unit runs it, with CAP_SYS_NICE alone, nearly every process is another user's, and a
// readlink that must fail cost about as much as the floor's whole naming of a process: where the
// pidfd gives the process's credentials, a link that cannot be read is not tried, and its parent
// tells a process that may be a kernel thread (every one is a child of kthreadd, process 2, which
// has none), where otherwise its session would be asked (every kernel thread is in session 0).
Naming NameOf(ProcessHandle* process) {
    if (process->naming != Naming::Unread) {
        return process->naming;
    }
    const OwnCredentials own = PassCredentials();
    PidfdInfo info;
    const bool credentialsKnown = !own.readEvery && PidfdCredentials(process, &info);
    const bool unreadable = credentialsKnown && !MayReadExecutable(own, info);
    linux_platform::ProcessNames names;
    char exe[4096];
    const ssize_t length =
        unreadable ? -1 : readlink(ProcPath(process->pid, "exe").c_str(), exe, sizeof exe);
    const int error = unreadable ? EACCES : length < 0 ? errno : 0;
    if (length > 0 && static_cast<size_t>(length) < sizeof exe) {
        names.exeKnown = true;
        names.exePath.assign(exe, static_cast<size_t>(length));
    }
    Naming naming = Naming::Named;
    if (error == ENOENT) {
        naming = Naming::NoModule; // no executable: a kernel thread, or a process gone
    } else if (!names.exeKnown || linux_platform::NeedsOwnWords(names.exePath)) {
        const bool mayBeKernelThread =
            !names.exeKnown &&
            (credentialsKnown ? info.ppid == 0 || info.ppid == 2 : getsid(process->pid) == 0);
        if (!ReadOwnWords(process->pid, mayBeKernelThread, &names)) {
            naming = Naming::NoModule;
        }
    }
    if (Exited(process)) {
        naming = Naming::Gone;
    }
    if (naming == Naming::Named) {
        process->imagePath = linux_platform::ImagePath(names);
    }
    process->naming = naming;
    return naming;
}

// Whether the process has a name; if not, the error says why: it has no image to name (a kernel
// thread), or it has gone, as for every other call on a process that has exited.
bool Named(ProcessHandle* process) {
    switch (NameOf(process)) {
    case Naming::Named:
        return true;
    case Naming::NoModule:
        SetLastError(ERROR_PARTIAL_COPY);
        return false;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
}

// The identifiers of the process's threads, or false when the process is gone. The directory is
// read with getdents64 itself, sparing the fstat that readdir makes, until it says there is no
// more: procfs also stops short of a full buffer when a signal is pending (a stop and continue, the
// freezer, a debugger), so a buffer with room left does not mean the listing is complete.
bool Threads(pid_t pid, std::vector<pid_t>* threads) {
    const int tasks = open(ProcPath(pid, "task").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) {
        return false;
    }
    threads->clear();
    alignas(dirent64) char buffer[8192];
    ssize_t n = 0;
    do {
        n = getdents64(tasks, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
            char* end = nullptr;
            const long tid = strtol(entry->d_name, &end, 10);
            if (*end == '\0' && tid > 0) {
                threads->push_back(static_cast<pid_t>(tid));
            }
            at += entry->d_reclen;
        }
    } while (n > 0);
    close(tasks);
    return n >= 0 && !threads->empty();
}

// The threads that the queries of one handle speak of, listed once: the priority and the affinity
// that a busy pass reads right after each other are then those of the same threads, and the
// directory is not listed twice for them. A change lists them anew, since it must reach every
// thread there is when it is made.
const std::vector<pid_t>* QueriedThreads(ProcessHandle* process) {
    if (!process->threadsRead) {
        if (!Threads(process->pid, &process->threads)) {
            return nullptr;
        }
        process->threadsRead = true;
    }
    return &process->threads;
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

// Lowers a thread to the nice value, and never raises one: a thread already at that value or
// lower in priority is left as it is. The service holds CAP_SYS_NICE and names processes by what
// they call themselves, so raising one would let any user have a process of theirs named cl.exe
// lifted past their RLIMIT_NICE, or past a batch slice's Nice=.
int SetNice(pid_t tid, const void* what) {
    const int nice = *static_cast<const int*>(what);
    errno = 0;
    const int current = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) {
        return -1;
    }
    return current >= nice ? 0 : setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

// A thread's scheduling policy and nice value, or false when the thread has gone: one call of
// sched_getattr, or where that is refused (a kernel before 3.14, a filter) the two older calls.
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
        *nice = attributes.nice;
        return true;
    }
    if (errno == ESRCH) {
        return false;
    }
    *policy = sched_getscheduler(tid);
    errno = 0;
    *nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    return errno == 0;
}

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

int SetAffinity(pid_t tid, const void* what) {
    const KernelCpuSet* cpus = static_cast<const KernelCpuSet*>(what);
    return sched_setaffinity(tid, cpus->bytes, cpus->set);
}

// The online processors, every one of them, however many.
bool OnlineCpus(linux_platform::CpuSet* online) {
    std::string text;
    return linux_platform::ReadKernelFile("/sys/devices/system/cpu/online", &text, 65536) &&
           linux_platform::ParseCpuSet(text, online) &&
           std::find(online->begin(), online->end(), true) != online->end();
}

// The cgroup files, read whole; only a file that is not there is absent.
linux_platform::FileRead ReadCgroupFile(const std::string& path, size_t limit, std::string* text) {
    errno = 0;
    if (linux_platform::ReadKernelFile(path, text, limit)) {
        return linux_platform::FileRead::Read;
    }
    return errno == ENOENT ? linux_platform::FileRead::Absent : linux_platform::FileRead::Failed;
}

// The online processors, read once a pass; false where they cannot be read. PassLock is held.
bool PassOnlineCpus() {
    if (!Pass.onlineRead) {
        Pass.onlineRead = true;
        Pass.onlineFound = OnlineCpus(&Pass.online);
    }
    return Pass.onlineFound;
}

// Reads the online processors and those the process may use: the online ones within its cpuset,
// which is what the kernel lets a new affinity keep; every online one when the cpuset cannot be
// read, so that the layer never names fewer than the kernel allows. Read once per handle, so that
// the masks a query reports and those a change is given speak of the same processors, even if the
// cpuset changes in between: the system mask that a query reported then means every online
// processor, which the kernel keeps within the cpuset it has by then. False where the online list
// cannot be read.
bool ReadProcessors(ProcessHandle* process) {
    if (process->processorsRead) {
        return true;
    }
    std::lock_guard<std::mutex> guard(PassLock);
    if (!PassOnlineCpus()) {
        return false;
    }
    const linux_platform::CpuSet& online = Pass.online;
    linux_platform::CpuSet cpuset;
    linux_platform::CpuSet allowed(online.size(), false);
    bool any = false;
    if (linux_platform::FindCpuset(static_cast<unsigned long>(process->pid), ReadCgroupFile,
                                   &Pass.cgroups, &cpuset)) {
        for (size_t cpu = 0; cpu < online.size() && cpu < cpuset.size(); ++cpu) {
            allowed[cpu] = online[cpu] && cpuset[cpu];
            any = any || allowed[cpu];
        }
    }
    process->online = online;
    process->allowed = any ? allowed : online;
    process->processorsRead = true;
    return true;
}

// The boot time, read once: the kernel derives btime from the wall clock, so that a later reading
// moves with every step of the clock (time synchronisation after boot, say), and with it the
// creation time of every process, which would then pass for another. False while it cannot be
// read.
bool BootTime(std::uint64_t* seconds) {
    static std::mutex lock;
    static bool read = false;
    static std::uint64_t boot = 0;
    std::lock_guard<std::mutex> guard(lock);
    std::string system;
    if (!read && linux_platform::ReadKernelFile("/proc/stat", &system, 1 << 20) &&
        linux_platform::ParseBootTime(system, &boot)) {
        read = true;
    }
    *seconds = boot;
    return read;
}

} // namespace

extern "C" {

BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, LPDWORD bytesReturned) {
    if (bytesReturned == nullptr || (processIds == nullptr && bytes != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(PassLock);
        Pass = PassState();
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
    // The full query right grants the limited one, as on Windows.
    const DWORD granted = (desiredAccess & PROCESS_QUERY_INFORMATION) != 0
                              ? desiredAccess | PROCESS_QUERY_LIMITED_INFORMATION
                              : desiredAccess;
    ProcessHandle* process = new (std::nothrow)
        ProcessHandle{pid, -1, granted, Naming::Unread, std::string(), false, {}, {}, false, {}};
    if (process == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Windows gives no process the identifier of one that a handle still holds, so a second handle
    // to an identifier is of the process the first was opened to. Linux hands an identifier out
    // again once its process is reaped, handles or not: where a handle to this identifier holds a
    // process that has exited, a new descriptor may be another process's, and the open fails as
    // it would on Windows, where no process could have the identifier yet. Where the held process
    // has not exited, it is the one the identifier names, and the new handle shares its
    // descriptor: the policy's second handle to each compiler then costs no descriptor of its own.
    std::lock_guard<std::mutex> guard(Lock);
    for (const ProcessHandle* held : Handles) {
        if (held->pid != pid) {
            continue;
        }
        if (Exited(held)) {
            delete process;
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        process->pidfd = held->pidfd;
        break;
    }
    // pidfd_open makes the descriptor close-on-exec itself.
    if (process->pidfd < 0) {
        process->pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (process->pidfd < 0) {
            SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ErrorFromErrno(errno));
            delete process;
            return nullptr;
        }
    }
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
        // The descriptor is closed with the last handle that shares it.
        const bool shared =
            std::any_of(Handles.begin(), Handles.end(), [process](const ProcessHandle* held) {
                return held->pidfd == process->pidfd;
            });
        if (!shared) {
            close(process->pidfd);
        }
    }
    delete process;
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

// Linux has no WOW64: a 32-bit build reads every process's names in /proc as a 64-bit one does.
BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process) {
    if (process != GetCurrentProcess() || wow64Process == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *wow64Process = FALSE;
    return TRUE;
}

BOOL WINAPI QueryFullProcessImageNameA(HANDLE handle, DWORD flags, LPSTR exeName, PDWORD size) {
    ProcessHandle* process = Open(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (flags != 0 || size == nullptr || (exeName == nullptr && *size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!Named(process)) {
        return FALSE;
    }
    const std::string& path = process->imagePath;
    if (path.size() >= *size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(exeName, path.c_str(), path.size() + 1);
    *size = static_cast<DWORD>(path.size());
    return TRUE;
}

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
        realtime = realtime || policy == SCHED_FIFO || policy == SCHED_RR;
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

// Linux has no quality of service inferred for a process that it would need opting out of: the
// layer answers as a Windows that does not know the class, so the policy changes and logs nothing.
BOOL WINAPI SetProcessInformation(HANDLE handle, PROCESS_INFORMATION_CLASS, LPVOID, DWORD) {
    if (Usable(handle, PROCESS_SET_INFORMATION) != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return FALSE;
}

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
    const KernelCpuSet kernel{CPU_ALLOC_SIZE(cpus.size()), set};
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

// The times are the kernel's, in clock ticks, made FILETIMEs: 100 ns since 1601 for the creation,
// from the boot time as first read and the start after boot, so that a process keeps one creation
// time for the service's life, whatever the clock does; durations for the others. A process that
// has not exited has no exit time.
BOOL WINAPI GetProcessTimes(HANDLE handle, LPFILETIME creationTime, LPFILETIME exitTime,
                            LPFILETIME kernelTime, LPFILETIME userTime) {
    const ProcessHandle* process = Usable(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    std::string stat;
    linux_platform::ProcessTimes times;
    std::uint64_t boot = 0;
    if (creationTime == nullptr || exitTime == nullptr || kernelTime == nullptr ||
        userTime == nullptr || ticks <= 0 ||
        !linux_platform::ReadKernelFile(ProcPath(process->pid, "stat"), &stat, 4096) ||
        !linux_platform::ParseProcessTimes(stat, &times) || !BootTime(&boot) ||
        !StillThere(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::uint64_t perTick = 10000000 / static_cast<std::uint64_t>(ticks);
    const std::uint64_t epoch = 116444736000000000; // 1970 in 100 ns since 1601
    const auto filetime = [](std::uint64_t value) {
        return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    };
    *creationTime = filetime(epoch + boot * 10000000 + times.start * perTick);
    *exitTime = filetime(0);
    *kernelTime = filetime(times.kernel * perTick);
    *userTime = filetime(times.user * perTick);
    return TRUE;
}

// Linux has no processor groups: every process is in one, whose number is that of the block of 64
// its masks speak of, and its affinity spans every processor it may use, in every block.
BOOL WINAPI GetProcessGroupAffinity(HANDLE handle, PUSHORT groupCount, PUSHORT groupArray) {
    ProcessHandle* process = Open(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    // Where no processor is numbered 64 or more, every process is in group 0, whatever its cpuset:
    // the answer needs nothing of the process.
    bool onlyGroupZero = false;
    {
        std::lock_guard<std::mutex> guard(PassLock);
        onlyGroupZero = PassOnlineCpus() && Pass.online.size() <= sizeof(DWORD_PTR) * 8;
    }
    if (groupCount == nullptr ||
        (!onlyGroupZero && (!ReadProcessors(process) || !StillThere(process)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (*groupCount < 1) {
        *groupCount = 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    groupArray[0] =
        onlyGroupZero ? 0 : static_cast<USHORT>(linux_platform::MaskBlock(process->allowed));
    *groupCount = 1;
    return TRUE;
}

} // extern "C"
