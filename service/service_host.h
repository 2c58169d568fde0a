// The connection between the monitor and the Service Control Manager.
#pragma once

#include "platform.h"

// The name the service is dispatched and registered under.
extern char ServiceName[];

// The status record sent with every report, its handle, and the check-point counter: 1 at
// process start, taken and incremented by every pending report, never reset. Reports come
// from two threads and are serialized inside ReportServiceStatus.
extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;
extern DWORD CheckPointCounter;

// The service-specific exit code of a stop that nobody requested: the process list could not
// be read, so the monitoring ended on its own. Reported with ERROR_SERVICE_SPECIFIC_ERROR, so
// the SCM records a failure and runs the recovery actions configured for the service.
constexpr DWORD ProcessListUnreadableExitCode = 1;

// Registers the control handler, reports start-pending and running, runs the monitor loop for
// the life of the service, and reports stopped. Returns at once, reporting nothing, when the
// handler cannot be registered.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

// Acts on the stop control only: reports stop-pending, sets StopRequested and reports
// stop-pending again. Every other control is ignored.
void WINAPI ServiceControlHandler(DWORD control);

// Sends one report of the given state and wait hint. Controls accepted are 0 while
// start-pending and SERVICE_ACCEPT_STOP otherwise; running and stopped reports carry
// check-point 0, pending ones the next value of CheckPointCounter. A non-zero
// serviceSpecificExitCode is reported with ERROR_SERVICE_SPECIFIC_ERROR, zero with NO_ERROR.
// Once stopped has been reported, nothing more is sent (a late report would overwrite the
// stop's exit codes) and the result is FALSE; otherwise the result is SetServiceStatus'.
BOOL ReportServiceStatus(DWORD currentState, DWORD waitHint, DWORD serviceSpecificExitCode = 0);

// The state of the latest report, read under the same lock that reports take.
DWORD CurrentServiceState();
