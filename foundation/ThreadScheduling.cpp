#include "foundation/ThreadScheduling.h"

#include <sched.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

namespace VEMRA {

namespace {

// The mask handed to the kernel: 1024 CPUs, 128 bytes.
constexpr unsigned kMaskCpus = 1024;
static_assert(sizeof(cpu_set_t) * 8 == kMaskCpus, "cpu_set_t is expected to hold 1024 CPUs");

} // namespace

pid_t currentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

bool setThreadPriority(pid_t threadId, int mode) {
    int policy = SCHED_RR;
    int priority = 0; // modes 4 and above: refused by the kernel
    switch (mode) {
    case RealtimeFifo:
        policy = SCHED_FIFO;
        priority = 99;
        break;
    case RealtimeRR:
        policy = SCHED_RR;
        priority = 10;
        break;
    case Normal:
        policy = SCHED_OTHER;
        break;
    case Idle:
        policy = SCHED_IDLE;
        break;
    default:
        if (mode < 0) {
            return false;
        }
        break;
    }
    sched_param parameter{};
    parameter.sched_priority = priority;
    return ::sched_setscheduler(threadId, policy, &parameter) == 0;
}

bool setThreadAffinity(pid_t threadId, const std::vector<std::pair<uint16_t, uint16_t>>& ranges) {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (ranges.empty()) {
        const int configured = ::get_nprocs_conf();
        for (int cpu = 0; cpu < configured && cpu < static_cast<int>(kMaskCpus); ++cpu) {
            CPU_SET(cpu, &mask);
        }
    }
    for (const auto& [first, count] : ranges) {
        const uint32_t end = static_cast<uint32_t>(first) + count;
        for (uint32_t cpu = first; cpu < end && cpu < kMaskCpus; ++cpu) {
            CPU_SET(cpu, &mask);
        }
    }
    return ::sched_setaffinity(threadId, sizeof(mask), &mask) == 0;
}

void yieldThread() {
    ::sched_yield();
}

} // namespace VEMRA
