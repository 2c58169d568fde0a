// Real processes for the Linux layer's tests: copies of the burner under chosen names.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

// A process started for a test, killed and reaped when it goes out of scope.
class Child {
  public:
    // Runs the burner as the file `name` in a private folder, with argv[0] as given (the
    // file's path if empty) and the burner's arguments.
    Child(const std::string& name, const std::vector<std::string>& args,
          const std::string& argv0 = "");
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Waits until the burner has started this many threads, its main one included (a sanitizer's
    // own thread does not count); false on time-out.
    bool WaitForThreads(size_t count) const;
    // Waits until the process calls itself `comm` (what the burner's --comm sets); false on
    // time-out.
    bool WaitForCommandName(const std::string& comm) const;
    // Kills and reaps the process now.
    void End();

  private:
    std::string folder_;
    pid_t pid_;
};

// Polls until the condition holds, for at most `seconds`; false on time-out. A loaded or
// sanitized machine may take far longer than usual.
bool WaitUntil(const std::function<bool()>& holds, int seconds = 10);

std::vector<pid_t> ThreadsOf(pid_t pid);
int NiceOf(pid_t tid);
unsigned long long AffinityOf(pid_t tid);
unsigned long long OnlineMask();

// A datagram socket bound at path, standing in for systemd's end of the notify protocol; -1 when
// it cannot be bound. ReceiveAll returns the notifications waiting on it, without blocking.
int BindNotifySocket(const std::string& path);
std::vector<std::string> ReceiveAll(int fd);
