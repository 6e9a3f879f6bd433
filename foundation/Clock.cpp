#include "foundation/Clock.h"

#include <cerrno>

namespace VEMRA {

uint64_t clockFromTimespec(const timespec& reading) {
    // Unsigned arithmetic: the tick wraps after about 213 days of uptime, and
    // clockCompare is built to stay right across that wrap.
    const uint64_t ticks = static_cast<uint64_t>(reading.tv_sec) * kPicosecondsPerSecond +
                           static_cast<uint64_t>(reading.tv_nsec) * 1000U;
    return ticks == 0 ? 1 : ticks;
}

uint64_t clockNow() {
    timespec reading{};
    clock_gettime(CLOCK_MONOTONIC, &reading);
    return clockFromTimespec(reading);
}

int clockCompare(uint64_t a, uint64_t b) {
    const auto difference = static_cast<int64_t>(a - b);
    if (difference == 0) {
        return 0;
    }
    return difference < 0 ? -1 : 1;
}

void sleepPicoseconds(uint64_t duration) {
    timespec remaining{static_cast<time_t>(duration / kPicosecondsPerSecond),
                       static_cast<long>(duration % kPicosecondsPerSecond / 1000)};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

} // namespace VEMRA
