// When the loop acts, what it enumerates, and when it ends.
#include "monitor_fixture.h"
#include "pid_snapshot.h"

#include <vector>

namespace {

const char Banner[] = "keeping cl.exe processes scheduled accross all CPU cores and running "
                      "with below normal priority\n";

class LoopTest : public MonitorTest {
  protected:
    void RunLoop() {
        Run([] { RunMonitorLoop(); });
    }
    static std::vector<DWORD> OffersInIds() {
        std::vector<DWORD> ids;
        for (const DWORD bytes : fake::EnumOffers()) {
            ids.push_back(bytes / 4);
        }
        return ids;
    }
};

TEST_F(LoopTest, StopAlreadyRequestedPrintsBannerPrimesAndReturnsWithoutSleeping) {
    StopRequested = true;
    RunLoop();
    EXPECT_EQ(out, Banner);
    EXPECT_EQ(fake::CallCount(fake::Api::PdhOpenQueryA), 1);
    EXPECT_EQ(fake::CallCount(fake::Api::PdhCollectQueryData), 1);
    EXPECT_TRUE(fake::Sleeps().empty());
}

TEST_F(LoopTest, EveryPassSleepsFiveSecondsThenSamples) {
    fake::ScriptCounterValues({10.0, 20.0, 30.0});
    StopDuringSleep(3);
    RunLoop();
    EXPECT_EQ(fake::Sleeps(), (std::vector<DWORD>{5000, 5000, 5000}));
    EXPECT_EQ(out, std::string(Banner) + "CPU usage:  10%\nCPU usage:  20%\nCPU usage:  30%\n");
    EXPECT_EQ(fake::CallCount(fake::Api::EnumProcesses), 0) << "idle passes never enumerate";
}

TEST_F(LoopTest, NinetyFiveStartsABusyPassAndNinetyFourDoesNot) {
    AddProcess(8, "notepad.exe");
    fake::ScriptCounterValues({94.0, 94.49, 95.0});
    StopDuringSleep(3);
    RunLoop();
    EXPECT_EQ(fake::CallCount(fake::Api::EnumProcesses), 1);
    EXPECT_EQ(fake::OpenedIds(), (std::vector<DWORD>{8}));
}

TEST_F(LoopTest, FailedSampleNeverStartsABusyPass) {
    AddProcess(8, "cl.exe");
    fake::FailCall(fake::Api::PdhCollectQueryData, 2, static_cast<PDH_STATUS>(PDH_NO_DATA));
    fake::FailCall(fake::Api::PdhGetFormattedCounterValue, 1); // the second pass
    fake::ScriptCounterValues({99.0, 99.0});
    StopDuringSleep(2);
    RunLoop();
    EXPECT_EQ(fake::CallCount(fake::Api::EnumProcesses), 0);
    EXPECT_EQ(fake::FindProcess(8)->priorityClass, static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

TEST_F(LoopTest, BusyPassHandsEveryNonZeroIdentifierOnInThePlatformsOrder) {
    for (const DWORD id : {0u, 30u, 10u, 0u, 20u, 0u}) {
        AddProcess(id, "svc.exe");
    }
    fake::ScriptCounterValues({100.0});
    StopDuringSleep(1);
    RunLoop();
    EXPECT_EQ(fake::OpenedIds(), (std::vector<DWORD>{30, 10, 20}));
}

TEST_F(LoopTest, FewerIdentifiersThanOfferedEndsTheSnapshotAtOnce) {
    for (DWORD id = 1; id <= 99; ++id) {
        AddProcess(id * 4, "svc.exe");
    }
    fake::ScriptCounterValues({99.0});
    StopDuringSleep(1);
    RunLoop();
    EXPECT_EQ(OffersInIds(), (std::vector<DWORD>{100}));
    EXPECT_EQ(fake::OpenedIds().size(), 99u);
}

TEST_F(LoopTest, StorageFilledExactlyGrowsToTwiceTheCountPlusOne) {
    for (DWORD id = 1; id <= 100; ++id) {
        AddProcess(id, "svc.exe");
    }
    fake::ScriptCounterValues({99.0});
    StopDuringSleep(1);
    RunLoop();
    EXPECT_EQ(OffersInIds(), (std::vector<DWORD>{100, 201}));
    EXPECT_EQ(fake::OpenedIds().size(), 100u);
}

TEST_F(LoopTest, GrowthRepeatsUntilACallLeavesRoomAndLosesNoIdentifier) {
    std::vector<DWORD> ids;
    for (DWORD id = 1; id <= 700; ++id) {
        AddProcess(id, "svc.exe");
        ids.push_back(id);
    }
    fake::ScriptCounterValues({99.0});
    StopDuringSleep(1);
    RunLoop();
    EXPECT_EQ(OffersInIds(), (std::vector<DWORD>{100, 201, 403, 807}));
    EXPECT_EQ(fake::OpenedIds(), ids);
}

TEST_F(LoopTest, EachBusyPassTakesAFreshSnapshotAndForgetsTheFailuresOfTheGone) {
    fake::SetPowerThrottlingRefusal(0);
    AddProcess(1, "cl.exe").setPriorityFails = true;
    AddProcess(5, "cl.exe").setInformationFails = true;
    AddProcess(6, "cl.exe").setInformationFails = true;
    fake::ScriptCounterValues({99.0, 99.0});
    // A process starts between the two passes; the first two exit.
    fake::SetBeforeCall([](fake::Api api) {
        if (api == fake::Api::Sleep && fake::CallCount(fake::Api::Sleep) == 2) {
            fake::Processes().erase(fake::Processes().begin(), fake::Processes().begin() + 2);
            fake::Process started;
            started.id = 2;
            started.name = "cl.exe";
            fake::Processes().push_back(started);
            StopRequested = true;
        }
    });
    RunLoop();
    // Each compiler is opened to be named, then again to be changed.
    EXPECT_EQ(fake::OpenedIds(), (std::vector<DWORD>{1, 1, 5, 5, 6, 6, 6, 6, 2, 2}));
    EXPECT_EQ(fake::FindProcess(2)->priorityClass, static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    // What is kept is process 6's: its refused opt-out, reported once and still owed.
    ASSERT_EQ(FailureMemory.failures.size(), 1u) << "the failures of processes 1 and 5 are gone";
    EXPECT_EQ(FailureMemory.failures[0].processId, 6u);
    ASSERT_EQ(FailureMemory.owedOptOuts.size(), 1u) << "the opt-out owed to process 5 is gone";
    EXPECT_EQ(FailureMemory.owedOptOuts.count(6), 1u);
    // 5 and 6 on the first pass; 6 again, and the newcomer, on the second.
    EXPECT_EQ(fake::CallCount(fake::Api::SetProcessInformation), 4);
}

TEST_F(LoopTest, StopDuringTheSleepLetsTheBusyPassFinish) {
    AddProcess(3, "cl.exe", NORMAL_PRIORITY_CLASS, 0x1);
    AddProcess(4, "cl.exe", NORMAL_PRIORITY_CLASS, 0x2);
    fake::ScriptCounterValues({97.0});
    StopDuringSleep(1);
    RunLoop();
    EXPECT_EQ(fake::Sleeps().size(), 1u);
    EXPECT_EQ(fake::FindProcess(3)->priorityClass, static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fake::FindProcess(4)->processMask, 0x3u);
    EXPECT_EQ(fake::CallCount(fake::Api::PdhCollectQueryData), 2);
}

TEST_F(LoopTest, FailedEnumerationEndsTheLoopWithoutAStopRequest) {
    AddProcess(3, "cl.exe");
    fake::FailCall(fake::Api::EnumProcesses, 1);
    fake::ScriptCounterValues({97.0, 97.0, 97.0});
    StopDuringSleep(3); // only a safety net: the loop must end after the first pass
    RunLoop();
    EXPECT_FALSE(StopRequested.load());
    EXPECT_EQ(fake::Sleeps().size(), 1u);
    EXPECT_EQ(err, "error: EnumProcesses() failed\n");
    EXPECT_EQ(fake::OpenedIds().size(), 0u);
}

TEST_F(LoopTest, FailedEnumerationWhileGrowingEndsTheLoopToo) {
    for (DWORD id = 1; id <= 150; ++id) {
        AddProcess(id, "svc.exe");
    }
    fake::FailCall(fake::Api::EnumProcesses, 2);
    fake::ScriptCounterValues({97.0, 97.0});
    StopDuringSleep(2);
    RunLoop();
    EXPECT_EQ(fake::Sleeps().size(), 1u);
    EXPECT_EQ(err, "error: EnumProcesses() failed\n");
    EXPECT_TRUE(fake::OpenedIds().empty()) << "a partial snapshot is never acted on";
}

TEST(PidCapacityTest, GrowsToTwiceTheCountPlusOne) {
    DWORD capacity = 0;
    ASSERT_TRUE(NextPidCapacity(100, 1u << 30, &capacity));
    EXPECT_EQ(capacity, 201u);
    ASSERT_TRUE(NextPidCapacity(0, 1u << 30, &capacity));
    EXPECT_EQ(capacity, 1u);
}

TEST(PidCapacityTest, RefusesACapacityWhoseSizeInBytesOverflows) {
    DWORD capacity = 7;
    // 0x3FFFFFFF identifiers are 0xFFFFFFFC bytes: the most that a DWORD size can offer.
    ASSERT_TRUE(NextPidCapacity(0x1FFFFFFF, SIZE_MAX, &capacity));
    EXPECT_EQ(capacity, 0x3FFFFFFFu);
    capacity = 7;
    EXPECT_FALSE(NextPidCapacity(0x20000000, SIZE_MAX, &capacity));
    EXPECT_FALSE(NextPidCapacity(0xFFFFFFFF, SIZE_MAX, &capacity));
    EXPECT_EQ(capacity, 7u) << "a refused growth leaves the capacity alone";
}

TEST(PidCapacityTest, RefusesACapacityBeyondTheListsLargestSize) {
    DWORD capacity = 7;
    EXPECT_FALSE(NextPidCapacity(100, 200, &capacity));
    EXPECT_TRUE(NextPidCapacity(100, 201, &capacity));
}

} // namespace
