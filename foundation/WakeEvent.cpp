#include "foundation/WakeEvent.h"

#include "foundation/Socket.h"
#include "foundation/SocketWaitSet.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace VEMRA {

WakeEvent::WakeEvent() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WakeEvent::~WakeEvent() {
    if (fd != -1) {
        ::close(fd);
        fd = -1; // a late signal (a thread still running at exit) writes nowhere
    }
}

void WakeEvent::signal() {
    if (fd == -1) {
        return;
    }
    const uint64_t one = 1;
    // A counter already at its ceiling (EAGAIN) is signalled anyway.
    while (::write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void WakeEvent::clear() {
    if (fd == -1) {
        return;
    }
    uint64_t count = 0;
    while (::read(fd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}

int WakeEvent::wait(uint64_t timeoutPicoseconds) {
    if (fd == -1) {
        lastError = EBADF;
        return Error;
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, pollTimeoutMilliseconds(timeoutPicoseconds));
    if (ready < 0 && errno != EINTR) {
        lastError = errno;
        return Error;
    }
    return ready > 0 ? Woken : Timeout;
}

int WakeEvent::waitWith(const Socket& socket, uint64_t timeoutPicoseconds) {
    if (!socket.isOpen()) {
        lastError = EBADF;
        return Error;
    }
    pollfd entries[2] = {{socket.descriptor(), POLLIN, 0}, {fd, POLLIN, 0}};
    const nfds_t count = fd == -1 ? 1 : 2;
    const int ready = ::poll(entries, count, pollTimeoutMilliseconds(timeoutPicoseconds));
    if (ready < 0) {
        if (errno == EINTR) {
            return Timeout;
        }
        lastError = errno;
        return Error;
    }
    if ((entries[0].revents & POLLNVAL) != 0) {
        lastError = EBADF;
        return Error;
    }
    if (entries[0].revents != 0) {
        return Readable;
    }
    if (count == 2 && entries[1].revents != 0) {
        return Woken;
    }
    return Timeout;
}

} // namespace VEMRA
