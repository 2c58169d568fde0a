// The process handles: a table of those open, each holding a pidfd, so that the process it names
// stays the one it was opened for; the checks every call makes of a handle; and the caches that
// the processes of one busy pass share.
#include "linux_process.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>
#include <poll.h>
#include <set>
#include <sys/syscall.h>
#include <unistd.h>

namespace linux_process {

std::mutex PassLock;
PassState Pass;

namespace {

std::mutex Lock;
std::set<ProcessHandle*> Handles;

ProcessHandle* Lookup(HANDLE handle) {
    std::lock_guard<std::mutex> guard(Lock);
    ProcessHandle* process = static_cast<ProcessHandle*>(handle);
    return Handles.count(process) != 0 ? process : nullptr;
}

} // namespace

bool Exited(const ProcessHandle* process) {
    pollfd exited{process->pidfd, POLLIN, 0};
    return poll(&exited, 1, 0) != 0;
}

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

} // namespace linux_process

using namespace linux_process;

extern "C" {

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

} // extern "C"
