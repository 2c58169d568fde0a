// The priority classes as nice values: the one each class sets, and the class each value reads as.
#include "linux_platform.h"

#include <cstdlib>

namespace linux_platform {

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
    // The layer never lifts a thread, so below normal is as low as a class reads: a process that
    // someone lowered further (nice 15 to 19, the idle class) counts as below normal already.
    if (nice >= 5) {
        return BELOW_NORMAL_PRIORITY_CLASS;
    }
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

} // namespace linux_platform
