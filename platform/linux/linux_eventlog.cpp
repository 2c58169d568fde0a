// The event log subset on Linux, where the journal is the log. It already receives every line
// the service prints, through the stdout and stderr that systemd connects to it, so reporting an
// event writes nothing more: a second copy of each line would only double the journal. What
// reporting adds is the priority of the lines to come: the journal stream on stdout gives each
// line the priority of its event's kind (linux_journal_stream.cpp).
#include "linux_platform.h"

namespace {

int EventSourceToken;
const HANDLE EventSourceHandle = &EventSourceToken;

} // namespace

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR uncServerName, LPCSTR sourceName) {
    if (uncServerName != nullptr || sourceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return EventSourceHandle;
}

BOOL WINAPI ReportEventA(HANDLE eventLog, WORD eventType, WORD, DWORD eventId, PSID,
                         WORD stringCount, DWORD, LPCSTR* strings, LPVOID) {
    if (eventLog != EventSourceHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    linux_platform::NoteReportedLines(eventType, eventId, strings,
                                      strings == nullptr ? 0 : stringCount);
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
    if (eventLog != EventSourceHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
