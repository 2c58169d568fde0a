// A process's threads: listed from /proc/PID/task, once per handle for the queries and anew for
// each change, which must reach every thread there is when it is made.
#include "linux_process.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace linux_process {

bool Threads(pid_t pid, std::vector<pid_t>* threads) {
    const int tasks = open(ProcPath(pid, "task").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasks < 0) {
        return false;
    }
    threads->clear();
    alignas(dirent64) char buffer[8192];
    ssize_t n = 0;
    do {
        n = getdents64(tasks, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const dirent64* entry = reinterpret_cast<const dirent64*>(buffer + at);
            char* end = nullptr;
            const long tid = strtol(entry->d_name, &end, 10);
            if (*end == '\0' && tid > 0) {
                threads->push_back(static_cast<pid_t>(tid));
            }
            at += entry->d_reclen;
        }
    } while (n > 0);
    close(tasks);
    return n >= 0 && !threads->empty();
}

const std::vector<pid_t>* QueriedThreads(ProcessHandle* process) {
    if (!process->threadsRead) {
        if (!Threads(process->pid, &process->threads)) {
            return nullptr;
        }
        process->threadsRead = true;
    }
    return &process->threads;
}

bool ForEveryThread(const ProcessHandle* process, int (*change)(pid_t tid, void* what),
                    void* what) {
    std::set<pid_t> done;
    for (int round = 0; round < 16; ++round) {
        std::vector<pid_t> threads;
        if (!Threads(process->pid, &threads)) {
            errno = ESRCH;
            return false;
        }
        bool fresh = false;
        for (const pid_t tid : threads) {
            if (done.count(tid) != 0) {
                continue;
            }
            fresh = true;
            if (Exited(process)) {
                errno = ESRCH;
                return false;
            }
            if (change(tid, what) != 0 && errno != ESRCH) {
                return false;
            }
            done.insert(tid);
        }
        if (!fresh) {
            return true;
        }
    }
    return true;
}

} // namespace linux_process
