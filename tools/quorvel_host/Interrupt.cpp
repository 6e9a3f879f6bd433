#include "tools/quorvel_host/Interrupt.h"

#include <csignal>

namespace QUORVELHOST {

namespace {

// Written by the signal handler: a lock-free atomic store is async-signal-safe.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void onSignal(int) {
    interrupted.store(true, std::memory_order_relaxed);
}

} // namespace

void installInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

const std::atomic<bool>& interruptFlag() {
    return interrupted;
}

} // namespace QUORVELHOST
