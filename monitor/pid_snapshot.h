// A snapshot of every process identifier on the machine, taken once per busy pass.
#pragma once

#include "platform.h"

#include <vector>

typedef std::vector<DWORD> PidList;

enum SnapshotResult {
    SnapshotComplete,
    SnapshotEnumFailed, // EnumProcesses failed: the monitoring cannot go on
    SnapshotNoMemory,   // the list could not be made large enough: only this pass is lost
};

// Fills pids with the identifiers that exist now, in the platform's order, offering
// InitialPidCapacity identifiers first and twice the count plus one after every call that
// filled its storage.
SnapshotResult TakePidSnapshot(PidList& pids);

// The capacity to offer after a call that returned count identifiers: twice the count plus
// one. Returns false when that many identifiers could not be offered at all, because their
// size in bytes does not fit EnumProcesses' DWORD or the list's largest size.
bool NextPidCapacity(DWORD count, size_t largest, DWORD* capacity);
