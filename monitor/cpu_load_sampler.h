// Total processor utilization through the Performance Data Helper.
#pragma once

#include "platform.h"

// The sampler's process-wide state. The query is opened on the first successful call and held
// until the process ends; it is never closed. wholeMachineFailures counts the failed collections
// of the whole machine's counter while it has never collected, and -1 stands for a counter past
// that trial: the older one, or one that has collected.
struct CpuLoadSamplerState {
    bool firstCall = true;
    PDH_HQUERY query = nullptr;
    PDH_HCOUNTER counter = nullptr;
    int wholeMachineFailures = -1;
};
extern CpuLoadSamplerState CpuLoadSampler;

// Returns the utilization over the interval since the previous call, rounded to a whole
// percent and printed as a sample line. Returns 0, and prints no sample line, on the call that
// opens the query, on every call whose open fails, and on every error.
int SampleCpuUsage();

// Rounds a counter value to a whole percent, halves upward. Returns false, leaving *percent
// alone, for a value that is not finite or whose rounding does not fit an int: no
// utilization is meaningful there, and the conversion would be undefined.
bool RoundCounterPercent(double value, int* percent);
