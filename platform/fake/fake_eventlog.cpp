// The event log: its source and every event reported.
#include "fake_world.h"

namespace fake {
namespace {

int EventSourceToken;
const HANDLE EventSourceHandle = &EventSourceToken;

} // namespace

std::vector<Event> Events() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().events;
}
std::string EventSourceName() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().eventSourceName;
}
int EventSourcesOpen() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().eventSourcesOpen;
}

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR uncServerName, LPCSTR sourceName) {
    const bool fails = fake::Enter(Api::RegisterEventSourceA);
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (fails || uncServerName != nullptr || sourceName == nullptr) {
        SetLastError(fails ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    TheWorld().eventSourceName = sourceName;
    ++TheWorld().eventSourcesOpen;
    return fake::EventSourceHandle;
}

BOOL WINAPI ReportEventA(HANDLE eventLog, WORD type, WORD, DWORD eventId, PSID, WORD numStrings,
                         DWORD, LPCSTR* strings, LPVOID) {
    const bool fails = fake::Enter(Api::ReportEventA);
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (eventLog != fake::EventSourceHandle || TheWorld().eventSourcesOpen == 0) {
        TheWorld().handleMisuse.push_back("ReportEventA on an event source that is not open");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    fake::Event event;
    event.type = type;
    event.id = eventId;
    for (WORD i = 0; i < numStrings; ++i) {
        event.strings.push_back(strings[i]);
    }
    event.failed = fails;
    TheWorld().events.push_back(event);
    if (fails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
    const bool fails = fake::Enter(Api::DeregisterEventSource);
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (fails || eventLog != fake::EventSourceHandle || TheWorld().eventSourcesOpen == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --TheWorld().eventSourcesOpen;
    return TRUE;
}

} // extern "C"
