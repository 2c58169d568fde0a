// The change failures already reported as events, kept across busy passes so that each process's
// failure is reported once, and the throttling opt-outs still owed to compilers.
#pragma once

#include "pid_snapshot.h"
#include "platform.h"

#include <unordered_map>
#include <vector>

// One failure of a change, reported for one process. The process is told by its identifier and
// its creation time, since Windows gives an exited process's identifier to new processes; 0 is a
// creation time that could not be read. Where either side's time is 0, the entry and the process
// are told by the identifier alone: an unread time cannot show another process, and taking it for
// one would report the failure again, with a second entry.
struct ReportedFailure {
    ULONGLONG created;
    DWORD processId;
    DWORD eventId;
};
// A throttling opt-out refused to a compiler that the service lowered, owed to it and tried again
// on every busy pass until it is made, no longer wanted, or the compiler exits. It is kept apart
// from the reported failures, out of their bound: a full memory would otherwise leave the compiler
// throttled without a word, below normal and with nothing to say it is owed. There is at most one
// per identifier, so no more than the live compilers, and it is told from a later holder of its
// identifier as a reported failure is. Only a failed allocation loses one.
struct OwedOptOut {
    ULONGLONG created;
    bool listed; // in this busy pass's process list; false between passes
};
// At most MaxRememberedFailures reported failures (16 KB at 16 bytes each); past that, a failure is
// reported on every pass, as if it were new, rather than lost. The owed opt-outs are looked up by
// identifier, so a busy pass over many compilers costs no more per compiler as more are owed.
struct FailureMemoryState {
    std::vector<ReportedFailure> failures;
    std::unordered_map<DWORD, OwedOptOut> owedOptOuts;
};
extern FailureMemoryState FailureMemory;
constexpr size_t MaxRememberedFailures = 1024;

// The moment the process was created, or 0 where it cannot be read.
ULONGLONG ProcessCreationTime(HANDLE process);

// Answers whether this failure of this process was reported before and, when it was not,
// remembers it while there is room. Entries of an earlier holder of the identifier, one of another
// creation time, are forgotten first: that process has exited.
bool RecallOrRememberFailure(DWORD processId, ULONGLONG created, DWORD eventId);

// Remembers that the throttling opt-out of this process is owed, with its creation time as read
// now, in place of an earlier holder's of the identifier.
void OweOptOut(HANDLE process, DWORD processId);

// Whether the throttling opt-out of this process is owed; reads the creation time only when the
// identifier has an owed opt-out, so a pass in which nothing was refused asks nothing of the
// process. An earlier holder's owed opt-out and failures are forgotten on the way.
bool OwesOptOut(HANDLE process, DWORD processId);

// Forgets the owed throttling opt-out of the process that now holds this identifier, and its
// reported refusal: it has since been made, or is no longer wanted.
void SettleOptOut(DWORD processId);

// Forgets the failures and owed opt-outs of processes that are not in this busy pass's process
// list: they have exited, and their identifiers may go to new processes. The owed opt-outs are
// looked up once per identifier of the list, and only while there are any.
void ForgetExitedProcesses(const PidList& pids);

// A change refused for one process. The line goes to stderr at every refusal, as every failure
// does. The event says which process and why, and comes once per process: a job object's limits,
// say, refuse the same change on every busy pass for as long as the compiler runs, and tens of
// thousands of compilers in a build would otherwise bury everything else in the log.
void ReportProcessFailure(HANDLE process, const char* name, DWORD processId, DWORD eventId,
                          const char* line);
