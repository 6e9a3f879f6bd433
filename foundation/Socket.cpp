#include "foundation/Socket.h"

#include "foundation/LocalAddresses.h"
#include "foundation/SocketWaitSet.h"

#include <cerrno>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace VEMRA {

namespace {

constexpr uint32_t kLastKind = Socket::UdpDualStack;

bool isV4Kind(uint32_t kind) {
    return kind == Socket::TcpV4 || kind == Socket::UdpV4;
}

bool isStreamKind(uint32_t kind) {
    return kind == Socket::TcpV4 || kind == Socket::TcpV6Only || kind == Socket::TcpDualStack;
}

// The system-call form of an endpoint. Records are IPv6 throughout; the IPv4
// kinds take the embedded address of an IPv4-mapped (or the unspecified) one.
struct NativeAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

bool toNative(const sockaddr_in6& from, bool v4, NativeAddress& to) {
    to.storage = {};
    if (!v4) {
        std::memcpy(&to.storage, &from, sizeof(from));
        to.length = sizeof(from);
        return true;
    }
    const SocketAddress record = SocketAddress::fromSockaddr(from);
    const bool unspecified = record.address == std::array<uint8_t, 16>{};
    if (!record.isV4Mapped() && !unspecified) {
        return false;
    }
    sockaddr_in v4address{};
    v4address.sin_family = AF_INET;
    v4address.sin_port = from.sin6_port;
    std::memcpy(&v4address.sin_addr, record.address.data() + 12, 4);
    std::memcpy(&to.storage, &v4address, sizeof(v4address));
    to.length = sizeof(v4address);
    return true;
}

SocketAddress fromNative(const sockaddr_storage& from) {
    if (from.ss_family == AF_INET) {
        sockaddr_in v4address{};
        std::memcpy(&v4address, &from, sizeof(v4address));
        SocketAddress record;
        record.address[10] = 0xff;
        record.address[11] = 0xff;
        std::memcpy(record.address.data() + 12, &v4address.sin_addr, 4);
        record.port = v4address.sin_port;
        return record;
    }
    sockaddr_in6 v6address{};
    std::memcpy(&v6address, &from, sizeof(v6address));
    return SocketAddress::fromSockaddr(v6address);
}

void setIntOption(int fd, int level, int name, int value) {
    // Common options are best effort: TCP_NODELAY on a datagram socket, for
    // one, is refused and does not matter.
    (void)::setsockopt(fd, level, name, &value, sizeof(value));
}

} // namespace

Socket::Socket() = default;

Socket::~Socket() {
    close();
}

Socket::Socket(Socket&& other) noexcept
    : fd(std::exchange(other.fd, -1)), peer(other.peer), kind(other.kind), bufferSize(other.bufferSize),
      blocking(other.blocking), lastError(other.lastError),
      scopeOverride(std::exchange(other.scopeOverride, 0)) {}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        close();
        fd = std::exchange(other.fd, -1);
        peer = other.peer;
        kind = other.kind;
        bufferSize = other.bufferSize;
        blocking = other.blocking;
        lastError = other.lastError;
        scopeOverride = std::exchange(other.scopeOverride, 0);
    }
    return *this;
}

bool Socket::open(uint32_t newKind) {
    close();
    if (newKind > kLastKind) {
        lastError = EINVAL;
        return false;
    }
    const int domain = isV4Kind(newKind) ? AF_INET : AF_INET6;
    const int type = isStreamKind(newKind) ? SOCK_STREAM : SOCK_DGRAM;
    // CLOEXEC: a descriptor must never outlive its owner in another program.
    const int created = ::socket(domain, type | SOCK_CLOEXEC, 0);
    if (created < 0) {
        lastError = errno;
        return false;
    }
    fd = created;
    kind = newKind;
    blocking = true;
    if (newKind == UdpV4) {
        const int enable = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof(enable)) != 0 || !setBlocking(true)) {
            lastError = errno;
            ::close(fd);
            fd = -1;
            return false;
        }
    }
    setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    setIntOption(fd, IPPROTO_IP, IP_MTU_DISCOVER, IP_PMTUDISC_DO);
    if (!isV4Kind(newKind)) {
        const bool v6only = newKind == TcpV6Only || newKind == UdpV6Only;
        setIntOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, v6only ? 1 : 0);
    }
    return true;
}

bool Socket::close() {
    // A socket closed and reopened is not bound any more.
    scopeOverride = 0;
    if (fd == -1) {
        return true;
    }
    if (isStreamKind(kind)) {
        (void)::shutdown(fd, SHUT_RDWR);
    }
    const int result = ::close(std::exchange(fd, -1));
    if (result != 0) {
        lastError = errno;
        return false;
    }
    return true;
}

bool Socket::shutdown() {
    if (::shutdown(fd, SHUT_RDWR) != 0) {
        lastError = errno;
        return false;
    }
    return true;
}

bool Socket::bind(SocketAddress& address, int backlog) {
    sockaddr_in6 local{};
    address.toSockaddr(local);
    if (address.isLinkLocal()) {
        scopeOverride = address.scope;
    } else if (address.isLoopback()) {
        uint32_t scope = address.scope;
        if (scope == 0) {
            // The loopback interface's index, as the machine lists ::1.
            std::map<SocketAddress, std::string> addresses;
            if (localAddresses(addresses)) {
                for (const auto& entry : addresses) {
                    if (entry.first.isLoopback()) {
                        scope = entry.first.scope;
                        break;
                    }
                }
            }
        }
        scopeOverride = scope;
    } else {
        scopeOverride = 0;
    }
    local.sin6_scope_id = scopeOverride;

    NativeAddress native;
    if (!toNative(local, isV4Kind(kind), native)) {
        lastError = EAFNOSUPPORT;
        return false;
    }
    if (address.port == 0 && !isStreamKind(kind)) {
        // A datagram port the system chooses is this socket's alone: with
        // SO_REUSEADDR on both sides Linux may hand it out again to another
        // socket that has the option, and the later one takes its datagrams.
        setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 0);
    }
    if (::bind(fd, native.get(), native.length) != 0) {
        lastError = errno;
        return false;
    }
    if (address.port == 0) {
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            lastError = errno;
            return false;
        }
        address.port = fromNative(bound).port;
    }
    if (isStreamKind(kind)) {
        if (::listen(fd, backlog) != 0) {
            lastError = errno;
            return false;
        }
    } else if (scopeOverride != 0 && !isV4Kind(kind)) {
        // Multicast interfaces exist for datagram sockets only; the kernel
        // refuses the option on stream sockets.
        return setMulticastInterface(scopeOverride);
    }
    return true;
}

bool Socket::joinGroup(const SocketAddress& group) {
    ipv6_mreq request{};
    std::memcpy(&request.ipv6mr_multiaddr, group.address.data(), group.address.size());
    request.ipv6mr_interface = group.scope;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) {
        lastError = errno;
        return false;
    }
    return true;
}

bool Socket::setMulticastInterface(uint32_t interfaceIndex) {
    const unsigned int index = interfaceIndex;
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index)) != 0) {
        lastError = errno;
        return false;
    }
    return true;
}

bool Socket::setBlocking(bool flag) {
    int nonBlocking = flag ? 0 : 1;
    if (::ioctl(fd, FIONBIO, &nonBlocking) != 0) {
        lastError = errno;
        return false;
    }
    blocking = flag;
    return true;
}

bool Socket::accept(Socket& client, SocketAddress& peerAddress) {
    client.close();
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    const int accepted = ::accept4(fd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (accepted < 0) {
        lastError = errno;
        return false;
    }
    client.fd = accepted;
    client.kind = kind;
    client.blocking = true;
    peerAddress = fromNative(from);
    return true;
}

bool Socket::send(const void* bytes, size_t length) {
    // MSG_NOSIGNAL: a peer that went away must cost an error result, not the
    // process (SIGPIPE).
    const ssize_t sent = ::send(fd, bytes, length, MSG_NOSIGNAL);
    if (sent < 0) {
        lastError = errno;
        return false;
    }
    return static_cast<size_t>(sent) == length;
}

bool Socket::sendToPeer(const void* bytes, size_t length, bool retry) {
    NativeAddress destination;
    if (!toNative(peer, isV4Kind(kind), destination)) {
        lastError = EAFNOSUPPORT;
        return false;
    }
    bool switched = false;
    bool result = false;
    for (;;) {
        const ssize_t sent = ::sendto(fd, bytes, length, MSG_NOSIGNAL, destination.get(), destination.length);
        if (sent >= 0 && static_cast<size_t>(sent) == length) {
            result = true;
            break;
        }
        int failure = sent < 0 ? errno : EAGAIN; // a partial datagram counts as a full buffer
        if (failure == EINTR) {
            continue;
        }
        if (failure != EAGAIN && failure != EWOULDBLOCK && failure != ENOBUFS) {
            lastError = failure;
            break;
        }
        if (!retry) {
            lastError = failure;
            break;
        }
        if (!blocking) {
            // Block for this one datagram rather than drop it.
            if (!setBlocking(true)) {
                break;
            }
            switched = true;
        } else if (failure == ENOBUFS) {
            // A blocking send that still finds no buffer memory would spin;
            // give the kernel a millisecond to free some.
            (void)::poll(nullptr, 0, 1);
        }
    }
    if (switched) {
        // Whether the datagram went out is the result; a failed switch back
        // shows in isBlocking() and lastError.
        (void)setBlocking(false);
    }
    return result;
}

bool Socket::sendTo(const void* bytes, size_t length, const SocketAddress& address, bool retry) {
    const sockaddr_in6 previous = peer;
    setPeer(address);
    const bool result = sendToPeer(bytes, length, retry);
    peer = previous;
    return result;
}

bool Socket::sendToNow(const void* bytes, size_t length, const SocketAddress& address) {
    int error = 0;
    if (sendToNow(bytes, length, address, error)) {
        return true;
    }
    lastError = error;
    return false;
}

bool Socket::sendToNow(const void* bytes, size_t length, const SocketAddress& address, int& error) const {
    sockaddr_in6 destination{};
    address.toSockaddr(destination);
    if (scopeOverride != 0) {
        destination.sin6_scope_id = scopeOverride;
    }
    NativeAddress native;
    if (!toNative(destination, isV4Kind(kind), native)) {
        error = EAFNOSUPPORT;
        return false;
    }
    for (;;) {
        const ssize_t sent =
            ::sendto(fd, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT, native.get(), native.length);
        if (sent >= 0) {
            if (static_cast<size_t>(sent) == length) {
                return true;
            }
            error = EAGAIN; // a partial datagram counts as a full buffer
            return false;
        }
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
}

int Socket::queuedBytes() const {
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0) {
        return -1;
    }
    return queued;
}

int Socket::setSendBufferSize(int bytes) {
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof(bytes)) != 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes)) != 0) {
        lastError = errno;
        return 0;
    }
    int size = 0;
    socklen_t length = sizeof(size);
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0) {
        lastError = errno;
        return 0;
    }
    return size;
}

bool Socket::receiveFrom(void* buffer, size_t capacity, size_t& length, SocketAddress& from) {
    length = 0;
    sockaddr_storage sender{};
    socklen_t senderLength = sizeof(sender);
    const ssize_t received =
        ::recvfrom(fd, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received < 0) {
        const int failure = errno;
        if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR || failure == 0) {
            return true;
        }
        lastError = failure;
        return false;
    }
    length = static_cast<size_t>(received);
    from = fromNative(sender);
    return true;
}

bool Socket::receive(void* buffer, size_t capacity, size_t& length) {
    length = 0;
    const ssize_t received = ::recv(fd, buffer, capacity, 0);
    if (received == 0) {
        return false; // the peer closed its end
    }
    if (received < 0) {
        const int failure = errno;
        if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR) {
            return true;
        }
        lastError = failure;
        return false;
    }
    length = static_cast<size_t>(received);
    return true;
}

bool Socket::receiveInto(std::vector<uint8_t>& bytes) {
    bytes.resize(bufferSize);
    size_t length = 0;
    const bool result = receive(bytes.data(), bytes.size(), length);
    bytes.resize(length);
    return result;
}

bool Socket::receiveFromInto(std::vector<uint8_t>& bytes, SocketAddress& from) {
    bytes.resize(bufferSize);
    size_t length = 0;
    const bool result = receiveFrom(bytes.data(), bytes.size(), length, from);
    bytes.resize(length);
    return result;
}

int Socket::waitReadable(uint64_t timeoutPicoseconds) {
    if (fd == -1) {
        lastError = EBADF;
        return WaitError;
    }
    pollfd entry{fd, POLLIN, 0};
    const int count = ::poll(&entry, 1, pollTimeoutMilliseconds(timeoutPicoseconds));
    if (count < 0) {
        if (errno == EINTR) {
            return WaitTimeout;
        }
        lastError = errno;
        return WaitError;
    }
    if (count == 0) {
        return WaitTimeout;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        lastError = EBADF;
        return WaitError;
    }
    return WaitReadable;
}

void Socket::setPeer(const SocketAddress& address) {
    address.toSockaddr(peer);
    if (scopeOverride != 0) {
        peer.sin6_scope_id = scopeOverride;
    }
}

SocketAddress Socket::peerAddress() const {
    return SocketAddress::fromSockaddr(peer);
}

} // namespace VEMRA
