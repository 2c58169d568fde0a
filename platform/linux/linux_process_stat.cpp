// A process's /proc/PID/stat, and the boot time in /proc/stat that dates its start.
#include "linux_platform.h"

namespace linux_platform {

bool ParseProcessTimes(const std::string& text, ProcessTimes* times) {
    // "PID (COMM) STATE PPID ...": fields 14 and 15 are utime and stime, 22 starttime.
    const size_t end = text.rfind(')');
    if (end == std::string::npos || text.size() < end + 4 || text[end + 1] != ' ' ||
        text[end + 2] == ' ') {
        return false;
    }
    const char* cursor = text.c_str() + end + 3; // past the state, one letter
    unsigned long long fields[23] = {};
    for (int field = 4; field <= 22; ++field) {
        if (*cursor != ' ') {
            return false;
        }
        ++cursor;
        // The priority and the nice value may be negative; no field read here is.
        const bool negative = *cursor == '-';
        cursor += negative ? 1 : 0;
        if (!ParseUnsigned(cursor, &fields[field])) {
            return false;
        }
    }
    times->user = fields[14];
    times->kernel = fields[15];
    times->start = fields[22];
    return true;
}

bool ParseBootTime(const std::string& text, std::uint64_t* seconds) {
    const size_t line = text.find("\nbtime ");
    if (line == std::string::npos) {
        return false;
    }
    const char* cursor = text.c_str() + line + 7;
    unsigned long long value = 0;
    if (!ParseUnsigned(cursor, &value) || (*cursor != '\n' && *cursor != '\0')) {
        return false;
    }
    *seconds = value;
    return true;
}

} // namespace linux_platform
