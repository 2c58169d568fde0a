// Sampling the total processor utilization.
#include "monitor_fixture.h"

#include <cmath>
#include <limits>

namespace {

class SamplerTest : public MonitorTest {
  protected:
    int Sample() {
        int result = -1;
        Run([&] { result = SampleCpuUsage(); });
        return result;
    }
};

TEST_F(SamplerTest, FirstCallOpensTheQueryTakesTheBaselineAndPrintsNothing) {
    fake::ScriptCounterValues({97.0});
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::AddedCounterPath(), "\\Processor Information(_Total)\\% Processor Time");
    EXPECT_EQ(fake::CallCount(fake::Api::PdhCollectQueryData), 1);
    EXPECT_EQ(fake::CallCount(fake::Api::PdhGetFormattedCounterValue), 0);
}

TEST_F(SamplerTest, LaterCallsMeasureTheIntervalAndPrintEverySample) {
    fake::ScriptCounterValues({97.2, 3.0});
    Sample();
    EXPECT_EQ(Sample(), 97);
    EXPECT_EQ(Sample(), 3);
    EXPECT_EQ(out, "CPU usage:  97%\nCPU usage:   3%\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::LastFormatFlags(), 0x8200u) << "double, not capped at 100";
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 1) << "the query is opened once";
    EXPECT_EQ(fake::CallCount(fake::Api::PdhAddEnglishCounterA), 1);
}

TEST_F(SamplerTest, AddsTheCounterByItsEnglishPathSoEveryDisplayLanguageFindsIt) {
    fake::SetNonEnglishDisplayLanguage(true);
    fake::ScriptCounterValues({97.0});
    Sample();
    EXPECT_EQ(Sample(), 97);
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::CallCount(fake::Api::PdhAddCounterA), 0);
}

struct Rounding {
    double value;
    int percent;
    const char* line;
};

class SamplerRoundingTest : public SamplerTest, public ::testing::WithParamInterface<Rounding> {};

TEST_P(SamplerRoundingTest, RoundsHalvesUpAndPrintsThreeColumns) {
    fake::ScriptCounterValues({GetParam().value});
    Sample();
    EXPECT_EQ(Sample(), GetParam().percent);
    EXPECT_EQ(out, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SamplerRoundingTest,
    ::testing::Values(Rounding{94.49, 94, "CPU usage:  94%\n"},
                      Rounding{94.5, 95, "CPU usage:  95%\n"},
                      Rounding{5.0, 5, "CPU usage:   5%\n"}, Rounding{0.0, 0, "CPU usage:   0%\n"},
                      Rounding{99.5, 100, "CPU usage: 100%\n"},
                      Rounding{123.4, 123, "CPU usage: 123%\n"},
                      Rounding{-0.4, 0, "CPU usage:   0%\n"},
                      Rounding{2147483646.9, 2147483647, "CPU usage: 2147483647%\n"}));

class SamplerUnusableValueTest : public SamplerTest,
                                 public ::testing::WithParamInterface<double> {};

TEST_P(SamplerUnusableValueTest, CountsAsAFailedSample) {
    fake::ScriptCounterValues({GetParam()});
    Sample();
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "PdhGetFormattedCounterValue() ***Error: 0xC0000BC6\n");
}

INSTANTIATE_TEST_SUITE_P(Values, SamplerUnusableValueTest,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity(),
                                           -std::numeric_limits<double>::infinity(), 2147483647.5,
                                           1e300, -2147483649.5,
                                           std::numeric_limits<double>::max()));

TEST_F(SamplerTest, RoundingKeepsEveryRepresentableResultAndRejectsTheRest) {
    int percent = -7;
    EXPECT_TRUE(RoundCounterPercent(-2147483648.4, &percent));
    EXPECT_EQ(percent, -2147483647) << "truncation toward zero of -2147483647.9";
    EXPECT_TRUE(RoundCounterPercent(-2147483648.6, &percent));
    EXPECT_EQ(percent, -2147483648);
    percent = -7;
    EXPECT_FALSE(RoundCounterPercent(std::nan(""), &percent));
    EXPECT_EQ(percent, -7) << "a rejected value leaves the result alone";
}

TEST_F(SamplerTest, FailedOpenIsRetriedAndTheCallThatOpensStillReturnsZero) {
    fake::FailCall(fake::Api::PdhOpenQueryA, 1, static_cast<PDH_STATUS>(0xC0000BBB));
    fake::ScriptCounterValues({96.0});
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(err, "PdhOpenQuery() ***Error: 0xC0000BBB\n");
    EXPECT_EQ(fake::CallCount(fake::Api::PdhAddEnglishCounterA), 0);
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(out, "") << "the call that opens takes the baseline only";
    EXPECT_EQ(Sample(), 96);
    EXPECT_EQ(out, "CPU usage:  96%\n");
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 2);
}

TEST_F(SamplerTest, FallbackWhoseOpenFailsIsTriedAgain) {
    fake::SetProcessorInformationCollects(false);
    fake::FailCall(fake::Api::PdhOpenQueryA, 2, static_cast<PDH_STATUS>(0xC0000BBB));
    fake::ScriptCounterValues({99.0});
    for (int call = 0; call < 3; ++call) {
        EXPECT_EQ(Sample(), 0) << call;
    }
    EXPECT_EQ(Sample(), 99) << "the older counter, opened on the second try";
    EXPECT_EQ(fake::AddedCounterPath(), std::string("\\Processor(_Total)\\% Processor Time"));
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 3);
}

// The whole machine's counter where the platform knows it; the older one where it does not (Wine),
// silently, or where it adds but fails its baseline and first collections, after one error; and
// where neither can be added, the failure goes unnoticed until every later call reports it as a
// failed collection, and the add is never repeated.
struct Counter {
    const char* what;
    bool processorInformationKnown;
    bool processorInformationCollects;
    bool addsFail;
    const char* added;
    int adds;
    int samples[2]; // of the two calls after the baseline
    const char* err;
};

void PrintTo(const Counter& row, std::ostream* os) {
    *os << row.what;
}

class SamplerCounterTest : public SamplerTest, public ::testing::WithParamInterface<Counter> {};

TEST_P(SamplerCounterTest, SamplesTheWholeMachineWhereItCan) {
    const Counter& row = GetParam();
    fake::SetProcessorInformationKnown(row.processorInformationKnown);
    fake::SetProcessorInformationCollects(row.processorInformationCollects);
    if (row.addsFail) {
        fake::FailFrom(fake::Api::PdhAddEnglishCounterA, 1);
    }
    fake::ScriptCounterValues({99.0, 99.0});
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(err, "") << row.what;
    EXPECT_EQ(Sample(), row.samples[0]) << row.what;
    EXPECT_EQ(Sample(), row.samples[1]) << row.what;
    EXPECT_EQ(err, row.err) << row.what;
    EXPECT_EQ(fake::AddedCounterPath(), row.added) << row.what;
    EXPECT_EQ(fake::CallCount(fake::Api::PdhAddEnglishCounterA), row.adds)
        << "the adds are never repeated";
}

const char ProcessorTime[] = "\\Processor(_Total)\\% Processor Time";
const char NoData[] = "PhdCollectQueryData() ***Error: 0x800007D5\nPDH_NO_DATA\n";
INSTANTIATE_TEST_SUITE_P(
    Platforms, SamplerCounterTest,
    ::testing::Values(Counter{"Windows",
                              true,
                              true,
                              false,
                              "\\Processor Information(_Total)\\% Processor Time",
                              1,
                              {99, 99},
                              ""},
                      Counter{"Wine", false, true, false, ProcessorTime, 2, {99, 99}, ""},
                      Counter{"whole machine's adds, never collects",
                              true,
                              false,
                              false,
                              ProcessorTime,
                              2,
                              {0, 99},
                              NoData},
                      Counter{"neither added",
                              true,
                              true,
                              true,
                              "",
                              2,
                              {0, 0},
                              "PhdCollectQueryData() ***Error: 0x800007D5\nPDH_NO_DATA\n"
                              "PhdCollectQueryData() ***Error: 0x800007D5\nPDH_NO_DATA\n"}));

struct CollectFailure {
    DWORD status;
    const char* lines;
};

class SamplerCollectFailureTest : public SamplerTest,
                                  public ::testing::WithParamInterface<CollectFailure> {};

TEST_P(SamplerCollectFailureTest, PrintsTheStatusAndNamesIt) {
    fake::FailCall(fake::Api::PdhCollectQueryData, 2, static_cast<PDH_STATUS>(GetParam().status));
    fake::ScriptCounterValues({98.0});
    Sample();
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, GetParam().lines);
    EXPECT_EQ(fake::CallCount(fake::Api::PdhGetFormattedCounterValue), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, SamplerCollectFailureTest,
    ::testing::Values(
        CollectFailure{0xC0000BBC,
                       "PhdCollectQueryData() ***Error: 0xC0000BBC\nPDH_INVALID_HANDLE\n"},
        CollectFailure{0x800007D5, "PhdCollectQueryData() ***Error: 0x800007D5\nPDH_NO_DATA\n"},
        CollectFailure{0xC0000BBB, "PhdCollectQueryData() ***Error: 0xC0000BBB\nUnknown error\n"},
        CollectFailure{0x1, "PhdCollectQueryData() ***Error: 0x1\nUnknown error\n"}));

TEST_F(SamplerTest, FailedCollectionLeavesTheQueryOpenForTheNextCall) {
    fake::FailCall(fake::Api::PdhCollectQueryData, 2, static_cast<PDH_STATUS>(PDH_NO_DATA));
    fake::ScriptCounterValues({88.0});
    Sample();
    Sample();
    err.clear();
    EXPECT_EQ(Sample(), 88);
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 1);
}

TEST_F(SamplerTest, FailedFormattingPrintsItsStatus) {
    fake::ScriptCounter({fake::CounterRead{static_cast<PDH_STATUS>(0xC0000BBA), 99.0}});
    Sample();
    EXPECT_EQ(Sample(), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "PdhGetFormattedCounterValue() ***Error: 0xC0000BBA\n");
}

} // namespace
