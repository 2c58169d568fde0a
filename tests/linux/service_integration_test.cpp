// The real service binary on this machine: cl.exe burners saturate the processors while it runs
// under a stand-in for systemd's notify socket.
#include "capture.h"
#include "children.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string Slurp(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class ServiceRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/ostrevane-run-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        socket_ = folder_ + "/notify";
        listener_ = BindNotifySocket(socket_);
        ASSERT_GE(listener_, 0);
    }

    void TearDown() override {
        if (service_ > 0) {
            kill(service_, SIGKILL);
            waitpid(service_, nullptr, 0);
        }
        close(listener_);
        const std::string command = "rm -rf '" + folder_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    // Starts the service as its unit does: line-buffered through stdbuf, and with
    // leastPrivilege as an unprivileged user whose only capability is CAP_SYS_NICE.
    void Start(bool leastPrivilege = false) {
        const std::string out = folder_ + "/out";
        const std::string err = folder_ + "/err";
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        std::string notify = "NOTIFY_SOCKET=" + socket_;
        std::vector<char*> env{&notify[0]};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) {
                env.push_back(*variable);
            }
        }
        env.push_back(nullptr);
        std::vector<std::string> words{"stdbuf", "-oL", "-eL", OSTREVANE_SERVICE};
        if (leastPrivilege) {
            // The user must reach the binary and the socket: both go where it can.
            const std::string binary = folder_ + "/ostrevane";
            ASSERT_EQ(system(("cp " OSTREVANE_SERVICE " '" + binary + "'").c_str()), 0);
            ASSERT_EQ(chmod(folder_.c_str(), 0755), 0);
            ASSERT_EQ(chmod(socket_.c_str(), 0777), 0);
            words = {"setpriv",
                     "--reuid=65534",
                     "--regid=65534",
                     "--clear-groups",
                     "--inh-caps=-all,+sys_nice",
                     "--ambient-caps=-all,+sys_nice",
                     "--bounding-set=-all,+sys_nice",
                     "stdbuf",
                     "-oL",
                     "-eL",
                     binary};
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(&word[0]);
        }
        argv.push_back(nullptr);
        ASSERT_EQ(posix_spawnp(&service_, argv[0], &files, nullptr, argv.data(), env.data()), 0);
        posix_spawn_file_actions_destroy(&files);
    }

    std::string Out() const { return Slurp(folder_ + "/out"); }
    std::string Err() const { return Slurp(folder_ + "/err"); }

    bool WaitForOutput(const std::function<bool(const std::string&)>& done, int seconds) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            if (done(Out())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    int StopAndWait() {
        kill(service_, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(service_, &status, WNOHANG) == service_) {
                service_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    std::vector<std::string> Notifications() { return ReceiveAll(listener_); }

    std::string folder_;
    std::string socket_;
    int listener_ = -1;
    pid_t service_ = -1;
};

const char Banner[] = "keeping cl.exe processes scheduled accross all CPU cores and running with "
                      "below normal priority";

class SaturatedRun : public ServiceRun, public ::testing::WithParamInterface<bool> {};

TEST_P(SaturatedRun, CompilersAreCalmedAndWidenedWhileTheMachineIsSaturated) {
    if (GetParam() && geteuid() != 0) {
        GTEST_SKIP() << "dropping to another user needs root";
    }
    const unsigned long long online = OnlineMask();
    if (online < 0x3) {
        GTEST_SKIP() << "needs two processors";
    }
    // Compilers narrowed to the first processor, bystanders to the second: together they keep
    // both saturated, and only the compilers may change.
    Child compiler("cl.exe", {"--threads", "2", "--cpus", "0x1"});
    Child renamed("cl.exe.old", {"--threads", "2", "--cpus", "0x1"});
    Child upper("CL.EXE", {"--threads", "2", "--cpus", "0x2"});
    Child prefixed("xcl.exe", {"--threads", "2", "--cpus", "0x2"});
    // A compiler its owner lowered to nice 19: never lifted, though the service may raise.
    Child lowered("cl.exe.low", {"--threads", "2", "--cpus", "0x1"});
    for (const Child* child : {&compiler, &renamed, &upper, &prefixed, &lowered}) {
        ASSERT_TRUE(child->WaitForThreads(2));
    }
    for (const pid_t tid : ThreadsOf(lowered.pid())) {
        ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19), 0);
    }

    Start(GetParam());
    // Two busy passes at least, so that a change made or tried again on every pass would show.
    const std::regex busy("CPU usage: +(9[5-9]|[1-9][0-9][0-9])%\n");
    const bool acted = WaitForOutput(
        [&](const std::string& out) {
            return out.find("set affinity mask of 'cl.exe' (PID " +
                            std::to_string(compiler.pid())) != std::string::npos &&
                   out.find("set affinity mask of 'cl.exe.old'") != std::string::npos &&
                   std::distance(std::sregex_iterator(out.begin(), out.end(), busy),
                                 std::sregex_iterator()) >= 2;
        },
        40);
    const int status = StopAndWait();
    ASSERT_TRUE(acted) << Out() << Err();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Err(), "");

    // Every line has one of the service's shapes, and the changes name exactly the compilers.
    const std::vector<std::string> lines = Lines(Out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], Banner);
    const std::regex sample("CPU usage: [ 0-9]{2}[0-9]%");
    const std::regex change(
        "\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2} - set (priority class|affinity "
        "mask) of '([^']*)' \\(PID (\\d+)\\) to (below normal|0x[0-9a-f]{4,})");
    std::map<std::string, int> changes;
    char mask[32];
    snprintf(mask, sizeof mask, "0x%04llx", online);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch match;
        // The layer's own line where this machine runs the test in a CPU cgroup of its own.
        if (std::regex_match(lines[i], sample) || lines[i].compare(0, 12, "task group: ") == 0) {
            continue;
        }
        ASSERT_TRUE(std::regex_match(lines[i], match, change)) << lines[i];
        const std::string name = match[2];
        const pid_t pid = static_cast<pid_t>(std::stol(match[3]));
        const bool ours = (name == "cl.exe" && pid == compiler.pid()) ||
                          (name == "cl.exe.old" && pid == renamed.pid()) ||
                          (name == "cl.exe.low" && pid == lowered.pid());
        // Some other compiler of this machine may be changed too, but nothing else.
        EXPECT_TRUE(ours || (name.compare(0, 6, "cl.exe") == 0 && pid != upper.pid() &&
                             pid != prefixed.pid()))
            << lines[i];
        if (match[1] == "affinity mask") {
            EXPECT_EQ(match[4], mask);
        }
        if (!ours) {
            continue;
        }
        ++changes[name + " " + std::string(match[1])];
    }
    EXPECT_EQ(changes["cl.exe priority class"], 1) << "a compliant process is left alone";
    EXPECT_EQ(changes["cl.exe.old priority class"], 1);
    EXPECT_EQ(changes["cl.exe affinity mask"], 1);
    EXPECT_EQ(changes["cl.exe.old affinity mask"], 1);
    EXPECT_EQ(changes["cl.exe.low priority class"], 0) << "never lifted, nor said to be";
    EXPECT_EQ(changes["cl.exe.low affinity mask"], 1);
    for (const pid_t tid : ThreadsOf(lowered.pid())) {
        EXPECT_EQ(NiceOf(tid), 19) << "thread " << tid;
    }

    for (const Child* child : {&compiler, &renamed}) {
        for (const pid_t tid : ThreadsOf(child->pid())) {
            EXPECT_EQ(NiceOf(tid), 10) << "thread " << tid;
            EXPECT_EQ(AffinityOf(tid), online) << "thread " << tid;
        }
    }
    for (const Child* child : {&upper, &prefixed}) {
        for (const pid_t tid : ThreadsOf(child->pid())) {
            EXPECT_EQ(NiceOf(tid), 0) << "thread " << tid;
            EXPECT_EQ(AffinityOf(tid), 0x2u) << "thread " << tid;
        }
    }

    const std::vector<std::string> notes = Notifications();
    ASSERT_EQ(notes.size(), 5u);
    EXPECT_EQ(notes[0],
              "STATUS=Ostrevane start pending, check-point 1\nEXTEND_TIMEOUT_USEC=1000000\n");
    EXPECT_EQ(notes[1], "READY=1\nSTATUS=Ostrevane running, check-point 0\n");
    EXPECT_EQ(notes[2], "STOPPING=1\nSTATUS=Ostrevane stop pending, check-point 2\n");
    EXPECT_EQ(notes[3], "STOPPING=1\nSTATUS=Ostrevane stop pending, check-point 3\n");
    EXPECT_EQ(notes[4], "STOPPING=1\nSTATUS=Ostrevane stopped, check-point 0\n");
}

INSTANTIATE_TEST_SUITE_P(Privileges, SaturatedRun, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "OnlyCapSysNice" : "AsRoot";
                         });

TEST_F(ServiceRun, IdleMachineIsOnlySampled) {
    Child compiler("cl.exe", {"--idle"});
    Start();
    const bool sampled = WaitForOutput(
        [](const std::string& out) { return out.find("CPU usage:") != std::string::npos; }, 20);
    EXPECT_EQ(StopAndWait(), 0);
    ASSERT_TRUE(sampled) << Out();
    if (Out().find("set priority class") != std::string::npos) {
        GTEST_SKIP() << "something else saturated the machine meanwhile";
    }
    EXPECT_EQ(NiceOf(compiler.pid()), 0);
}

} // namespace
