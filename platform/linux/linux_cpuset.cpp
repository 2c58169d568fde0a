// Which processors a process may use, and the masks that speak of them: the kernel's processor
// lists, the cgroup that holds a process's cpuset (found through the mount table and
// /proc/PID/cgroup, its files read through a callback), and the arithmetic between processor sets
// and the 64-bit masks of the Windows calls.
#include "linux_platform.h"

#include <algorithm>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

namespace linux_platform {

namespace {

constexpr size_t MaskBits = sizeof(DWORD_PTR) * 8;

// The most each file is read to. A mount table has a line of a few hundred bytes per mount, and a
// node of a container platform holds thousands; a cgroup may hold every process of the machine,
// up to pid_max (4,194,304) identifiers of 8 bytes each.
constexpr size_t MountTableLimit = 256 << 20;
constexpr size_t CgroupListLimit = 64 << 20;
constexpr size_t ProcessCgroupLimit = 1 << 20;
constexpr size_t CpusetLimit = 1 << 20;

// The mount table escapes a space, tab, newline and backslash in a path as three octal digits.
std::string Unescaped(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' &&
            field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// Whether a comma-separated list holds the word.
bool ListHolds(const std::string& list, const char* word) {
    return ("," + list + ",").find("," + std::string(word) + ",") != std::string::npos;
}

// Whether the process is a member of the cgroup whose folder this is: its identifier is a line of
// the folder's cgroup.procs. What /proc/PID/cgroup names cannot be trusted on its own, since a
// cgroup's name may hold a newline. The list is read once a pass, and once more for a process it
// lacks, which may have joined since; never more, so that forged lines cost one read each pass.
// Unknown where the list was read and lacks the process, None where it cannot be read.
CpusetFound IsMember(const std::string& folder, unsigned long pid, const FileReader& read,
                     CgroupCache::Folder* cgroup) {
    if (cgroup->members.count(pid) != 0) {
        return CpusetFound::Cpus;
    }
    if (cgroup->listReads >= 2) {
        return CpusetFound::Unknown;
    }
    ++cgroup->listReads;
    std::string text;
    if (read(folder + "/cgroup.procs", CgroupListLimit, &text) != FileRead::Read) {
        return CpusetFound::None;
    }
    cgroup->members.clear();
    const char* cursor = text.c_str();
    unsigned long long member = 0;
    while (ParseUnsigned(cursor, &member) && *cursor++ == '\n') {
        cgroup->members.insert(member);
    }
    return cgroup->members.count(pid) != 0 ? CpusetFound::Cpus : CpusetFound::Unknown;
}

// The processors of the cgroup's cpuset or, where the controller is not enabled for the cgroup
// (its file is absent), of its nearest ancestor's; only an absent file sends the search on, never
// one unreadable.
bool ReadCpuset(std::string folder, const CgroupMount& mount, bool v1, const FileReader& read,
                CpuSet* cpus) {
    const char* file = v1 ? "/cpuset.effective_cpus" : "/cpuset.cpus.effective";
    std::string text;
    for (;;) {
        const FileRead result = read(folder + file, CpusetLimit, &text);
        if (result == FileRead::Read) {
            return ParseCpuSet(text, cpus);
        }
        if (result != FileRead::Absent || folder.size() <= mount.point.size()) {
            return false;
        }
        folder.resize(folder.rfind('/'));
    }
}

} // namespace

bool FolderOf(const CgroupMount& mount, const std::string& path, std::string* folder) {
    const std::string& root = mount.root;
    if (root == "/") {
        *folder = mount.point + (path == "/" ? "" : path);
        return true;
    }
    if (path.compare(0, root.size(), root) != 0 ||
        (path.size() > root.size() && path[root.size()] != '/')) {
        return false;
    }
    *folder = mount.point + path.substr(root.size());
    return true;
}

bool ParseCpuSet(const std::string& text, CpuSet* cpus) {
    CpuSet result;
    const char* cursor = text.c_str();
    bool any = false;
    for (;;) {
        unsigned long long first = 0;
        if (!ParseUnsigned(cursor, &first)) {
            return false;
        }
        unsigned long long last = first;
        if (*cursor == '-') {
            ++cursor;
            if (!ParseUnsigned(cursor, &last) || last < first) {
                return false;
            }
        }
        if (last >= MaxCpus) {
            return false;
        }
        if (result.size() <= last) {
            result.resize(last + 1);
        }
        for (unsigned long long cpu = first; cpu <= last; ++cpu) {
            result[cpu] = true;
        }
        any = true;
        if (*cursor != ',') {
            break;
        }
        ++cursor;
    }
    if (*cursor == '\n') {
        ++cursor;
    }
    if (!any || *cursor != '\0') {
        return false;
    }
    *cpus = result;
    return true;
}

DWORD_PTR MaskOf(const CpuSet& cpus, size_t block) {
    DWORD_PTR mask = 0;
    for (size_t bit = 0; bit < MaskBits && block * MaskBits + bit < cpus.size(); ++bit) {
        if (cpus[block * MaskBits + bit]) {
            mask |= static_cast<DWORD_PTR>(1) << bit;
        }
    }
    return mask;
}

size_t MaskBlock(const CpuSet& allowed) {
    const auto first = std::find(allowed.begin(), allowed.end(), true);
    return first == allowed.end() ? 0 : static_cast<size_t>(first - allowed.begin()) / MaskBits;
}

void AffinityMasks(const CpuSet& allowed, const std::vector<CpuSet>& threads,
                   DWORD_PTR* processMask, DWORD_PTR* systemMask) {
    const size_t block = MaskBlock(allowed);
    const DWORD_PTR system = MaskOf(allowed, block);
    DWORD_PTR shared = system;
    bool everyProcessor = true;
    for (const CpuSet& thread : threads) {
        shared &= MaskOf(thread, block);
        for (size_t cpu = 0; cpu < allowed.size(); ++cpu) {
            everyProcessor =
                everyProcessor && (!allowed[cpu] || (cpu < thread.size() && thread[cpu]));
        }
    }
    if (shared == system && !everyProcessor) {
        DWORD_PTR highest = system;
        while ((highest & (highest - 1)) != 0) {
            highest &= highest - 1;
        }
        shared &= ~highest;
    }
    *processMask = shared;
    *systemMask = system;
}

bool AffinityForMask(const CpuSet& online, const CpuSet& allowed, DWORD_PTR mask, CpuSet* cpus) {
    const size_t block = MaskBlock(allowed);
    const DWORD_PTR system = MaskOf(allowed, block);
    if (mask == 0 || (mask & ~system) != 0) {
        return false;
    }
    if (mask == system) {
        *cpus = online;
        return true;
    }
    CpuSet chosen((block + 1) * MaskBits);
    for (size_t bit = 0; bit < MaskBits; ++bit) {
        chosen[block * MaskBits + bit] = ((mask >> bit) & 1) != 0;
    }
    *cpus = chosen;
    return true;
}

void ParseCgroupMounts(const std::string& text, CgroupMounts* mounts) {
    // "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER-OPTIONS", one
    // blank between fields (proc(5)): a field may be empty, as the source of `mount -t tmpfs ""`
    // is, and a blank within a path is escaped. A line of another form is passed over, so that one
    // mount the parser does not understand cannot hide the cgroup hierarchies. Of several mounts
    // of one hierarchy, the first of its whole tree (root "/") is taken.
    CgroupMounts found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        std::vector<std::string> fields;
        for (size_t field = start;; ++field) {
            const size_t blank = text.find(' ', field);
            if (blank == std::string::npos || blank >= end) {
                fields.push_back(text.substr(field, end - field));
                break;
            }
            fields.push_back(text.substr(field, blank - field));
            field = blank;
        }
        start = end + 1;
        const auto separator =
            fields.size() < 7 ? fields.end() : std::find(fields.begin() + 6, fields.end(), "-");
        if (separator == fields.end() || fields.end() - separator != 4) {
            continue;
        }
        const std::string& type = separator[1];
        const std::string& super = separator[3];
        const std::string& root = fields[3];
        const auto take = [&root, &fields](CgroupMount* slot) {
            if (slot->point.empty() || (slot->root != "/" && root == "/")) {
                *slot = CgroupMount{Unescaped(root), Unescaped(fields[4])};
            }
        };
        if (type == "cgroup2") {
            take(&found.v2);
        } else if (type == "cgroup") {
            found.anyV1 = true;
            if (ListHolds(super, "cpuset")) {
                take(&found.v1Cpuset);
            }
            if (ListHolds(super, "cpu")) {
                take(&found.v1Cpu);
            }
        }
    }
    *mounts = found;
}

bool ParseControllerCgroup(const std::string& text, const char* v1Controller,
                           const CgroupMounts& mounts, std::string* path) {
    // Lines of "ID:CONTROLLERS:PATH". Where a v1 hierarchy holds the controller, its line is the
    // one; elsewhere the v2 line, "0::PATH". Exactly one may match, every line must be of the
    // kernel's form, and a system without v1 hierarchies has one line only: a newline in a
    // cgroup's name would otherwise let its owner forge a line of their choice.
    const bool v1 = v1Controller != nullptr;
    int lineCount = 0;
    int matches = 0;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        ++lineCount;
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (first == 0 || second == std::string::npos ||
            line.find_first_not_of("0123456789") != first || second + 1 >= line.size() ||
            line[second + 1] != '/') {
            return false;
        }
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool match = v1 ? ListHolds(controllers, v1Controller)
                              : line.compare(0, first, "0") == 0 && controllers.empty();
        if (match) {
            ++matches;
            *path = line.substr(second + 1);
        }
    }
    if (matches != 1 || (!mounts.anyV1 && lineCount != 1)) {
        return false;
    }
    return (*path + "/").find("/../") == std::string::npos;
}

bool ParseCpusetCgroup(const std::string& text, const CgroupMounts& mounts, std::string* path) {
    return ParseControllerCgroup(text, mounts.v1Cpuset.point.empty() ? nullptr : "cpuset", mounts,
                                 path);
}

bool ReadCgroupMounts(const FileReader& read, CgroupCache* cache) {
    if (!cache->mountsRead) {
        cache->mountsRead = true;
        std::string text;
        cache->mountsFound = read("/proc/self/mountinfo", MountTableLimit, &text) == FileRead::Read;
        if (cache->mountsFound) {
            ParseCgroupMounts(text, &cache->mounts);
        }
    }
    return cache->mountsFound;
}

CpusetFound FindCpuset(unsigned long pid, const FileReader& read, CgroupCache* cache,
                       CpuSet* cpus) {
    if (!ReadCgroupMounts(read, cache)) {
        return CpusetFound::None;
    }
    std::string text;
    const CgroupMounts& mounts = cache->mounts;
    const bool v1 = !mounts.v1Cpuset.point.empty();
    const CgroupMount& mount = v1 ? mounts.v1Cpuset : mounts.v2;
    if (mount.point.empty()) {
        return CpusetFound::None;
    }
    // /proc/PID/cpuset names the cgroup whose cpuset the process has, as one path (where v2 does
    // not enable the controller for the process's cgroup, its nearest ancestor that does), and
    // costs the kernel less than /proc/PID/cgroup, which formats a path in every hierarchy. A
    // newline in a cgroup's name cannot forge it, since the whole file is the path. Where a kernel
    // lacks it (CONFIG_PROC_PID_CPUSET), /proc/PID/cgroup says, whose lines a newline can forge:
    // the cgroup it names must list the process too.
    const std::string process = "/proc/" + std::to_string(pid);
    std::string path;
    std::string folder;
    const FileRead own = read(process + "/cpuset", ProcessCgroupLimit, &text);
    if (own == FileRead::Read) {
        if (text.size() < 2 || text[0] != '/' || text.back() != '\n') {
            return CpusetFound::None;
        }
        path = text.substr(0, text.size() - 1);
        if ((path + "/").find("/../") != std::string::npos || !FolderOf(mount, path, &folder)) {
            return CpusetFound::None;
        }
    } else if (own != FileRead::Absent ||
               read(process + "/cgroup", ProcessCgroupLimit, &text) != FileRead::Read ||
               !ParseCpusetCgroup(text, mounts, &path) || !FolderOf(mount, path, &folder)) {
        return CpusetFound::None;
    } else {
        const CpusetFound member = IsMember(folder, pid, read, &cache->folders[folder]);
        if (member != CpusetFound::Cpus) {
            return member;
        }
    }
    CgroupCache::Folder& cgroup = cache->folders[folder];
    if (!cgroup.cpusetRead) {
        cgroup.cpusetRead = true;
        cgroup.cpusetFound = ReadCpuset(folder, mount, v1, read, &cgroup.cpuset);
    }
    if (!cgroup.cpusetFound) {
        return CpusetFound::None;
    }
    *cpus = cgroup.cpuset;
    return CpusetFound::Cpus;
}

} // namespace linux_platform
