#pragma once

#include <cstdint>
#include <ctime>

namespace VEMRA {

// The system's common tick: picoseconds of the monotonic clock.
constexpr uint64_t kPicosecondsPerSecond = 1'000'000'000'000ULL;
constexpr uint64_t kPicosecondsPerMillisecond = 1'000'000'000ULL;
constexpr uint64_t kPicosecondsPerMicrosecond = 1'000'000ULL;

// Never 0: a time of 0 means "no time" throughout the system.
uint64_t clockNow();
// The tick for one reading of the monotonic clock (0 becomes 1, as in clockNow).
uint64_t clockFromTimespec(const timespec& reading);
// 0 when equal, else the sign (-1 or +1) of a - b as a signed 64-bit number.
int clockCompare(uint64_t a, uint64_t b);
// Sleeps for `duration` picoseconds in full: a signal does not shorten it.
void sleepPicoseconds(uint64_t duration);
inline void sleepMilliseconds(uint64_t milliseconds) {
    sleepPicoseconds(milliseconds * kPicosecondsPerMillisecond);
}

} // namespace VEMRA
