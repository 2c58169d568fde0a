#include "wow64_warning.h"

#include "log_line.h"

void WarnIfUnderWow64() {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) {
        return;
    }
    // WOW64 shows a 32-bit process a machine of 32 processors at most through the affinity calls;
    // the native system information is what it does not filter.
    SYSTEM_INFO native{};
    GetNativeSystemInfo(&native);
    if (native.dwNumberOfProcessors > 32) {
        // The message table holds the whole text: there is no line to go with it.
        ReportLogEvent(EVENTLOG_WARNING_TYPE, EventUnderWow64, nullptr, 0);
    }
}
