// The double's one scripted world, shared by the files of its subsystems. Not for tests: they
// reach the world through fake_platform.h.
#pragma once

#include "fake_platform.h"

#include <array>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace fake {

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
    // The machine's processor groups, each by its mask, and the service's group; empty for one
    // group of systemMask.
    std::vector<DWORD_PTR> groupMasks;
    USHORT serviceGroup = 0;
    bool systemMaskOfServiceGroup = false;
    DWORD codePage = 1252;
    DWORD nativeProcessors = 2;

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
    bool processorInformationCollects = true;
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

// Guards the world where threads meet: the service's, the dispatcher's and the test's.
extern std::mutex Lock;
extern std::condition_variable Changed;

// Built on first use, so that a test's own static set-up may already script it.
World& TheWorld();

// The mask of every processor of one group.
DWORD_PTR GroupMask(USHORT group);

// Counts the call, runs the hook, and says whether this call is scripted to fail.
bool Enter(Api api, PDH_STATUS* status = nullptr);

} // namespace fake
