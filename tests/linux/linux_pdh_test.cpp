// The Linux layer's processor-time counter.
#include "platform.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

const char Path[] = "\\Processor(_Total)\\% Processor Time";
const DWORD Flags = PDH_FMT_DOUBLE | PDH_FMT_NOCAP100;

DWORD Unsigned(PDH_STATUS status) {
    return static_cast<DWORD>(status);
}

void BusyFor(std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    volatile unsigned long spin = 0;
    while (std::chrono::steady_clock::now() < end) {
        spin = spin + 1;
    }
}

TEST(CounterTest, GivesTheUtilizationBetweenTheLastTwoCollections) {
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
    ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &query), 0);
    ASSERT_EQ(PdhAddCounterA(query, Path, 0, &counter), 0);
    PDH_FMT_COUNTERVALUE value{};
    DWORD type = 0;
    EXPECT_EQ(Unsigned(PdhGetFormattedCounterValue(counter, Flags, &type, &value)),
              PDH_INVALID_DATA)
        << "no value before any collection";

    ASSERT_EQ(PdhCollectQueryData(query), 0);
    EXPECT_EQ(Unsigned(PdhGetFormattedCounterValue(counter, Flags, &type, &value)),
              PDH_INVALID_DATA)
        << "a rate needs two collections";
    EXPECT_EQ(value.CStatus, PDH_CSTATUS_INVALID_DATA);

    // This thread alone keeps at least one processor busy in between.
    BusyFor(std::chrono::milliseconds(300));
    ASSERT_EQ(PdhCollectQueryData(query), 0);
    ASSERT_EQ(PdhGetFormattedCounterValue(counter, Flags, &type, &value), 0);
    EXPECT_EQ(value.CStatus, PDH_CSTATUS_VALID_DATA);
    const double processors = static_cast<double>(std::thread::hardware_concurrency());
    EXPECT_GE(value.doubleValue, 100.0 / processors * 0.8);
    EXPECT_LE(value.doubleValue, 100.0);

    PDH_FMT_COUNTERVALUE whole{};
    ASSERT_EQ(PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &whole), 0);
    EXPECT_EQ(whole.longValue, static_cast<LONG>(value.doubleValue));
}

TEST(CounterTest, OnlyTheProcessorTimePathsAreServedInAnyCase) {
    PDH_HQUERY query = nullptr;
    ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &query), 0);
    PDH_HCOUNTER counter = nullptr;
    EXPECT_EQ(PdhAddCounterA(query, "\\processor(_total)\\% processor time", 0, &counter), 0);
    EXPECT_EQ(PdhAddEnglishCounterA(query, "\\Processor Information(_Total)\\% Processor Time", 0,
                                    &counter),
              0);
    EXPECT_EQ(Unsigned(PdhAddCounterA(query, "\\Processor(_Total)\\% Idle Time", 0, &counter)),
              PDH_CSTATUS_NO_COUNTER);
    EXPECT_EQ(Unsigned(PdhAddCounterA(query, "\\Processor(3)\\% Processor Time", 0, &counter)),
              PDH_CSTATUS_NO_INSTANCE);
    EXPECT_EQ(Unsigned(PdhAddCounterA(query, "\\Memory\\Available Bytes", 0, &counter)),
              PDH_CSTATUS_NO_OBJECT);
    EXPECT_EQ(Unsigned(PdhAddCounterA(query, "Processor Time", 0, &counter)),
              PDH_CSTATUS_BAD_COUNTERNAME);
    EXPECT_EQ(Unsigned(PdhAddCounterA(query, nullptr, 0, &counter)), PDH_INVALID_ARGUMENT);
}

TEST(CounterTest, StaleOrMadeUpHandlesAndEmptyQueriesAreRefused) {
    int made_up = 0;
    PDH_FMT_COUNTERVALUE value{};
    EXPECT_EQ(Unsigned(PdhCollectQueryData(&made_up)), PDH_INVALID_HANDLE);
    EXPECT_EQ(Unsigned(PdhCollectQueryData(nullptr)), PDH_INVALID_HANDLE);
    EXPECT_EQ(Unsigned(PdhGetFormattedCounterValue(&made_up, Flags, nullptr, &value)),
              PDH_INVALID_HANDLE);
    PDH_HCOUNTER counter = nullptr;
    EXPECT_EQ(Unsigned(PdhAddCounterA(&made_up, Path, 0, &counter)), PDH_INVALID_HANDLE);

    PDH_HQUERY query = nullptr;
    ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &query), 0);
    EXPECT_EQ(Unsigned(PdhCollectQueryData(query)), PDH_NO_DATA) << "no counter to collect";
    EXPECT_EQ(Unsigned(PdhOpenQueryA("C:\\perf.blg", 0, &query)), PDH_INVALID_ARGUMENT);
}

TEST(CounterTest, FormatMustNameOneKindOfValue) {
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
    ASSERT_EQ(PdhOpenQueryA(nullptr, 0, &query), 0);
    ASSERT_EQ(PdhAddCounterA(query, Path, 0, &counter), 0);
    PDH_FMT_COUNTERVALUE value{};
    EXPECT_EQ(Unsigned(PdhGetFormattedCounterValue(counter, PDH_FMT_NOCAP100, nullptr, &value)),
              PDH_INVALID_ARGUMENT);
    EXPECT_EQ(Unsigned(PdhGetFormattedCounterValue(counter, PDH_FMT_DOUBLE | PDH_FMT_LONG, nullptr,
                                                   &value)),
              PDH_INVALID_ARGUMENT);
    EXPECT_EQ(Unsigned(PdhGetFormattedCounterValue(counter, Flags, nullptr, nullptr)),
              PDH_INVALID_ARGUMENT);
}

} // namespace
