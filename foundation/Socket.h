#pragma once

#include "foundation/SocketAddress.h"

#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <vector>

namespace VEMRA {

// One descriptor with the options and retry rules every channel of the system
// uses. A socket object belongs to one thread at a time.
class Socket {
public:
    // Domain, type and options chosen at open.
    enum Kind : uint32_t {
        TcpV4 = 0,        // AF_INET  SOCK_STREAM
        UdpV4 = 1,        // AF_INET  SOCK_DGRAM, SO_BROADCAST
        TcpV6Only = 2,    // AF_INET6 SOCK_STREAM, IPV6_V6ONLY 1
        UdpV6Only = 3,    // AF_INET6 SOCK_DGRAM,  IPV6_V6ONLY 1
        TcpDualStack = 4, // AF_INET6 SOCK_STREAM, IPV6_V6ONLY 0
        UdpDualStack = 5, // AF_INET6 SOCK_DGRAM,  IPV6_V6ONLY 0
    };

    // waitReadable results.
    enum WaitResult : int { WaitError = 0, WaitTimeout = 1, WaitReadable = 2 };

    Socket();
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;

    bool open(uint32_t kind);
    bool close();
    bool isOpen() const { return fd != -1; }
    bool shutdown();

    // Binds (and for TCP kinds listens with `backlog`). A port of 0 is
    // replaced in `address` by the one the system chose.
    bool bind(SocketAddress& address, int backlog);
    bool joinGroup(const SocketAddress& group);
    bool setMulticastInterface(uint32_t interfaceIndex);
    bool setBlocking(bool flag);

    // Closes `client` first, then accepts a pending connection into it.
    bool accept(Socket& client, SocketAddress& peerAddress);

    bool send(const void* bytes, size_t length);
    bool sendToPeer(const void* bytes, size_t length, bool retry);
    bool sendTo(const void* bytes, size_t length, const SocketAddress& address, bool retry);
    // One attempt that never blocks, whatever the socket's mode: a full send
    // buffer is a failure (EAGAIN in lastError) like any other. For answers,
    // which a loop must never wait for.
    bool sendToNow(const void* bytes, size_t length, const SocketAddress& address);
    // The same attempt, keeping nothing in the object: the errno of a
    // failure goes to `error`. Several threads may send this way at once.
    bool sendToNow(const void* bytes, size_t length, const SocketAddress& address, int& error) const;

    // Bytes sent from this socket that the kernel still holds (SIOCOUTQ):
    // queued, in flight, or waiting for a neighbour to resolve. -1 on failure.
    int queuedBytes() const;
    // Asks for a send buffer of `bytes` (forced past the system's limit when
    // the process may, else capped by it); the size the kernel then reports
    // (SO_SNDBUF, twice the asked size on Linux), 0 on failure.
    int setSendBufferSize(int bytes);

    // Datagram receive: true with length 0 when nothing is waiting.
    bool receiveFrom(void* buffer, size_t capacity, size_t& length, SocketAddress& from);
    // Stream receive: false when the peer closed.
    bool receive(void* buffer, size_t capacity, size_t& length);
    // Resize to bufferSize, receive, cut to the received length.
    bool receiveInto(std::vector<uint8_t>& bytes);
    bool receiveFromInto(std::vector<uint8_t>& bytes, SocketAddress& from);

    // timeout in picoseconds; WaitError, WaitTimeout or WaitReadable.
    int waitReadable(uint64_t timeoutPicoseconds);

    int descriptor() const { return fd; }
    int error() const { return lastError; }
    uint32_t socketKind() const { return kind; }
    uint32_t receiveBufferSize() const { return bufferSize; }
    void setReceiveBufferSize(uint32_t size) { bufferSize = size; }
    bool isBlocking() const { return blocking; }
    uint32_t boundScope() const { return scopeOverride; }
    void setPeer(const SocketAddress& address);
    SocketAddress peerAddress() const;

private:
    int fd = -1;
    sockaddr_in6 peer{};
    uint32_t kind = 0;
    uint32_t bufferSize = 1500;
    bool blocking = true;
    int lastError = 0;
    uint32_t scopeOverride = 0;
};

} // namespace VEMRA
