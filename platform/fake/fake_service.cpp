// Service control: the dispatcher, its thread and the status reports.
#include "fake_world.h"

namespace fake {
namespace {

int StatusToken;
const SERVICE_STATUS_HANDLE StatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(&StatusToken);

} // namespace

std::vector<StatusReport> StatusReports() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().reports;
}
std::string RegisteredServiceName() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().registeredName;
}
std::string DispatchedServiceName() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().dispatchedName;
}

void PostControl(DWORD control) {
    std::lock_guard<std::mutex> guard(Lock);
    TheWorld().controls.push_back(control);
    Changed.notify_all();
}

void SendControl(DWORD control) {
    std::unique_lock<std::mutex> guard(Lock);
    if (!TheWorld().dispatcherRunning) {
        // No dispatcher to deliver it: the caller stands in for the dispatcher thread.
        LPHANDLER_FUNCTION handler = TheWorld().handler;
        ++TheWorld().controlsDelivered;
        guard.unlock();
        if (handler != nullptr) {
            handler(control);
        }
        return;
    }
    TheWorld().controls.push_back(control);
    const int awaited = TheWorld().controlsDelivered + static_cast<int>(TheWorld().controls.size());
    Changed.notify_all();
    Changed.wait(guard, [awaited] { return TheWorld().controlsDelivered >= awaited; });
}

int ControlsDelivered() {
    std::lock_guard<std::mutex> guard(Lock);
    return TheWorld().controlsDelivered;
}

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

BOOL WINAPI StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* serviceTable) {
    if (fake::Enter(Api::StartServiceCtrlDispatcherA) || serviceTable == nullptr ||
        serviceTable[0].lpServiceName == nullptr || serviceTable[0].lpServiceProc == nullptr) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return FALSE;
    }
    std::unique_lock<std::mutex> guard(fake::Lock);
    TheWorld().dispatchedName = serviceTable[0].lpServiceName;
    TheWorld().dispatcherRunning = true;
    TheWorld().dispatcherThread = std::this_thread::get_id();
    TheWorld().serviceReturned = false;
    guard.unlock();

    LPSERVICE_MAIN_FUNCTIONA serviceMain = serviceTable[0].lpServiceProc;
    LPSTR name = serviceTable[0].lpServiceName;
    std::thread service([serviceMain, name] {
        LPSTR argv[] = {name, nullptr};
        serviceMain(1, argv);
        std::lock_guard<std::mutex> done(fake::Lock);
        TheWorld().serviceReturned = true;
        fake::Changed.notify_all();
    });

    guard.lock();
    for (;;) {
        fake::Changed.wait(
            guard, [] { return !TheWorld().controls.empty() || TheWorld().serviceReturned; });
        if (TheWorld().controls.empty()) {
            break;
        }
        const DWORD control = TheWorld().controls.front();
        TheWorld().controls.pop_front();
        LPHANDLER_FUNCTION handler = TheWorld().handler;
        guard.unlock();
        if (handler != nullptr) {
            handler(control);
        }
        guard.lock();
        ++TheWorld().controlsDelivered;
        fake::Changed.notify_all();
    }
    TheWorld().dispatcherRunning = false;
    guard.unlock();
    service.join();
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerA(LPCSTR serviceName,
                                                         LPHANDLER_FUNCTION handler) {
    const bool fails = fake::Enter(Api::RegisterServiceCtrlHandlerA);
    std::lock_guard<std::mutex> guard(fake::Lock);
    TheWorld().registeredName = serviceName != nullptr ? serviceName : "";
    // Like the platform's: a handler can only be registered for a service this process runs.
    if (fails || serviceName == nullptr || TheWorld().registeredName != TheWorld().dispatchedName) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    TheWorld().handler = handler;
    return fake::StatusHandle;
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
    const bool fails = fake::Enter(Api::SetServiceStatus);
    std::lock_guard<std::mutex> guard(fake::Lock);
    if (statusHandle != fake::StatusHandle || status == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const bool fromDispatcher =
        TheWorld().dispatcherRunning && std::this_thread::get_id() == TheWorld().dispatcherThread;
    TheWorld().reports.push_back(fake::StatusReport{*status, fromDispatcher});
    if (fails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
