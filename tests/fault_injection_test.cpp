// Fails the k-th call of each platform function in turn, over a whole scripted service life of
// idle and busy passes, and checks what must hold whatever failed: nothing crashes or leaks, the
// monitoring ends only where the process list failed, stderr says exactly what the failure
// calls for, and the SCM receives well-formed records.
#include "service_fixture.h"

#include <sstream>
#include <string>
#include <vector>

namespace {

using fake::Api;

constexpr int Passes = 5;

struct Injection {
    Api api;
    int call;
};

std::string InjectionName(const ::testing::TestParamInfo<Injection>& info) {
    return std::string(fake::ApiName(info.param.api)) + "_" + std::to_string(info.param.call);
}

class FaultInjectionTest : public ServiceHostTest, public ::testing::WithParamInterface<Injection> {
  protected:
    void SetUp() override {
        ServiceHostTest::SetUp();
        // Targets in every state, bystanders, and an identifier that is gone when opened.
        AddProcess(0, "[idle]");
        AddProcess(4, "cl.exe", NORMAL_PRIORITY_CLASS, 0x1);
        AddProcess(8, "notepad.exe", HIGH_PRIORITY_CLASS, 0x1);
        AddProcess(12, "cl.exe.old", BELOW_NORMAL_PRIORITY_CLASS, 0x2);
        AddProcess(16, "cl.exe", IDLE_PRIORITY_CLASS, 0x3);
        AddProcess(20, "CL.EXE", NORMAL_PRIORITY_CLASS, 0x1);
        fake::FindProcess(16)->openFails = true;
        // Busy, idle, busy, busy, busy: the stop comes in the fifth sleep.
        fake::ScriptCounterValues({97.0, 12.0, 99.0, 95.0, 100.0});
        fake::SetBeforeCall([](Api api) {
            if (api == Api::Sleep && fake::CallCount(Api::Sleep) == Passes) {
                fake::SendControl(SERVICE_CONTROL_STOP);
            }
        });
    }

    void Live() { dispatched = Dispatch(); }

    BOOL dispatched = FALSE;
};

// What stderr must hold when this call failed.
std::string ExpectedErrors(const Injection& injection) {
    const std::string collect = "PhdCollectQueryData() ***Error: 0x800007D5\nPDH_NO_DATA\n";
    switch (injection.api) {
    case Api::PdhOpenQueryA:
        return "PdhOpenQuery() ***Error: 0xC0000BBB\n";
    case Api::PdhCollectQueryData:
        // A failed baseline leaves the first pass one collection short.
        return injection.call == 1 ? "PdhGetFormattedCounterValue() ***Error: 0xC0000BC6\n"
                                   : collect;
    case Api::PdhGetFormattedCounterValue:
        return "PdhGetFormattedCounterValue() ***Error: 0xC0000BC6\n";
    case Api::EnumProcesses:
        return "error: EnumProcesses() failed\n";
    case Api::SetPriorityClass:
        return "error: SetPriorityClass() failed\n";
    case Api::SetProcessAffinityMask:
        return "error: SetProcessAffinityMask() failed\n";
    case Api::SetProcessInformation:
        return "error: SetProcessInformation() failed\n";
    default:
        return ""; // the others fail silently
    }
}

TEST_P(FaultInjectionTest, ServiceKeepsItsPromises) {
    const Injection injection = GetParam();
    fake::FailCall(injection.api, injection.call);
    Live();

    const bool reached = fake::CallCount(injection.api) >= injection.call;
    const int sleeps = static_cast<int>(fake::Sleeps().size());
    const std::vector<fake::StatusReport> reports = fake::StatusReports();

    if (injection.api == Api::StartServiceCtrlDispatcherA && reached) {
        EXPECT_FALSE(dispatched);
        EXPECT_TRUE(reports.empty());
        EXPECT_EQ(out + err, "");
        return;
    }
    EXPECT_TRUE(dispatched);
    if (injection.api == Api::RegisterServiceCtrlHandlerA && reached) {
        EXPECT_TRUE(reports.empty());
        EXPECT_EQ(out + err, "");
        return;
    }

    // The monitoring ended where the process list failed, and only there. The busy passes are
    // the first, third, fourth and fifth; in the fifth the stop has been requested already.
    const int busyPasses[] = {1, 3, 4, 5};
    const bool listFailed = injection.api == Api::EnumProcesses && reached;
    EXPECT_EQ(sleeps, listFailed ? busyPasses[injection.call - 1] : Passes);
    const bool stopped = StopRequested.load();
    EXPECT_EQ(stopped, sleeps == Passes);
    EXPECT_EQ(err, reached ? ExpectedErrors(injection) : "");

    // The records: start-pending, running, two stop-pending if a stop came, stopped.
    ASSERT_EQ(reports.size(), stopped ? 5u : 3u);
    EXPECT_EQ(reports[0].status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    EXPECT_EQ(reports[0].status.dwCheckPoint, 1u);
    EXPECT_EQ(reports[0].status.dwControlsAccepted, 0u);
    EXPECT_EQ(reports[1].status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    for (size_t i = 2; i + 1 < reports.size(); ++i) {
        EXPECT_EQ(reports[i].status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
        EXPECT_EQ(reports[i].status.dwCheckPoint, static_cast<DWORD>(i));
    }
    const SERVICE_STATUS& last = reports.back().status;
    EXPECT_EQ(last.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(last.dwCheckPoint, 0u);
    EXPECT_EQ(last.dwWin32ExitCode,
              stopped ? 0u : static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(last.dwServiceSpecificExitCode, stopped ? 0u : ProcessListUnreadableExitCode);

    // Bystanders are never changed, whatever failed.
    EXPECT_EQ(fake::FindProcess(8)->priorityClass, static_cast<DWORD>(HIGH_PRIORITY_CLASS));
    EXPECT_EQ(fake::FindProcess(20)->processMask, 0x1u);
    EXPECT_EQ(fake::FindProcess(16)->priorityClass, static_cast<DWORD>(IDLE_PRIORITY_CLASS))
        << "a process that cannot be opened is never changed";
}

// The calls each function gets in the scripted life (four busy passes over five processes): every
// one of them is failed in turn, and one beyond, which is never reached.
const std::pair<Api, int> LifeCalls[] = {{Api::EnumProcesses, 4},
                                         {Api::OpenProcess, 28},
                                         {Api::QueryFullProcessImageNameA, 16},
                                         {Api::GetPriorityClass, 8},
                                         {Api::SetPriorityClass, 1},
                                         {Api::GetProcessAffinityMask, 8},
                                         {Api::SetProcessAffinityMask, 2},
                                         {Api::PdhOpenQueryA, 1},
                                         {Api::PdhAddEnglishCounterA, 1},
                                         {Api::PdhCollectQueryData, 6},
                                         {Api::PdhGetFormattedCounterValue, 5},
                                         {Api::Localtime64, 3},
                                         {Api::StartServiceCtrlDispatcherA, 1},
                                         {Api::RegisterServiceCtrlHandlerA, 1},
                                         {Api::SetServiceStatus, 5},
                                         {Api::RegisterEventSourceA, 1},
                                         {Api::ReportEventA, 4},
                                         {Api::DeregisterEventSource, 0},
                                         {Api::IsWow64Process, 1},
                                         {Api::SetProcessInformation, 1},
                                         {Api::GetProcessGroupAffinity, 8}};

std::vector<Injection> AllInjections() {
    std::vector<Injection> all;
    for (const auto& calls : LifeCalls) {
        for (int call = 1; call <= calls.second + 1; ++call) {
            all.push_back(Injection{calls.first, call});
        }
    }
    return all;
}

INSTANTIATE_TEST_SUITE_P(EveryCall, FaultInjectionTest, ::testing::ValuesIn(AllInjections()),
                         InjectionName);

// The call counts above must be those of the fault-free life, or some calls go untested.
TEST_F(FaultInjectionTest, ScriptedLifeMakesTheCallsCountedAbove) {
    Live();
    for (const auto& count : LifeCalls) {
        EXPECT_EQ(fake::CallCount(count.first), count.second) << fake::ApiName(count.first);
    }
    // A failing close is judged apart: it leaves its handle open.
    EXPECT_EQ(fake::CallCount(Api::CloseHandle), 24);
    EXPECT_EQ(err, "");
}

class CloseFailureTest : public FaultInjectionTest {};

TEST_F(CloseFailureTest, FailedCloseIsTheOnlyHandleLeftOpen) {
    for (int call = 1; call <= 24; ++call) {
        SetUp();
        fake::FailCall(Api::CloseHandle, call);
        Live();
        EXPECT_EQ(fake::HandlesStillOpen(), 1) << "call " << call;
        EXPECT_EQ(err, "");
        EXPECT_EQ(fake::Sleeps().size(), static_cast<size_t>(Passes));
        out.clear();
        fake::Reset(); // lets the fixture's own check see the double empty
    }
}

} // namespace
