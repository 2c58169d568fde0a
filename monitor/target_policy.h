// What the monitor does to one process during a busy pass.
#pragma once

#include "platform.h"

// Names the process through a handle that may only query it and, when its base name begins with a
// target prefix, opens it again to set it to below normal priority (opting it out of
// execution-speed throttling in the same step) and to widen its affinity to the system mask, each
// only if needed, logging each change. Never fails outward: failures are silent or written to
// stderr.
void ApplyTargetPolicy(DWORD processId);

// Reports one warning event when this process is a 32-bit one under WOW64 on 64-bit Windows. It
// names and changes 64-bit compilers there too, but WOW64 shows a 32-bit process at most 32
// processors, so on a machine of more the affinity it sets is that view; the event tells the
// administrator to install the 64-bit exe. Raised on every such start: WOW64 hides from the process
// whether the machine has more than 32. The streams are left alone, and a failed query passes
// silently.
void WarnIfUnderWow64();

// Returns the current local time as "YYYY-MM-DDThh:mm:ss" in a process-wide buffer that the
// next call overwrites. When the time cannot be converted to local time, or its year has no
// four digits, the text is UnknownTimestamp instead, so a log line never carries a wrong or
// overlong date.
const char* FormatLocalTimestamp();

extern const char UnknownTimestamp[];
