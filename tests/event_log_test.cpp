// Which log lines become events, of which type and ID, and that the streams carry the same text
// whether the event log takes the lines, refuses them, or cannot be registered at all.
#include "log_line.h"
#include "monitor_fixture.h"

#include <vector>

namespace {

using fake::Api;

struct Expected {
    WORD type;
    DWORD id;
    std::vector<std::string> strings;
};

class EventLogTest : public MonitorTest {
  protected:
    // A life with one line of every kind the loop, the sampler and the policy write, save the
    // lost process list (which its own test covers): a failed open, a failed collection, an idle
    // sample, a failed formatting, a busy pass with changes and failed changes, then a failed
    // process list that ends it.
    void Live() {
        AddProcess(4, "cl.exe", NORMAL_PRIORITY_CLASS, 0x1);
        fake::Process& stubborn = AddProcess(8, "cl.exe.old", NORMAL_PRIORITY_CLASS, 0x1);
        stubborn.setPriorityFails = true;
        stubborn.setAffinityFails = true;
        AddProcess(12, "CL.EXE", NORMAL_PRIORITY_CLASS, 0x1);
        AddProcess(16, "xcl.exe", NORMAL_PRIORITY_CLASS, 0x1);
        fake::FailCall(Api::PdhOpenQueryA, 1);
        fake::FailCall(Api::PdhCollectQueryData, 2, static_cast<PDH_STATUS>(PDH_NO_DATA));
        fake::FailCall(Api::PdhGetFormattedCounterValue, 2);
        fake::FailCall(Api::EnumProcesses, 2);
        fake::ScriptCounterValues({50.0, 97.0, 97.0});
        fake::SetTime(86400);
        Run([] { RunMonitorLoop(); });
    }
};

TEST_F(EventLogTest, BannerChangesAndFailuresBecomeEventsOfTheirOwnIds) {
    Live();
    const std::vector<Expected> expected = {
        {EVENTLOG_INFORMATION_TYPE,
         1,
         {"keeping cl.exe processes scheduled accross all CPU cores and running with below "
          "normal priority"}},
        {EVENTLOG_ERROR_TYPE, 300, {"PdhOpenQuery() ***Error: 0xC0000BBB"}},
        {EVENTLOG_ERROR_TYPE, 301, {"PhdCollectQueryData() ***Error: 0x800007D5", "PDH_NO_DATA"}},
        {EVENTLOG_ERROR_TYPE, 302, {"PdhGetFormattedCounterValue() ***Error: 0xC0000BC6"}},
        {EVENTLOG_INFORMATION_TYPE,
         100,
         {"1970-01-02T00:00:00 - set priority class of 'cl.exe' (PID 4) to below normal"}},
        {EVENTLOG_INFORMATION_TYPE,
         101,
         {"1970-01-02T00:00:00 - set affinity mask of 'cl.exe' (PID 4) to 0x0003"}},
        // A failure about a process names it and the error after the line.
        {EVENTLOG_ERROR_TYPE,
         200,
         {"error: SetPriorityClass() failed", "8", "cl.exe.old", "5", "Access is denied."}},
        {EVENTLOG_ERROR_TYPE,
         201,
         {"error: SetProcessAffinityMask() failed", "8", "cl.exe.old", "87",
          "The parameter is incorrect."}},
        {EVENTLOG_ERROR_TYPE, 400, {"error: EnumProcesses() failed"}},
    };
    const std::vector<fake::Event> events = fake::Events();
    ASSERT_EQ(events.size(), expected.size());
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].type, expected[i].type) << "event " << i;
        EXPECT_EQ(events[i].id, expected[i].id) << "event " << i;
        EXPECT_EQ(events[i].strings, expected[i].strings) << "event " << i;
    }
    EXPECT_EQ(fake::EventSourceName(), "Ostrevane");

    // The events' lines are the streams' text line for line; only the samples have no event.
    std::vector<std::string> information;
    std::vector<std::string> errors;
    for (const fake::Event& event : events) {
        std::vector<std::string>& lines = event.type == EVENTLOG_ERROR_TYPE ? errors : information;
        const bool aboutAProcess = event.id >= 200 && event.id < 300;
        lines.insert(lines.end(), event.strings.begin(),
                     aboutAProcess ? event.strings.begin() + 1 : event.strings.end());
    }
    std::vector<std::string> changes;
    std::vector<std::string> samples;
    for (const std::string& line : Lines(out)) {
        (line.rfind("CPU usage: ", 0) == 0 ? samples : changes).push_back(line);
    }
    EXPECT_EQ(samples,
              (std::vector<std::string>{"CPU usage:  50%", "CPU usage:  97%", "CPU usage:  97%"}));
    EXPECT_EQ(changes, information);
    EXPECT_EQ(Lines(err), errors);
}

TEST_F(EventLogTest, StreamsAreTheSameWhenTheLogRefusesEventsOrCannotBeRegistered) {
    Live();
    const std::string reportedOut = out;
    const std::string reportedErr = err;
    const size_t reported = fake::Events().size();

    for (const Api failing : {Api::RegisterEventSourceA, Api::ReportEventA}) {
        SetUp();
        out.clear();
        err.clear();
        fake::FailFrom(failing, 1);
        Live();
        EXPECT_EQ(out, reportedOut) << fake::ApiName(failing);
        EXPECT_EQ(err, reportedErr) << fake::ApiName(failing);
        EXPECT_EQ(fake::Sleeps().size(), 6u) << "the monitoring went on as far as before";
        EXPECT_EQ(fake::Events().size(), failing == Api::ReportEventA ? reported : 0u)
            << "every line is offered, and none without a source";
    }
}

// WOW64 folds the masks a 32-bit process reads into 32 bits; only where the processor group of
// the machine as it natively is holds more than that is the 32-bit exe warned against.
TEST_F(EventLogTest, UnderWow64AWarningWithoutStringsFollowsTheBannerAndTheStreamsStayTheSame) {
    Live();
    const std::string nativeOut = out;
    const std::string nativeErr = err;
    const size_t native = fake::Events().size();

    const struct {
        bool wow64;
        DWORD processors;
        bool warned;
    } machines[] = {{false, 64, false}, {true, 32, false}, {true, 33, true}};
    for (const auto& machine : machines) {
        SetUp();
        out.clear();
        err.clear();
        fake::SetWow64(machine.wow64);
        fake::SetNativeProcessors(machine.processors);
        Live();
        const std::vector<fake::Event> events = fake::Events();
        ASSERT_EQ(events.size(), native + (machine.warned ? 1 : 0)) << machine.processors;
        if (machine.warned) {
            EXPECT_EQ(events[1].type, EVENTLOG_WARNING_TYPE);
            EXPECT_EQ(events[1].id, 2u);
            EXPECT_TRUE(events[1].strings.empty());
        }
        EXPECT_EQ(out, nativeOut);
        EXPECT_EQ(err, nativeErr);
    }
}

TEST_F(EventLogTest, SourceIsRegisteredOnceAndHeldForTheLifeOfTheProcess) {
    StopRequested = true;
    Run([] { RunMonitorLoop(); });
    Run([] { RunMonitorLoop(); });
    EXPECT_EQ(fake::CallCount(Api::RegisterEventSourceA), 1);
    EXPECT_EQ(fake::EventSourcesOpen(), 1);
    EXPECT_EQ(fake::Events().size(), 2u) << "one banner per loop, through the one source";
}

} // namespace
