#pragma once

#include <atomic>

namespace QUORVELHOST {

// Ctrl-C (SIGINT) and SIGTERM set one flag instead of ending the process, so
// that a running command can end its session with the target cleanly.
// Install once, from the main thread, before the command starts.
void installInterruptHandler();
// Set by the handler; read by any thread.
const std::atomic<bool>& interruptFlag();

} // namespace QUORVELHOST
