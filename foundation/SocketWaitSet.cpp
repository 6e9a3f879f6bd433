#include "foundation/SocketWaitSet.h"

#include "foundation/Socket.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace VEMRA {

namespace {

// What select would have reported as readable.
constexpr short kReadableEvents = POLLIN | POLLRDNORM | POLLRDBAND | POLLPRI | POLLHUP | POLLERR;

} // namespace

int pollTimeoutMilliseconds(uint64_t timeoutPicoseconds) {
    // Same whole microseconds as the (seconds, microseconds) pair of a timeval.
    const uint64_t microseconds = timeoutPicoseconds / 1'000'000ULL;
    // Rounding up keeps a wait of 1..999 us a real wait: rounding down would
    // turn it into poll(0), and a loop waiting 500 us would spin on the CPU.
    const uint64_t milliseconds = (microseconds + 999ULL) / 1000ULL;
    return milliseconds > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
}

bool SocketWaitSet::add(const Socket& socket) {
    if (!socket.isOpen()) {
        return false;
    }
    descriptors.insert(socket.descriptor());
    return true;
}

bool SocketWaitSet::remove(const Socket& socket) {
    if (!socket.isOpen()) {
        return false;
    }
    const int fd = socket.descriptor();
    descriptors.erase(fd);
    // A later socket may reuse this descriptor number before the next wait;
    // it must not inherit this one's readiness.
    for (pollfd& entry : polled) {
        if (entry.fd == fd) {
            entry.revents = 0;
        }
    }
    return true;
}

int SocketWaitSet::wait(uint64_t timeoutPicoseconds) {
    polled.clear();
    for (int fd : descriptors) {
        polled.push_back(pollfd{fd, POLLIN, 0});
    }
    const int count = ::poll(polled.data(), polled.size(), pollTimeoutMilliseconds(timeoutPicoseconds));
    if (count < 0) {
        for (pollfd& entry : polled) {
            entry.revents = 0;
        }
        // A signal cut the wait short: nothing is ready, the loop waits again.
        return errno == EINTR ? Timeout : Error;
    }
    // A descriptor that is no longer open is an error, as it was for select.
    if (std::any_of(polled.begin(), polled.end(),
                    [](const pollfd& entry) { return (entry.revents & POLLNVAL) != 0; })) {
        return Error;
    }
    return count == 0 ? Timeout : Ready;
}

bool SocketWaitSet::isReadyDescriptor(int fd) const {
    const auto found = std::lower_bound(polled.begin(), polled.end(), fd,
                                        [](const pollfd& entry, int value) { return entry.fd < value; });
    return found != polled.end() && found->fd == fd && (found->revents & kReadableEvents) != 0;
}

bool SocketWaitSet::isReady(const Socket& socket) const {
    return socket.isOpen() && isReadyDescriptor(socket.descriptor());
}

void SocketWaitSet::clear() {
    descriptors.clear();
    polled.clear();
}

bool SocketWaitSet::isEmpty() const {
    return descriptors.empty();
}

} // namespace VEMRA
