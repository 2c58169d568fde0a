// What the monitor does to one process during a busy pass.
#pragma once

#include "platform.h"

// Names the process and, when its base name begins with a target prefix, sets it to below
// normal priority and widens its affinity to the system mask, each only if needed, logging each
// change. Never fails outward: failures are silent or written to stderr.
void ApplyTargetPolicy(DWORD processId);

// Returns the current local time as "YYYY-MM-DDThh:mm:ss" in a process-wide buffer that the
// next call overwrites. When the time cannot be converted to local time, or its year has no
// four digits, the text is UnknownTimestamp instead, so a log line never carries a wrong or
// overlong date.
const char* FormatLocalTimestamp();

extern const char UnknownTimestamp[];
