#pragma once

#include <atomic>

namespace QUORVELHOST {

// Ctrl-C (SIGINT) and SIGTERM set one flag instead of ending the process, so
// that a running command can end its session with the target cleanly.
// Only the commands that hold a session install it (play, log); the others
// end at once on Ctrl-C. Install from the main thread.
void installInterruptHandler();
// Set by the handler; read by any thread.
const std::atomic<bool>& interruptFlag();

} // namespace QUORVELHOST
