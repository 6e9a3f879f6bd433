#include "host/SinkClient.h"

#include "protocol/MessageCode.h"

namespace QUORVEL {

SinkClient::SinkClient(const VEMRA::SocketAddress& controlAddress, std::chrono::milliseconds timeout)
    : control(controlAddress), answerTimeout(timeout) {}

VEMRA::SocketAddress SinkClient::sinkAddress(uint16_t port) const {
    VEMRA::SocketAddress address = control;
    address.setHostPort(port);
    return address;
}

std::optional<HostAnswer> SinkClient::request(Send& message, uint16_t answerCode,
                                              std::chrono::milliseconds timeout) {
    return hostSocket.request(message, control, answerCode, timeout);
}

std::optional<AudioFormat> SinkClient::formatQuery(AudioFormat wanted) {
    Send message(FORMAT_QUERY, 0, wanted.value());
    const auto answer = request(message, FORMAT_QUERY_ANS);
    if (!answer || !answer->accepted()) {
        return std::nullopt;
    }
    return AudioFormat(answer->value64());
}

std::optional<HostAnswer> SinkClient::latencyQuery(uint16_t latency, uint16_t deviceLatency,
                                                   uint16_t maxLatency) {
    Send message(LATENCY_QUERY, 0, latency, deviceLatency, maxLatency, 0);
    return request(message, LATENCY_QUERY_ANS);
}

std::optional<HostAnswer> SinkClient::prepare(PrepareFormat word) {
    Send message(PREPARE_FORMAT, 0, word.value());
    return request(message, PREPARE_FORMAT_ANS);
}

std::optional<HostAnswer> SinkClient::setHostName(const std::string& name, uint64_t value) {
    SendBuffer message;
    message.setHeader(HOST_NAME_SET, 0, value);
    message.setPayload(name.data(), name.size());
    return request(message, HOST_NAME_SET_ANS);
}

std::optional<SinkClient::Connection> SinkClient::connectWith(Send& message, uint16_t answerCode) {
    const auto answer = request(message, answerCode);
    if (!answer) {
        return std::nullopt;
    }
    Connection connection;
    connection.accepted = answer->accepted();
    connection.status = answer->status();
    connection.streamPort = answer->param0();
    connection.msPort = answer->param1();
    return connection;
}

std::optional<SinkClient::Connection> SinkClient::connect(AudioFormat format) {
    Send message(CONNECT, 0, format.value());
    return connectWith(message, CONNECT_ANS);
}

std::optional<SinkClient::Connection> SinkClient::connectMs(AudioFormat format, uint64_t startValue) {
    SendBuffer message;
    message.setHeader(CONNECT_MS, 0, format.value());
    uint8_t payload[8];
    for (int i = 0; i < 8; ++i) {
        payload[i] = static_cast<uint8_t>(startValue >> (8 * i));
    }
    message.setPayload(payload, sizeof(payload));
    return connectWith(message, CONNECT_MS_ANS);
}

std::optional<HostAnswer> SinkClient::disconnect(uint16_t streamPort, std::chrono::milliseconds timeout) {
    Send message(DISCONNECT, 0);
    const VEMRA::SocketAddress stream = sinkAddress(streamPort);
    if (!hostSocket.send(message, stream)) {
        return std::nullopt;
    }
    return hostSocket.receive(DISCONNECT_ANS, timeout, &stream);
}

} // namespace QUORVEL
