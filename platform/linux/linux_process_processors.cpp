// The processors a process may use: the online ones within its cpuset, read once a pass for every
// process that shares them; and its processor group, which Linux has only one of.
#include "linux_process.h"

#include <algorithm>
#include <cerrno>

namespace linux_process {

namespace {

// The online processors, every one of them, however many.
bool OnlineCpus(linux_platform::CpuSet* online) {
    std::string text;
    return linux_platform::ReadKernelFile("/sys/devices/system/cpu/online", &text, 65536) &&
           linux_platform::ParseCpuSet(text, online) &&
           std::find(online->begin(), online->end(), true) != online->end();
}

} // namespace

linux_platform::FileRead ReadCgroupFile(const std::string& path, size_t limit, std::string* text) {
    errno = 0;
    if (linux_platform::ReadKernelFile(path, text, limit)) {
        return linux_platform::FileRead::Read;
    }
    return errno == ENOENT ? linux_platform::FileRead::Absent : linux_platform::FileRead::Failed;
}

bool PassOnlineCpus() {
    if (!Pass.onlineRead) {
        Pass.onlineRead = true;
        Pass.onlineFound = OnlineCpus(&Pass.online);
    }
    return Pass.onlineFound;
}

bool ReadProcessors(ProcessHandle* process) {
    if (process->processorsRead) {
        return true;
    }
    std::lock_guard<std::mutex> guard(PassLock);
    if (!PassOnlineCpus()) {
        return false;
    }
    const linux_platform::CpuSet& online = Pass.online;
    linux_platform::CpuSet cpuset;
    linux_platform::CpuSet allowed(online.size(), false);
    bool any = false;
    const linux_platform::CpusetFound found = linux_platform::FindCpuset(
        static_cast<unsigned long>(process->pid), ReadCgroupFile, &Pass.cgroups, &cpuset);
    if (found == linux_platform::CpusetFound::Unknown) {
        return false;
    }
    if (found == linux_platform::CpusetFound::Cpus) {
        for (size_t cpu = 0; cpu < online.size() && cpu < cpuset.size(); ++cpu) {
            allowed[cpu] = online[cpu] && cpuset[cpu];
            any = any || allowed[cpu];
        }
    }
    process->online = online;
    process->allowed = any ? allowed : online;
    process->processorsRead = true;
    return true;
}

} // namespace linux_process

using namespace linux_process;

extern "C" {

// Linux has no processor groups: every process is in one, whose number is that of the block of 64
// its masks speak of, and its affinity spans every processor it may use, in every block.
BOOL WINAPI GetProcessGroupAffinity(HANDLE handle, PUSHORT groupCount, PUSHORT groupArray) {
    ProcessHandle* process = Open(handle, PROCESS_QUERY_LIMITED_INFORMATION);
    if (process == nullptr) {
        return FALSE;
    }
    // Where no processor is numbered 64 or more, every process is in group 0, whatever its cpuset:
    // the answer needs nothing of the process.
    bool onlyGroupZero = false;
    {
        std::lock_guard<std::mutex> guard(PassLock);
        onlyGroupZero = PassOnlineCpus() && Pass.online.size() <= sizeof(DWORD_PTR) * 8;
    }
    if (groupCount == nullptr ||
        (!onlyGroupZero && (!ReadProcessors(process) || !StillThere(process)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (*groupCount < 1) {
        *groupCount = 1;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    groupArray[0] =
        onlyGroupZero ? 0 : static_cast<USHORT>(linux_platform::MaskBlock(process->allowed));
    *groupCount = 1;
    return TRUE;
}

} // extern "C"
