// A fresh service host over a fresh double, dispatched as the process entry point does.
#pragma once

#include "monitor_fixture.h"
#include "service_host.h"

class ServiceHostTest : public MonitorTest {
  protected:
    void SetUp() override {
        MonitorTest::SetUp();
        ServiceStatus = SERVICE_STATUS{};
        ServiceStatusHandle = nullptr;
        CheckPointCounter = 1;
    }

    // Runs the dispatcher with the one-service table, capturing the output.
    BOOL Dispatch() {
        BOOL result = FALSE;
        Run([&] {
            SERVICE_TABLE_ENTRYA table[] = {{ServiceName, ServiceMain}, {nullptr, nullptr}};
            result = StartServiceCtrlDispatcherA(table);
        });
        return result;
    }
};
