#include "service_host.h"

#include "monitor.h"

#include <mutex>

char ServiceName[] = "Ostrevane";

SERVICE_STATUS ServiceStatus;
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;
DWORD CheckPointCounter = 1;

namespace {

constexpr DWORD StartPendingWaitHintMs = 1000;

// The handler reports from the dispatcher thread while ServiceMain reports from the service
// thread; one lock keeps each record and its check-point whole.
std::mutex StatusLock;

} // namespace

BOOL ReportServiceStatus(DWORD currentState, DWORD waitHint, DWORD serviceSpecificExitCode) {
    std::lock_guard<std::mutex> guard(StatusLock);
    if (ServiceStatus.dwCurrentState == SERVICE_STOPPED) {
        return FALSE;
    }

    ServiceStatus.dwCurrentState = currentState;
    ServiceStatus.dwWin32ExitCode =
        serviceSpecificExitCode != 0 ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    ServiceStatus.dwServiceSpecificExitCode = serviceSpecificExitCode;
    ServiceStatus.dwWaitHint = waitHint;
    ServiceStatus.dwControlsAccepted =
        currentState == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    if (currentState == SERVICE_RUNNING || currentState == SERVICE_STOPPED) {
        ServiceStatus.dwCheckPoint = 0;
    } else {
        ServiceStatus.dwCheckPoint = CheckPointCounter++;
    }
    return SetServiceStatus(ServiceStatusHandle, &ServiceStatus);
}

DWORD CurrentServiceState() {
    std::lock_guard<std::mutex> guard(StatusLock);
    return ServiceStatus.dwCurrentState;
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    {
        // The handler may run as soon as it is registered, and its reports read the handle.
        std::lock_guard<std::mutex> guard(StatusLock);
        ServiceStatusHandle = RegisterServiceCtrlHandlerA(ServiceName, ServiceControlHandler);
        if (ServiceStatusHandle == nullptr) {
            return;
        }
        ServiceStatus.dwServiceSpecificExitCode = 0;
        ServiceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    }

    ReportServiceStatus(SERVICE_START_PENDING, StartPendingWaitHintMs);
    ReportServiceStatus(SERVICE_RUNNING, 0);

    RunMonitorLoop();

    // The loop returns without a stop request only when the process list could not be read.
    const bool requested = StopRequested.load();
    ReportServiceStatus(SERVICE_STOPPED, 0, requested ? 0 : ProcessListUnreadableExitCode);
}

void WINAPI ServiceControlHandler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP) {
        return;
    }
    ReportServiceStatus(SERVICE_STOP_PENDING, 0);
    const DWORD state = CurrentServiceState();
    StopRequested = true;
    ReportServiceStatus(state, 0);
}
