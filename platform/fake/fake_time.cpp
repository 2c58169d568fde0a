// Time: the sleeps asked for and the clock behind the C runtime's calendar calls.
#include "fake_world.h"

namespace fake {

std::vector<DWORD> Sleeps() {
    return TheWorld().sleeps;
}
void SetTime(__time64_t now) {
    TheWorld().now = now;
}
void SetLocaltimeFails(bool fails) {
    TheWorld().localtimeFails = fails;
}

} // namespace fake

using fake::Api;
using fake::TheWorld;

extern "C" {

void WINAPI Sleep(DWORD milliseconds) {
    fake::Enter(Api::Sleep);
    TheWorld().sleeps.push_back(milliseconds);
}

__time64_t _time64(__time64_t* destination) {
    fake::Enter(Api::Time64);
    if (destination != nullptr) {
        *destination = TheWorld().now;
    }
    return TheWorld().now;
}

struct tm* _localtime64(const __time64_t* time) {
    const bool fails = fake::Enter(Api::Localtime64);
    if (fails || TheWorld().localtimeFails || time == nullptr) {
        return nullptr;
    }
    const time_t converted = static_cast<time_t>(*time);
    if (gmtime_r(&converted, &TheWorld().localTm) == nullptr) {
        return nullptr;
    }
    return &TheWorld().localTm;
}

} // extern "C"
