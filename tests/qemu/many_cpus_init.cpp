// The first process of a virtual machine with more than 64 processors: it runs the target policy
// over the Linux layer on a real kernel that has them, and prints "ok:" or "FAIL:" lines on the
// console before it powers the machine off.
//   init               as the machine's /init
//   cl.exe compiler    the stand-in compiler it starts: three threads that wait
#include "platform.h"
#include "target_policy.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int Failures = 0;

void Expect(const char* what, bool holds) {
    printf("%s: %s\n", holds ? "ok" : "FAIL", what);
    Failures += holds ? 0 : 1;
}

[[noreturn]] void Pause() {
    for (;;) {
        pause();
    }
}

void* Wait(void*) {
    Pause();
}

[[noreturn]] void Compiler() {
    pthread_t thread;
    pthread_create(&thread, nullptr, Wait, nullptr);
    pthread_create(&thread, nullptr, Wait, nullptr);
    Pause();
}

std::vector<pid_t> Threads(pid_t pid) {
    std::vector<pid_t> threads;
    if (DIR* tasks = opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                threads.push_back(atoi(entry->d_name));
            }
        }
        closedir(tasks);
    }
    return threads;
}

cpu_set_t* NewSet(int cpus) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    CPU_ZERO_S(CPU_ALLOC_SIZE(cpus), set);
    return set;
}

// Whether every thread may run on exactly these processors, and on every one of them.
bool EveryThreadOn(pid_t pid, int cpus, bool (*wanted)(int cpu)) {
    const std::vector<pid_t> threads = Threads(pid);
    bool all = threads.size() == 3;
    cpu_set_t* set = NewSet(cpus);
    for (const pid_t tid : threads) {
        all = all && sched_getaffinity(tid, CPU_ALLOC_SIZE(cpus), set) == 0;
        for (int cpu = 0; cpu < cpus; ++cpu) {
            all = all && CPU_ISSET_S(cpu, CPU_ALLOC_SIZE(cpus), set) == wanted(cpu);
        }
    }
    CPU_FREE(set);
    return all;
}

bool EveryThreadAtNice(pid_t pid, int nice) {
    bool all = true;
    for (const pid_t tid : Threads(pid)) {
        all = all && getpriority(PRIO_PROCESS, static_cast<id_t>(tid)) == nice;
    }
    return all;
}

void PinEveryThread(pid_t pid, int cpus, bool (*wanted)(int cpu)) {
    cpu_set_t* set = NewSet(cpus);
    for (int cpu = 0; cpu < cpus; ++cpu) {
        if (wanted(cpu)) {
            CPU_SET_S(cpu, CPU_ALLOC_SIZE(cpus), set);
        }
    }
    for (const pid_t tid : Threads(pid)) {
        sched_setaffinity(tid, CPU_ALLOC_SIZE(cpus), set);
    }
    CPU_FREE(set);
}

bool Everywhere(int) {
    return true;
}
bool FirstOnly(int cpu) {
    return cpu == 0;
}
bool AllButSeventy(int cpu) {
    return cpu != 70;
}
bool Seventy(int cpu) {
    return cpu == 70;
}
bool SixtyFourToSeventyNine(int cpu) {
    return cpu >= 64 && cpu <= 79;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    return static_cast<bool>(file << text << std::flush);
}

// Starts the stand-in compiler, in the cgroup whose cgroup.procs is given (if any), on the
// processors wanted, and waits for its three threads.
pid_t StartCompiler(int cpus, bool (*wanted)(int cpu), const std::string& procs) {
    const pid_t compiler = fork();
    if (compiler == 0) {
        if (!procs.empty()) {
            WriteFile(procs, std::to_string(getpid()));
        }
        PinEveryThread(getpid(), cpus, wanted);
        execl("/cl.exe", "/cl.exe", "compiler", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 500 && Threads(compiler).size() < 3; ++i) {
        usleep(10000);
    }
    return compiler;
}

// One busy pass of the policy over the compiler alone: it begins with the list of processes, as
// the monitor's does, so that what the layer read in an earlier pass is read again.
void BusyPass(pid_t pid) {
    DWORD first = 0;
    DWORD bytes = 0;
    EnumProcesses(&first, sizeof first, &bytes);
    ApplyTargetPolicy(static_cast<DWORD>(pid));
}

// Runs the policy with its stdout in a file, and returns what it printed.
std::string PolicyOutput(pid_t pid) {
    fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int log = open("/policy.log", O_CREAT | O_RDWR | O_TRUNC, 0600);
    dup2(log, STDOUT_FILENO);
    BusyPass(pid);
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(log);
    std::ifstream file("/policy.log");
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// cgroup v2 alone, as Debian 12 and its containers run it: a cpuset of processors 64 to 79, and a
// compiler two levels below it, in cgroups without cpuset files, pinned to processor 70. It is
// widened to exactly its cpuset, once, and its masks are those of the second block of 64. The
// cpuset is a CPU cgroup too, whose weight ranks the compiler's task group: that is said once.
void CpusetAbove63(int cpus) {
    const std::string root = "/sys/fs/cgroup";
    Expect("cgroup2 mounted", mount("none", root.c_str(), "cgroup2", 0, nullptr) == 0);
    Expect("the cpuset and cpu controllers handed on",
           WriteFile(root + "/cgroup.subtree_control", "+cpuset +cpu"));
    Expect("a cpuset of 64-79", mkdir((root + "/pool").c_str(), 0755) == 0 &&
                                    WriteFile(root + "/pool/cpuset.cpus", "64-79") &&
                                    mkdir((root + "/pool/job").c_str(), 0755) == 0 &&
                                    mkdir((root + "/pool/job/step").c_str(), 0755) == 0);
    const pid_t compiler = StartCompiler(cpus, Seventy, root + "/pool/job/step/cgroup.procs");
    Expect("the compiler starts on processor 70", EveryThreadOn(compiler, cpus, Seventy));
    const std::string first = PolicyOutput(compiler);
    const std::string second = PolicyOutput(compiler);
    Expect("widened to exactly its cpuset", EveryThreadOn(compiler, cpus, SixtyFourToSeventyNine));
    Expect("logged once, with the mask of processors 64-79 in their block",
           first.find("set affinity mask of 'cl.exe' (PID " + std::to_string(compiler) +
                      ") to 0xffff\n") != std::string::npos &&
               second.find("set affinity mask") == std::string::npos);
    Expect("its task group said once, with its weight",
           first.find("task group: compilers in cgroup /pool are calmed only against that "
                      "cgroup's own tasks; against its sibling cgroups it keeps CPU weight 100: to "
                      "calm the build against the rest of the machine, run it in a cgroup of "
                      "its own directly below the root, with a low cpu.weight\n") !=
                   std::string::npos &&
               second.find("task group: ") == std::string::npos);
    HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(compiler));
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    Expect("masks read", GetProcessAffinityMask(process, &processMask, &systemMask) != 0);
    Expect("both masks non-zero, and the same", processMask == 0xffff && systemMask == 0xffff);
    CloseHandle(process);
    kill(compiler, SIGKILL);
    waitpid(compiler, nullptr, 0);
}

void Machine() {
    mount("proc", "/proc", "proc", 0, nullptr);
    mount("sysfs", "/sys", "sysfs", 0, nullptr);
    const int cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    printf("processors online: %d\n", cpus);
    Expect("more than 70 processors online", cpus > 70);
    if (cpus <= 70) {
        return;
    }

    const pid_t compiler = StartCompiler(cpus, FirstOnly, "");
    Expect("the compiler starts on the first processor", EveryThreadOn(compiler, cpus, FirstOnly));

    BusyPass(compiler);
    Expect("calmed: every thread at nice 10", EveryThreadAtNice(compiler, 10));
    Expect("widened: every thread on every processor, those above 63 too",
           EveryThreadOn(compiler, cpus, Everywhere));

    // Every processor below 64 but not processor 70: the mask cannot tell, the layer can.
    PinEveryThread(compiler, cpus, AllButSeventy);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE,
                                 static_cast<DWORD>(compiler));
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    Expect("masks read", GetProcessAffinityMask(process, &processMask, &systemMask) != 0);
    Expect("the system mask is the first 64 processors", systemMask == ~static_cast<DWORD_PTR>(0));
    Expect("without processor 70 the process has not the system mask", processMask != systemMask);
    CloseHandle(process);
    BusyPass(compiler);
    Expect("widened again, processor 70 too", EveryThreadOn(compiler, cpus, Everywhere));

    // Another mask means what it says.
    process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_SET_INFORMATION, FALSE,
                          static_cast<DWORD>(compiler));
    Expect("a mask of the first processor is set", SetProcessAffinityMask(process, 0x1) != 0);
    CloseHandle(process);
    Expect("and gives the first processor only", EveryThreadOn(compiler, cpus, FirstOnly));
    kill(compiler, SIGKILL);
    waitpid(compiler, nullptr, 0);

    CpusetAbove63(cpus);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "compiler") == 0) {
        Compiler();
    }
    Machine();
    printf("%s\n", Failures == 0 ? "all checks passed" : "some checks failed");
    fflush(stdout);
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
