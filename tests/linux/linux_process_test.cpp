// The Linux layer's process calls against real processes.
#include "capture.h"
#include "children.h"
#include "platform.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const DWORD AllRights = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_INFORMATION;

// A process handle closed at the end of the test.
struct Opened {
    explicit Opened(pid_t pid, DWORD access = AllRights)
        : handle(OpenProcess(access, FALSE, static_cast<DWORD>(pid))) {}
    ~Opened() {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    HANDLE handle;
};

// The image path's last part, as the policy names a process.
std::string NameOf(HANDLE handle) {
    char path[4096] = "";
    DWORD size = sizeof path;
    if (!QueryFullProcessImageNameA(handle, 0, path, &size)) {
        return "<no image>";
    }
    const char* separator = strrchr(path, '\\');
    return separator != nullptr ? separator + 1 : path;
}

int OpenDescriptors() {
    int count = 0;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (readdir(fds) != nullptr) {
            ++count;
        }
        closedir(fds);
    }
    return count;
}

TEST(EnumProcessesTest, ListsThisProcessAndHonoursTheBufferSize) {
    std::vector<DWORD> ids(65536);
    DWORD bytes = 0;
    ASSERT_TRUE(EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * 4), &bytes));
    ids.resize(bytes / 4);
    EXPECT_NE(std::find(ids.begin(), ids.end(), static_cast<DWORD>(getpid())), ids.end());
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 0u), 0);

    Child one("burner", {"--idle"});
    Child two("burner", {"--idle"});
    DWORD small[2] = {0, 0};
    ASSERT_TRUE(EnumProcesses(small, sizeof small, &bytes)) << "a short buffer still succeeds";
    EXPECT_EQ(bytes, sizeof small) << "and is filled completely";
    DWORD odd[2] = {0, 0xdeadbeef};
    ASSERT_TRUE(EnumProcesses(odd, 7, &bytes));
    EXPECT_EQ(bytes, 4u) << "never more than it was given";
    EXPECT_EQ(odd[1], 0xdeadbeefu);
    ASSERT_TRUE(EnumProcesses(odd, 0, &bytes));
    EXPECT_EQ(bytes, 0u);
}

TEST(OpenProcessTest, RefusesTheIdleIdentifierAndProcessesThatDoNotExist) {
    SetLastError(0);
    EXPECT_EQ(OpenProcess(AllRights, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenProcess(AllRights, FALSE, 0x7ffffffe), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(OpenProcess(AllRights, FALSE, 0xfffffff0u), nullptr);
}

TEST(OpenProcessTest, HandlesAreClosedOnceAndLeakNoDescriptor) {
    const int before = OpenDescriptors();
    for (int i = 0; i < 500; ++i) {
        HANDLE handle = OpenProcess(AllRights, FALSE, static_cast<DWORD>(getpid()));
        ASSERT_NE(handle, nullptr);
        ASSERT_TRUE(CloseHandle(handle));
        if (i == 0) {
            EXPECT_FALSE(CloseHandle(handle)) << "a second close is refused";
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
    int made_up = 0;
    EXPECT_FALSE(CloseHandle(&made_up));
    EXPECT_EQ(GetPriorityClass(&made_up), 0u);
}

TEST(BaseNameTest, NativeExecutableIsNamedInFull) {
    Child child("cl.exe.with.a.long.name", {"--idle"});
    Opened process(child.pid());
    ASSERT_NE(process.handle, nullptr);
    EXPECT_EQ(NameOf(process.handle), "cl.exe.with.a.long.name");
}

TEST(BaseNameTest, ExecutableRenamedInProcessCannotPassForACompiler) {
    // Command name and argv[0] say cl.exe; the executable file does not.
    Child child("burner", {"--idle", "--comm", "cl.exe"}, "cl.exe");
    ASSERT_TRUE(child.WaitForCommandName("cl.exe"));
    Opened process(child.pid());
    EXPECT_EQ(NameOf(process.handle), "burner");
}

TEST(BaseNameTest, ProgramUnderAWineLoaderIsNamedByItsImage) {
    Child child("wine64-preloader", {"--idle", "--comm", "cl.exe"}, "C:\\VC\\bin\\cl.exe");
    ASSERT_TRUE(child.WaitForCommandName("cl.exe"));
    Opened process(child.pid());
    EXPECT_EQ(NameOf(process.handle), "cl.exe");
}

TEST(BaseNameTest, ControlCharactersInTheFileNameAreReplaced) {
    Child child("cl.exe\nerror: forged", {"--idle"});
    Opened process(child.pid());
    EXPECT_EQ(NameOf(process.handle), "cl.exe?error: forged");
}

TEST(BaseNameTest, ImagePathIsWinesFormOfTheExecutablesAndMustFitWhole) {
    Child child("cl.exe.with.a.long.name", {"--idle"});
    Opened process(child.pid(), PROCESS_QUERY_LIMITED_INFORMATION);
    char exe[4096];
    const ssize_t length =
        readlink(("/proc/" + std::to_string(child.pid()) + "/exe").c_str(), exe, sizeof exe - 1);
    ASSERT_GT(length, 0);
    std::string expected = "Z:" + std::string(exe, static_cast<size_t>(length));
    std::replace(expected.begin(), expected.end(), '/', '\\');
    char path[4096];
    DWORD size = sizeof path;
    ASSERT_TRUE(QueryFullProcessImageNameA(process.handle, 0, path, &size));
    EXPECT_EQ(std::string(path), expected);
    EXPECT_EQ(size, expected.size());
    size = static_cast<DWORD>(expected.size());
    EXPECT_FALSE(QueryFullProcessImageNameA(process.handle, 0, path, &size)) << "no room for 0";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(BaseNameTest, NameIsReadOncePerHandle) {
    // A shell that becomes another program once told to: its first handle keeps the name it
    // read, a new handle reads the new one.
    int feed[2];
    ASSERT_EQ(pipe(feed), 0);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, feed[0], 0);
    posix_spawn_file_actions_addclose(&files, feed[1]);
    const char* argv[] = {"/bin/sh", "-c", "read line; exec sleep 60", nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, const_cast<char**>(argv), environ), 0);
    posix_spawn_file_actions_destroy(&files);
    close(feed[0]);
    char shell[PATH_MAX];
    ASSERT_NE(realpath("/bin/sh", shell), nullptr);
    const std::string shellName = strrchr(shell, '/') + 1;

    Opened first(pid);
    EXPECT_EQ(NameOf(first.handle), shellName);
    ASSERT_EQ(write(feed[1], "\n", 1), 1);
    const std::string exeLink = "/proc/" + std::to_string(pid) + "/exe";
    EXPECT_TRUE(WaitUntil(
        [&] {
            char exe[PATH_MAX];
            const ssize_t length = readlink(exeLink.c_str(), exe, sizeof exe);
            return length > 0 &&
                   std::string(exe, static_cast<size_t>(length)).find("sleep") != std::string::npos;
        },
        5))
        << "the shell has not become sleep";
    EXPECT_EQ(NameOf(first.handle), shellName);
    Opened second(pid);
    EXPECT_EQ(NameOf(second.handle), "sleep");
    close(feed[1]);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// A child of kthreadd, process 2: a kernel thread.
pid_t KernelThreadChild() {
    DIR* proc = opendir("/proc");
    pid_t found = 0;
    while (const dirent* entry = found == 0 ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string line;
        const size_t end = std::getline(stat, line) ? line.rfind(") ") : std::string::npos;
        if (end != std::string::npos && line.compare(end + 3, 3, " 2 ") == 0) {
            found = static_cast<pid_t>(atoi(entry->d_name));
        }
    }
    closedir(proc);
    return found;
}

TEST(BaseNameTest, KernelThreadHasNoModule) {
    std::ifstream comm("/proc/2/comm");
    std::string name;
    if (!(comm >> name) || name != "kthreadd") {
        GTEST_SKIP() << "no kernel threads are visible here";
    }
    Opened process(2);
    ASSERT_NE(process.handle, nullptr);
    EXPECT_EQ(NameOf(process.handle), "<no image>");
    // Nor for another user, such as the unit's, who cannot read its executable link at all.
    if (geteuid() != 0) {
        return;
    }
    const pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        // A pass begins, which reads the credentials it runs with: kthreadd, which has no parent,
        // and a kernel thread that is its child.
        DWORD first = 0;
        DWORD bytes = 0;
        EnumProcesses(&first, sizeof first, &bytes);
        Opened kernel(2);
        Opened worker(KernelThreadChild());
        _exit(kernel.handle != nullptr && NameOf(kernel.handle) == "<no image>" &&
                      worker.handle != nullptr && NameOf(worker.handle) == "<no image>"
                  ? 0
                  : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Gives the thread a scheduling policy: a deadline reservation of 1 ms in 100 ms, or the lowest
// real-time priority; SCHED_RESET_ON_FORK added sets the flag of that name.
int SetPolicy(pid_t tid, int policy) {
    const std::uint64_t resetOnFork = (policy & SCHED_RESET_ON_FORK) != 0 ? 1 : 0;
    policy &= ~SCHED_RESET_ON_FORK;
    struct {
        std::uint32_t size, policy;
        std::uint64_t flags;
        std::int32_t nice;
        std::uint32_t priority;
        std::uint64_t runtime, deadline, period;
    } attributes{sizeof attributes, static_cast<std::uint32_t>(policy), resetOnFork, 0, 0, 0, 0, 0};
    if (policy == SCHED_DEADLINE) {
        attributes.runtime = 1000000;
        attributes.deadline = attributes.period = 100000000;
    } else if (policy == SCHED_FIFO || policy == SCHED_RR) {
        attributes.priority = 1;
    }
    return static_cast<int>(syscall(SYS_sched_setattr, tid, &attributes, 0));
}

// One thread of four under each policy in turn, then all four real time. A deadline thread has a
// nice value all the same, which the kernel keeps for it, so it is lowered once and reads as
// lowered after. A real-time thread is the most urgent and no nice value reaches it: as a
// time-critical thread on Windows keeps its base priority whatever its process's class, it is left
// as it is and read past, and the other threads are lowered once and then read as lowered, so a
// later pass changes nothing. Only where every thread is real time does setting a lower class
// change nothing and say so, whatever flag the threads have.
TEST(PriorityTest, ClassIsSetOnEveryThreadAndReadFromTheMostUrgent) {
    const struct {
        const char* what;
        int policy;
        bool every; // every thread under the policy, not only the last
        DWORD before;
        bool lowered;
    } rows[] = {
        {"normal", SCHED_OTHER, false, NORMAL_PRIORITY_CLASS, true},
        {"batch", SCHED_BATCH, false, NORMAL_PRIORITY_CLASS, true},
        {"deadline", SCHED_DEADLINE, false, NORMAL_PRIORITY_CLASS, true},
        {"round-robin", SCHED_RR, false, NORMAL_PRIORITY_CLASS, true},
        {"round-robin reset on fork", SCHED_RR | SCHED_RESET_ON_FORK, false, NORMAL_PRIORITY_CLASS,
         true},
        {"every thread round-robin", SCHED_RR, true, REALTIME_PRIORITY_CLASS, false},
        {"every thread round-robin reset on fork", SCHED_RR | SCHED_RESET_ON_FORK, true,
         REALTIME_PRIORITY_CLASS, false},
    };
    for (const auto& row : rows) {
        Child child("burner", {"--idle", "--threads", "4"});
        ASSERT_TRUE(child.WaitForThreads(4));
        const pid_t special = ThreadsOf(child.pid()).back();
        if (row.policy != SCHED_OTHER && geteuid() != 0) {
            continue; // only root may give a thread a real-time policy or a reservation
        }
        const int policy = row.policy & ~SCHED_RESET_ON_FORK;
        const bool realTime = policy == SCHED_RR;
        for (const pid_t tid : row.every ? ThreadsOf(child.pid()) : std::vector<pid_t>{special}) {
            ASSERT_EQ(SetPolicy(tid, row.policy), 0) << row.what << ": " << strerror(errno);
        }
        Opened process(child.pid());
        EXPECT_EQ(GetPriorityClass(process.handle), row.before) << row.what;

        EXPECT_EQ(SetPriorityClass(process.handle, BELOW_NORMAL_PRIORITY_CLASS), row.lowered)
            << row.what;
        const std::vector<pid_t> threads = ThreadsOf(child.pid());
        ASSERT_GE(threads.size(), 4u); // a sanitizer may add a thread of its own
        for (const pid_t tid : threads) {
            const bool underPolicy = row.every || tid == special;
            EXPECT_EQ(NiceOf(tid), row.lowered && !(underPolicy && realTime) ? 10 : 0)
                << row.what << ", thread " << tid;
            EXPECT_EQ(sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK,
                      underPolicy ? policy : SCHED_OTHER)
                << row.what << ", thread " << tid;
        }
        if (!row.lowered) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED)) << row.what;
            EXPECT_EQ(GetPriorityClass(process.handle), row.before) << row.what;
            continue;
        }
        EXPECT_EQ(GetPriorityClass(process.handle), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS))
            << row.what;

        // A thread that a nice value reaches back at nice 0: the process is no longer below normal
        // as a whole.
        const pid_t lifted = realTime ? threads.front() : special;
        ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(lifted), 0), 0);
        EXPECT_EQ(GetPriorityClass(process.handle), static_cast<DWORD>(NORMAL_PRIORITY_CLASS))
            << row.what;
    }
}

TEST(PriorityTest, NoThreadIsEverLifted) {
    // One thread lowered to nice 19 by its owner, the others at 0.
    Child child("burner", {"--idle", "--threads", "3"});
    ASSERT_TRUE(child.WaitForThreads(3));
    const pid_t lowered = ThreadsOf(child.pid()).back();
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(lowered), 19), 0);
    Opened process(child.pid());
    ASSERT_TRUE(SetPriorityClass(process.handle, BELOW_NORMAL_PRIORITY_CLASS));
    for (const pid_t tid : ThreadsOf(child.pid())) {
        EXPECT_EQ(NiceOf(tid), tid == lowered ? 19 : 10) << "thread " << tid;
    }
    // Every thread at 19: the idle class reads as below normal, and setting that changes nothing.
    ASSERT_TRUE(SetPriorityClass(process.handle, IDLE_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(process.handle), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    ASSERT_TRUE(SetPriorityClass(process.handle, NORMAL_PRIORITY_CLASS));
    for (const pid_t tid : ThreadsOf(child.pid())) {
        EXPECT_EQ(NiceOf(tid), 19) << "thread " << tid;
    }
}

TEST(PriorityTest, RealTimeIsNeverGrantedAndRightsAreChecked) {
    Child child("burner", {"--idle"});
    Opened process(child.pid());
    EXPECT_FALSE(SetPriorityClass(process.handle, REALTIME_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_FALSE(SetPriorityClass(process.handle, 0x1234));

    // Linux infers no quality of service to opt out of: it answers as a Windows without the class.
    PROCESS_POWER_THROTTLING_STATE state{PROCESS_POWER_THROTTLING_CURRENT_VERSION,
                                         PROCESS_POWER_THROTTLING_EXECUTION_SPEED, 0};
    EXPECT_FALSE(
        SetProcessInformation(process.handle, ProcessPowerThrottling, &state, sizeof state));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    Opened readOnly(child.pid(), PROCESS_QUERY_LIMITED_INFORMATION);
    EXPECT_FALSE(SetPriorityClass(readOnly.handle, BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetProcessAffinityMask(readOnly.handle, 1));
    EXPECT_EQ(NiceOf(child.pid()), 0);
}

TEST(AffinityTest, MaskIsWidenedOnEveryThread) {
    if (OnlineMask() < 0x3) {
        GTEST_SKIP() << "needs two processors";
    }
    Child child("burner", {"--idle", "--threads", "3", "--cpus", "0x1"});
    ASSERT_TRUE(child.WaitForThreads(3));
    Opened process(child.pid());
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(process.handle, &processMask, &systemMask));
    EXPECT_EQ(processMask, 0x1u);
    EXPECT_EQ(systemMask, OnlineMask());

    ASSERT_TRUE(SetProcessAffinityMask(process.handle, systemMask));
    for (const pid_t tid : ThreadsOf(child.pid())) {
        EXPECT_EQ(AffinityOf(tid), OnlineMask()) << "thread " << tid;
    }
    ASSERT_TRUE(GetProcessAffinityMask(process.handle, &processMask, &systemMask));
    EXPECT_EQ(processMask, systemMask);
}

TEST(AffinityTest, OneNarrowThreadMakesTheProcessNarrow) {
    if (OnlineMask() < 0x3) {
        GTEST_SKIP() << "needs two processors";
    }
    Child child("burner", {"--idle", "--threads", "3"});
    ASSERT_TRUE(child.WaitForThreads(3));
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(1, &one);
    ASSERT_EQ(sched_setaffinity(ThreadsOf(child.pid()).back(), sizeof one, &one), 0);
    Opened process(child.pid());
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    ASSERT_TRUE(GetProcessAffinityMask(process.handle, &processMask, &systemMask));
    EXPECT_EQ(processMask, 0x2u);
}

// A cgroup of the test's own with the controller, removed at the end: in cgroup v1's hierarchy of
// that controller, or in v2 where its root hands the controller on. `path` stays empty where none
// can be made; `root` is the hierarchy's.
struct Cgroup {
    Cgroup(const std::string& controller, const std::string& name)
        : root("/sys/fs/cgroup/" + controller) {
        std::ifstream control("/sys/fs/cgroup/cgroup.subtree_control");
        std::string enabled;
        if (access((root + "/tasks").c_str(), W_OK) != 0 && std::getline(control, enabled) &&
            (" " + enabled + " ").find(" " + controller + " ") != std::string::npos) {
            root = "/sys/fs/cgroup";
        }
        const std::string dir = root + "/ostrevane-test-" + std::to_string(getpid()) + "-" + name;
        if (mkdir(dir.c_str(), 0755) == 0) {
            path = dir;
        }
    }
    ~Cgroup() { Remove(); }
    // Its members were reaped before, but the kernel may take a moment to let go.
    void Remove() {
        if (!path.empty()) {
            WaitUntil([this] { return rmdir(path.c_str()) == 0 || errno != EBUSY; }, 5);
        }
    }
    bool Write(const char* file, const std::string& text) const {
        std::ofstream out(path + "/" + file);
        return static_cast<bool>(out << text << std::flush);
    }
    std::string root;
    std::string path;
};

// A cpuset cgroup of the processors given.
struct Cpuset : Cgroup {
    explicit Cpuset(const std::string& cpus) : Cgroup("cpuset", cpus) {
        if (!path.empty() && (!Write("cpuset.mems", "0") || !Write("cpuset.cpus", cpus))) {
            Remove();
            path.clear();
        }
    }
};

// Compilers lowered in turn, each in a new pass: one lowered in a CPU cgroup other than the root is
// said to be calmed within it, once for the cgroup, and again once it is made anew; none in the
// root's. On v2 a child cgroup without the controller is in its parent's task group, and becomes
// one of its own, to be said, when the parent enables the controller, which changes no inode.
TEST(PriorityTest, LoweringInACpuCgroupIsSaidOncePerCgroup) {
    Cgroup cpu("cpu", "cpu");
    if (cpu.path.empty()) {
        GTEST_SKIP() << "needs a CPU cgroup it can make (as root: cgroup v1's cpu hierarchy, or "
                        "v2's with the controller handed on)";
    }
    const std::string cgroup = cpu.path.substr(cpu.root.size());
    const bool v1 = cpu.root != "/sys/fs/cgroup";
    const std::string line =
        "task group: compilers in cgroup " + cgroup + (v1 ? " of the cpu hierarchy" : "") +
        " are calmed only against that cgroup's own tasks; against its sibling cgroups it keeps " +
        (v1 ? "cpu.shares 1024" : "CPU weight 100") +
        ": to calm the build against the rest of the machine, run it in a cgroup of its own "
        "directly below the root, with a low " +
        (v1 ? "cpu.shares\n" : "cpu.weight\n");
    // Removed before the cgroup it is in.
    struct Folder {
        ~Folder() { rmdir(path.c_str()); }
        std::string path;
    } child{cpu.path + "/child"};
    const std::string childLine = "task group: compilers in cgroup " + cgroup +
                                  "/child are calmed only against that cgroup's own tasks; against "
                                  "its sibling cgroups it keeps CPU weight 100, and its parent "
                                  "cgroup keeps its own: to calm the build against the rest of "
                                  "the machine, run it in a cgroup of its own directly below the "
                                  "root, with a low cpu.weight\n";
    const struct {
        const char* what;
        bool inRoot;
        bool remade;
        bool inChild; // v2 only
        const char* enable;
        std::string said;
    } rows[] = {
        {"the first compiler in the cgroup", false, false, false, nullptr, line},
        {"a second compiler there, in a later pass", false, false, false, nullptr, ""},
        {"a compiler in the root cgroup", true, false, false, nullptr, ""},
        {"a compiler in the cgroup removed and made anew", false, true, false, nullptr, line},
        {"a compiler in a child without the controller", false, false, true, nullptr, ""},
        {"a compiler in that child given the controller", false, false, true, "+cpu", childLine},
    };
    for (const auto& row : rows) {
        if (row.inChild && v1) {
            continue;
        }
        if (row.remade) {
            cpu.Remove();
            ASSERT_EQ(mkdir(cpu.path.c_str(), 0755), 0) << row.what;
        }
        if (row.inChild) {
            ASSERT_TRUE(mkdir(child.path.c_str(), 0755) == 0 || errno == EEXIST) << row.what;
        }
        if (row.enable != nullptr) {
            ASSERT_TRUE(cpu.Write("cgroup.subtree_control", row.enable)) << row.what;
        }
        Child compiler("cl.exe", {"--idle"});
        std::ofstream join((row.inRoot    ? cpu.root
                            : row.inChild ? child.path
                                          : cpu.path) +
                           "/cgroup.procs");
        ASSERT_TRUE(join << compiler.pid() << std::flush) << row.what;
        DWORD ids[4096];
        DWORD bytes = 0;
        ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
        Opened process(compiler.pid());
        BOOL lowered = FALSE;
        std::string said;
        {
            OutputCapture capture;
            lowered = SetPriorityClass(process.handle, BELOW_NORMAL_PRIORITY_CLASS);
            said = capture.Stdout();
        }
        ASSERT_TRUE(lowered) << row.what;
        EXPECT_EQ(said, row.said) << row.what;
        compiler.End();
    }
}

TEST(AffinityTest, CompilerInACpusetIsWidenedWithinItOnlyAndOnce) {
    // Cpusets of the first processor, and of the first and the last: on more than two, not all.
    const unsigned long long online = OnlineMask();
    const int last = online < 0x3 ? 0 : 63 - __builtin_clzll(online);
    Cpuset one("0");
    Cpuset two("0," + std::to_string(last));
    if (last == 0 || one.path.empty() || two.path.empty()) {
        GTEST_SKIP() << "needs two processors, and a cpuset cgroup it can make (as root: cgroup "
                        "v1's cpuset hierarchy, or v2's with the controller handed on)";
    }
    Child confined("cl.exe", {"--idle", "--threads", "2"});
    Child pinned("cl.exe", {"--idle", "--threads", "2"});
    ASSERT_TRUE(confined.WaitForThreads(2) && pinned.WaitForThreads(2));
    ASSERT_TRUE(one.Write("cgroup.procs", std::to_string(confined.pid())) &&
                two.Write("cgroup.procs", std::to_string(pinned.pid())));
    // A busy pass begins with the list of processes, and the cgroups are read anew for it.
    DWORD ids[4096];
    DWORD bytes = 0;
    ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
    // Pinned to the first processor after joining, since v1 gives a joining task its whole cpuset.
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    for (const pid_t tid : ThreadsOf(pinned.pid())) {
        ASSERT_EQ(sched_setaffinity(tid, sizeof first, &first), 0);
    }
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    // On its one processor, it has all its cpuset allows: nothing to widen.
    Opened alone(confined.pid());
    ASSERT_TRUE(GetProcessAffinityMask(alone.handle, &processMask, &systemMask));
    EXPECT_EQ(processMask, 0x1u);
    EXPECT_EQ(systemMask, 0x1u);
    EXPECT_FALSE(SetProcessAffinityMask(alone.handle, 0x3)) << "a processor outside its cpuset";
    // Pinned inside its cpuset, it is widened to exactly the cpuset, and has the system mask then.
    const unsigned long long pair = 0x1ull | 1ull << last;
    Opened inside(pinned.pid());
    ASSERT_TRUE(GetProcessAffinityMask(inside.handle, &processMask, &systemMask));
    EXPECT_EQ(processMask, 0x1u);
    ASSERT_EQ(systemMask, pair);
    ASSERT_TRUE(SetProcessAffinityMask(inside.handle, systemMask));
    for (const pid_t tid : ThreadsOf(pinned.pid())) {
        EXPECT_EQ(AffinityOf(tid), pair) << "thread " << tid;
    }
    ASSERT_TRUE(GetProcessAffinityMask(inside.handle, &processMask, &systemMask));
    EXPECT_EQ(processMask, systemMask);
    // Its cpuset narrowed to the first processor: the next pass sees that, with nothing to widen.
    ASSERT_TRUE(two.Write("cpuset.cpus", "0"));
    ASSERT_TRUE(EnumProcesses(ids, sizeof ids, &bytes));
    Opened narrowed(pinned.pid());
    ASSERT_TRUE(GetProcessAffinityMask(narrowed.handle, &processMask, &systemMask));
    EXPECT_EQ(systemMask, 0x1u);
    EXPECT_EQ(processMask, 0x1u);
    confined.End();
    pinned.End();
}

TEST(AffinityTest, EmptyMaskOrUnknownProcessorsAreRefused) {
    Child child("burner", {"--idle"});
    Opened process(child.pid());
    EXPECT_FALSE(SetProcessAffinityMask(process.handle, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const DWORD_PTR beyond = ~static_cast<DWORD_PTR>(OnlineMask());
    if (beyond != 0) {
        EXPECT_FALSE(SetProcessAffinityMask(process.handle, beyond));
    }
}

TEST(ExitedProcessTest, HandleOfAnExitedProcessChangesNothing) {
    Child child("cl.exe", {"--idle"});
    Opened process(child.pid());
    ASSERT_NE(process.handle, nullptr);
    child.End();
    EXPECT_EQ(NameOf(process.handle), "<no image>");
    EXPECT_EQ(GetPriorityClass(process.handle), 0u);
    EXPECT_FALSE(SetPriorityClass(process.handle, BELOW_NORMAL_PRIORITY_CLASS));
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    EXPECT_FALSE(GetProcessAffinityMask(process.handle, &processMask, &systemMask));
}

// Makes the next process this namespace creates get the given identifier, if allowed.
bool NextPidWillBe(pid_t pid) {
    std::ofstream last("/proc/sys/kernel/ns_last_pid");
    last << pid - 1;
    last.flush();
    return static_cast<bool>(last);
}

TEST(ExitedProcessTest, ReusedIdentifierIsNeverTheOneChanged) {
    Child first("cl.exe", {"--idle"});
    const pid_t pid = first.pid();
    Opened process(pid);
    ASSERT_NE(process.handle, nullptr);
    first.End();

    // Another process now takes the very same identifier.
    std::unique_ptr<Child> second;
    for (int attempt = 0; attempt < 20 && !second; ++attempt) {
        if (!NextPidWillBe(pid)) {
            GTEST_SKIP() << "cannot choose the next process identifier here";
        }
        auto candidate = std::make_unique<Child>("cl.exe", std::vector<std::string>{"--idle"});
        if (candidate->pid() == pid) {
            second = std::move(candidate);
        }
    }
    if (!second) {
        GTEST_SKIP() << "another process kept taking the identifier";
    }
    ASSERT_TRUE(second->WaitForThreads(1));
    EXPECT_EQ(NameOf(process.handle), "<no image>");
    Opened again(pid);
    EXPECT_EQ(again.handle, nullptr) << "opened while a handle holds the one that exited";
    EXPECT_FALSE(SetPriorityClass(process.handle, BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_FALSE(SetProcessAffinityMask(process.handle, 0x1));
    EXPECT_EQ(NiceOf(pid), 0) << "the newcomer was changed";
    EXPECT_EQ(AffinityOf(pid), OnlineMask());
}

} // namespace
