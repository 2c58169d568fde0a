// The world itself, scripted failures and call counts, and the last error.
#include "fake_world.h"

#include <cstring>

namespace fake {

std::mutex Lock;
std::condition_variable Changed;

World& TheWorld() {
    static World world;
    return world;
}

namespace {
thread_local DWORD LastError = 0;
} // namespace

DWORD_PTR GroupMask(USHORT group) {
    const std::vector<DWORD_PTR>& masks = TheWorld().groupMasks;
    return masks.empty() ? TheWorld().systemMask : group < masks.size() ? masks[group] : 0;
}

bool Enter(Api api, PDH_STATUS* status) {
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
                                        "FormatMessageA",
                                        "GetNativeSystemInfo",
                                        "IsDBCSLeadByte"};
    static_assert(sizeof names / sizeof names[0] == ApiCount, "one name per function");
    return names[static_cast<size_t>(api)];
}

void Reset() {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld() = World{};
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

} // namespace fake

using fake::Api;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return fake::LastError;
}
void WINAPI SetLastError(DWORD error) {
    fake::LastError = error;
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

} // extern "C"
