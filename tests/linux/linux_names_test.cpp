// The Linux rendition's pure decisions: procfs text, priority mapping, naming, notifications.
#include "linux_platform.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>
#include <utility>

namespace {

using namespace linux_platform;

TEST(ProcStatTest, ReadsTheAggregateLineWithIowaitAsIdle) {
    CpuTimes times;
    ASSERT_TRUE(
        ParseProcStat("cpu  10 20 30 400 50 6 7 8 9 10\ncpu0 1 2 3 4 5 6 7 8 9 10\n", &times));
    EXPECT_EQ(times.total, 10u + 20 + 30 + 400 + 50 + 6 + 7 + 8) << "guest time is inside user";
    EXPECT_EQ(times.idle, 450u);
}

TEST(ProcStatTest, AcceptsOldKernelsWithFourFields) {
    CpuTimes times;
    ASSERT_TRUE(ParseProcStat("cpu 1 2 3 4\n", &times));
    EXPECT_EQ(times.total, 10u);
    EXPECT_EQ(times.idle, 4u);
}

TEST(ProcStatTest, RejectsWhatIsNotAnAggregateLine) {
    CpuTimes times{7, 3};
    for (const char* text :
         {"", "cpu0 1 2 3 4 5\n", "intr 1 2 3\n", "cpu 1 2 3\n", "cpu a b c d\n", "cpu 1 2 -3 4\n",
          "cpu 99999999999999999999999 1 1 1\n", "cpu 18446744073709551615 1 1 1\n", "cpu"}) {
        EXPECT_FALSE(ParseProcStat(text, &times)) << text;
    }
    EXPECT_EQ(times.total, 7u) << "a rejected text leaves the reading alone";
}

TEST(ProcStatTest, UtilizationIsTheBusyShareOfTheInterval) {
    double percent = -1;
    ASSERT_TRUE(CpuUtilization(CpuTimes{1000, 800}, CpuTimes{1200, 810}, &percent));
    EXPECT_DOUBLE_EQ(percent, 95.0);
    ASSERT_TRUE(CpuUtilization(CpuTimes{1000, 800}, CpuTimes{1100, 900}, &percent));
    EXPECT_DOUBLE_EQ(percent, 0.0);
    EXPECT_FALSE(CpuUtilization(CpuTimes{1000, 800}, CpuTimes{1000, 800}, &percent))
        << "no time passed";
    EXPECT_FALSE(CpuUtilization(CpuTimes{1000, 800}, CpuTimes{900, 800}, &percent));
    EXPECT_FALSE(CpuUtilization(CpuTimes{1000, 800}, CpuTimes{1100, 950}, &percent))
        << "more idle time than time";
}

TEST(PriorityMappingTest, EverySettableClassReadsBackAsItselfButIdleAsBelowNormal) {
    for (const DWORD priorityClass :
         {IDLE_PRIORITY_CLASS, BELOW_NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS,
          ABOVE_NORMAL_PRIORITY_CLASS, HIGH_PRIORITY_CLASS}) {
        int nice = 99;
        ASSERT_TRUE(NiceForPriorityClass(priorityClass, &nice)) << priorityClass;
        EXPECT_EQ(PriorityClassForNice(nice), priorityClass == IDLE_PRIORITY_CLASS
                                                  ? static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS)
                                                  : priorityClass);
    }
    int nice = 0;
    ASSERT_TRUE(NiceForPriorityClass(BELOW_NORMAL_PRIORITY_CLASS, &nice));
    EXPECT_EQ(nice, 10);
    EXPECT_FALSE(NiceForPriorityClass(REALTIME_PRIORITY_CLASS, &nice));
    EXPECT_FALSE(NiceForPriorityClass(0x1234, &nice));
}

TEST(PriorityMappingTest, EachNiceValueBelongsToTheNearestClass) {
    const struct {
        int nice;
        DWORD priorityClass;
    } cases[] = {
        {-20, HIGH_PRIORITY_CLASS},        {-8, HIGH_PRIORITY_CLASS},
        {-7, ABOVE_NORMAL_PRIORITY_CLASS}, {-3, ABOVE_NORMAL_PRIORITY_CLASS},
        {-2, NORMAL_PRIORITY_CLASS},       {4, NORMAL_PRIORITY_CLASS},
        {5, BELOW_NORMAL_PRIORITY_CLASS},  {14, BELOW_NORMAL_PRIORITY_CLASS},
        {15, BELOW_NORMAL_PRIORITY_CLASS}, {19, BELOW_NORMAL_PRIORITY_CLASS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PriorityClassForNice(c.nice), c.priorityClass) << "nice " << c.nice;
    }
}

// A kernel CPU list as the mask that names its processors, as the layer reads the online ones.
bool ParseCpuList(const std::string& text, DWORD_PTR* mask) {
    CpuSet cpus;
    if (!ParseCpuSet(text, &cpus)) {
        return false;
    }
    *mask = MaskOf(cpus);
    return true;
}

TEST(CpuListTest, ParsesRangesAndSingleProcessors) {
    DWORD_PTR mask = 0;
    ASSERT_TRUE(ParseCpuList("0\n", &mask));
    EXPECT_EQ(mask, 0x1u);
    ASSERT_TRUE(ParseCpuList("0-1\n", &mask));
    EXPECT_EQ(mask, 0x3u);
    ASSERT_TRUE(ParseCpuList("0-3,8,10-11", &mask));
    EXPECT_EQ(mask, 0xd0fu);
}

TEST(CpuListTest, KeepsOnlyTheProcessorsThatFitTheMask) {
    const unsigned bits = sizeof(DWORD_PTR) * 8;
    DWORD_PTR mask = 0;
    ASSERT_TRUE(ParseCpuList("0-4095", &mask));
    EXPECT_EQ(mask, ~static_cast<DWORD_PTR>(0));
    ASSERT_TRUE(ParseCpuList(std::to_string(bits) + "-" + std::to_string(bits + 8), &mask));
    EXPECT_EQ(mask, 0u);
}

TEST(CpuListTest, RejectsMalformedLists) {
    DWORD_PTR mask = 7;
    for (const char* text : {"", "\n", "a", "0-", "-1", "3-1", "0,,1", "0,", "0-1 ", "0-1\n\n",
                             "99999999999999999999999"}) {
        EXPECT_FALSE(ParseCpuList(text, &mask)) << text;
    }
    EXPECT_EQ(mask, 7u);
}

// Machines of 2, 64, 65, 128 and 1,024 processors, the larger with holes in their online list:
// the second processor and the one before the last are offline.
class ManyProcessorsTest : public ::testing::TestWithParam<size_t> {
  protected:
    void SetUp() override {
        const size_t count = GetParam();
        online.assign(count, true);
        if (count > 2) {
            online[1] = false;
            online[count - 2] = false;
        }
    }
    static DWORD_PTR Bit(size_t cpu) { return static_cast<DWORD_PTR>(1) << cpu; }
    CpuSet Everywhere() const { return online; }
    // The first 64 online processors' mask, as the system mask must be.
    DWORD_PTR Low() const { return MaskOf(online); }
    CpuSet online;
};

TEST_P(ManyProcessorsTest, SystemMaskHoldsTheOnlineProcessorsBelow64) {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    AffinityMasks(online, {Everywhere()}, &process, &system);
    DWORD_PTR expected = 0;
    for (size_t cpu = 0; cpu < online.size() && cpu < 64; ++cpu) {
        expected |= online[cpu] ? Bit(cpu) : 0;
    }
    EXPECT_EQ(system, expected);
    EXPECT_EQ(process, system) << "every thread everywhere: the process has the system mask";
    std::string list = "0";
    for (size_t cpu = 1; cpu < online.size(); ++cpu) {
        list += online[cpu] ? "," + std::to_string(cpu) : "";
    }
    CpuSet parsed;
    ASSERT_TRUE(ParseCpuSet(list + "\n", &parsed));
    EXPECT_EQ(MaskOf(parsed), system);
}

TEST_P(ManyProcessorsTest, ProcessHasTheSystemMaskOnlyWhenEveryThreadMayUseEveryProcessor) {
    // One thread lacks the last online processor, wherever it is.
    CpuSet narrow = Everywhere();
    narrow.back() = false;
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    AffinityMasks(online, {Everywhere(), narrow}, &process, &system);
    EXPECT_NE(process, system);
    if (online.size() <= 64) {
        EXPECT_EQ(process, system & ~Bit(online.size() - 1)) << "a mask means what it says";
    }
    // A thread with only the first processor: that is what the mask says.
    CpuSet first(online.size(), false);
    first[0] = true;
    AffinityMasks(online, {Everywhere(), first}, &process, &system);
    EXPECT_EQ(process, 0x1u);
    // Offline processors in a thread's set change nothing.
    CpuSet beyond(online.size() + 8, true);
    AffinityMasks(online, {beyond}, &process, &system);
    EXPECT_EQ(process, system);
}

TEST_P(ManyProcessorsTest, SettingTheSystemMaskGivesEveryThreadEveryOnlineProcessor) {
    CpuSet cpus;
    ASSERT_TRUE(AffinityForMask(online, online, Low(), &cpus));
    EXPECT_EQ(cpus, online);
    // Any other mask means what it says, and names online processors only.
    ASSERT_TRUE(AffinityForMask(online, online, 0x1, &cpus));
    EXPECT_EQ(MaskOf(cpus), 0x1u);
    EXPECT_EQ(std::count(cpus.begin(), cpus.end(), true), 1);
    EXPECT_FALSE(AffinityForMask(online, online, 0, &cpus));
    if (online.size() > 2) {
        EXPECT_FALSE(AffinityForMask(online, online, Bit(1), &cpus)) << "an offline processor";
    }
    if (online.size() < 64) {
        EXPECT_FALSE(AffinityForMask(online, online, Bit(online.size()), &cpus))
            << "one the machine lacks";
    }
    // Within a cpuset of the first and the last processor, those two are the system mask, and
    // setting it hands the kernel every online processor to keep within the cpuset.
    CpuSet cpuset(online.size(), false);
    cpuset.front() = cpuset.back() = true;
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    AffinityMasks(cpuset, {Everywhere()}, &process, &system);
    EXPECT_EQ(system, MaskOf(cpuset));
    EXPECT_EQ(process, system) << "a process on its whole cpuset has the system mask";
    ASSERT_TRUE(AffinityForMask(online, cpuset, system, &cpus));
    EXPECT_EQ(cpus, online);
    EXPECT_FALSE(AffinityForMask(online, cpuset, Bit(2), &cpus)) << "outside the cpuset";
}

INSTANTIATE_TEST_SUITE_P(Processors, ManyProcessorsTest,
                         ::testing::Values(size_t{2}, size_t{64}, size_t{65}, size_t{128},
                                           size_t{1024}));

// A process's cpuset as the mount table, /proc/42/cgroup, the process lists and the cpuset files
// say: a row gives the two texts, the cgroup folder whose cgroup.procs lists 42, and further files
// by path, /proc/42/cpuset among them ("!" cannot be read; any other file is absent). "none" where
// the cpuset cannot be told, and the layer takes every online processor instead; "unknown" where
// it is not known for the pass.
struct Cpuset {
    const char* what;
    std::string mounts;
    std::string cgroup;
    std::string member;
    std::map<std::string, std::string> files;
    const char* cpus;
};

void PrintTo(const Cpuset& row, std::ostream* os) {
    *os << row.what;
}

class CpusetTest : public ::testing::TestWithParam<Cpuset> {};

TEST_P(CpusetTest, IsReadFromTheOneCgroupThatHoldsTheProcess) {
    const Cpuset& row = GetParam();
    const FileReader read = [&row](const std::string& path, size_t limit, std::string* text) {
        std::map<std::string, std::string> files = row.files;
        files["/proc/self/mountinfo"] = row.mounts;
        files["/proc/42/cgroup"] = row.cgroup;
        files[row.member + "/cgroup.procs"] = "7\n42\n";
        const auto file = files.find(path);
        if (file == files.end()) {
            return FileRead::Absent;
        }
        *text = file->second;
        return file->second == "!" || text->size() > limit ? FileRead::Failed : FileRead::Read;
    };
    CpuSet cpus;
    std::string found = "none";
    CgroupCache cache;
    const CpusetFound result = FindCpuset(42, read, &cache, &cpus);
    if (result == CpusetFound::Unknown) {
        found = "unknown";
    } else if (result == CpusetFound::Cpus) {
        found.clear();
        for (size_t cpu = 0; cpu < cpus.size(); ++cpu) {
            found += cpus[cpu] ? (found.empty() ? "" : ",") + std::to_string(cpu) : "";
        }
    }
    EXPECT_EQ(found, row.cpus) << row.what;
}

const std::string V2 = "30 24 0:26 / /sys/fs/cgroup rw,nosuid shared:4 - cgroup2 cgroup2 rw\n";
const std::string Hybrid =
    "25 18 0:22 / /sys/fs/cgroup/unified rw shared:5 - cgroup2 cgroup2 rw\n"
    "26 18 0:23 / /sys/fs/cgroup/systemd rw - cgroup cgroup rw,name=systemd\n"
    "35 18 0:31 / /sys/fs/cgroup/cpu,cpuset rw - cgroup cgroup rw,cpu,cpuset\n";
const std::string G = "/sys/fs/cgroup", V1 = G + "/cpu,cpuset";
// As big a table as a node of a container platform has: over 1 MiB, before its cgroup line.
std::string HugeTable() {
    std::string table;
    for (int i = 0; table.size() <= (1 << 20); ++i) {
        table += std::to_string(100 + i) + " 24 0:" + std::to_string(60 + i) +
                 " / /var/lib/kubelet/pods/" + std::to_string(i) +
                 "/volumes/secret rw,relatime shared:9 - tmpfs tmpfs rw,size=4096k\n";
    }
    return table + V2;
}
const std::string V2File = "/cpuset.cpus.effective", V1File = "/cpuset.effective_cpus";
INSTANTIATE_TEST_SUITE_P(
    Systems, CpusetTest,
    ::testing::Values(
        Cpuset{"v2", V2, "0::/ci/job\n", G + "/ci/job", {{G + "/ci/job" + V2File, "2-3\n"}}, "2,3"},
        Cpuset{"v2, its ancestor two levels up",
               V2,
               "0::/pool/job/step\n",
               G + "/pool/job/step",
               {{G + "/pool" + V2File, "64-65\n"}},
               "64,65"},
        Cpuset{"v2, none up to the root", V2, "0::/a/b\n", G + "/a/b", {}, "none"},
        Cpuset{"v2, a file that cannot be read ends the search",
               V2,
               "0::/a/b\n",
               G + "/a/b",
               {{G + "/a/b" + V2File, "!"}, {G + "/a" + V2File, "0\n"}},
               "none"},
        Cpuset{"v1 co-mounted with cpu, found through the mount table",
               Hybrid,
               "5:cpu,cpuset:/docker/f0\n1:name=systemd:/x\n0::/y\n",
               V1 + "/docker/f0",
               {{V1 + "/docker/f0" + V1File, "1\n"}},
               "1"},
        Cpuset{"v1, two cpuset lines",
               Hybrid,
               "5:cpu,cpuset:/a\n5:cpu,cpuset:/a\n0::/y\n",
               V1 + "/a",
               {{V1 + "/a" + V1File, "1\n"}},
               "none"},
        Cpuset{"v2, a name with a newline and a forged cpuset line",
               V2,
               "0::/user.slice/x\n2:cpuset:/other\n",
               G + "/user.slice/x",
               {{G + "/user.slice/x" + V2File, "1\n"}},
               "none"},
        Cpuset{"v1, a name with a newline cut short to another cgroup's",
               Hybrid,
               "5:cpu,cpuset:/docker/x\n0::/forged\n1:name=systemd:/x\n0::/y\n",
               V1 + "/other",
               {{V1 + "/docker/x" + V1File, "1\n"}},
               "none"},
        Cpuset{"v1, /proc/PID/cpuset names the cgroup whole, a newline in its name included",
               Hybrid,
               "5:cpu,cpuset:/docker/x\n0::/forged\n1:name=systemd:/x\n0::/y\n",
               V1 + "/other",
               {{"/proc/42/cpuset", "/docker/x\n0::/forged\n"},
                {V1 + "/docker/x\n0::/forged" + V1File, "1\n"},
                {V1 + "/docker/x" + V1File, "0\n"}},
               "1"},
        Cpuset{"a cgroup whose list, read twice this pass, lacks a process that joined since",
               V2,
               "0::/ci/job\n",
               G + "/ci/other",
               {{G + "/ci/job/cgroup.procs", "7\n"}, {G + "/ci/job" + V2File, "2-3\n"}},
               "unknown"},
        Cpuset{"v2, a /proc/PID/cpuset that cannot be read",
               V2,
               "0::/ci/job\n",
               G + "/ci/job",
               {{"/proc/42/cpuset", "!"}, {G + "/ci/job" + V2File, "2-3\n"}},
               "none"},
        Cpuset{"a line not of the kernel's form",
               V2,
               "0::relative\n",
               G,
               {{G + V2File, "0\n"}},
               "none"},
        Cpuset{"another cgroup namespace's path",
               V2,
               "0::/../../other\n",
               G,
               {{G + V2File, "0\n"}},
               "none"},
        Cpuset{"an empty source field, a line short a field, then the hierarchy",
               "40 24 0:50 / /mnt/x rw,relatime shared:30 - tmpfs  rw\n41 24 0:51 / /mnt/y rw\n" +
                   V2,
               "0::/ci/job\n",
               G + "/ci/job",
               {{G + "/ci/job" + V2File, "1\n"}},
               "1"},
        Cpuset{"an escaped blank in the mount point, and several optional fields",
               "30 24 0:26 / /sys/fs/my\\040cgroup rw shared:4 master:1 propagate_from:1 - "
               "cgroup2 cgroup2 rw\n",
               "0::/ci\n",
               "/sys/fs/my cgroup/ci",
               {{"/sys/fs/my cgroup/ci" + V2File, "0-1\n"}},
               "0,1"},
        Cpuset{"a mount table over 1 MiB",
               HugeTable(),
               "0::/ci\n",
               G + "/ci",
               {{G + "/ci" + V2File, "3\n"}},
               "3"},
        Cpuset{"a mount of part of the hierarchy",
               "30 24 0:26 /kubepods /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
               "0::/kubepods/pod1\n",
               G + "/pod1",
               {{G + "/pod1" + V2File, "5\n"}},
               "5"}));

ProcessNames Names(bool exeKnown, const std::string& exe, const std::string& comm,
                   const std::string& argv0) {
    ProcessNames names;
    names.exeKnown = exeKnown;
    names.exePath = exe;
    names.comm = comm;
    names.argv0 = argv0;
    return names;
}

TEST(BaseNameTest, NativeProcessIsNamedByItsExecutableFileInFull) {
    EXPECT_EQ(BaseName(Names(true, "/opt/msvc/bin/cl.exe", "cl.exe", "cl.exe")), "cl.exe");
    EXPECT_EQ(BaseName(Names(true, "/tmp/cl.exe.with.a.long.name", "cl.exe.with.a.", "x")),
              "cl.exe.with.a.long.name");
    EXPECT_EQ(BaseName(Names(true, "/tmp/cl.exe (deleted)", "cl.exe", "")), "cl.exe");
    // argv[0] and the command name can be set by anyone; the executable file cannot.
    EXPECT_EQ(BaseName(Names(true, "/usr/bin/python3", "cl.exe", "cl.exe")), "python3");
}

TEST(BaseNameTest, ProgramRunByWineIsNamedByItsWindowsImage) {
    for (const char* loader : {"/usr/lib/wine/wine", "/usr/lib/wine/wine64",
                               "/usr/bin/wine-preloader", "/usr/lib/wine/wine64-preloader"}) {
        EXPECT_EQ(BaseName(Names(true, loader, "cl.exe", "C:\\VC\\bin\\cl.exe")), "cl.exe")
            << loader;
    }
    EXPECT_EQ(BaseName(Names(true, "/usr/lib/wine/wine", "cl.exe", "./cl.exe")), "cl.exe");
    EXPECT_EQ(BaseName(Names(true, "/usr/lib/wine/wine", "cl.exe.with.lon",
                             "Z:\\tmp\\cl.exe.with.long.name")),
              "cl.exe.with.long.name");
    // An argv[0] that is not the image keeps the kernel's name.
    EXPECT_EQ(BaseName(Names(true, "/usr/lib/wine/wine", "cl.exe", "C:\\x\\other.exe")), "cl.exe");
}

TEST(BaseNameTest, ProcessWhoseExecutableCannotBeReadFallsBackToItsCommandName) {
    EXPECT_EQ(BaseName(Names(false, "", "cl.exe.with.a.", "/opt/cl.exe.with.a.long.name")),
              "cl.exe.with.a.long.name");
    EXPECT_EQ(BaseName(Names(false, "", "cl.exe", "-bash")), "cl.exe");
    EXPECT_EQ(BaseName(Names(false, "", "", "cl.exe")), "");
}

TEST(BaseNameTest, ImagePathIsInWin32FormAndEndsInTheBaseName) {
    const struct {
        ProcessNames names;
        const char* path;
    } cases[] = {
        {Names(true, "/opt/msvc/bin/cl.exe", "cl.exe", ""), "Z:\\opt\\msvc\\bin\\cl.exe"},
        {Names(true, "/tmp/a\\cl.exe (deleted)", "cl.exe", ""), "Z:\\tmp\\a\\cl.exe"},
        {Names(true, "/usr/lib/wine/wine64", "cl.exe.with.lon", "C:\\VC\\cl.exe.with.long.name"),
         "C:\\VC\\cl.exe.with.long.name"},
        {Names(true, "/usr/lib/wine/wine", "cl.exe", "./cl.exe"), ".\\cl.exe"},
        {Names(false, "", "cl.exe", "-bash"), "cl.exe"},
        {Names(true, "/tmp/cl.exe\nx", "", ""), "Z:\\tmp\\cl.exe?x"},
    };
    for (const auto& c : cases) {
        const std::string path = ImagePath(c.names);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(path.substr(path.rfind('\\') + 1), BaseName(c.names)) << c.path;
    }
}

TEST(BaseNameTest, ControlCharactersCannotForgeLogLines) {
    EXPECT_EQ(BaseName(Names(true, "/tmp/cl.exe\nCPU usage: 100%\r\x1b[2J\x7f", "", "")),
              "cl.exe?CPU usage: 100%??[2J?");
    EXPECT_EQ(BaseName(Names(false, "", "cl.exe\t", "")), "cl.exe?");
    // C1 controls in UTF-8 too (U+009B may start an escape sequence), and as single bytes outside
    // a UTF-8 sequence (9B is CSI to a terminal in an 8-bit locale), even after a lead byte that
    // they cannot follow; other UTF-8, its continuation bytes 80 to 9F included, and other bytes
    // that are not UTF-8 stay.
    EXPECT_EQ(BaseName(Names(true,
                             "/tmp/cl.exe\xc2\x9b"
                             "2J\xc2\x85\xc2\xa0\x9b\xc2\xe2\x80\x9c\xe0\x9b\xf4\x90\x80\x80"
                             "\xed\xa0\x80\xff",
                             "", "")),
              "cl.exe?2J?\xc2\xa0?\xc2\xe2\x80\x9c\xe0?\xf4???\xed\xa0?\xff");
}

// Whether the text is well-formed UTF-8 in its lengths: each lead byte followed by as many
// continuation bytes (10xxxxxx) as it says.
bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80             ? 1
                              : (lead & 0xe0) == 0xc0 ? 2
                              : (lead & 0xf0) == 0xe0 ? 3
                              : (lead & 0xf8) == 0xf0 ? 4
                                                      : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) & 0xc0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

// A service's cgroup is named with the setting that moves it out of its parent's reach, which a
// weight of its own does not; any other cgroup with its weight file. Any user with a delegated
// subtree names cgroups, as deep as it likes: the line has no control from the path, and stays
// whole within one journal entry.
TEST(TaskGroupTest, LineNamesTheCgroupItsWeightAndWhatWouldLowerIt) {
    EXPECT_EQ(TaskGroupLine(TaskGroup{false, "/system.slice/agent.service", 100, "agent.service"}),
              "task group: compilers in cgroup /system.slice/agent.service are calmed only "
              "against that cgroup's own tasks; against its sibling cgroups it keeps CPU weight "
              "100, and its parent cgroup keeps its own: to calm the build against the rest of the "
              "machine, run agent.service in a slice of its own (Slice=) and give that slice a "
              "low CPUWeight=");
    EXPECT_EQ(TaskGroupLine(TaskGroup{true, "/ci/job", 512, ""}),
              "task group: compilers in cgroup /ci/job of the cpu hierarchy are calmed only "
              "against that cgroup's own tasks; against its sibling cgroups it keeps cpu.shares "
              "512, and its parent cgroup keeps its own: to calm the build against the rest of the "
              "machine, run it in a cgroup of its own directly below the root, with a low "
              "cpu.shares");
    // A service as installed, whose task group is its slice's: the service is what moves.
    EXPECT_EQ(TaskGroupLine(TaskGroup{false, "/system.slice", 100, "agent.service"}),
              "task group: compilers in cgroup /system.slice are calmed only against that "
              "cgroup's own tasks; against its sibling cgroups it keeps CPU weight 100: to calm "
              "the build against the rest of the machine, run agent.service in a slice of its own "
              "(Slice=) and give that slice a low CPUWeight=");
    EXPECT_EQ(
        TaskGroupLine(TaskGroup{false, "/job\x1b[2J\r\n<3>x\xc2\x9b\x9b\xe6\x97\xa5", 100, ""}),
        "task group: compilers in cgroup /job?[2J?"
        "?<3>x??\xe6\x97\xa5 are calmed only "
        "against that cgroup's own tasks; against its sibling cgroups it keeps CPU weight "
        "100: to calm the build against the rest of the machine, run it in a cgroup of its "
        "own directly below the root, with a low cpu.weight");
    std::string deep;
    for (int level = 0; level < 1001; ++level) {
        deep += "/level\x1b" + std::to_string(level);
    }
    const std::string line = TaskGroupLine(TaskGroup{false, deep, 100, ""});
    EXPECT_LT(line.size(), 1024u);
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    EXPECT_NE(line.find("/level?0/level?1/"), std::string::npos) << line;
    EXPECT_NE(line.find("..."), std::string::npos) << line;
    EXPECT_NE(line.find("/level?1000 are calmed"), std::string::npos) << line;
    // Both ends of a deep path of names not in ASCII end between characters: a line that is not
    // UTF-8 is not shown as text, and a byte split off a character would be replaced as a control.
    std::string build;
    for (int level = 0; level < 30; ++level) {
        build += "/\xe3\x83\x93\xe3\x83\xab\xe3\x83\x89\xe3\x83\x89"; // "/ビルドド"
    }
    const std::string shown = TaskGroupLine(TaskGroup{false, build + ".scope", 100, ""});
    EXPECT_TRUE(IsUtf8(shown)) << shown;
    EXPECT_EQ(shown.find('?'), std::string::npos) << shown;
    EXPECT_NE(shown.find("..."), std::string::npos) << shown;
}

SERVICE_STATUS Status(DWORD state, DWORD checkPoint, DWORD waitHint, DWORD exitCode = 0,
                      DWORD specific = 0) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = specific;
    return status;
}

TEST(NotificationTest, EachStateBecomesItsNotification) {
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_START_PENDING, 1, 1000)),
              "STATUS=Svc start pending, check-point 1\nEXTEND_TIMEOUT_USEC=1000000\n");
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_RUNNING, 0, 0)),
              "READY=1\nSTATUS=Svc running, check-point 0\n");
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_STOP_PENDING, 2, 0)),
              "STOPPING=1\nSTATUS=Svc stop pending, check-point 2\n");
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_STOP_PENDING, 3, 30000)),
              "STOPPING=1\nSTATUS=Svc stop pending, check-point 3\nEXTEND_TIMEOUT_USEC=30000000\n");
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_STOPPED, 0, 0)),
              "STOPPING=1\nSTATUS=Svc stopped, check-point 0\n");
    EXPECT_EQ(ServiceNotification("Svc", Status(7, 0, 0)),
              "STATUS=Svc in state 7, check-point 0\n");
}

TEST(NotificationTest, StopWithAnErrorSaysSo) {
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_STOPPED, 0, 0, 1066, 1)),
              "STOPPING=1\nSTATUS=Svc stopped, check-point 0, exit code 1066, service-specific "
              "exit code 1\nEXIT_STATUS=1\n");
    EXPECT_EQ(ServiceNotification("Svc", Status(SERVICE_STOPPED, 0, 0, 5, 0)),
              "STOPPING=1\nSTATUS=Svc stopped, check-point 0, exit code 5\nEXIT_STATUS=5\n");
}

// What a pipe holds so far.
std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// stdout as the journal stream: while the journal cannot be written, lines are dropped, not kept,
// and their number is said once it can be again; each line goes with its kind's priority.
TEST(JournalStreamTest, LinesThatCannotBeWrittenAreDroppedCountedAndSaidOnce) {
    signal(SIGPIPE, SIG_IGN);
    int gone[2];
    int out[2];
    int notice[2];
    ASSERT_EQ(pipe(gone), 0);
    ASSERT_EQ(pipe2(out, O_NONBLOCK), 0);
    ASSERT_EQ(pipe2(notice, O_NONBLOCK), 0);
    close(gone[0]);
    JournalStream stream;
    stream.fd = gone[1];
    stream.noticeFd = notice[1];
    FILE* file = OpenJournalStream(&stream);
    ASSERT_NE(file, nullptr);
    for (int i = 0; i < 100000; ++i) { // nearly six days of samples
        fprintf(file, "CPU usage: %3d%%\n", i % 101);
    }
    EXPECT_EQ(stream.dropped, 100000u);
    EXPECT_LT(stream.partial.capacity(), 8192u) << "held what it could not write";
    EXPECT_EQ(Drain(notice[0]), "");

    stream.fd = out[1];
    LPCSTR change[] = {
        "2026-12-09T10:00:00 - set priority class of 'cl.exe' (PID 7) to below normal"};
    NoteReportedLines(EVENTLOG_INFORMATION_TYPE, 100, change, 1);
    fprintf(file, "%s\nCPU usage:  99%%\n", change[0]);
    FILE* const saved = stdout;
    stdout = file; // the layer's own lines go where the service's do
    SayNotice("task group: compilers in cgroup /ci are calmed only against ...");
    // A line too long for one entry: each piece goes at the line's priority, and text that begins
    // a piece is never read as a priority.
    const std::string longLine(4096, 'x');
    SayNotice(longLine + "<3>forged");
    // One that ends right at the limit goes whole, at its own priority, with no empty piece after
    // it; the same text written after it is a sample.
    SayNotice(longLine);
    fprintf(file, "%s\n", longLine.c_str());
    stdout = saved;
    LPCSTR odd[] = {"a line of a kind to come"};
    for (int i = 0; i < 2; ++i) {
        NoteReportedLines(EVENTLOG_INFORMATION_TYPE, 900, odd, 1);
        fprintf(file, "%s\n", odd[0]);
    }
    EXPECT_EQ(Drain(out[0]), std::string("<5>") + change[0] +
                                 "\n<7>CPU usage:  99%\n<5>task group: compilers in cgroup /ci "
                                 "are calmed only against ...\n<5>" +
                                 longLine + "\n<5><3>forged\n<5>" + longLine + "\n<7>" + longLine +
                                 "\n<6>a line of a kind to come\n<6>a "
                                 "line of a kind to come\n");
    EXPECT_EQ(Drain(notice[0]),
              "journal stream: 100000 lines could not be written and were dropped\n"
              "journal stream: a line of an unknown kind goes at info\n");
    // The journal gone again at exit, with a line still unended: its loss is said all the same.
    stream.fd = gone[1];
    fprintf(file, "stopping");
    FinishJournalStream(&stream, file);
    EXPECT_EQ(Drain(notice[0]), "journal stream: 1 lines could not be written and were dropped\n");
    fclose(file);
    for (const int fd : {gone[1], out[0], out[1], notice[0], notice[1]}) {
        close(fd);
    }
}

} // namespace
