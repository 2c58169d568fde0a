// A process's times: its creation, dated from the boot time as first read, and its processor time.
#include "linux_process.h"

#include <cstdint>
#include <unistd.h>

using namespace linux_process;

namespace {

// The boot time, read once: the kernel derives btime from the wall clock, so that a later reading
// moves with every step of the clock (time synchronisation after boot, say), and with it the
// creation time of every process, which would then pass for another. False while it cannot be
// read.
bool BootTime(std::uint64_t* seconds) {
    static std::mutex lock;
    static bool read = false;
    static std::uint64_t boot = 0;
    std::lock_guard<std::mutex> guard(lock);
    std::string system;
    if (!read && linux_platform::ReadKernelFile("/proc/stat", &system, 1 << 20) &&
        linux_platform::ParseBootTime(system, &boot)) {
        read = true;
    }
    *seconds = boot;
    return read;
}

} // namespace

extern "C" {

// The times are the kernel's, in clock ticks, made FILETIMEs: 100 ns since 1601 for the creation,
// from the boot time as first read and the start after boot, so that a process keeps one creation
// time for the service's life, whatever the clock does; durations for the others. A process that
// has not exited has no exit time.
BOOL WINAPI GetProcessTimes(HANDLE handle, LPFILETIME creationTime, LPFILETIME exitTime,
                            LPFILETIME kernelTime, LPFILETIME userTime) {
    const ProcessHandle* process = Usable(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    std::string stat;
    linux_platform::ProcessTimes times;
    std::uint64_t boot = 0;
    if (creationTime == nullptr || exitTime == nullptr || kernelTime == nullptr ||
        userTime == nullptr || ticks <= 0 ||
        !linux_platform::ReadKernelFile(ProcPath(process->pid, "stat"), &stat, 4096) ||
        !linux_platform::ParseProcessTimes(stat, &times) || !BootTime(&boot) ||
        !StillThere(process)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::uint64_t perTick = 10000000 / static_cast<std::uint64_t>(ticks);
    const std::uint64_t epoch = 116444736000000000; // 1970 in 100 ns since 1601
    const auto filetime = [](std::uint64_t value) {
        return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
    };
    *creationTime = filetime(epoch + boot * 10000000 + times.start * perTick);
    *exitTime = filetime(0);
    *kernelTime = filetime(times.kernel * perTick);
    *userTime = filetime(times.user * perTick);
    return TRUE;
}

} // extern "C"
