// The Performance Data Helper subset on Linux: the one counter the system reads, total processor
// time, computed from /proc/stat between the last two collections.
#include "linux_platform.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <strings.h>

namespace linux_platform {

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

} // namespace linux_platform

namespace {

using linux_platform::CpuTimes;

const DWORD ProcessorTimeType = 0x21570500; // PERF_100NSEC_TIMER_INV

struct Query;
struct Counter {
    Query* query;
    CpuTimes earlier;
    CpuTimes later;
    int collections;
};
struct Query {
    std::set<Counter*> counters;
};

// Handles are checked against those handed out, so a stale or made-up one is refused. A query
// lives until the process ends, so the registries are never torn down either.
std::mutex Lock;
std::set<Query*>& Queries = *new std::set<Query*>;
std::set<Counter*>& Counters = *new std::set<Counter*>;

PDH_STATUS Status(DWORD code) {
    return static_cast<PDH_STATUS>(code);
}

// The whole of /proc/stat, whose first line is the aggregate one: about 100 bytes a processor and
// a few kilobytes of interrupt counts, so a megabyte holds machines of thousands.
bool ReadCpuTimes(CpuTimes* times) {
    std::string text;
    return linux_platform::ReadKernelFile("/proc/stat", &text, 1 << 20) &&
           linux_platform::ParseProcStat(text, times);
}

bool HasPrefixNoCase(const char* text, const char* prefix) {
    return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

// Counter paths are matched without regard to case, as the platform matches them. Both sets'
// totals are every processor of the machine here, however many: /proc/stat counts them all.
DWORD CheckCounterPath(const char* path) {
    if (strcasecmp(path, "\\Processor(_Total)\\% Processor Time") == 0 ||
        strcasecmp(path, "\\Processor Information(_Total)\\% Processor Time") == 0) {
        return ERROR_SUCCESS;
    }
    if (HasPrefixNoCase(path, "\\Processor(_Total)\\")) {
        return PDH_CSTATUS_NO_COUNTER;
    }
    if (HasPrefixNoCase(path, "\\Processor(")) {
        return PDH_CSTATUS_NO_INSTANCE;
    }
    if (path[0] == '\\') {
        return PDH_CSTATUS_NO_OBJECT;
    }
    return PDH_CSTATUS_BAD_COUNTERNAME;
}

} // namespace

extern "C" {

PDH_STATUS WINAPI PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR, PDH_HQUERY* query) {
    if (query == nullptr) {
        return Status(PDH_INVALID_ARGUMENT);
    }
    // Only real-time data is served here; there are no log files to read.
    if (dataSource != nullptr) {
        return Status(PDH_INVALID_ARGUMENT);
    }
    Query* opened = new (std::nothrow) Query;
    if (opened == nullptr) {
        return Status(PDH_MEMORY_ALLOCATION_FAILURE);
    }
    std::lock_guard<std::mutex> guard(Lock);
    Queries.insert(opened);
    *query = opened;
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR,
                                 PDH_HCOUNTER* counter) {
    std::lock_guard<std::mutex> guard(Lock);
    Query* owner = static_cast<Query*>(query);
    if (Queries.count(owner) == 0) {
        return Status(PDH_INVALID_HANDLE);
    }
    if (counterPath == nullptr || counter == nullptr) {
        return Status(PDH_INVALID_ARGUMENT);
    }
    const DWORD pathStatus = CheckCounterPath(counterPath);
    if (pathStatus != ERROR_SUCCESS) {
        return Status(pathStatus);
    }
    Counter* added = new (std::nothrow) Counter{owner, CpuTimes{}, CpuTimes{}, 0};
    if (added == nullptr) {
        return Status(PDH_MEMORY_ALLOCATION_FAILURE);
    }
    owner->counters.insert(added);
    Counters.insert(added);
    *counter = added;
    return ERROR_SUCCESS;
}

// Linux has one language: the English add is the localized one.
PDH_STATUS WINAPI PdhAddEnglishCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR userData,
                                        PDH_HCOUNTER* counter) {
    return PdhAddCounterA(query, counterPath, userData, counter);
}

PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY query) {
    std::lock_guard<std::mutex> guard(Lock);
    Query* owner = static_cast<Query*>(query);
    if (Queries.count(owner) == 0) {
        return Status(PDH_INVALID_HANDLE);
    }
    CpuTimes now;
    if (owner->counters.empty() || !ReadCpuTimes(&now)) {
        return Status(PDH_NO_DATA);
    }
    for (Counter* counter : owner->counters) {
        counter->earlier = counter->later;
        counter->later = now;
        ++counter->collections;
    }
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                              PPDH_FMT_COUNTERVALUE value) {
    std::lock_guard<std::mutex> guard(Lock);
    Counter* read = static_cast<Counter*>(counter);
    if (Counters.count(read) == 0) {
        return Status(PDH_INVALID_HANDLE);
    }
    const DWORD kinds = format & (PDH_FMT_DOUBLE | PDH_FMT_LONG | PDH_FMT_LARGE);
    if (value == nullptr ||
        (kinds != PDH_FMT_DOUBLE && kinds != PDH_FMT_LONG && kinds != PDH_FMT_LARGE)) {
        return Status(PDH_INVALID_ARGUMENT);
    }
    if (type != nullptr) {
        *type = ProcessorTimeType;
    }
    double percent = 0.0;
    // A rate needs two collections, and time between them.
    if (read->collections < 2 ||
        !linux_platform::CpuUtilization(read->earlier, read->later, &percent)) {
        value->CStatus = PDH_CSTATUS_INVALID_DATA;
        return Status(PDH_INVALID_DATA);
    }
    if ((format & PDH_FMT_NOCAP100) == 0 && percent > 100.0) {
        percent = 100.0;
    }
    value->CStatus = PDH_CSTATUS_VALID_DATA;
    if (kinds == PDH_FMT_DOUBLE) {
        value->doubleValue = percent;
    } else if (kinds == PDH_FMT_LONG) {
        value->longValue = static_cast<LONG>(percent);
    } else {
        value->largeValue = static_cast<LONGLONG>(percent);
    }
    return ERROR_SUCCESS;
}

} // extern "C"
