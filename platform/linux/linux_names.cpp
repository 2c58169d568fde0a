// Pure decisions of the Linux rendition: procfs parsing, priority mapping, naming, notifying.
#include "linux_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace linux_platform {

namespace {

// Splits a path at its last separator of either kind: Wine's argv[0] may be a Windows path.
std::string LastComponent(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool IsWineLoader(const std::string& name) {
    return name == "wine" || name == "wine64" || name == "wine-preloader" ||
           name == "wine64-preloader";
}

std::string WithoutControlCharacters(std::string name) {
    for (char& c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            c = '?';
        }
    }
    return name;
}

bool ParseUnsigned(const char*& cursor, unsigned long long* value) {
    if (*cursor < '0' || *cursor > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    *value = strtoull(cursor, &end, 10);
    if (errno != 0) {
        return false;
    }
    cursor = end;
    return true;
}

} // namespace

bool ParseProcStat(const std::string& text, CpuTimes* times) {
    // The aggregate line comes first: "cpu  user nice system idle iowait irq softirq steal ...".
    if (text.compare(0, 4, "cpu ") != 0) {
        return false;
    }
    const char* cursor = text.c_str() + 4;
    unsigned long long fields[8] = {};
    int count = 0;
    while (count < 8) {
        while (*cursor == ' ') {
            ++cursor;
        }
        if (*cursor == '\n' || *cursor == '\0') {
            break;
        }
        if (!ParseUnsigned(cursor, &fields[count])) {
            return false;
        }
        ++count;
    }
    // Kernels since 2.6.11 give at least the eight fields up to steal; guest time is already
    // inside user time, so it is not added again.
    if (count < 4) {
        return false;
    }
    CpuTimes read;
    for (int i = 0; i < count; ++i) {
        if (read.total + fields[i] < read.total) {
            return false;
        }
        read.total += fields[i];
    }
    read.idle = fields[3] + (count > 4 ? fields[4] : 0);
    *times = read;
    return true;
}

bool ParseProcessTimes(const std::string& text, ProcessTimes* times) {
    // "PID (COMM) STATE PPID ...": fields 14 and 15 are utime and stime, 22 starttime.
    const size_t end = text.rfind(')');
    if (end == std::string::npos || text.size() < end + 4 || text[end + 1] != ' ' ||
        text[end + 2] == ' ') {
        return false;
    }
    const char* cursor = text.c_str() + end + 3; // past the state, one letter
    unsigned long long fields[23] = {};
    for (int field = 4; field <= 22; ++field) {
        if (*cursor != ' ') {
            return false;
        }
        ++cursor;
        // The priority and the nice value may be negative; no field read here is.
        const bool negative = *cursor == '-';
        cursor += negative ? 1 : 0;
        if (!ParseUnsigned(cursor, &fields[field])) {
            return false;
        }
    }
    times->user = fields[14];
    times->kernel = fields[15];
    times->start = fields[22];
    return true;
}

bool ParseBootTime(const std::string& text, std::uint64_t* seconds) {
    const size_t line = text.find("\nbtime ");
    if (line == std::string::npos) {
        return false;
    }
    const char* cursor = text.c_str() + line + 7;
    unsigned long long value = 0;
    if (!ParseUnsigned(cursor, &value) || (*cursor != '\n' && *cursor != '\0')) {
        return false;
    }
    *seconds = value;
    return true;
}

bool CpuUtilization(const CpuTimes& earlier, const CpuTimes& later, double* percent) {
    if (later.total <= earlier.total || later.idle < earlier.idle) {
        return false;
    }
    const double total = static_cast<double>(later.total - earlier.total);
    const double idle = static_cast<double>(later.idle - earlier.idle);
    if (idle > total) {
        return false;
    }
    *percent = 100.0 * (total - idle) / total;
    return true;
}

namespace {
struct ClassNice {
    DWORD priorityClass;
    int nice;
};
// From the highest priority to the lowest.
const ClassNice ClassTable[] = {
    {HIGH_PRIORITY_CLASS, -10}, {ABOVE_NORMAL_PRIORITY_CLASS, -5},
    {NORMAL_PRIORITY_CLASS, 0}, {BELOW_NORMAL_PRIORITY_CLASS, 10},
    {IDLE_PRIORITY_CLASS, 19},
};
} // namespace

bool NiceForPriorityClass(DWORD priorityClass, int* nice) {
    for (const ClassNice& entry : ClassTable) {
        if (entry.priorityClass == priorityClass) {
            *nice = entry.nice;
            return true;
        }
    }
    return false;
}

DWORD PriorityClassForNice(int nice) {
    DWORD best = ClassTable[0].priorityClass;
    int bestDistance = abs(nice - ClassTable[0].nice);
    for (const ClassNice& entry : ClassTable) {
        // "<=" lets a tie go to the later, lower-priority class.
        const int distance = abs(nice - entry.nice);
        if (distance <= bestDistance) {
            best = entry.priorityClass;
            bestDistance = distance;
        }
    }
    return best;
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

DWORD_PTR MaskOf(const CpuSet& cpus) {
    const size_t bits = sizeof(DWORD_PTR) * 8;
    DWORD_PTR mask = 0;
    for (size_t cpu = 0; cpu < cpus.size() && cpu < bits; ++cpu) {
        if (cpus[cpu]) {
            mask |= static_cast<DWORD_PTR>(1) << cpu;
        }
    }
    return mask;
}

bool ParseCpusetCgroup(const std::string& text, CpusetCgroup* cgroup) {
    // Lines of "ID:CONTROLLERS:PATH". The v1 hierarchy whose controllers include cpuset holds the
    // controller, which the v2 one then cannot; the v2 one is ID 0 with no controllers listed.
    bool found = false;
    CpusetCgroup place;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) {
            continue;
        }
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const bool v1 = controllers.find(",cpuset,") != std::string::npos;
        const bool v2 = line.compare(0, first, "0") == 0 && controllers == ",,";
        if (v1 || (v2 && !found)) {
            place.v1 = v1;
            place.path = line.substr(second + 1);
            found = true;
        }
    }
    const std::string& path = place.path;
    if (!found || path.empty() || path[0] != '/' ||
        (path + "/").find("/../") != std::string::npos) {
        return false;
    }
    place.path = path == "/" ? "" : path;
    *cgroup = place;
    return true;
}

void AffinityMasks(const CpuSet& allowed, const std::vector<CpuSet>& threads,
                   DWORD_PTR* processMask, DWORD_PTR* systemMask) {
    const DWORD_PTR system = MaskOf(allowed);
    DWORD_PTR shared = system;
    bool everyProcessor = true;
    for (const CpuSet& thread : threads) {
        shared &= MaskOf(thread);
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
    const DWORD_PTR system = MaskOf(allowed);
    if (mask == 0 || (mask & ~system) != 0) {
        return false;
    }
    if (mask == system) {
        *cpus = online;
        return true;
    }
    CpuSet chosen(sizeof(DWORD_PTR) * 8);
    for (size_t cpu = 0; cpu < chosen.size(); ++cpu) {
        chosen[cpu] = ((mask >> cpu) & 1) != 0;
    }
    *cpus = chosen;
    return true;
}

namespace {
// The executable's path; a file deleted since it was run keeps its name.
std::string WithoutDeletedMark(std::string exe) {
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
        exe.resize(exe.size() - deleted.size());
    }
    return exe;
}

// What a process is named after: a path whose last component is its name, or (whole is true) a
// command name that is the name as it stands.
struct NameSource {
    std::string text;
    bool whole;
};
NameSource SourceOf(const ProcessNames& names) {
    if (names.exeKnown) {
        std::string exe = WithoutDeletedMark(names.exePath);
        if (!IsWineLoader(LastComponent(exe))) {
            return NameSource{exe, false};
        }
    }
    // The command name is the image name cut to 15 bytes; argv[0] names it in full.
    const std::string image = LastComponent(names.argv0);
    if (!names.comm.empty() && image.compare(0, names.comm.size(), names.comm) == 0) {
        return NameSource{names.argv0, false};
    }
    return NameSource{names.comm, true};
}
} // namespace

bool NeedsOwnWords(const std::string& exePath) {
    return IsWineLoader(LastComponent(WithoutDeletedMark(exePath)));
}

std::string BaseName(const ProcessNames& names) {
    const NameSource source = SourceOf(names);
    return WithoutControlCharacters(source.whole ? source.text : LastComponent(source.text));
}

std::string ImagePath(const ProcessNames& names) {
    const NameSource source = SourceOf(names);
    if (source.whole) {
        return BaseName(names);
    }
    // Wine's form of a Unix path; a Windows path from argv[0] stays as it is.
    std::string path = source.text[0] == '/' ? "Z:" + source.text : source.text;
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path.substr(0, path.rfind('\\') + 1) + BaseName(names);
}

namespace {
const char* StateName(DWORD state) {
    switch (state) {
    case SERVICE_STOPPED:
        return "stopped";
    case SERVICE_START_PENDING:
        return "start pending";
    case SERVICE_STOP_PENDING:
        return "stop pending";
    case SERVICE_RUNNING:
        return "running";
    default:
        return nullptr;
    }
}
} // namespace

DWORD StopExitCode(const SERVICE_STATUS& status) {
    return status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR ? status.dwServiceSpecificExitCode
                                                                  : status.dwWin32ExitCode;
}

std::string ServiceNotification(const char* serviceName, const SERVICE_STATUS& status) {
    std::ostringstream message;
    const DWORD state = status.dwCurrentState;
    if (state == SERVICE_RUNNING) {
        message << "READY=1\n";
    }
    if (state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED) {
        message << "STOPPING=1\n";
    }
    message << "STATUS=" << serviceName << ' ';
    if (const char* name = StateName(state)) {
        message << name;
    } else {
        message << "in state " << state;
    }
    message << ", check-point " << status.dwCheckPoint;
    if (state == SERVICE_STOPPED && status.dwWin32ExitCode != NO_ERROR) {
        message << ", exit code " << status.dwWin32ExitCode;
        if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
            message << ", service-specific exit code " << status.dwServiceSpecificExitCode;
        }
    }
    message << '\n';
    if (state == SERVICE_STOPPED && status.dwWin32ExitCode != NO_ERROR) {
        message << "EXIT_STATUS=" << StopExitCode(status) << '\n';
    }
    if ((state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) &&
        status.dwWaitHint != 0) {
        message << "EXTEND_TIMEOUT_USEC="
                << static_cast<unsigned long long>(status.dwWaitHint) * 1000 << '\n';
    }
    return message.str();
}

} // namespace linux_platform
