// Controls of the test double: a scripted world behind the platform's own function names.
// Tests set it up, run the system's code against it, and read back what was asked of it.
#pragma once

#include "platform.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

enum class Api {
    Sleep,
    EnumProcesses,
    OpenProcess,
    QueryFullProcessImageNameA,
    GetPriorityClass,
    SetPriorityClass,
    GetProcessAffinityMask,
    SetProcessAffinityMask,
    CloseHandle,
    PdhOpenQueryA,
    PdhAddCounterA,
    PdhAddEnglishCounterA,
    PdhCollectQueryData,
    PdhGetFormattedCounterValue,
    Time64,
    Localtime64,
    StartServiceCtrlDispatcherA,
    RegisterServiceCtrlHandlerA,
    SetServiceStatus,
    RegisterEventSourceA,
    ReportEventA,
    DeregisterEventSource,
    IsWow64Process,
    SetProcessInformation,
    GetProcessGroupAffinity,
    GetProcessTimes,
    FormatMessageA,
    GetNativeSystemInfo,
    IsDBCSLeadByte,
    Count
};
const char* ApiName(Api api);

// One entry of the process table. The flags make one platform call fail for this process only.
struct Process {
    DWORD id = 0;
    std::string name;
    // The Win32 path of its image; "C:\\Tools\\" and the name where empty.
    std::string imagePath;
    DWORD priorityClass = NORMAL_PRIORITY_CLASS;
    DWORD_PTR processMask = 0;
    // The processor groups its threads are in, and the one they are in when that is one.
    USHORT groupCount = 1;
    USHORT group = 0;
    // When it was created, as GetProcessTimes gives it.
    ULONGLONG created = 1;
    bool openFails = false;
    bool changeOpenFails = false; // an open that asks PROCESS_SET_INFORMATION
    bool nameFails = false;
    bool getPriorityFails = false;
    bool setPriorityFails = false;
    bool getAffinityFails = false;
    bool setAffinityFails = false;
    bool setInformationFails = false;
    bool timesFail = false;
    // What SetProcessInformation last set of the process's power throttling, and how often.
    PROCESS_POWER_THROTTLING_STATE throttling{};
    int throttlingSets = 0;
};

// One OpenProcess that returned a handle or would have: the identifier, the access asked (as the
// caller asked it), and how many handles to that process were open at that moment.
struct Open {
    DWORD id = 0;
    DWORD access = 0;
    int alreadyOpen = 0;
    bool operator==(const Open& other) const {
        return id == other.id && access == other.access && alreadyOpen == other.alreadyOpen;
    }
};

// One formatted counter read: the status PdhGetFormattedCounterValue returns and the value.
struct CounterRead {
    PDH_STATUS status = 0;
    double value = 0.0;
};

// Puts the whole double back to its start: empty process table, system mask 0x3, no failures,
// no script, time 0, every count and record cleared, no hook, no power throttling class.
void Reset();

// The process table, in the order EnumProcesses returns it; identifier 0 may stand anywhere.
std::vector<Process>& Processes();
Process* FindProcess(DWORD id);
void SetSystemMask(DWORD_PTR mask);

// Counter values, consumed one per formatted read once two collections have been made. When
// the script runs out, reads return status 0 and value 0.
void ScriptCounter(std::deque<CounterRead> reads);
void ScriptCounterValues(std::initializer_list<double> values);
// The path of the counter that an add last added; empty while none was.
const std::string& AddedCounterPath();
// A Windows without the Processor Information counter set, as Wine: the English add then knows
// "\\Processor(_Total)\\% Processor Time" only, and refuses the other with
// PDH_CSTATUS_NO_OBJECT.
void SetProcessorInformationKnown(bool known);
// A machine whose display language is not English: the localized add then knows the processor
// time counter only by its German path, "\Prozessor(_Total)\Prozessorzeit (%)", and refuses the
// English one with PDH_CSTATUS_NO_OBJECT. The English add knows the English path on any machine.
void SetNonEnglishDisplayLanguage(bool nonEnglish);
// A machine whose Processor Information counter adds but never collects: every collection of a
// query that holds it fails with PDH_NO_DATA. Each PdhOpenQueryA opens an empty query, the one
// the double then knows.
void SetProcessorInformationCollects(bool collects);
DWORD LastFormatFlags();

// Makes the n-th call (1-based) of one function fail, in that function's own way. For the
// Performance Data Helper calls, status is what the failing call returns (0 picks a default).
void FailCall(Api api, int n, PDH_STATUS status = 0);
// Makes every call of one function from the n-th on fail.
void FailFrom(Api api, int n, PDH_STATUS status = 0);
int CallCount(Api api);

// Runs before every call of the double, on the calling thread, with no lock held, after the
// call has been counted: CallCount(api) includes the call at hand.
void SetBeforeCall(std::function<void(Api)> hook);

// Sleep records its argument instead of sleeping.
std::vector<DWORD> Sleeps();
// The sizes in bytes that EnumProcesses was offered, call by call.
std::vector<DWORD> EnumOffers();
// The identifiers OpenProcess was called with, call by call.
std::vector<DWORD> OpenedIds();
// The opens of processes in the table, call by call. A call on a handle that lacks the right the
// call needs fails with ERROR_ACCESS_DENIED, as on Windows.
std::vector<Open> Opens();

// Handles: how many were opened, and which are still open. Misuse (closing a handle twice or
// using one that was never opened) is recorded, never crashes.
int HandlesOpened();
int HandlesStillOpen();
std::vector<std::string> HandleMisuse();

// What IsWow64Process says of the calling process (false at start).
void SetWow64(bool wow64);

// A Windows that does not implement GetProcessGroupAffinity, as Wine: it fails with
// ERROR_CALL_NOT_IMPLEMENTED for every process.
void SetGroupAffinityUnsupported(bool unsupported);

// A machine of several processor groups, each given by the mask of its processors, with the
// service in one of them. A process's masks are those of its group: a new process runs on every
// processor of it, and a mask with a processor outside it is refused with ERROR_INVALID_PARAMETER.
// GetProcessAffinityMask on GetCurrentProcess() gives the service's group's.
void SetProcessorGroups(std::vector<DWORD_PTR> masks, USHORT serviceGroup);
// A Windows whose GetProcessAffinityMask gives, beside a process's own mask, the system mask of the
// caller's group rather than the process's, as the pages of Windows 10 leave possible.
void SetSystemMaskOfServiceGroup(bool callers);

// The ANSI code page: 1252 at start; 932 makes 0x81-0x9F and 0xE0-0xFC lead bytes, as Japanese
// Windows's.
void SetAnsiCodePage(DWORD codePage);
// The logical processors of the service's group that GetNativeSystemInfo reports (2 at start).
void SetNativeProcessors(DWORD count);

// What SetProcessInformation fails with for every process when given the power throttling class:
// ERROR_INVALID_PARAMETER at start, as a Windows before 10 1709 that does not know the class;
// ERROR_INVALID_FUNCTION, as Wine; 0 for a Windows that knows it and sets it.
void SetPowerThrottlingRefusal(DWORD error);

// FormatMessageA knows the texts of ERROR_ACCESS_DENIED, ERROR_INVALID_PARAMETER and
// ERROR_INVALID_FUNCTION, each ending in "\r\n" as the system's do, and fails for any other code.

// The clock behind _time64 and _localtime64. The double's local time is UTC.
void SetTime(__time64_t now);
void SetLocaltimeFails(bool fails);

// Service control. The dispatcher runs the table's first service function on a thread of its
// own and delivers controls on the thread that called it, as the platform's does; it returns
// once the service function has returned and every queued control has been delivered.
struct StatusReport {
    SERVICE_STATUS status;
    bool fromDispatcherThread;
};
std::vector<StatusReport> StatusReports();
std::string RegisteredServiceName();
std::string DispatchedServiceName();
// Queues a control for the dispatcher thread. Called from the service thread (in a hook) it
// waits until the handler has returned, so a test knows where the service thread stands.
void SendControl(DWORD control);
// Queues a control and returns at once; the dispatcher delivers it when it next can.
void PostControl(DWORD control);
int ControlsDelivered();

// The event log. Every ReportEventA call is recorded, with its handle checked; failed marks one
// that was made to fail, which the platform would not have kept.
struct Event {
    WORD type = 0;
    DWORD id = 0;
    std::vector<std::string> strings;
    bool failed = false;
};
std::vector<Event> Events();
// The source name of the latest registration, and how many sources are registered now.
std::string EventSourceName();
int EventSourcesOpen();

} // namespace fake
