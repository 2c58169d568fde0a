// Processes: the table, their handles, and every call that names, queries or changes one.
#include "fake_world.h"

#include <cstring>

namespace fake {
namespace {

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

} // namespace

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

void SetProcessorGroups(std::vector<DWORD_PTR> masks, USHORT serviceGroup) {
    TheWorld().groupMasks = std::move(masks);
    TheWorld().serviceGroup = serviceGroup;
}

void SetSystemMaskOfServiceGroup(bool callers) {
    TheWorld().systemMaskOfServiceGroup = callers;
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

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

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
    const DWORD_PTR serviceGroupMask = fake::GroupMask(TheWorld().serviceGroup);
    if (handle == GetCurrentProcess()) {
        *processMask = *systemMask = serviceGroupMask;
        return TRUE;
    }
    const fake::Process* process =
        fake::ProcessOf(handle, "GetProcessAffinityMask", PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    if (fails || process->getAffinityFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // A process whose mask was never set runs on every processor of its group, as a new process
    // does.
    const DWORD_PTR groupMask = fake::GroupMask(process->group);
    *processMask = process->processMask != 0 ? process->processMask : groupMask;
    *systemMask = TheWorld().systemMaskOfServiceGroup ? serviceGroupMask : groupMask;
    return TRUE;
}

BOOL WINAPI SetProcessAffinityMask(HANDLE handle, DWORD_PTR processMask) {
    const bool fails = fake::Enter(Api::SetProcessAffinityMask);
    fake::Process* process =
        fake::ProcessOf(handle, "SetProcessAffinityMask", PROCESS_SET_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    // The platform refuses an empty mask and one with processors the process's group lacks.
    if (fails || process->setAffinityFails || processMask == 0 ||
        (processMask & ~fake::GroupMask(process->group)) != 0) {
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
        groupArray[group] = process->groupCount == 1 ? process->group : group;
    }
    *groupCount = process->groupCount;
    return TRUE;
}

} // extern "C"
