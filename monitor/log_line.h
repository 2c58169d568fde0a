// Log lines. Each is written to its stream exactly as printed text always was and, when it says
// something an administrator must find later (the banner, a change, a failure), also reported
// to the platform's event log: under a service manager the streams may lead nowhere.
#pragma once

#include "platform.h"

#include <cstdio>

// One event identifier per kind of line, as the message table numbers them
// (packaging/windows/ostrevane_events.mc); Event Viewer shows and filters by these numbers. Samples
// have none: one every 5 seconds would push other programs' events out of the log.
enum LogEvent : DWORD {
    EventBanner = 1,
    EventUnderWow64 = 2,
    EventPrioritySet = 100,
    EventAffinitySet = 101,
    EventThrottlingSet = 102,
    EventSetPriorityFailed = 200,
    EventSetAffinityFailed = 201,
    EventSetThrottlingFailed = 202,
    EventOpenQueryFailed = 300,
    EventCollectFailed = 301,
    EventFormatFailed = 302,
    EventEnumProcessesFailed = 400,
    EventPidListNoMemory = 401,
};

// Room for the longest line: a timestamp, a name of up to MAX_PATH bytes, a PID, a 64-bit mask
// and the fixed text around them.
constexpr size_t LogLineSize = 512;
static_assert(LogLineSize > 19 + MAX_PATH + 100, "a change line must fit whole");

// The event source, registered on the first call of OpenEventSource and held for the life of
// the process, as the counter query is. When registration fails, source stays null and the lines
// are only written.
struct EventLogState {
    bool opened = false;
    HANDLE source = nullptr;
};
extern EventLogState EventLog;

// Registers the event source "Ostrevane" once per process; later calls do nothing.
void OpenEventSource();

// Reports one event with these strings (none when count is 0), if the source is registered. A
// failed report is not examined.
void ReportLogEvent(WORD eventType, DWORD eventId, LPCSTR* strings, WORD count);

// Reports the lines as one event whose strings they are, then writes each line and a newline to
// stream. A failed report is not examined: the lines are written either way. A line written
// without an event is a sample.
void LogLines(FILE* stream, WORD eventType, DWORD eventId, LPCSTR* lines, WORD count);
void LogLine(FILE* stream, WORD eventType, DWORD eventId, LPCSTR line);
