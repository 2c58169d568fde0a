#include "local_timestamp.h"

#include "platform.h"

#include <cstdio>
#include <cstring>

// Split so that no pair of question marks before a dash reads as a trigraph.
const char UnknownTimestamp[] = "????"
                                "-"
                                "??"
                                "-"
                                "??"
                                "T??:??:??";

namespace {

// Exactly the 19 characters of a timestamp and its terminating zero.
char TimestampBuffer[20];

bool IsPrintableTime(const struct tm& local) {
    const int year = local.tm_year + 1900;
    return year >= 0 && year <= 9999 && local.tm_mon >= 0 && local.tm_mon <= 11 &&
           local.tm_mday >= 1 && local.tm_mday <= 31 && local.tm_hour >= 0 && local.tm_hour <= 23 &&
           local.tm_min >= 0 && local.tm_min <= 59 && local.tm_sec >= 0 && local.tm_sec <= 60;
}

} // namespace

const char* FormatLocalTimestamp() {
    const __time64_t now = _time64(nullptr);
    const struct tm* local = _localtime64(&now);
    if (local != nullptr && IsPrintableTime(*local)) {
        const int written =
            snprintf(TimestampBuffer, sizeof TimestampBuffer, "%04d-%02d-%02dT%02d:%02d:%02d",
                     local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
                     local->tm_min, local->tm_sec);
        if (written == static_cast<int>(sizeof TimestampBuffer) - 1) {
            return TimestampBuffer;
        }
    }
    memcpy(TimestampBuffer, UnknownTimestamp, sizeof TimestampBuffer);
    return TimestampBuffer;
}
