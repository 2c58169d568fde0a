// Naming a process: its image path as Windows would give it, read once per handle from its
// executable link or, where that does not name it, from its own words; and the service's own
// credentials, which tell which links it may read.
#include "linux_process.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <linux/capability.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace linux_process;

namespace {

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

} // namespace

extern "C" {

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

} // extern "C"
