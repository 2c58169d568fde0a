// The task group that calming a compiler stays within. A nice value ranks a thread only among the
// threads of its task group: its CPU cgroup, or where that is the root, its autogroup. Where a
// compiler is lowered in a CPU cgroup other than the root, the lowering reaches nothing outside
// that cgroup, and a change line alone would read as if it did: the layer says so, once for each
// cgroup, with the weight that does rank the cgroup and the setting that would lower it.
#include "linux_process.h"

#include <algorithm>
#include <map>
#include <sys/stat.h>

namespace linux_platform {

namespace {

// The start of the UTF-8 character that the byte at `at` belongs to: a cut there splits none, and a
// line with a split character is not UTF-8, which journalctl shows only as "[... blob data]". A
// character's continuation bytes, at most three, are those of the form 10xxxxxx.
size_t CharacterStart(const std::string& text, size_t at) {
    for (int back = 0; back < 3 && at > 0 && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80;
         ++back) {
        --at;
    }
    return at;
}

// A cgroup's path as a line shows it: any creator of a cgroup chooses its name, so its controls
// are replaced as a process name's are, and a path deeper than any a line needs keeps its two ends,
// which name the hierarchy and the cgroup, cut between characters. The line then stays whole
// within one journal entry.
std::string Shown(const std::string& path) {
    constexpr size_t Kept = 120;
    return WithoutControlCharacters(
        path.size() <= 2 * Kept + 3 ? path
                                    : path.substr(0, CharacterStart(path, Kept)) + "..." +
                                          path.substr(CharacterStart(path, path.size() - Kept)));
}

} // namespace

bool CalmingStaysWithin(const TaskGroup& group) {
    return group.path != "/";
}

// No ancestor is named: a line that named them would grow with the depth, which the cgroup's
// creator chooses.
std::string TaskGroupLine(const TaskGroup& group) {
    const size_t slash = group.path.rfind('/');
    const bool hasParent = slash != 0 && slash != std::string::npos;
    const bool hasGrandparent = hasParent && group.path.rfind('/', slash - 1) != 0;
    const std::string weight = group.v1 ? "cpu.shares " + std::to_string(group.weight)
                                        : "CPU weight " + std::to_string(group.weight);
    std::string line = "task group: compilers in cgroup " + Shown(group.path) +
                       (group.v1 ? " of the cpu hierarchy" : "") +
                       " are calmed only against that cgroup's own tasks; against its sibling "
                       "cgroups it keeps " +
                       weight;
    if (hasParent) {
        line += hasGrandparent ? ", and its parent cgroups keep theirs"
                               : ", and its parent cgroup keeps its own";
    }
    // A lower weight of the cgroup alone reaches only its siblings: measured on Debian 12, an
    // agent's unit at CPUWeight=10 still took half the machine from a login session, as its slice
    // kept its own weight; in a slice of its own beside user.slice, at weight 10, it did not. For
    // any other cgroup the same is inferred.
    line += ": to calm the build against the rest of the machine, run ";
    if (!group.v1 && !group.service.empty()) {
        line += Shown(group.service) +
                " in a slice of its own (Slice=) and give that slice a low CPUWeight=";
    } else {
        line += std::string("it in a cgroup of its own directly below the root, with a low ") +
                (group.v1 ? "cpu.shares" : "cpu.weight");
    }
    return line;
}

} // namespace linux_platform

namespace linux_process {

namespace {

constexpr size_t ProcessCgroupLimit = 1 << 20;
constexpr size_t WeightLimit = 64;
// The task groups said are held to so many, those that are gone forgotten first, then the oldest:
// a build machine whose jobs each run in a cgroup of their own sees thousands over time.
constexpr size_t MaxSaid = 1024;

// A task group said: its folder's inode (a cgroup removed and made anew has another, and is said
// again), and when it was said.
struct SaidGroup {
    ino_t inode;
    unsigned long long order;
};
std::mutex Lock;
std::map<std::string, SaidGroup> Said;
unsigned long long SaidCount = 0;

bool InodeOf(const std::string& folder, ino_t* inode) {
    struct stat status;
    if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    *inode = status.st_ino;
    return true;
}

// Makes room for one more: only when full, the groups that are gone are forgotten, and where that
// frees less than half, the older half too, so that each group remembered costs a constant share
// of the sweeps, and a new group always finds room. Lock is held.
void MakeRoomInSaid() {
    if (Said.size() < MaxSaid) {
        return;
    }
    std::vector<unsigned long long> orders;
    for (auto held = Said.begin(); held != Said.end();) {
        ino_t now = 0;
        if (!InodeOf(held->first, &now) || now != held->second.inode) {
            held = Said.erase(held);
        } else {
            orders.push_back(held->second.order);
            ++held;
        }
    }
    if (Said.size() > MaxSaid / 2) {
        std::nth_element(orders.begin(), orders.begin() + orders.size() / 2, orders.end());
        const unsigned long long middle = orders[orders.size() / 2];
        for (auto held = Said.begin(); held != Said.end();) {
            held = held->second.order < middle ? Said.erase(held) : std::next(held);
        }
    }
}

// The task group of the cgroup at `path`: on v1 the cgroup itself, every cgroup of the cpu
// hierarchy having the controller; on v2 the nearest of it and its ancestors that has a
// cpu.weight file, the root having none. False where a file cannot be read; the root's path "/"
// where no cgroup up to the root has the controller.
bool FindTaskGroup(const linux_platform::CgroupMount& mount, bool v1, std::string path,
                   linux_platform::TaskGroup* group, std::string* folder) {
    for (;;) {
        if (!linux_platform::FolderOf(mount, path, folder)) {
            return false;
        }
        std::string text;
        const linux_platform::FileRead read =
            ReadCgroupFile(*folder + (v1 ? "/cpu.shares" : "/cpu.weight"), WeightLimit, &text);
        if (read == linux_platform::FileRead::Read) {
            const char* cursor = text.c_str();
            unsigned long long weight = 0;
            if (!linux_platform::ParseUnsigned(cursor, &weight)) {
                return false;
            }
            group->v1 = v1;
            group->path = path;
            group->weight = weight;
            return true;
        }
        if (read != linux_platform::FileRead::Absent || path == "/" || path == mount.root) {
            group->path = "/";
            return read == linux_platform::FileRead::Absent;
        }
        const size_t slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

} // namespace

void SayTaskGroupOnce(const ProcessHandle* process) {
    linux_platform::CgroupMounts mounts;
    {
        std::lock_guard<std::mutex> guard(PassLock);
        if (!linux_platform::ReadCgroupMounts(ReadCgroupFile, &Pass.cgroups)) {
            return;
        }
        mounts = Pass.cgroups.mounts;
    }
    // The cpu controller is in a v1 hierarchy where one holds it, in the unified one otherwise.
    const bool v1 = !mounts.v1Cpu.point.empty();
    const linux_platform::CgroupMount& mount = v1 ? mounts.v1Cpu : mounts.v2;
    std::string text;
    std::string path;
    std::string folder;
    // A process that exited before its cgroup was read may have left its identifier to another.
    if (mount.point.empty() ||
        ReadCgroupFile(ProcPath(process->pid, "cgroup"), ProcessCgroupLimit, &text) !=
            linux_platform::FileRead::Read ||
        Exited(process) ||
        !linux_platform::ParseControllerCgroup(text, v1 ? "cpu" : nullptr, mounts, &path) ||
        !linux_platform::FolderOf(mount, path, &folder)) {
        return;
    }
    // Decided for this pass only: a v2 cgroup gains the controller, and becomes a task group, when
    // its parent enables it, which changes no inode.
    {
        std::lock_guard<std::mutex> guard(PassLock);
        if (!Pass.taskGroupsDecided.insert(folder).second) {
            return;
        }
    }
    linux_platform::TaskGroup group;
    std::string groupFolder;
    ino_t groupInode = 0;
    if (!FindTaskGroup(mount, v1, path, &group, &groupFolder) ||
        !linux_platform::CalmingStaysWithin(group) || !InodeOf(groupFolder, &groupInode)) {
        return;
    }
    // The system service the compilers run in, though its task group may be its slice's. A user's
    // service cannot leave its user's slice, whose weight it would still meet others' work at.
    const std::string last = path.substr(path.rfind('/') + 1);
    if (!v1 && path.compare(0, 12, "/user.slice/") != 0 && last.size() > 8 &&
        last.compare(last.size() - 8, 8, ".service") == 0) {
        group.service = last;
    }
    std::lock_guard<std::mutex> guard(Lock);
    const auto said = Said.find(groupFolder);
    if (said != Said.end() && said->second.inode == groupInode) {
        return;
    }
    if (said == Said.end()) {
        MakeRoomInSaid();
    }
    Said[groupFolder] = SaidGroup{groupInode, SaidCount++};
    linux_platform::SayNotice(linux_platform::TaskGroupLine(group));
}

} // namespace linux_process
