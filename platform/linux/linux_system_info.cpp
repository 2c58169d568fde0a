// The machine as a whole, in the terms of the Windows calls that describe it.
#include "platform.h"

#include <unistd.h>

extern "C" {

// No process here is a WOW64 one, and Linux has no processor groups: the count is the online
// processors', up to the 64 a group holds.
void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO systemInfo) {
    *systemInfo = SYSTEM_INFO{};
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    systemInfo->dwNumberOfProcessors = online < 1    ? 1
                                       : online > 64 ? 64
                                                     : static_cast<DWORD>(online);
}

// Paths here are UTF-8, as a Windows whose ANSI code page is UTF-8 has them: no byte leads a
// two-byte character, and no byte of a multibyte character is a backslash.
BOOL WINAPI IsDBCSLeadByte(BYTE) {
    return FALSE;
}

} // extern "C"
