// The list of processes: /proc's numbered entries. Listing them begins a busy pass, so it empties
// what the processes of the last pass shared.
#include "linux_process.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>

using namespace linux_process;

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

} // extern "C"
