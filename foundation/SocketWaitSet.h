#pragma once

#include <cstdint>
#include <poll.h>
#include <set>
#include <vector>

namespace VEMRA {

class Socket;

// Milliseconds handed to poll for a wait of `timeoutPicoseconds`: whole
// microseconds first (t / 10^6), then milliseconds rounded up.
int pollTimeoutMilliseconds(uint64_t timeoutPicoseconds);

// The sockets one worker loop blocks on. Belongs to that loop's thread.
// Built on poll, so any descriptor number works (no 1024 limit).
class SocketWaitSet {
public:
    enum Result : int { Error = 0, Timeout = 1, Ready = 2 };

    // Only open sockets; by descriptor.
    bool add(const Socket& socket);
    bool remove(const Socket& socket);
    // timeout in picoseconds.
    int wait(uint64_t timeoutPicoseconds);
    // Whether the socket was ready in the last wait.
    bool isReady(const Socket& socket) const;
    void clear();
    bool isEmpty() const;

private:
    bool isReadyDescriptor(int fd) const;

    std::set<int> descriptors;
    // The poll array of the last wait, in descriptor order; kept between waits
    // so that a steady loop does not allocate.
    std::vector<pollfd> polled;
};

} // namespace VEMRA
