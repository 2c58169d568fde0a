// The Linux rendition's decisions, most of them needing no system call, for its own tests. Each
// group is defined in the file its comment names.
#pragma once

#include "platform.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace linux_platform {

// linux_files.cpp: reading the kernel's files. A file is read whole, up to `limit` bytes; one that
// is longer is refused (errno EFBIG), since a list or a path cut short would say something else
// than the kernel did. Only where a prefix is all that is wanted (a command line's first argument)
// is the start of a file read on purpose.
bool ReadKernelFile(const std::string& path, std::string* text, size_t limit);
bool ReadFileStart(const std::string& path, std::string* text, size_t limit);
// Reads a decimal number at the cursor and moves past it; false where there is none, or it does
// not fit.
bool ParseUnsigned(const char*& cursor, unsigned long long* value);

// linux_pdh.cpp: processor time since boot from the aggregate "cpu" line of /proc/stat, in clock
// ticks.
struct CpuTimes {
    std::uint64_t total = 0;
    std::uint64_t idle = 0; // idle and iowait
};
// Returns false when the text has no well-formed aggregate line.
bool ParseProcStat(const std::string& text, CpuTimes* times);
// Busy share of the interval between two readings, in percent. Returns false when no time
// passed or the counts went backwards.
bool CpuUtilization(const CpuTimes& earlier, const CpuTimes& later, double* percent);

// linux_process_stat.cpp: a process's times from /proc/PID/stat, in clock ticks: in user and kernel
// mode, and its start after boot. The command name before them may hold any bytes, ')' and newlines
// included.
struct ProcessTimes {
    std::uint64_t user = 0;
    std::uint64_t kernel = 0;
    std::uint64_t start = 0;
};
// Returns false for a text that is not of the kernel's form.
bool ParseProcessTimes(const std::string& text, ProcessTimes* times);
// The boot time from /proc/stat's "btime" line, in seconds since 1970; false where it has none.
bool ParseBootTime(const std::string& text, std::uint64_t* seconds);

// linux_priority_class.cpp: the nice value set for a priority class; false for a class that cannot
// be set.
bool NiceForPriorityClass(DWORD priorityClass, int* nice);
// The class whose nice value is nearest (ties toward the lower priority), and below normal for
// every nice value of 5 or more: SetPriorityClass lowers threads but never raises one, so a process
// lowered past below normal (the idle class, nice 15 to 19) reads as below normal already, and the
// service leaves it as it is instead of lifting it.
DWORD PriorityClassForNice(int nice);

// linux_cpuset.cpp: a set of processors by number, of any size, as the kernel's lists and
// affinities give them.
typedef std::vector<bool> CpuSet;
// The most processors a set is made for: the kernel allows 8192.
constexpr size_t MaxCpus = 65536;

// Parses a kernel CPU list ("0-3,8,10-11") into the set it names. False for a malformed list or
// one that names a processor beyond MaxCpus.
bool ParseCpuSet(const std::string& text, CpuSet* cpus);
// The processors of one block of 64 (32 in a 32-bit build) that a mask can name: bit n is
// processor block * 64 + n.
DWORD_PTR MaskOf(const CpuSet& cpus, size_t block = 0);
// The block that the masks of a process speak of: that of the lowest processor it may use. Where
// every processor it may use lies in one block, its masks are that block's, as Windows gives a
// process in processor group 1 the masks of group 1; a cpuset wholly above processor 63 never
// reads as two masks of 0.
size_t MaskBlock(const CpuSet& allowed);

// The masks that GetProcessAffinityMask reports, in the block of the processors the process may
// use (the online ones within its cpuset), from every thread's affinity. The system mask holds the
// allowed processors of that block. The process mask holds those that every thread may use, and
// it equals the system mask only when every thread may use every allowed processor, whatever
// their number: a process that lacks one outside the block reads as the system mask without its
// highest processor, so that it is never taken for one that has them all.
void AffinityMasks(const CpuSet& allowed, const std::vector<CpuSet>& threads,
                   DWORD_PTR* processMask, DWORD_PTR* systemMask);
// The processors that SetProcessAffinityMask gives every thread: every online one for the system
// mask (the kernel keeps each thread within its cpuset, and lends it processors the cpuset gains
// later), and exactly the mask's, in the same block, for any other. False for an empty mask or one
// that names a processor the process may not use.
bool AffinityForMask(const CpuSet& online, const CpuSet& allowed, DWORD_PTR mask, CpuSet* cpus);

// A cgroup hierarchy as mounted: the path within the hierarchy that the mount shows, and where.
struct CgroupMount {
    std::string root;
    std::string point; // "" where none is mounted
};
struct CgroupMounts {
    bool anyV1 = false;   // some cgroup v1 hierarchy is mounted
    CgroupMount v1Cpuset; // the v1 hierarchy that holds the cpuset controller
    CgroupMount v1Cpu;    // the v1 hierarchy that holds the cpu controller
    CgroupMount v2;       // the unified hierarchy
};
// Reads /proc/self/mountinfo, so that a hierarchy is found wherever it is mounted, co-mounted with
// other controllers or not. A line not of the kernel's form is passed over.
void ParseCgroupMounts(const std::string& text, CgroupMounts* mounts);
// Reads /proc/PID/cgroup: the path of the cgroup that holds the process's cpuset, in the v1
// hierarchy that holds the controller or, where none does, in the v2 one. False unless exactly one
// line names it and every line is of the kernel's form, or for a path with "..".
bool ParseCpusetCgroup(const std::string& text, const CgroupMounts& mounts, std::string* path);
// The same for any controller: the line of the v1 hierarchy that holds v1Controller, or the v2
// line where v1Controller is null.
bool ParseControllerCgroup(const std::string& text, const char* v1Controller,
                           const CgroupMounts& mounts, std::string* path);
// A cgroup's path from /proc/PID/cgroup as a folder under the hierarchy's mount: its mount shows
// the hierarchy from `root` down, so the path must lie below that root.
bool FolderOf(const CgroupMount& mount, const std::string& path, std::string* folder);

// What a file-reading callback found: the whole file, no such file, or a failure of another kind
// (one longer than `limit` bytes among them).
enum class FileRead { Read, Absent, Failed };
typedef std::function<FileRead(const std::string& path, size_t limit, std::string* text)>
    FileReader;
// What the compilers of one busy pass share, read at most once in it: the mount table, and of
// each cgroup its members and its cpuset. Emptied when a pass starts, so that a cpuset changed
// between passes is seen at the next.
struct CgroupCache {
    struct Folder {
        int listReads = 0; // of cgroup.procs: once, and once more for a process that joined since
        std::unordered_set<unsigned long long> members;
        bool cpusetRead = false;
        bool cpusetFound = false;
        CpuSet cpuset;
    };
    bool mountsRead = false;
    bool mountsFound = false;
    CgroupMounts mounts;
    std::map<std::string, Folder> folders; // by the cgroup's folder
};
// Reads the mount table into the cache, once a pass; false where it cannot be read.
bool ReadCgroupMounts(const FileReader& read, CgroupCache* cache);
// What FindCpuset found: the processors of the process's cpuset; none that can be told, where the
// layer takes every online processor; or not known for this pass, where /proc/PID/cgroup names a
// cgroup whose list, read as often as a pass reads it, lacks the process: it may have joined since,
// and taking it for one in no cpuset would widen it past its cpuset's processors. The next pass
// reads the list anew.
enum class CpusetFound { Cpus, None, Unknown };
// The processors of the process's cpuset: those of the cgroup that /proc/PID/cpuset names (or,
// where that file is absent, that /proc/PID/cgroup names and whose process list holds the process)
// or, where the controller is not enabled for that cgroup (its file is absent), its nearest
// ancestor's that has one. Only the process's own file is read for each process; the rest is read
// through the cache.
CpusetFound FindCpuset(unsigned long pid, const FileReader& read, CgroupCache* cache, CpuSet* cpus);

// linux_task_group.cpp: the task group that calming a compiler stays within, a CPU cgroup: a nice
// value ranks a thread only among the threads of its task group.
struct TaskGroup {
    bool v1 = false;               // a cgroup of v1's cpu hierarchy rather than the unified one
    std::string path;              // as /proc/PID/cgroup gives it; "/" for the root
    unsigned long long weight = 0; // its cpu.weight (v2) or cpu.shares (v1)
    // The systemd service whose cgroup holds the compilers, where it is one (on v2, a cgroup
    // named NAME.service), though its task group may be a parent's: what the remedy moves.
    std::string service;
};
// Whether a compiler lowered in this task group is to be said to be calmed within it alone: in
// every CPU cgroup but the root, whose tasks compete with the whole machine (each autogroup of it
// ranked by its own nice value instead, which the service does not change).
bool CalmingStaysWithin(const TaskGroup& group);
// The line that says so, with the weight that ranks the cgroup among its siblings and what would
// lower it. It begins "task group: ".
std::string TaskGroupLine(const TaskGroup& group);

// linux_names.cpp: the text of a name as the kernel gives it (bytes, UTF-8 where it is text), with
// each C0 control, DEL and C1 control replaced by '?': a C1 control as UTF-8 encodes it (C2 80 to
// C2 9F), or a byte 80 to 9F that is not part of a well-formed UTF-8 sequence. Every other byte
// stays, so text in any script survives.
std::string WithoutControlCharacters(const std::string& name);
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
// Its control characters are replaced as WithoutControlCharacters replaces them.
std::string BaseName(const ProcessNames& names);
// The process's image path as QueryFullProcessImageNameA gives it, in the Win32 form: a Unix path
// as Wine shows one ("Z:\\usr\\bin\\cl.exe"), a Windows one from argv[0] as it stands, or the
// command name alone. Whatever it is, what follows its last backslash is BaseName.
std::string ImagePath(const ProcessNames& names);

// linux_journal_stream.cpp: stdout as a journal stream that gives each line the priority of its
// kind. Lines go whole to fd, each with its priority's "<N>" prefix, and one longer than 4,096
// bytes in pieces of that size, each with its line's prefix: the bound is the layer's own, far
// below journald's LineMax=, and holds what the stream keeps of an unended line to one piece. A
// line that cannot be written is dropped and counted, and the count said on noticeFd once writing
// works again, or at exit.
struct JournalStream {
    int fd = 1;
    int noticeFd = 2;
    std::string partial;  // a line not yet ended, never more than one line's worth
    int cutPriority = -1; // the priority of a line cut into pieces, until its last piece
    unsigned long long dropped = 0;
};
// Takes all of data, whatever becomes of its lines.
ssize_t WriteJournalStream(JournalStream* stream, const char* data, size_t size);
// A line-buffered stream over it; null on failure.
FILE* OpenJournalStream(JournalStream* stream);
// Flushes the stream over it, writes a line it holds unended, and says the losses: at exit, before
// exit's own flush of the streams.
void FinishJournalStream(JournalStream* stream, FILE* file);
// The journal priority of an event's lines: err for an error, warning for a warning, notice for
// a change, info for the service's own events; -1 for a kind not known here, whose lines go at
// info, and which the stream says once. A line written with no event (a sample) goes at debug.
int JournalPriority(WORD eventType, DWORD eventId);
// Tells the stream the kind of the lines of an event about to be written.
void NoteReportedLines(WORD eventType, DWORD eventId, LPCSTR* lines, WORD count);
// Writes a line of the layer's own to stdout, where the service's lines go, at notice: in the
// journal it stands with the changes it speaks of.
void SayNotice(const std::string& line);
// Where the service manager connected stdout and stderr to the journal: stdout becomes a stream
// as above, and stderr a journal stream at priority err.
void ConnectJournalStreams();

// linux_service.cpp: the notification that reports one service status to systemd.
std::string ServiceNotification(const char* serviceName, const SERVICE_STATUS& status);
// The code a stop reports: the service-specific one where the Win32 code says there is one, the
// Win32 code otherwise, 0 for a stop without error.
DWORD StopExitCode(const SERVICE_STATUS& status);

} // namespace linux_platform
