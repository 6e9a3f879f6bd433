// Machine stall monitor for soak runs: one thread per CPU the process may
// use, each pinned to its CPU with the audio workers' real-time scheduling,
// sleeps 1 ms over and over and records every wake-up that came later than
// the threshold. A
// real-time thread of the program on the same CPU is held off just as long,
// so a device underrun in the same moment as a long stall is the machine's
// (a virtual CPU the host did not run, say), not the program's.
//
//   quorvel_stall_monitor SECONDS THRESHOLD_MS FILE
//
// Ends after SECONDS or on SIGTERM/SIGINT, then writes FILE: one line per
// stall, "stall CPU EPOCH_SECONDS.MILLIS LATE_MS" (the wall-clock moment the
// thread finally woke), sorted by time, and a last line
// "summary cpus N wakeups W stalls S longest_ms L". Exit status 0, or 1 when
// a thread cannot be pinned or made real-time (a run without root).

#include "foundation/ThreadScheduling.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr long kSleepNs = 1000000; // 1 ms
constexpr size_t kMaxStallsPerCpu = 100000;

std::atomic<bool> gStop{false};

extern "C" void onSignal(int) {
    gStop.store(true, std::memory_order_relaxed);
}

uint64_t nowNs(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

struct Stall {
    int cpu = 0;
    uint64_t wallNs = 0; // CLOCK_REALTIME at the late wake-up
    uint64_t lateNs = 0;
};

// Written only by its own thread; read by main after the join.
struct CpuWatch {
    int cpu = 0;
    bool ready = false;
    uint64_t wakeups = 0;
    std::vector<Stall> stalls;
};

void watch(CpuWatch& state, uint64_t endNs, uint64_t thresholdNs) {
    const pid_t self = VEMRA::currentThreadId();
    if (!VEMRA::setThreadAffinity(self, {{static_cast<uint16_t>(state.cpu), 1}}) ||
        !VEMRA::setThreadPriority(self, VEMRA::RealtimeFifo)) {
        return;
    }
    state.ready = true;
    // Reserved up front: the loop itself allocates nothing and does no I/O.
    state.stalls.reserve(kMaxStallsPerCpu);
    while (!gStop.load(std::memory_order_relaxed)) {
        const uint64_t before = nowNs(CLOCK_MONOTONIC);
        if (before >= endNs) {
            break;
        }
        const timespec pause{0, kSleepNs};
        clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
        const uint64_t after = nowNs(CLOCK_MONOTONIC);
        ++state.wakeups;
        const uint64_t late =
            after - before > static_cast<uint64_t>(kSleepNs) ? after - before - kSleepNs : 0;
        if (late > thresholdNs && state.stalls.size() < kMaxStallsPerCpu) {
            state.stalls.push_back({state.cpu, nowNs(CLOCK_REALTIME), late});
        }
    }
}

bool parseNumber(const char* text, long min, long max, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= min && value <= max;
}

} // namespace

int main(int argc, char** argv) {
    long seconds = 0;
    long thresholdMs = 0;
    if (argc != 4 || !parseNumber(argv[1], 1, 7 * 24 * 3600, seconds) ||
        !parseNumber(argv[2], 1, 1000, thresholdMs)) {
        std::fprintf(stderr, "usage: quorvel_stall_monitor SECONDS THRESHOLD_MS FILE\n");
        return 2;
    }
    const std::string path = argv[3];
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        std::perror("sched_getaffinity");
        return 1;
    }
    std::vector<CpuWatch> watches;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            watches.push_back(CpuWatch{cpu, false, 0, {}});
        }
    }
    const uint64_t endNs = nowNs(CLOCK_MONOTONIC) + static_cast<uint64_t>(seconds) * 1000000000ULL;
    const uint64_t thresholdNs = static_cast<uint64_t>(thresholdMs) * 1000000ULL;
    std::vector<std::thread> threads;
    threads.reserve(watches.size());
    for (CpuWatch& state : watches) {
        threads.emplace_back(watch, std::ref(state), endNs, thresholdNs);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    std::vector<Stall> stalls;
    uint64_t wakeups = 0;
    bool allReady = true;
    for (const CpuWatch& state : watches) {
        allReady = allReady && state.ready;
        wakeups += state.wakeups;
        stalls.insert(stalls.end(), state.stalls.begin(), state.stalls.end());
    }
    std::sort(stalls.begin(), stalls.end(),
              [](const Stall& a, const Stall& b) { return a.wallNs < b.wallNs; });
    uint64_t longest = 0;
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    for (const Stall& stall : stalls) {
        longest = std::max(longest, stall.lateNs);
        std::fprintf(file, "stall %d %llu.%03llu %.2f\n", stall.cpu,
                     static_cast<unsigned long long>(stall.wallNs / 1000000000ULL),
                     static_cast<unsigned long long>(stall.wallNs / 1000000ULL % 1000ULL),
                     static_cast<double>(stall.lateNs) / 1e6);
    }
    std::fprintf(file, "summary cpus %zu wakeups %llu stalls %zu longest_ms %.2f\n", watches.size(),
                 static_cast<unsigned long long>(wakeups), stalls.size(), static_cast<double>(longest) / 1e6);
    const bool written = std::fclose(file) == 0;
    if (!allReady) {
        std::fprintf(stderr, "quorvel_stall_monitor: a CPU could not be watched at real-time priority\n");
        return 1;
    }
    return written ? 0 : 1;
}
