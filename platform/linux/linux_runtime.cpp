// The runtime part of the subset on POSIX: last error and calendar time.
#include "platform.h"

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
