// The runtime part of the subset on POSIX: last error, its text, and calendar time.
#include "platform.h"

#include <cstring>
#include <ctime>

namespace {
thread_local DWORD LastError = 0;
} // namespace

extern "C" {

DWORD WINAPI GetLastError(void) {
    return LastError;
}
void WINAPI SetLastError(DWORD error) {
    LastError = error;
}

// The platform's texts of the errors this layer sets; any other has none here.
DWORD WINAPI FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD, LPSTR buffer,
                            DWORD size, void*) {
    static const struct {
        DWORD code;
        const char* text;
    } texts[] = {
        {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_NOT_ENOUGH_MEMORY,
         "Not enough memory resources are available to process this command.\r\n"},
        {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_PARTIAL_COPY,
         "Only part of a ReadProcessMemory or WriteProcessMemory request was completed.\r\n"},
    };
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || source != nullptr || buffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    for (const auto& entry : texts) {
        if (entry.code == messageId) {
            const size_t length = strlen(entry.text);
            if (length >= size) {
                SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            memcpy(buffer, entry.text, length + 1);
            return static_cast<DWORD>(length);
        }
    }
    SetLastError(317); // ERROR_MR_MID_NOT_FOUND
    return 0;
}

__time64_t _time64(__time64_t* destination) {
    const __time64_t now = static_cast<__time64_t>(time(nullptr));
    if (destination != nullptr) {
        *destination = now;
    }
    return now;
}

struct tm* _localtime64(const __time64_t* time) {
    // Per thread, as the platform's is.
    thread_local struct tm local;
    if (time == nullptr) {
        return nullptr;
    }
    const time_t converted = static_cast<time_t>(*time);
    if (static_cast<__time64_t>(converted) != *time) {
        return nullptr;
    }
    return localtime_r(&converted, &local);
}

} // extern "C"
