#include "failure_memory.h"

#include "log_line.h"

#include <algorithm>
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
    std::vector<ReportedFailure>& failures = FailureMemory.failures;
    if (!failures.empty()) {
        failures.erase(std::remove_if(failures.begin(), failures.end(),
                                      [&pids](const ReportedFailure& failure) {
                                          return std::find(pids.begin(), pids.end(),
                                                           failure.processId) == pids.end();
                                      }),
                       failures.end());
    }
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
