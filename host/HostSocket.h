#pragma once

#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"
#include "protocol/StatusBits.h"
#include "protocol/WireMessage.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QUORVEL {

// One datagram a Host received: its bytes and where it came from.
struct HostAnswer {
    std::vector<uint8_t> bytes;
    VEMRA::SocketAddress from;

    WireMessage message() const { return WireMessage(bytes); }
    uint16_t code() const { return message().code(); }
    uint16_t status() const { return message().status(); }
    uint16_t param0() const { return message().param0(); }
    uint16_t param1() const { return message().param1(); }
    uint16_t param2() const { return message().param2(); }
    uint16_t param3() const { return message().param3(); }
    uint64_t value64() const { return message().value64(); }
    bool accepted() const { return (status() & StatusBit::kAccepted) != 0; }
    std::vector<uint8_t> payload() const;
    std::string payloadText() const { return message().payloadText(); }
};

// The Host's end of the protocol's request/answer exchange: one IPv6 UDP
// socket, a send, and a receive that waits for the answer with a given code.
// Belongs to one thread at a time.
class HostSocket {
public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{1000};
    // Room for the largest datagram the protocol sends.
    static constexpr uint32_t kReceiveSize = 65536;

    HostSocket() = default;
    HostSocket(const HostSocket&) = delete;
    HostSocket& operator=(const HostSocket&) = delete;
    HostSocket(HostSocket&&) noexcept = default;
    HostSocket& operator=(HostSocket&&) noexcept = default;

    // Binds [::]:0; or `local` (port 0 = any; a link-local address needs its scope).
    bool open();
    bool open(const VEMRA::SocketAddress& local);
    void close() { socket.close(); }
    bool isOpen() const { return socket.isOpen(); }
    // Host order; 0 when closed.
    uint16_t localPort() const { return boundPort; }
    int error() const { return socket.error(); }

    // Prepares and sends one message (no retry beyond the socket layer's own).
    bool send(Send& message, const VEMRA::SocketAddress& to);
    bool sendBytes(const void* bytes, size_t length, const VEMRA::SocketAddress& to);

    // Waits up to `timeout` for a valid message carrying `code`, skipping
    // anything else; when `from` is given only its address and port count.
    std::optional<HostAnswer> receive(uint16_t code, std::chrono::milliseconds timeout,
                                      const VEMRA::SocketAddress* from = nullptr);
    // The next datagram of any kind, valid or not.
    std::optional<HostAnswer> receiveAny(std::chrono::milliseconds timeout);
    // The same into the caller's vector, whose capacity is reused: a loop that
    // keeps one vector allocates nothing per datagram. False when nothing came.
    bool receiveAnyInto(std::vector<uint8_t>& bytes, VEMRA::SocketAddress& from,
                        std::chrono::microseconds timeout);
    // send + receive(answerCode) from the same endpoint.
    std::optional<HostAnswer> request(Send& message, const VEMRA::SocketAddress& to, uint16_t answerCode,
                                      std::chrono::milliseconds timeout = kDefaultTimeout);
    // Discards whatever is waiting.
    void drain();

private:
    VEMRA::Socket socket;
    uint16_t boundPort = 0;
};

// The endpoint record of an address text ("::1", "fe80::1") with a host-order port and scope.
std::optional<VEMRA::SocketAddress> hostEndpoint(const std::string& address, uint16_t port,
                                                 uint32_t scope = 0);

} // namespace QUORVEL
