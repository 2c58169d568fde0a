#include "log_line.h"

EventLogState EventLog;

namespace {

const char EventSourceName[] = "Ostrevane";

} // namespace

void OpenEventSource() {
    if (EventLog.opened) {
        return;
    }
    EventLog.opened = true;
    EventLog.source = RegisterEventSourceA(nullptr, EventSourceName);
}

void ReportLogEvent(WORD eventType, DWORD eventId, LPCSTR* strings, WORD count) {
    if (EventLog.source != nullptr) {
        (void)ReportEventA(EventLog.source, eventType, 0, eventId, nullptr, count, 0, strings,
                           nullptr);
    }
}

// Reported before they are written: where the log is the stream itself (the journal), the
// platform learns each line's kind from its event before the line arrives.
void LogLines(FILE* stream, WORD eventType, DWORD eventId, LPCSTR* lines, WORD count) {
    ReportLogEvent(eventType, eventId, lines, count);
    for (WORD i = 0; i < count; ++i) {
        fprintf(stream, "%s\n", lines[i]);
    }
}

void LogLine(FILE* stream, WORD eventType, DWORD eventId, LPCSTR line) {
    LPCSTR lines[] = {line};
    LogLines(stream, eventType, eventId, lines, 1);
}
