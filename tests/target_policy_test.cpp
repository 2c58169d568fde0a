// Naming, matching and changing one process; the timestamps of the change lines.
#include "monitor_fixture.h"
#include "target_policy.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// 2023-11-14T22:13:20 in the double's local time (UTC).
constexpr __time64_t SomeMoment = 1700000000;

class PolicyTest : public MonitorTest {
  protected:
    void SetUp() override {
        MonitorTest::SetUp();
        fake::SetTime(SomeMoment);
    }
    void Apply(DWORD id) {
        Run([id] { ApplyTargetPolicy(id); });
    }
};

TEST_F(PolicyTest, CompliantTargetIsLeftAloneSilently) {
    AddProcess(1234, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x3);
    Apply(1234);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::CallCount(fake::Api::SetPriorityClass), 0);
    EXPECT_EQ(fake::CallCount(fake::Api::SetProcessAffinityMask), 0);
}

class PolicyClassTest : public PolicyTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(PolicyClassTest, AnyOtherClassHigherOrLowerIsSetToBelowNormal) {
    AddProcess(1234, "cl.exe", GetParam(), 0x3);
    Apply(1234);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set priority class of 'cl.exe' (PID 1234) to below "
                   "normal\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::FindProcess(1234)->priorityClass,
              static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fake::FindProcess(1234)->processMask, 0x3u) << "the mask already matched";
}

INSTANTIATE_TEST_SUITE_P(Classes, PolicyClassTest,
                         ::testing::Values(IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS,
                                           ABOVE_NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS,
                                           REALTIME_PRIORITY_CLASS));

TEST_F(PolicyTest, NarrowMaskAloneGetsTheAffinityLineOnly) {
    AddProcess(42, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x1);
    Apply(42);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 42) to 0x0003\n");
    EXPECT_EQ(fake::FindProcess(42)->processMask, 0x3u);
    EXPECT_EQ(fake::CallCount(fake::Api::SetPriorityClass), 0);
}

// On machines of more than 64 logical processors a compiler's threads may be in several processor
// groups; a mask names one group's processors, so such a compiler is left as it is, silently. One
// in a single group is widened to every processor of its own group, whichever the service's, and
// never narrowed where the system mask reported is another group's.
const DWORD_PTR All64 = ~DWORD_PTR{0};
const DWORD_PTR First22 = 0x3fffff;
struct Groups {
    const char* what;
    std::vector<DWORD_PTR> machine; // each group's processors; empty for one group of 0x3
    USHORT serviceGroup;
    USHORT compilerGroup;
    USHORT groupCount;
    bool unsupported;  // GetProcessGroupAffinity is not implemented, as under Wine
    bool servicesMask; // the system mask reported is the service's group's
    DWORD_PTR before;
    DWORD_PTR after;
    const char* out;
};

void PrintTo(const Groups& row, std::ostream* os) {
    *os << row.what;
}

class PolicyGroupTest : public PolicyTest, public ::testing::WithParamInterface<Groups> {};

TEST_P(PolicyGroupTest, CompilerIsWidenedWithinItsGroupAndNeverConfinedOrNarrowed) {
    const Groups& row = GetParam();
    if (sizeof(DWORD_PTR) < 8 && !row.machine.empty()) {
        GTEST_SKIP() << "masks are 32 bits wide in this build";
    }
    fake::SetGroupAffinityUnsupported(row.unsupported);
    fake::SetProcessorGroups(row.machine, row.serviceGroup);
    fake::SetSystemMaskOfServiceGroup(row.servicesMask);
    fake::Process& compiler = AddProcess(43, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, row.before);
    compiler.groupCount = row.groupCount;
    compiler.group = row.compilerGroup;
    Apply(43);
    EXPECT_EQ(out, row.out) << row.what;
    EXPECT_EQ(err, "") << row.what;
    EXPECT_EQ(fake::FindProcess(43)->processMask, row.after) << row.what;
}

const std::vector<DWORD_PTR> OneGroup;
const std::vector<DWORD_PTR> Groups64And22 = {All64, First22};
INSTANTIATE_TEST_SUITE_P(
    Machines, PolicyGroupTest,
    ::testing::Values(
        Groups{"one group", OneGroup, 0, 0, 1, false, false, 0x1, 0x3,
               "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 43) to 0x0003\n"},
        Groups{"two groups", OneGroup, 0, 0, 2, false, false, 0x1, 0x1, ""},
        Groups{"no group query, as Wine", OneGroup, 0, 0, 2, true, false, 0x1, 0x3,
               "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 43) to 0x0003\n"},
        Groups{"in the 22's, the service in the 64's", Groups64And22, 0, 1, 1, false, false, 0x1,
               First22,
               "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 43) to 0x3fffff\n"},
        Groups{"in the 64's, the service in the 22's", Groups64And22, 1, 0, 1, false, false, 0x1,
               All64,
               "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 43) to "
               "0xffffffffffffffff\n"},
        Groups{"in the 64's, the 22's system mask reported", Groups64And22, 1, 0, 1, false, true, 0,
               0, ""}));

TEST_F(PolicyTest, EachChangeLineTakesItsOwnTimestamp) {
    AddProcess(7, "cl.exe.old", NORMAL_PRIORITY_CLASS, 0x2);
    // The clock moves on between the two changes.
    fake::SetBeforeCall([](fake::Api api) {
        if (api == fake::Api::SetProcessAffinityMask) {
            fake::SetTime(SomeMoment + 1);
        }
    });
    Apply(7);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set priority class of 'cl.exe.old' (PID 7) to below "
                   "normal\n"
                   "2023-11-14T22:13:21 - set affinity mask of 'cl.exe.old' (PID 7) to 0x0003\n");
}

// What is asked of each process, and what comes of it: every process is opened once with the
// limited query right and named through that handle, without reading its memory; only a compiler
// is opened again, with the rights of its changes, while the first handle still holds it. A name
// that cannot be had, or a second open that fails, passes silently.
const DWORD Limited = PROCESS_QUERY_LIMITED_INFORMATION;
const DWORD Change = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_SET_INFORMATION;

struct Access {
    const char* what;
    std::string name;
    std::string imagePath;        // "" for C:\Tools\NAME
    bool fake::Process::*failure; // one call that fails for this process, or none
    std::vector<fake::Open> opens;
    bool changed;
};

void PrintTo(const Access& row, std::ostream* os) {
    *os << row.what;
}

class PolicyAccessTest : public PolicyTest, public ::testing::WithParamInterface<Access> {};

TEST_P(PolicyAccessTest, EveryProcessIsNamedWithTheLimitedRightAndOnlyACompilerIsOpenedToChange) {
    const Access& row = GetParam();
    // Japanese Windows's ANSI code page, in which a character's second byte may be a backslash.
    fake::SetAnsiCodePage(932);
    fake::Process& process = AddProcess(9, row.name, HIGH_PRIORITY_CLASS, 0x1);
    process.imagePath = row.imagePath;
    if (row.failure != nullptr) {
        process.*row.failure = true;
    }
    Apply(9);
    EXPECT_EQ(fake::Opens(), row.opens) << row.what;
    const bool openFailed =
        row.failure == &fake::Process::openFails || row.failure == &fake::Process::changeOpenFails;
    EXPECT_EQ(fake::HandlesOpened(), static_cast<int>(row.opens.size()) - (openFailed ? 1 : 0));
    EXPECT_EQ(err, "") << row.what;
    EXPECT_EQ(out.empty(), !row.changed) << row.what;
    EXPECT_EQ(fake::FindProcess(9)->priorityClass,
              static_cast<DWORD>(row.changed ? BELOW_NORMAL_PRIORITY_CLASS : HIGH_PRIORITY_CLASS))
        << row.what;
    EXPECT_EQ(fake::FindProcess(9)->processMask, row.changed ? 0x3u : 0x1u) << row.what;
}

const std::string Deep = "D:\\" + std::string(300, 'd') + "\\VC\\bin\\Hostx64\\x64\\";
const std::vector<fake::Open> NamedOnly = {{9, Limited, 0}};
const std::vector<fake::Open> NamedAndChanged = {{9, Limited, 0}, {9, Change, 1}};
INSTANTIATE_TEST_SUITE_P(
    Processes, PolicyAccessTest,
    ::testing::Values(
        Access{"a bystander", "lsass.exe", "", nullptr, NamedOnly, false},
        Access{"a compiler", "cl.exe", "", nullptr, NamedAndChanged, true},
        Access{"a compiler deep in a tree", "cl.exe", Deep + "cl.exe", nullptr, NamedAndChanged,
               true},
        Access{"a path without a backslash", "cl.exe", "cl.exe", nullptr, NamedAndChanged, true},
        Access{"a file name whose first character ends in 0x5C, as \\x83\\x5C is in code page 932",
               "",
               "C:\\x\\\x83\x5C"
               "cl.exe",
               nullptr, NamedOnly, false},
        Access{"a folder whose name ends in such a character", "", "C:\\\x83\x5C\\cl.exe", nullptr,
               NamedAndChanged, true},
        Access{"a process that cannot be opened", "cl.exe", "", &fake::Process::openFails,
               NamedOnly, false},
        Access{"a name that cannot be had", "cl.exe", "", &fake::Process::nameFails, NamedOnly,
               false},
        Access{"a compiler that cannot be opened to change", "cl.exe", "",
               &fake::Process::changeOpenFails, NamedAndChanged, false},
        Access{"a file name longer than the name buffer", "cl.exe" + std::string(260, 'x'), "",
               nullptr, NamedOnly, false},
        Access{"a path longer than any Win32 path", "cl.exe",
               Deep + std::string(32768, 'p') + "\\cl.exe", nullptr, NamedOnly, false}));

// Two busy passes over one compiler. One lowered by the policy is opted out of execution-speed
// throttling in the same step, once; only a Windows that knows the class says so, and only a real
// refusal is an error, after which the opt-out is tried on every pass until it is made. A refusal
// that repeats on every pass is written to stderr every time but reported as an event once for
// its process, and afresh for a new process that takes its identifier, whose own failure is then
// the one remembered. A refused opt-out stays owed when the memory of reported failures is full,
// which then reports the refusal at every pass; and a creation time that cannot be read on one of
// the passes tells the compiler by its identifier alone. The events are the change lines' and the
// failures' (error events as their ID plus 1000).
struct TwoPasses {
    const char* what;
    DWORD priorityClass;          // before the first pass
    DWORD refusal;                // what a Windows that cannot set the class fails with; 0: it can
    bool fake::Process::*failure; // a call that fails for this process alone, or none
    bool reborn;                  // another process takes its identifier between the passes
    bool healed;                  // the failing call succeeds on the second pass
    std::vector<DWORD> events;
    const char* err;
    bool full = false;  // the memory holds as many failures of other processes as it can
    int unreadTime = 0; // the pass on which the creation time cannot be read, or 0
};

void PrintTo(const TwoPasses& row, std::ostream* os) {
    *os << row.what;
}

class PolicyTwoPassesTest : public PolicyTest, public ::testing::WithParamInterface<TwoPasses> {};

TEST_P(PolicyTwoPassesTest, ChangesAreMadeOnceAndFailuresReportedOncePerProcess) {
    const TwoPasses& row = GetParam();
    fake::SetPowerThrottlingRefusal(row.refusal);
    fake::Process& compiler = AddProcess(22, "cl.exe", row.priorityClass, 0x3);
    if (row.failure != nullptr) {
        compiler.*row.failure = true;
    }
    compiler.timesFail = row.unreadTime == 1;
    for (DWORD id = 1000; row.full && FailureMemory.failures.size() < MaxRememberedFailures; ++id) {
        FailureMemory.failures.push_back(ReportedFailure{1, id, EventSetPriorityFailed});
    }
    OpenEventSource();
    Apply(22);
    fake::Process& again = *fake::FindProcess(22);
    again.created += row.reborn ? 1 : 0;
    again.timesFail = row.unreadTime == 2;
    if (row.healed) {
        again.*row.failure = false;
    }
    Apply(22); // the next busy pass
    std::string lines;
    for (const DWORD id : row.events) {
        lines += id == 100   ? "2023-11-14T22:13:20 - set priority class of 'cl.exe' (PID 22) to "
                               "below normal\n"
                 : id == 102 ? "2023-11-14T22:13:20 - set execution speed throttling of 'cl.exe' "
                               "(PID 22) to off\n"
                             : "";
    }
    EXPECT_EQ(out, lines) << row.what;
    EXPECT_EQ(err, row.err) << row.what;
    std::vector<DWORD> events;
    for (const fake::Event& event : fake::Events()) {
        events.push_back(event.type == EVENTLOG_ERROR_TYPE ? event.id + 1000 : event.id);
        if (event.type == EVENTLOG_ERROR_TYPE) {
            EXPECT_EQ(std::vector<std::string>(event.strings.begin() + 1, event.strings.end()),
                      (std::vector<std::string>{"22", "cl.exe", "5", "Access is denied."}));
        }
    }
    EXPECT_EQ(events, row.events) << row.what;
    // Remembered is a failure of the process that holds the identifier now, one the second pass
    // met: a compiler below normal by its own tool is not opted out.
    const bool retried = row.failure == &fake::Process::setInformationFails && !row.reborn;
    const bool failedLast = row.failure != nullptr && !row.healed &&
                            (retried || row.failure != &fake::Process::setInformationFails);
    EXPECT_EQ(FailureMemory.failures.size(), row.full     ? MaxRememberedFailures
                                             : failedLast ? 1
                                                          : 0)
        << row.what;
    EXPECT_EQ(FailureMemory.owedOptOuts.size(), retried && !row.healed ? 1u : 0u) << row.what;
    const bool lowered = !row.events.empty() && row.events[0] == 100;
    EXPECT_EQ(fake::CallCount(fake::Api::SetProcessInformation),
              lowered && row.priorityClass != IDLE_PRIORITY_CLASS ? (retried ? 2 : 1) : 0)
        << row.what;
    const fake::Process& process = *fake::FindProcess(22);
    const bool optedOut = std::find(row.events.begin(), row.events.end(), 102) != row.events.end();
    EXPECT_EQ(process.throttlingSets, optedOut ? 1 : 0) << row.what;
    EXPECT_EQ(process.throttling.Version, optedOut ? 1u : 0u) << row.what;
    EXPECT_EQ(process.throttling.ControlMask, optedOut ? 1u : 0u) << "execution speed";
    EXPECT_EQ(process.throttling.StateMask, 0u) << "off";
}

const DWORD Normal = NORMAL_PRIORITY_CLASS;
bool fake::Process::*const Refused = &fake::Process::setInformationFails;
const char* const RefusedTwice =
    "error: SetProcessInformation() failed\nerror: SetProcessInformation() failed\n";
const std::vector<DWORD> ReportedOnce = {100, 1202};
const std::vector<DWORD> ReportedTwice = {100, 1202, 1202};
INSTANTIATE_TEST_SUITE_P(
    Windows, PolicyTwoPassesTest,
    ::testing::Values(
        TwoPasses{"opted out", Normal, 0, nullptr, false, false, {100, 102}, ""},
        TwoPasses{"below normal, by its tool",
                  BELOW_NORMAL_PRIORITY_CLASS,
                  0,
                  nullptr,
                  false,
                  false,
                  {},
                  ""},
        TwoPasses{"idle, in efficiency mode: raised, its QoS its user's",
                  IDLE_PRIORITY_CLASS,
                  0,
                  nullptr,
                  false,
                  false,
                  {100},
                  ""},
        TwoPasses{
            "before 10 1709", Normal, ERROR_INVALID_PARAMETER, nullptr, false, false, {100}, ""},
        TwoPasses{"Wine", Normal, ERROR_INVALID_FUNCTION, nullptr, false, false, {100}, ""},
        TwoPasses{"opt-out refused on both passes",
                  Normal,
                  0,
                  &fake::Process::setInformationFails,
                  false,
                  false,
                  {100, 1202},
                  "error: SetProcessInformation() failed\nerror: SetProcessInformation() failed\n"},
        TwoPasses{"opt-out refused, then made on the next pass",
                  Normal,
                  0,
                  &fake::Process::setInformationFails,
                  false,
                  true,
                  {100, 1202, 102},
                  "error: SetProcessInformation() failed\n"},
        TwoPasses{"opt-out refused, then its identifier a compiler's lowered by its tool",
                  Normal,
                  0,
                  &fake::Process::setInformationFails,
                  true,
                  false,
                  {100, 1202},
                  "error: SetProcessInformation() failed\n"},
        TwoPasses{"priority refused on both passes",
                  Normal,
                  0,
                  &fake::Process::setPriorityFails,
                  false,
                  false,
                  {1200},
                  "error: SetPriorityClass() failed\nerror: SetPriorityClass() failed\n"},
        TwoPasses{"priority refused, then its identifier another process's, refused too",
                  Normal,
                  0,
                  &fake::Process::setPriorityFails,
                  true,
                  false,
                  {1200, 1200},
                  "error: SetPriorityClass() failed\nerror: SetPriorityClass() failed\n"},
        TwoPasses{"opt-out refused on both passes, the memory full", Normal, 0, Refused, false,
                  false, ReportedTwice, RefusedTwice, true},
        TwoPasses{"opt-out refused, its creation time unread, then read", Normal, 0, Refused, false,
                  false, ReportedOnce, RefusedTwice, false, 1},
        TwoPasses{"opt-out refused, its creation time read, then unread", Normal, 0, Refused, false,
                  false, ReportedOnce, RefusedTwice, false, 2}));

// A refused opt-out is settled when the compiler is lowered again: made then, and not once more on
// the pass after; or no longer wanted when someone put it at idle in between (efficiency mode).
class PolicyRelowerTest : public PolicyTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(PolicyRelowerTest, RefusedOptOutIsSettledByTheNextLowering) {
    const DWORD between = GetParam();
    fake::SetPowerThrottlingRefusal(0);
    fake::Process& compiler = AddProcess(22, "cl.exe", NORMAL_PRIORITY_CLASS, 0x3);
    compiler.setInformationFails = true;
    Apply(22);
    fake::Process& again = *fake::FindProcess(22);
    again.setInformationFails = false;
    again.priorityClass = between;
    Apply(22);
    Apply(22);
    const bool optedOut = between != IDLE_PRIORITY_CLASS;
    EXPECT_EQ(fake::FindProcess(22)->throttlingSets, optedOut ? 1 : 0);
    EXPECT_TRUE(FailureMemory.failures.empty());
    EXPECT_TRUE(FailureMemory.owedOptOuts.empty());
}

INSTANTIATE_TEST_SUITE_P(Between, PolicyRelowerTest,
                         ::testing::Values(NORMAL_PRIORITY_CLASS, IDLE_PRIORITY_CLASS));

struct Match {
    const char* name;
    bool target;
};

class PolicyMatchTest : public PolicyTest, public ::testing::WithParamInterface<Match> {};

TEST_P(PolicyMatchTest, MatchesByCaseSensitivePrefix) {
    AddProcess(5, GetParam().name, NORMAL_PRIORITY_CLASS, 0x3);
    Apply(5);
    const bool changed =
        fake::FindProcess(5)->priorityClass == static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS);
    EXPECT_EQ(changed, GetParam().target) << GetParam().name;
    EXPECT_EQ(out.empty(), !GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(Names, PolicyMatchTest,
                         ::testing::Values(Match{"cl.exe", true}, Match{"cl.exe.old", true},
                                           Match{"cl.exe2", true}, Match{"CL.EXE", false},
                                           Match{"Cl.exe", false}, Match{"xcl.exe", false},
                                           Match{"cl.ex", false}, Match{"", false},
                                           Match{"<unknown>", false}));

TEST_F(PolicyTest, ProcessThatHasExitedIsSkippedSilently) {
    Apply(31337);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::HandlesOpened(), 0);
}

TEST_F(PolicyTest, FailedPriorityChangeIsReportedAndAffinityStillWidened) {
    fake::Process& process = AddProcess(12, "cl.exe", NORMAL_PRIORITY_CLASS, 0x1);
    process.setPriorityFails = true;
    Apply(12);
    EXPECT_EQ(err, "error: SetPriorityClass() failed\n");
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 12) to 0x0003\n");
}

TEST_F(PolicyTest, FailedPriorityQueryLeadsToAnAttemptToSet) {
    fake::Process& process = AddProcess(13, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x3);
    process.getPriorityFails = true;
    Apply(13);
    EXPECT_EQ(fake::CallCount(fake::Api::SetPriorityClass), 1);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set priority class of 'cl.exe' (PID 13) to below "
                   "normal\n");
}

TEST_F(PolicyTest, FailedAffinityQueryChangesAndPrintsNothing) {
    fake::Process& process = AddProcess(14, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x1);
    process.getAffinityFails = true;
    Apply(14);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "");
    EXPECT_EQ(fake::CallCount(fake::Api::SetProcessAffinityMask), 0);
}

TEST_F(PolicyTest, FailedAffinityChangeIsReported) {
    fake::Process& process = AddProcess(15, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x1);
    process.setAffinityFails = true;
    Apply(15);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "error: SetProcessAffinityMask() failed\n");
}

struct MaskText {
    DWORD_PTR systemMask;
    const char* text;
};

class PolicyMaskTest : public PolicyTest, public ::testing::WithParamInterface<MaskText> {};

TEST_P(PolicyMaskTest, MaskIsPaddedToFourDigitsAndNeverCut) {
    fake::SetSystemMask(GetParam().systemMask);
    AddProcess(16, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x1);
    Apply(16);
    EXPECT_EQ(out, std::string("2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 16) to ") +
                       GetParam().text + "\n");
}

INSTANTIATE_TEST_SUITE_P(Masks, PolicyMaskTest,
                         ::testing::Values(MaskText{0x3, "0x0003"}, MaskText{0xff, "0x00ff"},
                                           MaskText{0xffff, "0xffff"}, MaskText{0xfffff, "0xfffff"},
                                           MaskText{0xffffffff, "0xffffffff"}));

TEST_F(PolicyTest, MaskWiderThan32BitsPrintsInFull) {
    if (sizeof(DWORD_PTR) < 8) {
        GTEST_SKIP() << "masks are 32 bits wide in this build";
    }
    fake::SetSystemMask(static_cast<DWORD_PTR>(0xfffffffffull));
    AddProcess(17, "cl.exe", BELOW_NORMAL_PRIORITY_CLASS, 0x1);
    Apply(17);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set affinity mask of 'cl.exe' (PID 17) to 0xfffffffff\n");
}

TEST_F(PolicyTest, IdentifierAboveIntRangePrintsUnsigned) {
    AddProcess(4000000000u, "cl.exe", NORMAL_PRIORITY_CLASS, 0x3);
    Apply(4000000000u);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set priority class of 'cl.exe' (PID 4000000000) to "
                   "below normal\n");
}

TEST_F(PolicyTest, HostileNameIsPrintedAsData) {
    const std::string longName = "cl.exe%s%n%x" + std::string(240, 'y');
    AddProcess(18, longName, NORMAL_PRIORITY_CLASS, 0x3);
    Apply(18);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set priority class of '" + longName +
                       "' (PID 18) to below normal\n");
}

TEST_F(PolicyTest, ControlCharactersInANameCannotForgeALogLine) {
    AddProcess(20, "cl.exe\n2023-11-14T22:13:20 - set\r\x1b\x7f", NORMAL_PRIORITY_CLASS, 0x3);
    Apply(20);
    EXPECT_EQ(out, "2023-11-14T22:13:20 - set priority class of 'cl.exe?2023-11-14T22:13:20 - "
                   "set?"
                   "?"
                   "?' (PID 20) to below normal\n");
}

TEST_F(PolicyTest, ControlCharacterBeforeThePrefixEndsStillPreventsAMatch) {
    AddProcess(21, "cl\t.exe", NORMAL_PRIORITY_CLASS, 0x3);
    Apply(21);
    EXPECT_EQ(out, "");
}

class TimestampTest : public MonitorTest {};

struct Moment {
    __time64_t time;
    const char* text;
};

class TimestampMomentTest : public TimestampTest, public ::testing::WithParamInterface<Moment> {};

TEST_P(TimestampMomentTest, IsLocalDateAndTimeWithT) {
    fake::SetTime(GetParam().time);
    EXPECT_STREQ(FormatLocalTimestamp(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Moments, TimestampMomentTest,
                         ::testing::Values(Moment{0, "1970-01-01T00:00:00"},
                                           Moment{SomeMoment, "2023-11-14T22:13:20"},
                                           Moment{951782400, "2000-02-29T00:00:00"},
                                           Moment{1704067199, "2023-12-31T23:59:59"},
                                           Moment{253402300799, "9999-12-31T23:59:59"}));

TEST_F(TimestampTest, YearWithoutFourDigitsGivesTheUnknownTimestamp) {
    fake::SetTime(253402300800); // 10000-01-01T00:00:00
    EXPECT_STREQ(FormatLocalTimestamp(), UnknownTimestamp);
    fake::SetTime(-62167219201); // the year before year 0
    EXPECT_STREQ(FormatLocalTimestamp(), UnknownTimestamp);
    EXPECT_EQ(strlen(UnknownTimestamp), 19u);
}

TEST_F(TimestampTest, FailedConversionGivesTheUnknownTimestamp) {
    fake::SetTime(SomeMoment);
    EXPECT_STREQ(FormatLocalTimestamp(), "2023-11-14T22:13:20");
    fake::SetLocaltimeFails(true);
    EXPECT_STREQ(FormatLocalTimestamp(), "????"
                                         "-"
                                         "??"
                                         "-"
                                         "??"
                                         "T??:??:??");
}

TEST_F(TimestampTest, ChangeLineCarriesTheUnknownTimestampWhenTimeCannotBeConverted) {
    fake::SetLocaltimeFails(true);
    AddProcess(19, "cl.exe", NORMAL_PRIORITY_CLASS, 0x3);
    Run([] { ApplyTargetPolicy(19); });
    EXPECT_EQ(out, "????"
                   "-"
                   "??"
                   "-"
                   "??"
                   "T??:??:?? - set priority class of 'cl.exe' (PID 19) to below "
                   "normal\n");
}

} // namespace
