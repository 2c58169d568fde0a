// The Performance Data Helper: one query, one counter, and scripted reads.
#include "fake_world.h"

#include <cstring>

namespace fake {
namespace {

// The query and counter handles that the double hands out; anything else is invalid.
int QueryToken;
int CounterToken;
const PDH_HQUERY QueryHandle = &QueryToken;
const PDH_HCOUNTER CounterHandle = &CounterToken;

PDH_STATUS FailureStatus(PDH_STATUS scripted, DWORD fallback) {
    return scripted != 0 ? scripted : static_cast<PDH_STATUS>(fallback);
}

const char EnglishProcessorTime[] = "\\Processor(_Total)\\% Processor Time";
const char EnglishProcessorInformationTime[] = "\\Processor Information(_Total)\\% Processor Time";
const char GermanProcessorTime[] = "\\Prozessor(_Total)\\Prozessorzeit (%)";

// Both adds: the English one knows the English paths only (the Processor Information one where the
// machine has that set); the localized one, on a machine whose display language is not English,
// the German path only, and anything on an English one.
PDH_STATUS AddCounter(Api api, PDH_HQUERY query, LPCSTR counterPath, PDH_HCOUNTER* counter) {
    PDH_STATUS scripted = 0;
    const bool fails = Enter(api, &scripted);
    if (query != QueryHandle || !TheWorld().queryOpen) {
        return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    }
    if (fails) {
        return FailureStatus(scripted, PDH_CSTATUS_BAD_COUNTERNAME);
    }
    bool known = true;
    if (api == Api::PdhAddEnglishCounterA) {
        known = strcmp(counterPath, EnglishProcessorTime) == 0 ||
                (TheWorld().processorInformationKnown &&
                 strcmp(counterPath, EnglishProcessorInformationTime) == 0);
    } else if (TheWorld().nonEnglish) {
        known = strcmp(counterPath, GermanProcessorTime) == 0;
    }
    if (!known) {
        return static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT);
    }
    TheWorld().addedPath = counterPath;
    TheWorld().counterAdded = true;
    *counter = CounterHandle;
    return ERROR_SUCCESS;
}

} // namespace

void ScriptCounter(std::deque<CounterRead> reads) {
    TheWorld().reads = std::move(reads);
}

void ScriptCounterValues(std::initializer_list<double> values) {
    TheWorld().reads.clear();
    for (const double value : values) {
        TheWorld().reads.push_back(CounterRead{0, value});
    }
}

const std::string& AddedCounterPath() {
    return TheWorld().addedPath;
}
void SetProcessorInformationKnown(bool known) {
    TheWorld().processorInformationKnown = known;
}
void SetProcessorInformationCollects(bool collects) {
    TheWorld().processorInformationCollects = collects;
}
void SetNonEnglishDisplayLanguage(bool nonEnglish) {
    TheWorld().nonEnglish = nonEnglish;
}
DWORD LastFormatFlags() {
    return TheWorld().formatFlags;
}

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

PDH_STATUS WINAPI PdhOpenQueryA(LPCSTR, DWORD_PTR, PDH_HQUERY* query) {
    PDH_STATUS scripted = 0;
    if (fake::Enter(Api::PdhOpenQueryA, &scripted)) {
        return fake::FailureStatus(scripted, PDH_MEMORY_ALLOCATION_FAILURE);
    }
    TheWorld().queryOpen = true;
    TheWorld().counterAdded = false;
    TheWorld().addedPath.clear();
    TheWorld().collections = 0;
    *query = fake::QueryHandle;
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR,
                                 PDH_HCOUNTER* counter) {
    return fake::AddCounter(Api::PdhAddCounterA, query, counterPath, counter);
}

PDH_STATUS WINAPI PdhAddEnglishCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR,
                                        PDH_HCOUNTER* counter) {
    return fake::AddCounter(Api::PdhAddEnglishCounterA, query, counterPath, counter);
}

PDH_STATUS WINAPI PdhCollectQueryData(PDH_HQUERY query) {
    PDH_STATUS scripted = 0;
    const bool fails = fake::Enter(Api::PdhCollectQueryData, &scripted);
    if (query != fake::QueryHandle || !TheWorld().queryOpen) {
        return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    }
    if (fails) {
        return fake::FailureStatus(scripted, PDH_NO_DATA);
    }
    // A query without counters has nothing to collect.
    if (!TheWorld().counterAdded ||
        (!TheWorld().processorInformationCollects &&
         TheWorld().addedPath == fake::EnglishProcessorInformationTime)) {
        return static_cast<PDH_STATUS>(PDH_NO_DATA);
    }
    ++TheWorld().collections;
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                              PPDH_FMT_COUNTERVALUE value) {
    PDH_STATUS scripted = 0;
    const bool fails = fake::Enter(Api::PdhGetFormattedCounterValue, &scripted);
    TheWorld().formatFlags = format;
    if (counter != fake::CounterHandle || !TheWorld().counterAdded) {
        return static_cast<PDH_STATUS>(PDH_INVALID_HANDLE);
    }
    if (fails) {
        return fake::FailureStatus(scripted, PDH_INVALID_DATA);
    }
    // A rate counter has no value before its second collection.
    if (TheWorld().collections < 2) {
        value->CStatus = PDH_CSTATUS_INVALID_DATA;
        return static_cast<PDH_STATUS>(PDH_INVALID_DATA);
    }
    fake::CounterRead read;
    if (!TheWorld().reads.empty()) {
        read = TheWorld().reads.front();
        TheWorld().reads.pop_front();
    }
    if (type != nullptr) {
        *type = 0x10410500; // PERF_100NSEC_TIMER_INV, the processor-time counter's type
    }
    value->CStatus = PDH_CSTATUS_VALID_DATA;
    value->doubleValue = read.value;
    return read.status;
}

} // extern "C"
