#include "service_host.h"

int main() {
    SERVICE_TABLE_ENTRYA dispatchTable[] = {
        {ServiceName, ServiceMain},
        {nullptr, nullptr},
    };
    // Fails at once when the process was not started by the service control manager.
    return StartServiceCtrlDispatcherA(dispatchTable) ? 0 : -1;
}
