#pragma once

#include <cstdint>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace VEMRA {

// Scheduling modes a thread chooses for itself right after it starts.
enum SchedulingMode : int {
    RealtimeFifo = 0, // SCHED_FIFO 99: the audio path
    RealtimeRR = 1,   // SCHED_RR 10: fallback when FIFO is refused
    Normal = 2,       // SCHED_OTHER: control loops
    Idle = 3,         // SCHED_IDLE: background threads
};

pid_t currentThreadId();
bool setThreadPriority(pid_t threadId, int mode);
// Each range is (first CPU, count); an empty list means every configured CPU.
bool setThreadAffinity(pid_t threadId, const std::vector<std::pair<uint16_t, uint16_t>>& ranges);
void yieldThread();

} // namespace VEMRA
