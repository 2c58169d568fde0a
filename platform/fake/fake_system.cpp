// The machine as a whole: its code page and its processors as WOW64 does not filter them.
#include "fake_world.h"

namespace fake {

void SetAnsiCodePage(DWORD codePage) {
    TheWorld().codePage = codePage;
}

void SetNativeProcessors(DWORD count) {
    TheWorld().nativeProcessors = count;
}

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

void WINAPI GetNativeSystemInfo(LPSYSTEM_INFO systemInfo) {
    fake::Enter(Api::GetNativeSystemInfo);
    *systemInfo = SYSTEM_INFO{};
    systemInfo->dwNumberOfProcessors = TheWorld().nativeProcessors;
}

BOOL WINAPI IsDBCSLeadByte(BYTE testChar) {
    fake::Enter(Api::IsDBCSLeadByte);
    if (TheWorld().codePage != 932) {
        return FALSE;
    }
    return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
}

} // extern "C"
