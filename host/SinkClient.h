#pragma once

#include "foundation/SocketAddress.h"
#include "host/HostSocket.h"
#include "protocol/AudioFormat.h"
#include "protocol/PrepareFormat.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace QUORVEL {

// The Host's side of one sink's control channel. One socket carries the
// control requests and, after a connect, the stream traffic: the sink sends
// its feedback to the address the connect came from.
class SinkClient {
public:
    struct Connection {
        bool accepted = false;
        uint16_t status = 0;
        uint16_t streamPort = 0;
        uint16_t msPort = 0;
    };

    // `control`: the sink's address and control port. `answerTimeout`: how
    // long each request waits for its answer.
    explicit SinkClient(const VEMRA::SocketAddress& control,
                        std::chrono::milliseconds answerTimeout = HostSocket::kDefaultTimeout);

    bool open() { return hostSocket.open(); }
    HostSocket& socket() { return hostSocket; }
    const VEMRA::SocketAddress& controlAddress() const { return control; }
    // The sink's address with another port (stream or MS port).
    VEMRA::SocketAddress sinkAddress(uint16_t port) const;

    std::optional<HostAnswer> request(Send& message, uint16_t answerCode) {
        return request(message, answerCode, answerTimeout);
    }
    std::optional<HostAnswer> request(Send& message, uint16_t answerCode, std::chrono::milliseconds timeout);

    std::optional<AudioFormat> formatQuery(AudioFormat wanted);
    std::optional<HostAnswer> latencyQuery(uint16_t latency, uint16_t deviceLatency = 0,
                                           uint16_t maxLatency = 0);
    // The answer carries the word the sink accepted (latency possibly changed).
    std::optional<HostAnswer> prepare(PrepareFormat word);
    std::optional<HostAnswer> setHostName(const std::string& name, uint64_t value = 0);
    std::optional<Connection> connect(AudioFormat format);
    // With a non-zero `startValue` the payload asks for a synchronised start.
    std::optional<Connection> connectMs(AudioFormat format, uint64_t startValue = 0);
    // DISCONNECT on the stream port; the answer may take the drain of the
    // sink's buffer, so it waits at least 3 s. Feedback arriving meanwhile is
    // skipped.
    std::optional<HostAnswer> disconnect(uint16_t streamPort) {
        return disconnect(streamPort, std::max(answerTimeout, std::chrono::milliseconds(3000)));
    }
    std::optional<HostAnswer> disconnect(uint16_t streamPort, std::chrono::milliseconds timeout);

private:
    std::optional<Connection> connectWith(Send& message, uint16_t answerCode);

    VEMRA::SocketAddress control;
    std::chrono::milliseconds answerTimeout;
    HostSocket hostSocket;
};

} // namespace QUORVEL
