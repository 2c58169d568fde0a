// The Linux rendition's decisions that need no system call, for its own tests: how procfs text
// is read, how Windows priority classes map to nice values, how a process is named, and what is
// told to the service manager.
#pragma once

#include "platform.h"

#include <cstdint>
#include <string>
#include <vector>

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

// A process's times from /proc/PID/stat, in clock ticks: in user and kernel mode, and its start
// after boot. The command name before them may hold any bytes, ')' and newlines included.
struct ProcessTimes {
    std::uint64_t user = 0;
    std::uint64_t kernel = 0;
    std::uint64_t start = 0;
};
// Returns false for a text that is not of the kernel's form.
bool ParseProcessTimes(const std::string& text, ProcessTimes* times);
// The boot time from /proc/stat's "btime" line, in seconds since 1970; false where it has none.
bool ParseBootTime(const std::string& text, std::uint64_t* seconds);

// Nice value set for a priority class; false for a class that cannot be set.
bool NiceForPriorityClass(DWORD priorityClass, int* nice);
// The class whose nice value is nearest (ties toward the lower priority).
DWORD PriorityClassForNice(int nice);

// A set of processors by number, of any size, as the kernel's lists and affinities give them.
typedef std::vector<bool> CpuSet;
// The most processors a set is made for: the kernel allows 8192.
constexpr size_t MaxCpus = 65536;

// Parses a kernel CPU list ("0-3,8,10-11") into the set it names. False for a malformed list or
// one that names a processor beyond MaxCpus.
bool ParseCpuSet(const std::string& text, CpuSet* cpus);
// The processors of a set that a DWORD_PTR can name: bit n is processor n.
DWORD_PTR MaskOf(const CpuSet& cpus);

// Where a process's cpuset is kept: its cgroup's path (from "/") in the cgroup v1 hierarchy that
// holds the cpuset controller or, where none does, in the v2 hierarchy.
struct CpusetCgroup {
    bool v1 = false;
    std::string path; // "" for the root
};
// Reads /proc/PID/cgroup. False when the text names neither hierarchy, or a path that does not
// stay below the root ("..", as a process in another cgroup namespace shows).
bool ParseCpusetCgroup(const std::string& text, CpusetCgroup* cgroup);

// The masks that GetProcessAffinityMask reports, from the processors the process may use (the
// online ones within its cpuset) and every thread's affinity. The system mask holds the allowed
// processors below 64, the most that the mask can name. The process mask holds those that every
// thread may use, and it equals the system mask only when every thread may use every allowed
// processor, whatever their number: a process that lacks one above 63 reads as the system mask
// without its highest processor, so that it is never taken for one that has them all.
void AffinityMasks(const CpuSet& allowed, const std::vector<CpuSet>& threads,
                   DWORD_PTR* processMask, DWORD_PTR* systemMask);
// The processors that SetProcessAffinityMask gives every thread: every online one for the system
// mask (the kernel keeps each thread within its cpuset, and lends it processors the cpuset gains
// later), and exactly the mask's for any other. False for an empty mask or one that names a
// processor the process may not use.
bool AffinityForMask(const CpuSet& online, const CpuSet& allowed, DWORD_PTR mask, CpuSet* cpus);

// What the kernel says of one process, as read from procfs.
struct ProcessNames {
    bool exeKnown = false;
    std::string exePath; // target of /proc/PID/exe
    std::string comm;    // /proc/PID/comm without its newline, at most 15 bytes
    std::string argv0;   // first argument of /proc/PID/cmdline
};
// Whether a process whose executable is this file must be named by its own words (command name
// and command line), because the file is a Wine loader's and names the program it runs no more.
bool NeedsOwnWords(const std::string& exePath);
// The process's executable base name: the file name of its executable, or for a program run by
// Wine (and for a process whose executable cannot be read) its Windows image name, taken from
// argv[0] where that extends the kernel's command name and from the command name otherwise.
// Control characters are replaced by '?', so a name cannot forge log lines.
std::string BaseName(const ProcessNames& names);
// The process's image path as QueryFullProcessImageNameA gives it, in the Win32 form: a Unix path
// as Wine shows one ("Z:\\usr\\bin\\cl.exe"), a Windows one from argv[0] as it stands, or the
// command name alone. Whatever it is, what follows its last backslash is BaseName.
std::string ImagePath(const ProcessNames& names);

// The notification that reports one service status to systemd.
std::string ServiceNotification(const char* serviceName, const SERVICE_STATUS& status);
// The code a stop reports: the service-specific one where the Win32 code says there is one, the
// Win32 code otherwise, 0 for a stop without error.
DWORD StopExitCode(const SERVICE_STATUS& status);

} // namespace linux_platform
