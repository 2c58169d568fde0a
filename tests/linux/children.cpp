#include "children.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

Child::Child(const std::string& name, const std::vector<std::string>& args,
             const std::string& argv0) {
    char folder[] = "/tmp/ostrevane-child-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    folder_ = folder;
    const std::string path = folder_ + "/" + name;
    {
        std::ifstream source(OSTREVANE_BURNER, std::ios::binary);
        std::ofstream copy(path, std::ios::binary);
        copy << source.rdbuf();
    }
    chmod(path.c_str(), 0755);

    std::vector<std::string> words{argv0.empty() ? path : argv0};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, path.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("posix_spawn " + path);
    }
    // The spawn returns while the child is still inside exec, before its command line exists.
    const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
    for (int i = 0; i < 1000; ++i) {
        std::ifstream file(cmdline);
        if (file.get() != std::ifstream::traits_type::eof()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

Child::~Child() {
    End();
    const std::string command = "rm -rf '" + folder_ + "'";
    if (system(command.c_str()) != 0) {
        // Left behind in /tmp; nothing else depends on it.
    }
}

void Child::End() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

bool WaitUntil(const std::function<bool()>& holds, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (holds()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

namespace {
// The first line of a file, without its newline; empty if it cannot be read.
std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}
} // namespace

bool Child::WaitForThreads(size_t count) const {
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task/";
    return WaitUntil([&] {
        size_t workers = 0;
        for (const pid_t tid : ThreadsOf(pid_)) {
            workers += FirstLine(tasks + std::to_string(tid) + "/comm") == "worker" ? 1 : 0;
        }
        return workers + 1 >= count;
    });
}

bool Child::WaitForCommandName(const std::string& comm) const {
    const std::string path = "/proc/" + std::to_string(pid_) + "/comm";
    return WaitUntil([&] { return FirstLine(path) == comm; });
}

std::vector<pid_t> ThreadsOf(pid_t pid) {
    std::vector<pid_t> threads;
    const std::string path = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* tasks = opendir(path.c_str())) {
        while (const dirent* entry = readdir(tasks)) {
            if (entry->d_name[0] != '.') {
                threads.push_back(static_cast<pid_t>(atoi(entry->d_name)));
            }
        }
        closedir(tasks);
    }
    return threads;
}

int NiceOf(pid_t tid) {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

unsigned long long AffinityOf(pid_t tid) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof set, &set) != 0) {
        return 0;
    }
    unsigned long long mask = 0;
    for (unsigned cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set)) {
            mask |= 1ull << cpu;
        }
    }
    return mask;
}

unsigned long long OnlineMask() {
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count >= 64 ? ~0ull : (1ull << count) - 1;
}

int BindNotifySocket(const std::string& path) {
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return fd;
}

std::vector<std::string> ReceiveAll(int fd) {
    std::vector<std::string> messages;
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        messages.emplace_back(buffer, static_cast<size_t>(n));
    }
    return messages;
}
