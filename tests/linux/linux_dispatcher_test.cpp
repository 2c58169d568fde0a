// The Linux layer's service control: systemd's notify socket and the stop signals.
#include "children.h"
#include "platform.h"

#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

char Name[] = "Probe";
SERVICE_STATUS_HANDLE Handle = nullptr;
std::thread::id HandlerThread;
std::vector<DWORD> Controls;
std::atomic<int> ControlsHandled{0};

void WINAPI Handler(DWORD control) {
    HandlerThread = std::this_thread::get_id();
    Controls.push_back(control);
    ++ControlsHandled;
}

SERVICE_STATUS Report(DWORD state, DWORD checkPoint) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    return status;
}

// Registers, reports running, asks for its own stop by SIGTERM and waits for the handler.
void WINAPI ProbeMain(DWORD, LPSTR*) {
    EXPECT_EQ(RegisterServiceCtrlHandlerA("Other", Handler), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    Handle = RegisterServiceCtrlHandlerA("probe", Handler); // names ignore case
    ASSERT_NE(Handle, nullptr);
    SERVICE_STATUS running = Report(SERVICE_RUNNING, 0);
    EXPECT_TRUE(SetServiceStatus(Handle, &running));
    kill(getpid(), SIGTERM);
    WaitUntil([] { return ControlsHandled != 0; }, 5);
    SERVICE_STATUS stopped = Report(SERVICE_STOPPED, 0);
    EXPECT_TRUE(SetServiceStatus(Handle, &stopped));
}

// Reports running, then stopped with the service-specific code 1, as a monitoring that ended by
// itself does.
void WINAPI FailingMain(DWORD, LPSTR*) {
    const SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerA("Probe", Handler);
    SERVICE_STATUS running = Report(SERVICE_RUNNING, 0);
    SetServiceStatus(handle, &running);
    SERVICE_STATUS stopped = Report(SERVICE_STOPPED, 0);
    stopped.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    stopped.dwServiceSpecificExitCode = 1;
    SetServiceStatus(handle, &stopped);
}

class DispatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = "/tmp/ostrevane-notify-" + std::to_string(getpid());
        unlink(path_.c_str());
        listener_ = BindNotifySocket(path_);
        ASSERT_GE(listener_, 0);
    }
    void TearDown() override {
        close(listener_);
        unlink(path_.c_str());
        unsetenv("NOTIFY_SOCKET");
    }
    std::vector<std::string> Received() { return ReceiveAll(listener_); }
    std::string path_;
    int listener_ = -1;
};

TEST_F(DispatcherTest, WithoutNotifySocketTheConnectionFails) {
    unsetenv("NOTIFY_SOCKET");
    SERVICE_TABLE_ENTRYA table[] = {{Name, ProbeMain}, {nullptr, nullptr}};
    EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    for (const char* bad : {"", "relative/path", "/nonexistent/socket"}) {
        setenv("NOTIFY_SOCKET", bad, 1);
        EXPECT_FALSE(StartServiceCtrlDispatcherA(table)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    }
    EXPECT_TRUE(Received().empty());
}

TEST_F(DispatcherTest, SigtermReachesTheHandlerOnTheDispatcherThreadAsStop) {
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    SERVICE_TABLE_ENTRYA table[] = {{Name, ProbeMain}, {nullptr, nullptr}};
    ASSERT_TRUE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(Controls, (std::vector<DWORD>{SERVICE_CONTROL_STOP}));
    EXPECT_EQ(HandlerThread, std::this_thread::get_id());
    EXPECT_EQ(Received(),
              (std::vector<std::string>{"READY=1\nSTATUS=Probe running, check-point 0\n",
                                        "STOPPING=1\nSTATUS=Probe stopped, check-point 0\n"}));
    // After the dispatcher has returned, the handle is no longer usable.
    SERVICE_STATUS late = Report(SERVICE_RUNNING, 0);
    EXPECT_FALSE(SetServiceStatus(Handle, &late));
}

// systemd takes a process's exit status, not its EXIT_STATUS=, for its verdict: a stop on request
// returns to main, which exits 0 (above); a stop with an error code ends the process with it.
TEST_F(DispatcherTest, StopWithAnErrorCodeEndsTheProcessWithTheServiceSpecificCode) {
    setenv("NOTIFY_SOCKET", path_.c_str(), 1);
    SERVICE_TABLE_ENTRYA table[] = {{Name, FailingMain}, {nullptr, nullptr}};
    EXPECT_EXIT(
        {
            StartServiceCtrlDispatcherA(table);
            exit(0);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(Received(), (std::vector<std::string>{
                              "READY=1\nSTATUS=Probe running, check-point 0\n",
                              "STOPPING=1\nSTATUS=Probe stopped, check-point 0, exit code "
                              "1066, service-specific exit code 1\nEXIT_STATUS=1\n"}));
}

TEST_F(DispatcherTest, AbstractSocketNameIsReachedToo) {
    const std::string name = "ostrevane-notify-" + std::to_string(getpid());
    const int abstract = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size()); // a leading zero byte: abstract
    const socklen_t size =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(bind(abstract, reinterpret_cast<sockaddr*>(&address), size), 0);
    setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    Controls.clear();
    ControlsHandled = 0;
    SERVICE_TABLE_ENTRYA table[] = {{Name, ProbeMain}, {nullptr, nullptr}};
    ASSERT_TRUE(StartServiceCtrlDispatcherA(table));
    EXPECT_EQ(ReceiveAll(abstract),
              (std::vector<std::string>{"READY=1\nSTATUS=Probe running, check-point 0\n",
                                        "STOPPING=1\nSTATUS=Probe stopped, check-point 0\n"}));
    close(abstract);
}

} // namespace
