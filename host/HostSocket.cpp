#include "host/HostSocket.h"

#include "foundation/AddressText.h"
#include "foundation/Clock.h"

#include <algorithm>

namespace QUORVEL {

namespace {

using Clock = std::chrono::steady_clock;

uint64_t picoseconds(Clock::duration duration) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
    return micros <= 0 ? 0 : static_cast<uint64_t>(micros) * VEMRA::kPicosecondsPerMicrosecond;
}

} // namespace

std::vector<uint8_t> HostAnswer::payload() const {
    const WireMessage view = message();
    return std::vector<uint8_t>(view.payload(), view.payload() + view.payloadLength());
}

bool HostSocket::open() {
    return open(VEMRA::SocketAddress{});
}

bool HostSocket::open(const VEMRA::SocketAddress& local) {
    boundPort = 0;
    if (!socket.open(VEMRA::Socket::UdpV6Only)) {
        return false;
    }
    VEMRA::SocketAddress address = local;
    if (!socket.bind(address, 0) || !socket.setBlocking(false)) {
        socket.close();
        return false;
    }
    socket.setReceiveBufferSize(kReceiveSize);
    boundPort = address.hostPort();
    return true;
}

bool HostSocket::send(Send& message, const VEMRA::SocketAddress& to) {
    message.prepare();
    const auto bytes = message.bytes();
    return sendBytes(bytes.data(), bytes.size(), to);
}

bool HostSocket::sendBytes(const void* bytes, size_t length, const VEMRA::SocketAddress& to) {
    return socket.sendTo(bytes, length, to, true);
}

std::optional<HostAnswer> HostSocket::receiveAny(std::chrono::milliseconds timeout) {
    HostAnswer answer;
    if (!receiveAnyInto(answer.bytes, answer.from, timeout)) {
        return std::nullopt;
    }
    return answer;
}

bool HostSocket::receiveAnyInto(std::vector<uint8_t>& bytes, VEMRA::SocketAddress& from,
                                std::chrono::microseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const int waited = socket.waitReadable(picoseconds(deadline - Clock::now()));
        if (waited != VEMRA::Socket::WaitReadable) {
            return false;
        }
        if (!socket.receiveFromInto(bytes, from)) {
            return false;
        }
        if (!bytes.empty()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
}

std::optional<HostAnswer> HostSocket::receive(uint16_t code, std::chrono::milliseconds timeout,
                                              const VEMRA::SocketAddress* from) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        std::optional<HostAnswer> answer = receiveAny(std::max(left, std::chrono::milliseconds(0)));
        if (!answer) {
            return std::nullopt;
        }
        const bool fromMatches =
            from == nullptr || (answer->from.address == from->address && answer->from.port == from->port);
        if (fromMatches && answer->message().isValid() && answer->code() == code) {
            return answer;
        }
        // A steady stream of other datagrams must not extend the wait.
        if (Clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

std::optional<HostAnswer> HostSocket::request(Send& message, const VEMRA::SocketAddress& to,
                                              uint16_t answerCode, std::chrono::milliseconds timeout) {
    if (!send(message, to)) {
        return std::nullopt;
    }
    return receive(answerCode, timeout, &to);
}

void HostSocket::drain() {
    while (receiveAny(std::chrono::milliseconds(0))) {
    }
}

std::optional<VEMRA::SocketAddress> hostEndpoint(const std::string& address, uint16_t port, uint32_t scope) {
    std::optional<VEMRA::SocketAddress> endpoint = VEMRA::parseAddress(address);
    if (endpoint) {
        endpoint->setHostPort(port);
        endpoint->scope = scope;
    }
    return endpoint;
}

} // namespace QUORVEL
