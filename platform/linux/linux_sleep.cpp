// Sleep alone in its own object, so that a binary which drives passes without waiting (a soak,
// a benchmark) can define Sleep itself and still link the rest of the layer.
#include "platform.h"

#include <cerrno>
#include <ctime>

extern "C" void WINAPI Sleep(DWORD milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal handled elsewhere must not cut the pause short.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
