// The test double: every platform function of the subset, over one scripted world.
#include "fake_platform.h"

#include <array>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace fake {
namespace {

constexpr size_t ApiCount = static_cast<size_t>(Api::Count);

struct Failure {
    int from = 0; // 0: none
    bool once = true;
    PDH_STATUS status = 0;
};

struct World {
    std::vector<Process> processes;
    // Where each identifier stood at the last enumeration; checked on every use, since tests
    // edit the table freely.
    std::unordered_map<DWORD, size_t> index;
    DWORD_PTR systemMask = 0x3;

    std::array<int, ApiCount> calls{};
    std::array<std::vector<Failure>, ApiCount> failures;
    std::function<void(Api)> beforeCall;

    std::vector<DWORD> sleeps;
    std::vector<DWORD> enumOffers;
    std::vector<DWORD> openedIds;
    std::vector<Open> opens;

    struct OpenHandle {
        DWORD id;
        DWORD access;
    };
    std::map<HANDLE, OpenHandle> openHandles;
    int handlesOpened = 0;
    uintptr_t nextHandle = 0x1000;
    std::vector<std::string> handleMisuse;

    bool wow64 = false;
    DWORD throttlingRefusal = ERROR_INVALID_PARAMETER;
    bool groupAffinityUnsupported = false;

    bool nonEnglish = false;
    bool processorInformationKnown = true;
    bool queryOpen = false;
    bool counterAdded = false;
    int collections = 0;
    std::string addedPath;
    DWORD formatFlags = 0;
    std::deque<CounterRead> reads;

    __time64_t now = 0;
    bool localtimeFails = false;
    struct tm localTm {};

    // Service control.
    std::string dispatchedName;
    std::string registeredName;
    LPHANDLER_FUNCTION handler = nullptr;
    bool dispatcherRunning = false;
    std::thread::id dispatcherThread;
    bool serviceReturned = false;
    std::deque<DWORD> controls;
    int controlsDelivered = 0;
    std::vector<StatusReport> reports;

    std::string eventSourceName;
    int eventSourcesOpen = 0;
    std::vector<Event> events;
};

std::mutex Lock;
std::condition_variable Changed;

// Built on first use, so that a test's own static set-up may already script it.
World& TheWorld() {
    static World world;
    return world;
}

// The query and counter handles that the double hands out; anything else is invalid.
int QueryToken;
int CounterToken;
const PDH_HQUERY QueryHandle = &QueryToken;
const PDH_HCOUNTER CounterHandle = &CounterToken;
int StatusToken;
const SERVICE_STATUS_HANDLE StatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(&StatusToken);
int EventSourceToken;
const HANDLE EventSourceHandle = &EventSourceToken;

thread_local DWORD LastError = 0;

// Counts the call, runs the hook, and says whether this call is scripted to fail.
bool Enter(Api api, PDH_STATUS* status = nullptr) {
    std::function<void(Api)> hook;
    bool fails = false;
    {
        std::lock_guard<std::mutex> guard(Lock);
        const size_t index = static_cast<size_t>(api);
        const int n = ++TheWorld().calls[index];
        for (const Failure& failure : TheWorld().failures[index]) {
            if (failure.from != 0 && (failure.once ? n == failure.from : n >= failure.from)) {
                fails = true;
                if (status != nullptr) {
                    *status = failure.status;
                }
            }
        }
        hook = TheWorld().beforeCall;
    }
    if (hook) {
        hook(api);
    }
    return fails;
}

// The process behind an open handle, or null for a handle that is not open, one that lacks the
// right the call needs (PROCESS_QUERY_INFORMATION grants the limited query right too), or a
// process that has left the table since it was opened; the last error says which.
Process* ProcessOf(HANDLE handle, const char* call, DWORD right) {
    DWORD id = 0;
    {
        std::lock_guard<std::mutex> guard(Lock);
        const auto open = TheWorld().openHandles.find(handle);
        if (open == TheWorld().openHandles.end()) {
            TheWorld().handleMisuse.push_back(std::string(call) + " on a handle that is not open");
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        if ((open->second.access & right) != right) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        id = open->second.id;
    }
    Process* process = FindProcess(id);
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return process;
}

PDH_STATUS FailureStatus(PDH_STATUS scripted, DWORD fallback) {
    return scripted != 0 ? scripted : static_cast<PDH_STATUS>(fallback);
}

const char EnglishProcessorTime[] = "\\Processor(_Total)\\% Processor Time";
const char EnglishProcessorInformationTime[] = "\\Processor Information(_Total)\\% Processor Time";
const char GermanProcessorTime[] = "\\Prozessor(_Total)\\Prozessorzeit (%)";

// Both adds: the English one knows the English paths only (the Processor Information one where the
// machine has that set); the localized one, on a machine whose display language is not English,
// the German path only, and anything on an English one.
PDH_STATUS AddCounter(Api api, PDH_HQUERY query, LPCSTR counterPath, PDH_HCOUNTER* counter) {
    PDH_STATUS scripted = 0;
    const bool fails = Enter(api, &scripted);
    if (query != QueryHandle || !TheWorld().queryOpen) {
        return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    }
    if (fails) {
        return FailureStatus(scripted, PDH_CSTATUS_BAD_COUNTERNAME);
    }
    bool known = true;
    if (api == Api::PdhAddEnglishCounterA) {
        known = strcmp(counterPath, EnglishProcessorTime) == 0 ||
                (TheWorld().processorInformationKnown &&
                 strcmp(counterPath, EnglishProcessorInformationTime) == 0);
    } else if (TheWorld().nonEnglish) {
        known = strcmp(counterPath, GermanProcessorTime) == 0;
    }
    if (!known) {
        return static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT);
    }
    TheWorld().addedPath = counterPath;
    TheWorld().counterAdded = true;
    *counter = CounterHandle;
    return ERROR_SUCCESS;
}

} // namespace

const char* ApiName(Api api) {
    static const char* const names[] = {"Sleep",
                                        "EnumProcesses",
                                        "OpenProcess",
                                        "QueryFullProcessImageNameA",
                                        "GetPriorityClass",
                                        "SetPriorityClass",
                                        "GetProcessAffinityMask",
                                        "SetProcessAffinityMask",
                                        "CloseHandle",
                                        "PdhOpenQueryA",
                                        "PdhAddCounterA",
                                        "PdhAddEnglishCounterA",
                                        "PdhCollectQueryData",
                                        "PdhGetFormattedCounterValue",
                                        "_time64",
                                        "_localtime64",
                                        "StartServiceCtrlDispatcherA",
                                        "RegisterServiceCtrlHandlerA",
                                        "SetServiceStatus",
                                        "RegisterEventSourceA",
                                        "ReportEventA",
                                        "DeregisterEventSource",
                                        "IsWow64Process",
                                        "SetProcessInformation",
                                        "GetProcessGroupAffinity",
                                        "GetProcessTimes",
                                        "FormatMessageA"};
    static_assert(sizeof names / sizeof names[0] == ApiCount, "one name per function");
    return names[static_cast<size_t>(api)];
}

void Reset() {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld() = World{};
}

std::vector<Process>& Processes() {
    return TheWorld().processes;
}

Process* FindProcess(DWORD id) {
    std::vector<Process>& processes = TheWorld().processes;
    const auto known = TheWorld().index.find(id);
    if (known != TheWorld().index.end() && known->second < processes.size() &&
        processes[known->second].id == id) {
        return &processes[known->second];
    }
    for (Process& process : processes) {
        if (process.id == id) {
            return &process;
        }
    }
    return nullptr;
}

void SetWow64(bool wow64) {
    TheWorld().wow64 = wow64;
}

void SetGroupAffinityUnsupported(bool unsupported) {
    TheWorld().groupAffinityUnsupported = unsupported;
}

void SetPowerThrottlingRefusal(DWORD error) {
    TheWorld().throttlingRefusal = error;
}

void SetSystemMask(DWORD_PTR mask) {
    TheWorld().systemMask = mask;
}

void ScriptCounter(std::deque<CounterRead> reads) {
    TheWorld().reads = std::move(reads);
}

void ScriptCounterValues(std::initializer_list<double> values) {
    TheWorld().reads.clear();
    for (const double value : values) {
        TheWorld().reads.push_back(CounterRead{0, value});
    }
}

const std::string& AddedCounterPath() {
    return TheWorld().addedPath;
}
void SetProcessorInformationKnown(bool known) {
    TheWorld().processorInformationKnown = known;
}
void SetNonEnglishDisplayLanguage(bool nonEnglish) {
    TheWorld().nonEnglish = nonEnglish;
}
DWORD LastFormatFlags() {
    return TheWorld().formatFlags;
}

void FailCall(Api api, int n, PDH_STATUS status) {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld().failures[static_cast<size_t>(api)].push_back(Failure{n, true, status});
}

void FailFrom(Api api, int n, PDH_STATUS status) {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld().failures[static_cast<size_t>(api)].push_back(Failure{n, false, status});
}

int CallCount(Api api) {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().calls[static_cast<size_t>(api)];
}

void SetBeforeCall(std::function<void(Api)> hook) {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld().beforeCall = std::move(hook);
}

std::vector<DWORD> Sleeps() {
    return TheWorld().sleeps;
}
std::vector<DWORD> EnumOffers() {
    return TheWorld().enumOffers;
}
std::vector<DWORD> OpenedIds() {
    return TheWorld().openedIds;
}
std::vector<Open> Opens() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().opens;
}

int HandlesOpened() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().handlesOpened;
}
int HandlesStillOpen() {
    std::lock_guard<std::mutex> guard(Lock);
    return static_cast<int>(TheWorld().openHandles.size());
}
std::vector<std::string> HandleMisuse() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().handleMisuse;
}

void SetTime(__time64_t now) {
    TheWorld().now = now;
}
void SetLocaltimeFails(bool fails) {
    TheWorld().localtimeFails = fails;
}

std::vector<StatusReport> StatusReports() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().reports;
}
std::string RegisteredServiceName() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().registeredName;
}
std::string DispatchedServiceName() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().dispatchedName;
}

void PostControl(DWORD control) {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld().controls.push_back(control);
    Changed.notify_all();
}

void SendControl(DWORD control) {
    std::unique_lock<std::mutex> guard(Lock);
    if (!TheWorld().dispatcherRunning) {
        // No dispatcher to deliver it: the caller stands in for the dispatcher thread.
        LPHANDLER_FUNCTION handler = TheWorld().handler;
        ++TheWorld().controlsDelivered;
        guard.unlock();
        if (handler != nullptr) {
            handler(control);
        }
        return;
    }
    TheWorld().controls.push_back(control);
    const int awaited = TheWorld().controlsDelivered + static_cast<int>(TheWorld().controls.size());
    Changed.notify_all();
    Changed.wait(guard, [awaited] { return TheWorld().controlsDelivered >= awaited; });
}

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

int ControlsDelivered() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().controlsDelivered;
}

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return fake::LastError;
}
void WINAPI SetLastError(DWORD error) {
    fake::LastError = error;
}

void WINAPI Sleep(DWORD milliseconds) {
    fake::Enter(Api::Sleep);
    TheWorld().sleeps.push_back(milliseconds);
}

BOOL WINAPI EnumProcesses(DWORD* processIds, DWORD bytes, LPDWORD bytesReturned) {
    if (fake::Enter(Api::EnumProcesses)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    TheWorld().enumOffers.push_back(bytes);
    TheWorld().index.clear();
    for (size_t i = TheWorld().processes.size(); i-- > 0;) {
        TheWorld().index[TheWorld().processes[i].id] = i; // the first of equal identifiers wins
    }
    // Like the platform's: never more than it was given; a short buffer is filled and the call
    // still succeeds.
    const size_t room = bytes / sizeof(DWORD);
    size_t written = 0;
    for (const fake::Process& process : TheWorld().processes) {
        if (written == room) {
            break;
        }
        processIds[written++] = process.id;
    }
    *bytesReturned = static_cast<DWORD>(written * sizeof(DWORD));
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD desiredAccess, BOOL, DWORD processId) {
    const bool fails = fake::Enter(Api::OpenProcess);
    TheWorld().openedIds.push_back(processId);
    const fake::Process* process = fake::FindProcess(processId);
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (process != nullptr) {
        int alreadyOpen = 0;
        for (const auto& open : TheWorld().openHandles) {
            alreadyOpen += open.second.id == processId ? 1 : 0;
        }
        TheWorld().opens.push_back(fake::Open{processId, desiredAccess, alreadyOpen});
    }
    if (fails || process == nullptr || process->openFails || processId == 0 ||
        (process->changeOpenFails && (desiredAccess & PROCESS_SET_INFORMATION) != 0)) {
        SetLastError(process == nullptr ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED);
        return nullptr;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(TheWorld().nextHandle);
    TheWorld().nextHandle += 4;
    const DWORD granted = (desiredAccess & PROCESS_QUERY_INFORMATION) != 0
                              ? desiredAccess | PROCESS_QUERY_LIMITED_INFORMATION
                              : desiredAccess;
    TheWorld().openHandles[handle] = fake::World::OpenHandle{processId, granted};
    ++TheWorld().handlesOpened;
    return handle;
}

BOOL WINAPI CloseHandle(HANDLE object) {
    // A failing close leaves the handle open: there is nothing a caller could do about it.
    if (fake::Enter(Api::CloseHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (TheWorld().openHandles.erase(object) == 0) {
        TheWorld().handleMisuse.push_back("CloseHandle on a handle that is not open");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HANDLE WINAPI GetCurrentProcess(void) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL WINAPI IsWow64Process(HANDLE process, PBOOL wow64Process) {
    const bool fails = fake::Enter(Api::IsWow64Process);
    if (fails || process != GetCurrentProcess() || wow64Process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *wow64Process = TheWorld().wow64 ? TRUE : FALSE;
    return TRUE;
}

BOOL WINAPI QueryFullProcessImageNameA(HANDLE handle, DWORD flags, LPSTR exeName, PDWORD size) {
    const bool fails = fake::Enter(Api::QueryFullProcessImageNameA);
    const fake::Process* process =
        fake::ProcessOf(handle, "QueryFullProcessImageNameA", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (fails || process->nameFails || flags != 0 || size == nullptr) {
        SetLastError(fails || process->nameFails ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string path =
        process->imagePath.empty() ? "C:\\Tools\\" + process->name : process->imagePath;
    // Like the platform's: the path and its terminating zero must fit, or nothing is written.
    if (path.size() >= *size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(exeName, path.c_str(), path.size() + 1);
    *size = static_cast<DWORD>(path.size());
    return TRUE;
}

DWORD WINAPI GetPriorityClass(HANDLE handle) {
    const bool fails = fake::Enter(Api::GetPriorityClass);
    const fake::Process* process =
        fake::ProcessOf(handle, "GetPriorityClass", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return 0;
    }
    if (fails || process->getPriorityFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return process->priorityClass;
}

BOOL WINAPI SetPriorityClass(HANDLE handle, DWORD priorityClass) {
    const bool fails = fake::Enter(Api::SetPriorityClass);
    fake::Process* process = fake::ProcessOf(handle, "SetPriorityClass", PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (fails || process->setPriorityFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    process->priorityClass = priorityClass;
    return TRUE;
}

BOOL WINAPI GetProcessAffinityMask(HANDLE handle, PDWORD_PTR processMask, PDWORD_PTR systemMask) {
    const bool fails = fake::Enter(Api::GetProcessAffinityMask);
    const fake::Process* process =
        fake::ProcessOf(handle, "GetProcessAffinityMask", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (fails || process->getAffinityFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A process whose mask was never set runs on every processor, as a new process does.
    *processMask = process->processMask != 0 ? process->processMask : TheWorld().systemMask;
    *systemMask = TheWorld().systemMask;
    return TRUE;
}

BOOL WINAPI SetProcessAffinityMask(HANDLE handle, DWORD_PTR processMask) {
    const bool fails = fake::Enter(Api::SetProcessAffinityMask);
    fake::Process* process =
        fake::ProcessOf(handle, "SetProcessAffinityMask", PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    // The platform refuses an empty mask and one with processors the system lacks.
    if (fails || process->setAffinityFails || processMask == 0 ||
        (processMask & ~TheWorld().systemMask) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    process->processMask = processMask;
    return TRUE;
}

BOOL WINAPI SetProcessInformation(HANDLE handle, PROCESS_INFORMATION_CLASS informationClass,
                                  LPVOID information, DWORD size) {
    const bool fails = fake::Enter(Api::SetProcessInformation);
    fake::Process* process =
        fake::ProcessOf(handle, "SetProcessInformation", PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (fails || process->setInformationFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (TheWorld().throttlingRefusal != 0) {
        SetLastError(TheWorld().throttlingRefusal);
        return FALSE;
    }
    // Like the platform's: the structure must be whole, of the current version, and turn on only
    // mechanisms it takes control of.
    const auto* state = static_cast<const PROCESS_POWER_THROTTLING_STATE*>(information);
    const ULONG known =
        PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    if (informationClass != ProcessPowerThrottling || state == nullptr || size != sizeof *state ||
        state->Version != PROCESS_POWER_THROTTLING_CURRENT_VERSION ||
        (state->ControlMask & ~known) != 0 || (state->StateMask & ~state->ControlMask) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    process->throttling = *state;
    ++process->throttlingSets;
    return TRUE;
}

BOOL WINAPI GetProcessTimes(HANDLE handle, LPFILETIME creationTime, LPFILETIME exitTime,
                            LPFILETIME kernelTime, LPFILETIME userTime) {
    const bool fails = fake::Enter(Api::GetProcessTimes);
    const fake::Process* process =
        fake::ProcessOf(handle, "GetProcessTimes", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (fails || process->timesFail) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *creationTime =
        FILETIME{static_cast<DWORD>(process->created), static_cast<DWORD>(process->created >> 32)};
    *exitTime = *kernelTime = *userTime = FILETIME{0, 0};
    return TRUE;
}

DWORD WINAPI FormatMessageA(DWORD flags, const void* source, DWORD messageId, DWORD, LPSTR buffer,
                            DWORD size, void*) {
    const bool fails = fake::Enter(Api::FormatMessageA);
    const char* text = messageId == ERROR_ACCESS_DENIED       ? "Access is denied.\r\n"
                       : messageId == ERROR_INVALID_PARAMETER ? "The parameter is incorrect.\r\n"
                       : messageId == ERROR_INVALID_FUNCTION  ? "Incorrect function.\r\n"
                                                              : nullptr;
    if (fails || text == nullptr || source != nullptr ||
        flags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) {
        SetLastError(317); // ERROR_MR_MID_NOT_FOUND
        return 0;
    }
    if (strlen(text) >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    strcpy(buffer, text);
    return static_cast<DWORD>(strlen(text));
}

BOOL WINAPI GetProcessGroupAffinity(HANDLE handle, PUSHORT groupCount, PUSHORT groupArray) {
    const bool fails = fake::Enter(Api::GetProcessGroupAffinity);
    const fake::Process* process =
        fake::ProcessOf(handle, "GetProcessGroupAffinity", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (TheWorld().groupAffinityUnsupported) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (fails || groupCount == nullptr) {
        SetLastError(fails ? ERROR_ACCESS_DENIED : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (*groupCount < process->groupCount) {
        *groupCount = process->groupCount;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (USHORT group = 0; group < process->groupCount; ++group) {
        groupArray[group] = group;
    }
    *groupCount = process->groupCount;
    return TRUE;
}

PDH_STATUS WINAPI PdhOpenQueryA(LPCSTR, DWORD_PTR, PDH_HQUERY* query) {
    PDH_STATUS scripted = 0;
    if (fake::Enter(Api::PdhOpenQueryA, &scripted)) {
        return fake::FailureStatus(scripted, PDH_MEMORY_ALLOCATION_FAILURE);
    }
    TheWorld().queryOpen = true;
    *query = fake::QueryHandle;
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR,
                                 PDH_HCOUNTER* counter) {
    return fake::AddCounter(Api::PdhAddCounterA, query, counterPath, counter);
}

PDH_STATUS WINAPI PdhAddEnglishCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR,
                                        PDH_HCOUNTER* counter) {
    return fake::AddCounter(Api::PdhAddEnglishCounterA, query, counterPath, counter);
}

PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY query) {
    PDH_STATUS scripted = 0;
    const bool fails = fake::Enter(Api::PdhCollectQueryData, &scripted);
    if (query != fake::QueryHandle || !TheWorld().queryOpen) {
        return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    }
    if (fails) {
        return fake::FailureStatus(scripted, PDH_NO_DATA);
    }
    // A query without counters has nothing to collect.
    if (!TheWorld().counterAdded) {
        return static_cast<PDH_STATUS>(PDH_NO_DATA);
    }
    ++TheWorld().collections;
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                              PPDH_FMT_COUNTERVALUE value) {
    PDH_STATUS scripted = 0;
    const bool fails = fake::Enter(Api::PdhGetFormattedCounterValue, &scripted);
    TheWorld().formatFlags = format;
    if (counter != fake::CounterHandle || !TheWorld().counterAdded) {
        return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    }
    if (fails) {
        return fake::FailureStatus(scripted, PDH_INVALID_DATA);
    }
    // A rate counter has no value before its second collection.
    if (TheWorld().collections < 2) {
        value->CStatus = PDH_CSTATUS_INVALID_DATA;
        return static_cast<PDH_STATUS>(PDH_INVALID_DATA);
    }
    fake::CounterRead read;
    if (!TheWorld().reads.empty()) {
        read = TheWorld().reads.front();
        TheWorld().reads.pop_front();
    }
    if (type != nullptr) {
        *type = 0x10410500; // PERF_100NSEC_TIMER_INV, the processor-time counter's type
    }
    value->CStatus = PDH_CSTATUS_VALID_DATA;
    value->doubleValue = read.value;
    return read.status;
}

__time64_t _time64(__time64_t* destination) {
    fake::Enter(Api::Time64);
    if (destination != nullptr) {
        *destination = TheWorld().now;
    }
    return TheWorld().now;
}

struct tm* _localtime64(const __time64_t* time) {
    const bool fails = fake::Enter(Api::Localtime64);
    if (fails || TheWorld().localtimeFails || time == nullptr) {
        return nullptr;
    }
    const time_t converted = static_cast<time_t>(*time);
    if (gmtime_r(&converted, &TheWorld().localTm) == nullptr) {
        return nullptr;
    }
    return &TheWorld().localTm;
}

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    if (fake::Enter(Api::StartServiceCtrlDispatcherA) || serviceTable == nullptr ||
        serviceTable[0].lpServiceName == nullptr || serviceTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    std::unique_lock<std::mutex> guard(fake::Lock);
    TheWorld().dispatchedName = serviceTable[0].lpServiceName;
    TheWorld().dispatcherRunning = true;
    TheWorld().dispatcherThread = std::this_thread::get_id();
    TheWorld().serviceReturned = false;
    guard.unlock();

    LPSERVICE_MAIN_FUNCTIONA serviceMain = serviceTable[0].lpServiceProc;
    LPSTR name = serviceTable[0].lpServiceName;
    std::thread service([serviceMain, name] {
        LPSTR argv[] = {name, nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> done(fake::Lock);
        TheWorld().serviceReturned = true;
        fake::Changed.notify_all();
    });

    guard.lock();
    for (;;) {
        fake::Changed.wait(
            guard, [] { return !TheWorld().controls.empty() || TheWorld().serviceReturned; });
        if (TheWorld().controls.empty()) {
            break;
        }
        const DWORD control = TheWorld().controls.front();
        TheWorld().controls.pop_front();
        LPHANDLER_FUNCTION handler = TheWorld().handler;
        guard.unlock();
        if (handler != nullptr) {
            handler(control);
        }
        guard.lock();
        ++TheWorld().controlsDelivered;
        fake::Changed.notify_all();
    }
    TheWorld().dispatcherRunning = false;
    guard.unlock();
    service.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR serviceName,
                                                         LPHANDLER_FUNCTION handler) {
    const bool fails = fake::Enter(Api::RegisterServiceCtrlHandlerA);
    std::lock_guard<std::mutex> guard(fake::Lock);
    TheWorld().registeredName = serviceName != nullptr ? serviceName : "";
    // Like the platform's: a handler can only be registered for a service this process runs.
    if (fails || serviceName == nullptr || TheWorld().registeredName != TheWorld().dispatchedName) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    TheWorld().handler = handler;
    return fake::StatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
    const bool fails = fake::Enter(Api::SetServiceStatus);
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (statusHandle != fake::StatusHandle || status == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool fromDispatcher =
        TheWorld().dispatcherRunning && std::this_thread::get_id() == TheWorld().dispatcherThread;
    TheWorld().reports.push_back(fake::StatusReport{*status, fromDispatcher});
    if (fails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

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
