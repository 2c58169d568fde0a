#include "failure_memory.h"

#include "log_line.h"

#include <algorithm>
#include <bitset>
#include <cstdio>
#include <new>

FailureMemoryState FailureMemory;

namespace {

// Two readable creation times that differ belong to two processes; one that could not be read
// tells nothing.
bool OfAnotherProcess(ULONGLONG remembered, ULONGLONG created) {
    return remembered != 0 && created != 0 && remembered != created;
}

void ForgetEarlierHolders(DWORD processId, ULONGLONG created) {
    std::vector<ReportedFailure>& failures = FailureMemory.failures;
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [processId, created](const ReportedFailure& failure) {
                                      return failure.processId == processId &&
                                             OfAnotherProcess(failure.created, created);
                                  }),
                   failures.end());
}

// Whether that failure of that process is remembered. Once earlier holders of its identifier are
// forgotten, what remains under the identifier is the process's own or of a time that could not be
// read, and is told by the identifier alone.
bool Remembered(DWORD processId, ULONGLONG created, DWORD eventId) {
    ForgetEarlierHolders(processId, created);
    const std::vector<ReportedFailure>& failures = FailureMemory.failures;
    return std::any_of(failures.begin(), failures.end(),
                       [processId, eventId](const ReportedFailure& failure) {
                           return failure.processId == processId && failure.eventId == eventId;
                       });
}

void ForgetFailure(DWORD processId, DWORD eventId) {
    std::vector<ReportedFailure>& failures = FailureMemory.failures;
    failures.erase(std::remove_if(failures.begin(), failures.end(),
                                  [processId, eventId](const ReportedFailure& failure) {
                                      return failure.processId == processId &&
                                             failure.eventId == eventId;
                                  }),
                   failures.end());
}

// Sorted by identifier, the failures are found by a binary search for each identifier of the list,
// rather than the list searched for each failure: a full memory would otherwise cost a pass over
// 100,000 processes a hundred million comparisons.
void ForgetExitedFailures(const PidList& pids) {
    std::vector<ReportedFailure>& failures = FailureMemory.failures;
    // RecallOrRememberFailure keeps to MaxRememberedFailures, and so to the bits below.
    if (failures.empty() || failures.size() > MaxRememberedFailures) {
        return;
    }
    const auto byIdentifier = [](const ReportedFailure& a, const ReportedFailure& b) {
        return a.processId < b.processId;
    };
    std::sort(failures.begin(), failures.end(), byIdentifier);
    std::bitset<MaxRememberedFailures> listed;
    for (const DWORD processId : pids) {
        const auto held = std::equal_range(failures.begin(), failures.end(),
                                           ReportedFailure{0, processId, 0}, byIdentifier);
        for (auto failure = held.first; failure != held.second; ++failure) {
            listed.set(static_cast<size_t>(failure - failures.begin()));
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < failures.size(); ++i) {
        if (listed[i]) {
            failures[kept++] = failures[i];
        }
    }
    failures.resize(kept);
}

} // namespace

ULONGLONG ProcessCreationTime(HANDLE process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return 0;
    }
    return static_cast<ULONGLONG>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

bool RecallOrRememberFailure(DWORD processId, ULONGLONG created, DWORD eventId) {
    if (Remembered(processId, created, eventId)) {
        return true;
    }
    std::vector<ReportedFailure>& failures = FailureMemory.failures;
    if (failures.size() < MaxRememberedFailures) {
        try {
            failures.push_back(ReportedFailure{created, processId, eventId});
        } catch (const std::bad_alloc&) {
            // Unremembered, it is reported again next time: nothing is lost.
        }
    }
    return false;
}

void OweOptOut(HANDLE process, DWORD processId) {
    try {
        FailureMemory.owedOptOuts[processId] = OwedOptOut{ProcessCreationTime(process), false};
    } catch (const std::bad_alloc&) {
        // Only out of memory is an owed opt-out lost: the compiler stays throttled, as it would
        // without the service.
    }
}

bool OwesOptOut(HANDLE process, DWORD processId) {
    std::unordered_map<DWORD, OwedOptOut>& owed = FailureMemory.owedOptOuts;
    if (owed.empty()) {
        return false;
    }
    const auto entry = owed.find(processId);
    if (entry == owed.end()) {
        return false;
    }
    const ULONGLONG created = ProcessCreationTime(process);
    if (OfAnotherProcess(entry->second.created, created)) {
        owed.erase(entry);
        ForgetEarlierHolders(processId, created);
        return false;
    }
    return true;
}

void SettleOptOut(DWORD processId) {
    FailureMemory.owedOptOuts.erase(processId);
    ForgetFailure(processId, EventSetThrottlingFailed);
}

void ForgetExitedProcesses(const PidList& pids) {
    ForgetExitedFailures(pids);
    std::unordered_map<DWORD, OwedOptOut>& owed = FailureMemory.owedOptOuts;
    if (owed.empty()) {
        return;
    }
    for (const DWORD processId : pids) {
        const auto entry = owed.find(processId);
        if (entry != owed.end()) {
            entry->second.listed = true;
        }
    }
    for (auto entry = owed.begin(); entry != owed.end();) {
        if (entry->second.listed) {
            entry->second.listed = false;
            ++entry;
        } else {
            entry = owed.erase(entry);
        }
    }
}

void ReportProcessFailure(HANDLE process, const char* name, DWORD processId, DWORD eventId,
                          const char* line) {
    const DWORD error = GetLastError();
    fprintf(stderr, "%s\n", line);
    if (RecallOrRememberFailure(processId, ProcessCreationTime(process), eventId)) {
        return;
    }
    char id[16];
    snprintf(id, sizeof id, "%lu", static_cast<unsigned long>(processId));
    char code[16];
    snprintf(code, sizeof code, "%lu", static_cast<unsigned long>(error));
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    // The system's texts end with a line break, which the message table supplies itself.
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        --length;
    }
    text[length] = '\0';
    LPCSTR strings[] = {line, id, name, code, length > 0 ? text : "no description"};
    ReportLogEvent(EVENTLOG_ERROR_TYPE, eventId, strings, 5);
}
