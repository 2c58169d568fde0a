// The timestamp at the head of every change line.
#pragma once

// Returns the current local time as "YYYY-MM-DDThh:mm:ss" in a process-wide buffer that the
// next call overwrites. When the time cannot be converted to local time, or its year has no
// four digits, the text is UnknownTimestamp instead, so a log line never carries a wrong or
// overlong date.
const char* FormatLocalTimestamp();

extern const char UnknownTimestamp[];
