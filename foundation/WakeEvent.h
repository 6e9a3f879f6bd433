#pragma once

#include <cstdint>

namespace VEMRA {

class Socket;

// An event descriptor (eventfd) that one thread signals and another waits on
// beside a socket, so that a worker can block on its socket and still learn
// of a state change at once. Level-triggered: a signal stays until cleared,
// so one given between a waiter's check and its wait is never lost.
//
// Threads: signal from any thread; clear and the waits from the one waiter.
class WakeEvent {
public:
    enum Result : int { Error = 0, Timeout = 1, Readable = 2, Woken = 3 };

    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    bool isOpen() const { return fd != -1; }
    void signal();
    // Takes the pending signal away; call before checking what it announces.
    void clear();
    // Waits up to `timeoutPicoseconds` for `socket` to be readable or for a
    // signal. Readable wins when both are ready; a closed event only lets the
    // socket wake the waiter (and the bounded time-out).
    int waitWith(const Socket& socket, uint64_t timeoutPicoseconds);
    // Waits up to `timeoutPicoseconds` for a signal alone: Woken or Timeout
    // (Error without an event descriptor).
    int wait(uint64_t timeoutPicoseconds);
    // The errno of the last wait that returned Error.
    int error() const { return lastError; }

private:
    int fd = -1;
    int lastError = 0;
};

} // namespace VEMRA
