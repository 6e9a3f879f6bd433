#pragma once

#include <cstdint>
#include <set>
#include <sys/select.h>

namespace VEMRA {

class Socket;

// The sockets one worker loop blocks on. Belongs to that loop's thread.
class SocketWaitSet {
public:
    enum Result : int { Error = 0, Timeout = 1, Ready = 2 };

    // Only open sockets; see the implementation for descriptors >= FD_SETSIZE.
    bool add(const Socket& socket);
    bool remove(const Socket& socket);
    // timeout in picoseconds.
    int wait(uint64_t timeoutPicoseconds);
    // Whether the socket was ready in the last wait.
    bool isReady(const Socket& socket) const;
    void clear();
    bool isEmpty() const;

private:
    std::set<int> descriptors;
    fd_set readyMask{};
};

} // namespace VEMRA
