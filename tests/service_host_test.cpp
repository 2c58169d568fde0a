// Whole lives of the service under the double's dispatcher: what the SCM is told, from which
// thread, and when the monitoring stops.
#include "service_fixture.h"

#include <vector>

namespace {

struct Expected {
    DWORD state;
    DWORD checkPoint;
    DWORD waitHint;
    DWORD controlsAccepted;
};

class ServiceTest : public ServiceHostTest {
  protected:
    // Sends the controls from the service thread while the loop sleeps for the n-th time.
    static void ControlsDuringSleep(int n, std::vector<DWORD> controls) {
        fake::SetBeforeCall([n, controls](fake::Api api) {
            if (api == fake::Api::Sleep && fake::CallCount(fake::Api::Sleep) == n) {
                for (const DWORD control : controls) {
                    fake::SendControl(control);
                }
            }
        });
    }

    static void ExpectReports(const std::vector<Expected>& expected, DWORD exitCode = 0,
                              DWORD specificExitCode = 0) {
        const std::vector<fake::StatusReport> reports = fake::StatusReports();
        ASSERT_EQ(reports.size(), expected.size());
        for (size_t i = 0; i < reports.size(); ++i) {
            const SERVICE_STATUS& status = reports[i].status;
            SCOPED_TRACE("report " + std::to_string(i + 1));
            EXPECT_EQ(status.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
            EXPECT_EQ(status.dwCurrentState, expected[i].state);
            EXPECT_EQ(status.dwCheckPoint, expected[i].checkPoint);
            EXPECT_EQ(status.dwWaitHint, expected[i].waitHint);
            EXPECT_EQ(status.dwControlsAccepted, expected[i].controlsAccepted);
            const bool last = i + 1 == reports.size();
            EXPECT_EQ(status.dwWin32ExitCode, last ? exitCode : 0u);
            EXPECT_EQ(status.dwServiceSpecificExitCode, last ? specificExitCode : 0u);
        }
    }
};

const Expected StartPending{SERVICE_START_PENDING, 1, 1000, 0};
const Expected Running{SERVICE_RUNNING, 0, 0, SERVICE_ACCEPT_STOP};
const Expected Stopped{SERVICE_STOPPED, 0, 0, SERVICE_ACCEPT_STOP};
Expected StopPending(DWORD checkPoint) {
    return Expected{SERVICE_STOP_PENDING, checkPoint, 0, SERVICE_ACCEPT_STOP};
}

TEST_F(ServiceTest, StartAndStopSendTheFiveReports) {
    ControlsDuringSleep(1, {SERVICE_CONTROL_STOP});
    EXPECT_TRUE(Dispatch());
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), Stopped});
    EXPECT_EQ(fake::DispatchedServiceName(), "Ostrevane");
    EXPECT_EQ(fake::RegisteredServiceName(), "Ostrevane");

    const std::vector<fake::StatusReport> reports = fake::StatusReports();
    EXPECT_FALSE(reports[0].fromDispatcherThread);
    EXPECT_FALSE(reports[1].fromDispatcherThread);
    EXPECT_TRUE(reports[2].fromDispatcherThread) << "the handler runs on the dispatcher thread";
    EXPECT_TRUE(reports[3].fromDispatcherThread);
    EXPECT_FALSE(reports[4].fromDispatcherThread);
}

TEST_F(ServiceTest, MonitoringRunsBetweenRunningAndTheStop) {
    fake::SetBeforeCall([](fake::Api api) {
        if (api == fake::Api::PdhOpenQueryA) {
            // The sampler is primed only after running has been reported.
            ASSERT_EQ(fake::StatusReports().size(), 2u);
            EXPECT_EQ(fake::StatusReports().back().status.dwCurrentState,
                      static_cast<DWORD>(SERVICE_RUNNING));
        }
        if (api == fake::Api::Sleep) {
            fake::SendControl(SERVICE_CONTROL_STOP);
        }
    });
    EXPECT_TRUE(Dispatch());
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 1);
    EXPECT_EQ(out.rfind("keeping cl.exe processes", 0), 0u) << out;
}

TEST_F(ServiceTest, StopDuringTheSleepLetsTheBusyPassFinishFirst) {
    AddProcess(21, "cl.exe", NORMAL_PRIORITY_CLASS, 0x1);
    fake::ScriptCounterValues({99.0});
    ControlsDuringSleep(1, {SERVICE_CONTROL_STOP});
    EXPECT_TRUE(Dispatch());
    EXPECT_EQ(fake::FindProcess(21)->priorityClass,
              static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fake::FindProcess(21)->processMask, 0x3u);
    EXPECT_EQ(fake::Sleeps().size(), 1u);
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), Stopped});
}

TEST_F(ServiceTest, StopDuringABusyPassLetsEveryProcessBeHandled) {
    AddProcess(31, "cl.exe");
    AddProcess(32, "cl.exe");
    AddProcess(33, "cl.exe");
    fake::ScriptCounterValues({99.0, 99.0});
    fake::SetBeforeCall([](fake::Api api) {
        if (api == fake::Api::OpenProcess && fake::CallCount(fake::Api::OpenProcess) == 1) {
            fake::SendControl(SERVICE_CONTROL_STOP);
        }
    });
    EXPECT_TRUE(Dispatch());
    for (const DWORD id : {31u, 32u, 33u}) {
        EXPECT_EQ(fake::FindProcess(id)->priorityClass,
                  static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS))
            << id;
    }
    EXPECT_EQ(fake::Sleeps().size(), 1u) << "no pass begins after the stop";
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), Stopped});
}

TEST_F(ServiceTest, StopBeforeTheFirstPassEndsTheLoopBeforeItSleeps) {
    fake::SetBeforeCall([](fake::Api api) {
        if (api == fake::Api::PdhOpenQueryA) {
            fake::SendControl(SERVICE_CONTROL_STOP);
        }
    });
    EXPECT_TRUE(Dispatch());
    EXPECT_TRUE(fake::Sleeps().empty());
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), Stopped});
}

TEST_F(ServiceTest, EveryStopIsActedOnWithTheNextCheckPoints) {
    ControlsDuringSleep(1, {SERVICE_CONTROL_STOP, SERVICE_CONTROL_STOP});
    EXPECT_TRUE(Dispatch());
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), StopPending(4),
                   StopPending(5), Stopped});
}

TEST_F(ServiceTest, ControlsOtherThanStopChangeNothing) {
    fake::SetBeforeCall([](fake::Api api) {
        if (api != fake::Api::Sleep) {
            return;
        }
        if (fake::CallCount(fake::Api::Sleep) == 1) {
            for (const DWORD control : std::vector<DWORD>{
                     SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                     SERVICE_CONTROL_SHUTDOWN, 0, 128, 255}) {
                fake::SendControl(control);
            }
            EXPECT_EQ(fake::StatusReports().size(), 2u) << "no report for an ignored control";
            EXPECT_FALSE(StopRequested.load());
        }
        if (fake::CallCount(fake::Api::Sleep) == 3) {
            fake::SendControl(SERVICE_CONTROL_STOP);
        }
    });
    EXPECT_TRUE(Dispatch());
    EXPECT_EQ(fake::Sleeps().size(), 3u) << "the monitoring went on after the ignored controls";
    EXPECT_EQ(fake::ControlsDelivered(), 8);
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), Stopped});
}

TEST_F(ServiceTest, MonitoringThatEndsOnItsOwnReportsAServiceSpecificError) {
    fake::FailCall(fake::Api::EnumProcesses, 1);
    fake::ScriptCounterValues({99.0});
    EXPECT_TRUE(Dispatch());
    EXPECT_EQ(err, "error: EnumProcesses() failed\n");
    ExpectReports({StartPending, Running, Stopped}, ERROR_SERVICE_SPECIFIC_ERROR,
                  ProcessListUnreadableExitCode);
    EXPECT_NE(ProcessListUnreadableExitCode, 0u);
}

TEST_F(ServiceTest, StopThatArrivesAsTheServiceStopsCannotOverwriteTheStoppedReport) {
    fake::FailCall(fake::Api::EnumProcesses, 1);
    fake::ScriptCounterValues({99.0});
    fake::SetBeforeCall([](fake::Api api) {
        // The stopped report is being sent: the handler gets the control meanwhile.
        if (api == fake::Api::SetServiceStatus &&
            fake::CallCount(fake::Api::SetServiceStatus) == 3) {
            fake::PostControl(SERVICE_CONTROL_STOP);
        }
    });
    EXPECT_TRUE(Dispatch());
    EXPECT_EQ(fake::ControlsDelivered(), 1);
    ExpectReports({StartPending, Running, Stopped}, ERROR_SERVICE_SPECIFIC_ERROR,
                  ProcessListUnreadableExitCode);
}

// Many lives in which a stop reaches the dispatcher thread just as the monitoring ends on its
// own, so the handler's reports and the final one really run at once (ThreadSanitizer watches).
TEST_F(ServiceTest, StopRacingTheMonitoringsOwnEndNeverInterleavesReports) {
    for (int life = 0; life < 200; ++life) {
        SetUp();
        fake::FailCall(fake::Api::EnumProcesses, 1);
        fake::ScriptCounterValues({99.0});
        fake::SetBeforeCall([](fake::Api api) {
            if (api == fake::Api::EnumProcesses) {
                fake::PostControl(SERVICE_CONTROL_STOP);
            }
        });
        ASSERT_TRUE(Dispatch());

        const std::vector<fake::StatusReport> reports = fake::StatusReports();
        ASSERT_GE(reports.size(), 3u);
        EXPECT_EQ(reports[0].status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
        EXPECT_EQ(reports[1].status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
        DWORD nextCheckPoint = 2;
        for (size_t i = 2; i + 1 < reports.size(); ++i) {
            EXPECT_EQ(reports[i].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
            EXPECT_EQ(reports[i].status.dwCheckPoint, nextCheckPoint++);
        }
        const SERVICE_STATUS& last = reports.back().status;
        EXPECT_EQ(last.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << "life " << life;
        EXPECT_EQ(last.dwCheckPoint, 0u);
        // Whichever came first, the exit codes agree with each other.
        EXPECT_EQ(last.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR,
                  last.dwServiceSpecificExitCode == ProcessListUnreadableExitCode);
        EXPECT_EQ(fake::ControlsDelivered(), 1);
        ASSERT_FALSE(HasFailure()) << "life " << life;
    }
}

TEST_F(ServiceTest, FailedRegistrationReportsNothingAndNeverMonitors) {
    fake::FailCall(fake::Api::RegisterServiceCtrlHandlerA, 1);
    EXPECT_TRUE(Dispatch());
    EXPECT_TRUE(fake::StatusReports().empty());
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
}

TEST_F(ServiceTest, FailedStatusReportsAreIgnored) {
    fake::FailFrom(fake::Api::SetServiceStatus, 1);
    ControlsDuringSleep(2, {SERVICE_CONTROL_STOP});
    EXPECT_TRUE(Dispatch());
    EXPECT_EQ(fake::Sleeps().size(), 2u);
    ExpectReports({StartPending, Running, StopPending(2), StopPending(3), Stopped});
}

TEST_F(ServiceTest, DispatcherThatCannotConnectFailsAtOnce) {
    fake::FailCall(fake::Api::StartServiceCtrlDispatcherA, 1);
    EXPECT_FALSE(Dispatch());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_TRUE(fake::StatusReports().empty());
    EXPECT_EQ(out, "");
}

} // namespace
