// The task group that calming a compiler stays within. A nice value ranks a thread only among the
// threads of its task group: its CPU cgroup, or where that is the root, its autogroup. Where a
// compiler is lowered in a CPU cgroup other than the root, the lowering reaches nothing outside
// that cgroup, and a change line alone would read as if it did: the layer says so, once for each
// cgroup, with the weight that does rank the cgroup and the setting that would lower it.
#include "linux_process.h"

#include <map>
#include <sys/stat.h>

namespace linux_platform {

namespace {

// Whether the last part of the path is a systemd unit's name, as the cgroup of a unit is named.
bool IsUnitName(const std::string& name) {
    for (const char* suffix : {".service", ".scope", ".slice"}) {
        const size_t length = std::char_traits<char>::length(suffix);
        if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0) {
            return true;
        }
    }
    return false;
}

// How a line names a cgroup's weight: the unit's setting on v2 where the cgroup is a unit's,
// the file otherwise.
std::string NameOfCgroup(const TaskGroup& group, const std::string& path) {
    const std::string last = path.substr(path.rfind('/') + 1);
    return !group.v1 && IsUnitName(last) ? last : path;
}

} // namespace

bool CalmingStaysWithin(const TaskGroup& group) {
    return group.path != "/";
}

std::string TaskGroupLine(const TaskGroup& group) {
    const std::string last = group.path.substr(group.path.rfind('/') + 1);
    const bool unit = !group.v1 && IsUnitName(last);
    std::string parents;
    int parentCount = 0;
    for (size_t end = group.path.rfind('/'); end != 0 && end != std::string::npos;
         end = group.path.rfind('/', end - 1)) {
        parents +=
            (parentCount == 0 ? "" : " and ") + NameOfCgroup(group, group.path.substr(0, end));
        ++parentCount;
    }
    const std::string weight = group.v1 ? "cpu.shares " + std::to_string(group.weight)
                                        : "CPU weight " + std::to_string(group.weight);
    std::string line = "task group: compilers in cgroup " + group.path +
                       (group.v1 ? " of the cpu hierarchy" : "") +
                       " are calmed only against that cgroup's own tasks; against its sibling "
                       "cgroups it keeps " +
                       weight;
    if (parentCount > 0) {
        line += parentCount == 1 ? ", and its parent cgroup keeps its own"
                                 : ", and its parent cgroups keep theirs";
    }
    line += ": lower ";
    line += group.v1 ? "its cpu.shares" : unit ? "CPUWeight= of " + last : "its cpu.weight";
    if (parentCount > 0) {
        line += (parentCount == 1 ? ", and that of " : ", and those of ") + parents + ",";
    }
    return line + " to calm the build against the rest of the machine";
}

} // namespace linux_platform

namespace linux_process {

namespace {

constexpr size_t ProcessCgroupLimit = 1 << 20;
constexpr size_t WeightLimit = 64;
// Each memory holds so many cgroups at most, those that are gone forgotten first: a build machine
// whose jobs each run in a cgroup of their own sees thousands over time.
constexpr size_t MaxRemembered = 1024;

std::mutex Lock;
// The folders of the compilers' cgroups whose task group is decided, by the inode each had.
std::map<std::string, ino_t> Decided;
// The folders of the task groups said, by the inode each had: a cgroup removed and made anew has
// another, and is said again.
std::map<std::string, ino_t> Said;

bool InodeOf(const std::string& folder, ino_t* inode) {
    struct stat status;
    if (stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    *inode = status.st_ino;
    return true;
}

// Remembers the folder's inode where there is room, once the cgroups that are gone are forgotten.
// Where there is none, Decided reads the cgroup again at each lowering, and Said says no more.
bool Remember(std::map<std::string, ino_t>* memory, const std::string& folder, ino_t inode) {
    if (memory->size() >= MaxRemembered && memory->count(folder) == 0) {
        for (auto held = memory->begin(); held != memory->end();) {
            ino_t now = 0;
            held = !InodeOf(held->first, &now) || now != held->second ? memory->erase(held)
                                                                      : std::next(held);
        }
        if (memory->size() >= MaxRemembered) {
            return false;
        }
    }
    (*memory)[folder] = inode;
    return true;
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

void SayTaskGroupOnce(pid_t pid) {
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
    ino_t inode = 0;
    if (mount.point.empty() ||
        ReadCgroupFile(ProcPath(pid, "cgroup"), ProcessCgroupLimit, &text) !=
            linux_platform::FileRead::Read ||
        !linux_platform::ParseControllerCgroup(text, v1 ? "cpu" : nullptr, mounts, &path) ||
        !linux_platform::FolderOf(mount, path, &folder) || !InodeOf(folder, &inode)) {
        return;
    }
    std::lock_guard<std::mutex> guard(Lock);
    const auto decided = Decided.find(folder);
    if (decided != Decided.end() && decided->second == inode) {
        return;
    }
    linux_platform::TaskGroup group;
    std::string groupFolder;
    ino_t groupInode = 0;
    if (!FindTaskGroup(mount, v1, path, &group, &groupFolder)) {
        return;
    }
    Remember(&Decided, folder, inode);
    if (!linux_platform::CalmingStaysWithin(group) || !InodeOf(groupFolder, &groupInode)) {
        return;
    }
    const auto said = Said.find(groupFolder);
    if ((said != Said.end() && said->second == groupInode) ||
        !Remember(&Said, groupFolder, groupInode)) {
        return;
    }
    linux_platform::SayNotice(linux_platform::TaskGroupLine(group));
}

} // namespace linux_process
