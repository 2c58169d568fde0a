// The change failures already reported as events, kept across busy passes so that each process's
// failure is reported once.
#pragma once

#include "pid_snapshot.h"
#include "platform.h"

#include <vector>

// One failure of a change, reported for one process. The process is told by its identifier and
// its creation time, since Windows gives an exited process's identifier to new processes; 0 is a
// creation time that could not be read, and such an entry is told by its identifier alone.
struct ReportedFailure {
    ULONGLONG created;
    DWORD processId;
    DWORD eventId;
};
// At most MaxRememberedFailures entries (16 KB at 16 bytes each); past that, a failure is reported
// on every pass, as if it were new, rather than lost.
struct FailureMemoryState {
    std::vector<ReportedFailure> failures;
};
extern FailureMemoryState FailureMemory;
constexpr size_t MaxRememberedFailures = 1024;

// The moment the process was created, or 0 where it cannot be read.
ULONGLONG ProcessCreationTime(HANDLE process);

// Answers whether this failure of this process was reported before and, when it was not,
// remembers it while there is room. Entries of an earlier holder of the identifier, one of another
// creation time, are forgotten first: that process has exited.
bool RecallOrRememberFailure(DWORD processId, ULONGLONG created, DWORD eventId);

// Whether this failure of this process is remembered; reads the creation time only when the
// identifier has an entry, so a pass in which nothing failed asks nothing of the process. Entries
// of an earlier holder of the identifier are forgotten on the way.
bool RemembersFailure(HANDLE process, DWORD processId, DWORD eventId);

// Forgets one failure of the process that now holds this identifier: the change has since been
// made.
void ForgetFailure(DWORD processId, DWORD eventId);

// Forgets the failures of processes that are not in this busy pass's process list: they have
// exited, and their identifiers may go to new processes.
void ForgetExitedProcesses(const PidList& pids);

// A change refused for one process. The line goes to stderr at every refusal, as every failure
// does. The event says which process and why, and comes once per process: a job object's limits,
// say, refuse the same change on every busy pass for as long as the compiler runs, and tens of
// thousands of compilers in a build would otherwise bury everything else in the log.
void ReportProcessFailure(HANDLE process, const char* name, DWORD processId, DWORD eventId,
                          const char* line);
