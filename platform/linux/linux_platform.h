// The Linux rendition's decisions that need no system call, for its own tests: how procfs text
// is read, how Windows priority classes map to nice values, how a process is named, and what is
// told to the service manager.
#pragma once

#include "platform.h"

#include <cstdint>
#include <string>

namespace linux_platform {

// Processor time since boot from the aggregate "cpu" line of /proc/stat, in clock ticks.
struct CpuTimes {
    std::uint64_t total = 0;
    std::uint64_t idle = 0; // idle and iowait
};
// Returns false when the text has no well-formed aggregate line.
bool ParseProcStat(const std::string& text, CpuTimes* times);
// Busy share of the interval between two readings, in percent. Returns false when no time
// passed or the counts went backwards.
bool CpuUtilization(const CpuTimes& earlier, const CpuTimes& later, double* percent);

// Nice value set for a priority class; false for a class that cannot be set.
bool NiceForPriorityClass(DWORD priorityClass, int* nice);
// The class whose nice value is nearest (ties toward the lower priority).
DWORD PriorityClassForNice(int nice);

// Parses a kernel CPU list ("0-3,8,10-11") into a mask of the CPUs that fit in DWORD_PTR.
bool ParseCpuList(const std::string& text, DWORD_PTR* mask);

// What the kernel says of one process, as read from procfs.
struct ProcessNames {
    bool exeKnown = false;
    std::string exePath; // target of /proc/PID/exe
    std::string comm;    // /proc/PID/comm without its newline, at most 15 bytes
    std::string argv0;   // first argument of /proc/PID/cmdline
};
// The process's executable base name: the file name of its executable, or for a program run by
// Wine (and for a process whose executable cannot be read) its Windows image name, taken from
// argv[0] where that extends the kernel's command name and from the command name otherwise.
// Control characters are replaced by '?', so a name cannot forge log lines.
std::string BaseName(const ProcessNames& names);

// The notification that reports one service status to systemd.
std::string ServiceNotification(const char* serviceName, const SERVICE_STATUS& status);
// The code a stop reports: the service-specific one where the Win32 code says there is one, the
// Win32 code otherwise, 0 for a stop without error.
DWORD StopExitCode(const SERVICE_STATUS& status);

} // namespace linux_platform
