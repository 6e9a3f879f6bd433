#pragma once

#include <cstddef>

namespace VEMRA {

// Keeps the process's memory in RAM, so that a real-time thread never waits
// for a page to come back from swap: every page the process touches from
// now on stays resident (mlockall with MCL_ONFAULT, so untouched reserves,
// thread stacks included, cost nothing). Only where locked memory is
// unbounded (CAP_IPC_LOCK or no RLIMIT_MEMLOCK); elsewhere it returns EPERM
// without locking. Returns the errno of a refusal, 0 when locked. Does
// nothing under the sanitizers, whose shadow memory must stay reclaimable.
int lockProcessMemory();

// Touches `bytes` of the calling thread's stack, so that the pages a
// real-time thread will use are resident (and locked) before it needs them.
void prefaultStack(size_t bytes = 64 * 1024);

} // namespace VEMRA
