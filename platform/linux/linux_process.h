// The process handle of the Linux rendition, and what the files of the process calls share: the
// handle table and its checks, the caches of a busy pass, and the listing of a process's threads.
// Not for tests: they reach the layer through the Windows calls and linux_platform.h.
#pragma once

#include "linux_platform.h"

#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace linux_process {

// What naming found, once per handle.
enum class Naming {
    Unread,
    Named,    // imagePath holds the image's path
    NoModule, // a kernel thread: no executable, no command line
    Gone,     // the process exited before it could be named
};

struct ProcessHandle {
    pid_t pid;
    int pidfd;
    DWORD access;
    Naming naming;
    std::string imagePath;
    // The online processors and those the process may use, once processorsRead.
    bool processorsRead;
    linux_platform::CpuSet online;
    linux_platform::CpuSet allowed;
    // The threads that the queries speak of, once threadsRead.
    bool threadsRead;
    std::vector<pid_t> threads;
};

// The service's own credentials: whether it holds CAP_SYS_PTRACE, which lets it read every
// process's executable link, and its user and group.
struct OwnCredentials {
    bool readEvery = false;
    uid_t user = 0;
    gid_t group = 0;
};

// What the processes of a busy pass share: the service's own credentials, and for the compilers
// the online processors, the mount table, each cgroup's members and cpuset, and whose task group
// each is. A pass begins with
// the list of processes, so EnumProcesses empties it: each is read at most once a pass, however
// many compilers share it, and a change between passes is seen at the next.
struct PassState {
    bool credentialsRead = false;
    OwnCredentials credentials;
    bool onlineRead = false;
    bool onlineFound = false;
    linux_platform::CpuSet online;
    linux_platform::CgroupCache cgroups;
    // The folders of the compilers' cgroups whose task group was decided.
    std::set<std::string> taskGroupsDecided;
};
extern std::mutex PassLock;
extern PassState Pass;

// linux_process_handles.cpp: the table of open handles, and the checks of each call.
// Whether the handle's process has exited (its pidfd is readable): from then on its identifier
// may be another process's at any moment.
bool Exited(const ProcessHandle* process);
// The handle's process, if the handle is open with the rights asked for.
ProcessHandle* Open(HANDLE handle, DWORD access);
// The handle's process, if the handle is open with the rights asked for and the process has not
// exited.
ProcessHandle* Usable(HANDLE handle, DWORD access);
// Confirms after a change that the process was there throughout it.
BOOL StillThere(const ProcessHandle* process);
DWORD ErrorFromErrno(int error);
std::string ProcPath(pid_t pid, const char* entry);

// linux_process_threads.cpp: a process's threads.
// The identifiers of the process's threads, or false when the process is gone. The directory is
// read with getdents64 itself, sparing the fstat that readdir makes, until it says there is no
// more: procfs also stops short of a full buffer when a signal is pending (a stop and continue, the
// freezer, a debugger), so a buffer with room left does not mean the listing is complete.
bool Threads(pid_t pid, std::vector<pid_t>* threads);
// The threads that the queries of one handle speak of, listed once: the priority and the affinity
// that a busy pass reads right after each other are then those of the same threads, and the
// directory is not listed twice for them. A change lists them anew, since it must reach every
// thread there is when it is made.
const std::vector<pid_t>* QueriedThreads(ProcessHandle* process);
// Applies a change to every thread, again for threads that appeared meanwhile, until a round
// finds none new. Threads that exit during the round are not failures. The process is checked
// right before each change: an identifier is only another process's once this one has exited,
// been reaped and the number handed out again, and Linux offers no pidfd form of these calls to
// close that last instant between the check and the change.
bool ForEveryThread(const ProcessHandle* process, int (*change)(pid_t tid, void* what), void* what);

// linux_process_processors.cpp: the processors a process may use.
// The cgroup files, read whole; only a file that is not there is absent.
linux_platform::FileRead ReadCgroupFile(const std::string& path, size_t limit, std::string* text);
// The online processors, read once a pass; false where they cannot be read. PassLock is held.
bool PassOnlineCpus();
// Reads the online processors and those the process may use: the online ones within its cpuset,
// which is what the kernel lets a new affinity keep; every online one when the cpuset cannot be
// read, so that the layer never names fewer than the kernel allows. Read once per handle, so that
// the masks a query reports and those a change is given speak of the same processors, even if the
// cpuset changes in between: the system mask that a query reported then means every online
// processor, which the kernel keeps within the cpuset it has by then. False where the online list
// cannot be read, or where the process's cpuset is not known for this pass.
bool ReadProcessors(ProcessHandle* process);

// linux_task_group.cpp: says, once for each CPU cgroup other than the root in which a process has
// just been lowered, that the lowering does not reach past that cgroup, and again only once it is
// removed and made anew. Reads nothing more for a cgroup already decided in this pass.
void SayTaskGroupOnce(const ProcessHandle* process);

} // namespace linux_process
