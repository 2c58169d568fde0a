// What the monitor does to one process during a busy pass.
#pragma once

#include "pid_snapshot.h"
#include "platform.h"

#include <vector>

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

// A failure of a change, reported to the event log for one process once. The process is told by
// its identifier and its creation time, so that one that takes a gone process's identifier is
// another process; a process whose creation time cannot be read counts by its identifier alone.
struct ReportedFailure {
    ULONGLONG created;
    DWORD processId;
    DWORD eventId;
};
// The failures reported so far of processes that were in the latest process list: at most
// MaxReportedFailures of them (16 KB at 16 bytes each); past that, a failure is reported on every
// pass, as if it were new, rather than lost.
struct ReportedFailuresState {
    std::vector<ReportedFailure> failures;
};
extern ReportedFailuresState ReportedFailures;
constexpr size_t MaxReportedFailures = 1024;

// Forgets the failures of processes that are not in this busy pass's process list: they have
// exited, and their identifiers may go to new processes.
void ForgetExitedProcesses(const PidList& pids);

// Returns the current local time as "YYYY-MM-DDThh:mm:ss" in a process-wide buffer that the
// next call overwrites. When the time cannot be converted to local time, or its year has no
// four digits, the text is UnknownTimestamp instead, so a log line never carries a wrong or
// overlong date.
const char* FormatLocalTimestamp();

extern const char UnknownTimestamp[];
