#include "cpu_load_sampler.h"

#include "log_line.h"

#include <climits>
#include <cmath>
#include <cstdio>

CpuLoadSamplerState CpuLoadSampler;

namespace {

// The whole machine's processor time. Past 64 logical processors, Windows (from 7 and Server 2008
// R2) counts every processor in the Processor Information set only; the older Processor set keeps
// its limit of 64, and is all that some platforms know (Wine's pdh).
const char ProcessorInformationCounterPath[] = "\\Processor Information(_Total)\\% Processor Time";
const char ProcessorTimeCounterPath[] = "\\Processor(_Total)\\% Processor Time";

// A whole machine's counter that adds but fails this many collections from its first, the baseline
// included, is taken for one that never collects: one collection error line, then the older one.
constexpr int WholeMachineCollectionTries = 2;

// Opens a query of the older counter, with its baseline. The query of the counter that failed is
// abandoned, open, as the query is never closed. A failed open leaves the whole machine's counter
// failed, so the next failed collection tries again; a failed add shows as a collection error on
// later calls.
void FallBackToProcessorTime() {
    PDH_HQUERY query = nullptr;
    if (PdhOpenQueryA(nullptr, 0, &query) != ERROR_SUCCESS) {
        return;
    }
    CpuLoadSampler.wholeMachineFailures = -1;
    CpuLoadSampler.query = query;
    (void)PdhAddEnglishCounterA(query, ProcessorTimeCounterPath, 0, &CpuLoadSampler.counter);
    (void)PdhCollectQueryData(query);
}

// Keeps the count of a whole machine's counter on trial; true when it has failed its trial.
bool WholeMachineCounterFailed(PDH_STATUS status) {
    if (CpuLoadSampler.wholeMachineFailures < 0) {
        return false;
    }
    if (status == ERROR_SUCCESS) {
        CpuLoadSampler.wholeMachineFailures = -1;
        return false;
    }
    return ++CpuLoadSampler.wholeMachineFailures >= WholeMachineCollectionTries;
}

const char* CollectStatusName(PDH_STATUS status) {
    switch (static_cast<DWORD>(status)) {
    case PDH_INVALID_HANDLE:
        return "PDH_INVALID_HANDLE";
    case PDH_NO_DATA:
        return "PDH_NO_DATA";
    default:
        return "Unknown error";
    }
}

} // namespace

bool RoundCounterPercent(double value, int* percent) {
    const double shifted = value + 0.5;
    // Truncation toward zero keeps every value strictly between these bounds inside int.
    const double above = static_cast<double>(INT_MAX) + 1.0;
    const double below = static_cast<double>(INT_MIN) - 1.0;
    if (!std::isfinite(shifted) || shifted >= above || shifted <= below) {
        return false;
    }
    *percent = static_cast<int>(shifted);
    return true;
}

int SampleCpuUsage() {
    if (CpuLoadSampler.firstCall) {
        const PDH_STATUS status = PdhOpenQueryA(nullptr, 0, &CpuLoadSampler.query);
        if (status != ERROR_SUCCESS) {
            char line[LogLineSize];
            snprintf(line, sizeof line, "PdhOpenQuery() ***Error: 0x%X",
                     static_cast<unsigned>(status));
            LogLine(stderr, EVENTLOG_ERROR_TYPE, EventOpenQueryFailed, line);
            return 0;
        }
        // The English path names the counter on every display language; given to the localized
        // add, it names nothing on a German or Japanese Windows. Where the whole machine's counter
        // is unknown, the older one is taken. A failed add of that one is not examined here: it
        // shows on every later call as a collection or formatting error, so no pass ever acts on a
        // query without its counter. The whole machine's counter is on trial until it collects.
        if (PdhAddEnglishCounterA(CpuLoadSampler.query, ProcessorInformationCounterPath, 0,
                                  &CpuLoadSampler.counter) == ERROR_SUCCESS) {
            CpuLoadSampler.wholeMachineFailures = 0;
        } else {
            (void)PdhAddEnglishCounterA(CpuLoadSampler.query, ProcessorTimeCounterPath, 0,
                                        &CpuLoadSampler.counter);
        }
        // The baseline: a rate counter needs two collections before it has a value.
        (void)WholeMachineCounterFailed(PdhCollectQueryData(CpuLoadSampler.query));
        CpuLoadSampler.firstCall = false;
        return 0;
    }

    PDH_STATUS status = PdhCollectQueryData(CpuLoadSampler.query);
    const bool fallBack = WholeMachineCounterFailed(status);
    if (status != ERROR_SUCCESS) {
        // Two lines, the call's and the status's name, make one event.
        char line[LogLineSize];
        snprintf(line, sizeof line, "PhdCollectQueryData() ***Error: 0x%X",
                 static_cast<unsigned>(status));
        LPCSTR lines[] = {line, CollectStatusName(status)};
        LogLines(stderr, EVENTLOG_ERROR_TYPE, EventCollectFailed, lines, 2);
        if (fallBack) {
            FallBackToProcessorTime();
        }
        return 0;
    }

    DWORD counterType = 0; // written back by the call, not used
    PDH_FMT_COUNTERVALUE value{};
    status = PdhGetFormattedCounterValue(CpuLoadSampler.counter, PDH_FMT_DOUBLE | PDH_FMT_NOCAP100,
                                         &counterType, &value);
    int percent = 0;
    if (status == ERROR_SUCCESS && !RoundCounterPercent(value.doubleValue, &percent)) {
        // A value with no whole percent is reported as the invalid data it is.
        status = static_cast<PDH_STATUS>(PDH_INVALID_DATA);
    }
    if (status != ERROR_SUCCESS) {
        char line[LogLineSize];
        snprintf(line, sizeof line, "PdhGetFormattedCounterValue() ***Error: 0x%X",
                 static_cast<unsigned>(status));
        LogLine(stderr, EVENTLOG_ERROR_TYPE, EventFormatFailed, line);
        return 0;
    }

    printf("CPU usage: %3d%%\n", percent);
    return percent;
}
