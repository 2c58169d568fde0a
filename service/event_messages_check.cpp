// Every event the monitor reports has its message in the table linked into the exe, under the
// same ID; without it Event Viewer shows "the description cannot be found" instead of the line.
// Checked when the Windows exe is built, against the header the message compiler writes.
#include "log_line.h"
#include "ostrevane_events.h"

static_assert(OSTREVANE_EVENT_BANNER == EventBanner, "banner");
static_assert(OSTREVANE_EVENT_UNDER_WOW64 == EventUnderWow64, "under WOW64");
static_assert(OSTREVANE_EVENT_PRIORITY_SET == EventPrioritySet, "priority set");
static_assert(OSTREVANE_EVENT_AFFINITY_SET == EventAffinitySet, "affinity set");
static_assert(OSTREVANE_EVENT_THROTTLING_SET == EventThrottlingSet, "throttling set");
static_assert(OSTREVANE_EVENT_SET_PRIORITY_FAILED == EventSetPriorityFailed, "priority failed");
static_assert(OSTREVANE_EVENT_SET_AFFINITY_FAILED == EventSetAffinityFailed, "affinity failed");
static_assert(OSTREVANE_EVENT_SET_THROTTLING_FAILED == EventSetThrottlingFailed,
              "throttling failed");
static_assert(OSTREVANE_EVENT_OPEN_QUERY_FAILED == EventOpenQueryFailed, "open failed");
static_assert(OSTREVANE_EVENT_COLLECT_FAILED == EventCollectFailed, "collection failed");
static_assert(OSTREVANE_EVENT_FORMAT_FAILED == EventFormatFailed, "formatting failed");
static_assert(OSTREVANE_EVENT_ENUM_PROCESSES_FAILED == EventEnumProcessesFailed, "list failed");
static_assert(OSTREVANE_EVENT_PID_LIST_NO_MEMORY == EventPidListNoMemory, "no memory");
