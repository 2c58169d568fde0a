// What the monitor does to one process during a busy pass.
#pragma once

#include "platform.h"

// Names the process through a handle that may only query it and, when its base name begins with a
// target prefix, opens it again to set it to below normal priority (opting it out of
// execution-speed throttling in the same step, and on later passes until that succeeds) and to
// widen its affinity to every processor of its group, each only if needed, logging each change.
// Never fails outward: failures are silent or written to stderr.
void ApplyTargetPolicy(DWORD processId);
