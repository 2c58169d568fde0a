// The service control subset on Linux, with systemd as the service manager. The dispatcher
// connects to $NOTIFY_SOCKET, runs the service function on a thread of its own and stays on the
// calling thread, where SIGTERM and SIGINT arrive as the stop control. Status reports become
// notifications of systemd's notify protocol.
#include "linux_platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace linux_platform {

namespace {
const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "start pending";
    case SERVICE_STOP_PENDING:
        return "stop pending";
    case SERVICE_RUNNING:
        return "running";
    default:
        return nullptr;
    }
}
} // namespace

DWORD StopExitCode(const SERVICE_STATUS& status) {
    return status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                  : status.dwWin32ExitCode;
}

std::string ServiceNotification(const char* serviceName, const SERVICE_STATUS& status) {
    std::ostringstream message;
    const DWORD state = status.dwCurrentState;
    if (state == SERVICE_RUNNING) {
        message << "READY=1\n";
    }
    if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) {
        message << "STOPPING=1\n";
    }
    message << "STATUS=" << serviceName << ' ';
    if (const char* name = StateName(state)) {
        message << name;
    } else {
        message << "in state " << state;
    }
    message << ", check-point " << status.dwCheckPoint;
    if (state == SERVICE_STOPPED && status.dwWin32ExitCode != NO_ERROR) {
        message << ", exit code " << status.dwWin32ExitCode;
        if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
            message << ", service-specific exit code " << status.dwServiceSpecificExitCode;
        }
    }
    message << '\n';
    if (state == SERVICE_STOPPED && status.dwWin32ExitCode != NO_ERROR) {
        message << "EXIT_STATUS=" << StopExitCode(status) << '\n';
    }
    if ((state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) &&
        status.dwWaitHint != 0) {
        message << "EXTEND_TIMEOUT_USEC="
                << static_cast<unsigned long long>(status.dwWaitHint) * 1000 << '\n';
    }
    return message.str();
}

} // namespace linux_platform

namespace {

struct Dispatcher {
    std::mutex lock;
    bool running = false;
    std::string serviceName;
    LPHANDLER_FUNCTION handler = nullptr;
    int notifyFd = -1;
    int doneFd = -1;
    LPSERVICE_MAIN_FUNCTIONA serviceMain = nullptr;
    LPSTR argv[2] = {nullptr, nullptr};
    DWORD stopExitCode = 0; // of the latest stopped report
};

Dispatcher TheDispatcher;

// The handle RegisterServiceCtrlHandlerA hands out; there is one service per process.
int StatusToken;
const SERVICE_STATUS_HANDLE StatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(&StatusToken);

// Connects to the notification socket named by the environment: a path, or an abstract name
// written with a leading '@'. Returns -1 when there is none or it cannot be reached.
int ConnectNotifySocket() {
    const char* name = getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(name);
    if (length >= sizeof address.sun_path) {
        return -1;
    }
    memcpy(address.sun_path, name, length);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void* RunService(void*) {
    TheDispatcher.serviceMain(1, TheDispatcher.argv);
    const uint64_t one = 1;
    while (write(TheDispatcher.doneFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    return nullptr;
}

void DeliverStop() {
    LPHANDLER_FUNCTION handler = nullptr;
    {
        std::lock_guard<std::mutex> guard(TheDispatcher.lock);
        handler = TheDispatcher.handler;
    }
    if (handler != nullptr) {
        handler(SERVICE_CONTROL_STOP);
    }
}

} // namespace

extern "C" {

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    if (serviceTable == nullptr || serviceTable[0].lpServiceName == nullptr ||
        serviceTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> guard(TheDispatcher.lock);
        if (TheDispatcher.running) {
            SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return FALSE;
        }
    }
    const int notifyFd = ConnectNotifySocket();
    if (notifyFd < 0) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    // Started by the service manager: the output goes to its journal.
    linux_platform::ConnectJournalStreams();

    // The stop signals are taken from a descriptor on this thread only; the service thread
    // inherits the mask, so neither signal can end the process behind the service's back.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    const int doneFd = eventfd(0, EFD_CLOEXEC);
    if (signalFd < 0 || doneFd < 0) {
        if (signalFd >= 0) {
            close(signalFd);
        }
        if (doneFd >= 0) {
            close(doneFd);
        }
        close(notifyFd);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }

    {
        std::lock_guard<std::mutex> guard(TheDispatcher.lock);
        TheDispatcher.running = true;
        TheDispatcher.serviceName = serviceTable[0].lpServiceName;
        TheDispatcher.handler = nullptr;
        TheDispatcher.notifyFd = notifyFd;
        TheDispatcher.doneFd = doneFd;
        TheDispatcher.serviceMain = serviceTable[0].lpServiceProc;
        TheDispatcher.argv[0] = serviceTable[0].lpServiceName;
        TheDispatcher.stopExitCode = 0;
    }

    pthread_t service;
    const bool started = pthread_create(&service, nullptr, RunService, nullptr) == 0;
    while (started) {
        pollfd waits[2] = {{signalFd, POLLIN, 0}, {doneFd, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (waits[1].revents != 0) {
            break;
        }
        if (waits[0].revents != 0) {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                DeliverStop();
            }
        }
    }
    if (started) {
        pthread_join(service, nullptr);
    }

    DWORD stopExitCode = 0;
    {
        std::lock_guard<std::mutex> guard(TheDispatcher.lock);
        TheDispatcher.running = false;
        TheDispatcher.handler = nullptr;
        TheDispatcher.notifyFd = -1;
        stopExitCode = TheDispatcher.stopExitCode;
    }
    close(doneFd);
    close(signalFd);
    close(notifyFd);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    // systemd judges a service by its process's exit status and takes EXIT_STATUS= as a remark:
    // a stop with an error code ends the process with that code, so that systemd records a
    // failure and Restart= acts. The low 8 bits are all an exit status keeps; a code with none
    // there still fails, as 1.
    if (stopExitCode != 0) {
        exit((stopExitCode & 0xff) != 0 ? static_cast<int>(stopExitCode & 0xff) : 1);
    }
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR serviceName,
                                                         LPHANDLER_FUNCTION handler) {
    std::lock_guard<std::mutex> guard(TheDispatcher.lock);
    // Service names are compared without regard to case, as the platform compares them.
    if (!TheDispatcher.running || serviceName == nullptr ||
        strcasecmp(serviceName, TheDispatcher.serviceName.c_str()) != 0) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (handler == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    TheDispatcher.handler = handler;
    return StatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
    std::lock_guard<std::mutex> guard(TheDispatcher.lock);
    if (statusHandle != StatusHandle || !TheDispatcher.running || TheDispatcher.notifyFd < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (status->dwCurrentState == SERVICE_STOPPED) {
        TheDispatcher.stopExitCode = linux_platform::StopExitCode(*status);
    }
    const std::string message =
        linux_platform::ServiceNotification(TheDispatcher.serviceName.c_str(), *status);
    ssize_t sent;
    do {
        sent = send(TheDispatcher.notifyFd, message.data(), message.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(message.size())) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
