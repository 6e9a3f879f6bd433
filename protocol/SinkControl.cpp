#include "foundation/Log.h"
#include "protocol/HostText.h"
#include "protocol/MessageCode.h"
#include "protocol/Sink.h"
#include "protocol/StatusBits.h"
#include "protocol/WireMessage.h"

namespace QUORVEL {

bool Sink::controlStep() {
    if (!registerPorts()) {
        return false;
    }
    if (!pollSet.isReady(controlSocket)) {
        return running.load();
    }
    VEMRA::SocketAddress from;
    if (!controlSocket.receiveFromInto(controlBuffer, from)) {
        lastError = controlSocket.error();
        VEMRA::logLine(VEMRA::kLogError, "UDP control receive error ")
            << static_cast<int>(kSiteControlReceive) << ":" << lastError.load();
        return false;
    }
    return controlDatagram(controlBuffer, from);
}

bool Sink::controlDatagram(std::span<const uint8_t> datagram, const VEMRA::SocketAddress& from) {
    const WireMessage message(datagram);
    if (!message.isValid()) {
        return running.load();
    }
    VEMRA::logLine(VEMRA::kLogDebug, "Socket Receive udp_cont:") << message.code();
    // Answers (odd codes), source port 0 and the process's own sockets:
    // dropped unanswered, or two channels could answer each other for ever.
    if (!answers.admits(from, message.code())) {
        return running.load();
    }
    switch (message.code()) {
    case FORMAT_QUERY:
        return handleFormatQuery(message, from);
    case LATENCY_QUERY:
        return handleLatencyQuery(message, from);
    case CONNECT:
    case CONNECT_MS:
        return handleConnect(message, from);
    case PAYLOAD_CHECK:
        return handlePayloadCheck(message, from);
    case PREPARE_FORMAT:
        return handlePrepare(message, from);
    case SINK_INFO_REQ:
        return handleSinkInfo(message, from);
    case HOST_NAME_SET:
        return handleHostName(message, from);
    case SINK_ITEM_REQ:
        return handleSinkItem(message, from);
    case SINK_VALUE_REQ:
        return handleSinkValue(message, from);
    case SINK_ICON_REQ:
        return handleSinkIcon(message, from);
    case SYNCHRO_INFO_REQ:
        return handleSynchroInfo(message, from);
    case SYNC_FORWARD:
        handleSyncForward(message, from);
        return running.load();
    default: {
        if (!answers.mayEcho(from)) {
            return running.load();
        }
        const Send unknown(message.code(), 0);
        return answer(unknown, from, kSiteUnknownAnswer) && running.load();
    }
    }
}

bool Sink::handleFormatQuery(const WireMessage& message, const VEMRA::SocketAddress& from) {
    AudioFormat reduced(message.value64());
    if (!canFormat(reduced)) {
        VEMRA::logLine(VEMRA::kLogError, "canFormat error");
        return false;
    }
    const Send reply(FORMAT_QUERY_ANS, static_cast<uint16_t>(statusWord.load() | StatusBit::kAccepted),
                     reduced.value());
    return answer(reply, from, kSiteFormatAnswer) && running.load();
}

bool Sink::handleLatencyQuery(const WireMessage& message, const VEMRA::SocketAddress& from) {
    uint16_t latency = message.param0();
    uint16_t deviceLatency = message.param1();
    uint16_t maxLatency = message.param2();
    getLatency(maxLatency, deviceLatency, latency);
    const Send reply(LATENCY_QUERY_ANS, static_cast<uint16_t>(statusWord.load() | StatusBit::kAccepted),
                     latency, deviceLatency, maxLatency, 0);
    return answer(reply, from, kSiteLatencyAnswer) && running.load();
}

bool Sink::handlePayloadCheck(const WireMessage& message, const VEMRA::SocketAddress& from) {
    uint16_t sum = 0;
    const uint8_t* bytes = message.payload();
    const size_t length = message.payloadLength();
    for (size_t i = 0; i < length; ++i) {
        sum = static_cast<uint16_t>(sum + bytes[i]);
    }
    const Send reply(PAYLOAD_CHECK_ANS, 1, info.packetSize, info.packetLimit, static_cast<uint16_t>(length),
                     sum);
    return answer(reply, from, kSitePayloadAnswer) && running.load();
}

bool Sink::handleSinkInfo(const WireMessage&, const VEMRA::SocketAddress& from) {
    const Send reply(SINK_INFO_ANS, 1, info.infoValue1, info.infoValue2, info.infoValue3, 0);
    return answer(reply, from, kSiteInfoAnswer) && running.load();
}

bool Sink::handleHostName(const WireMessage& message, const VEMRA::SocketAddress& from) {
    bool fromPrepared = false;
    {
        PrepareCache& prepared = cache();
        std::lock_guard<std::mutex> lock(prepared.mutex);
        fromPrepared = prepared.preparedHost == from;
    }
    uint16_t status = statusWord.load();
    // A name beyond the bound for Host-set texts is refused like a stranger's.
    if (fromPrepared && fitsHostText(message.payloadText())) {
        hostName = message.payloadText();
        hostNameValue = message.value64();
        hostNameAddress = from;
        status |= 1;
    }
    const Send reply(HOST_NAME_SET_ANS, status);
    return answer(reply, from, kSiteHostNameAnswer) && running.load();
}

bool Sink::handlePrepare(const WireMessage& message, const VEMRA::SocketAddress& from) {
    if (!waitWhileDisconnecting()) {
        return false;
    }
    if (state.load() != Idle) {
        const Send refused(PREPARE_FORMAT_ANS, statusWord.load());
        return answer(refused, from, kSitePrepareAnswer) && running.load();
    }
    const PrepareFormat requested(message.value64());
    PrepareFormat word = requested;
    {
        PrepareCache& prepared = cache();
        std::lock_guard<std::mutex> lock(prepared.mutex);
        if (word.value() != prepared.preparedWord || prepared.preparedBy != this) {
            if (!setPrepareFormat(word)) {
                VEMRA::logLine(VEMRA::kLogError, "setPrepareFormat1 error");
                return false;
            }
            prepared.preparedWord = word.value();
            prepared.preparedBy = this;
        }
        prepared.preparedHost = from;
    }
    uint16_t status = statusWord.load();
    if (word == requested) {
        status |= 1;
    }
    const Send reply(PREPARE_FORMAT_ANS, status, word.value());
    return answer(reply, from, kSitePrepareAnswer) && running.load();
}

} // namespace QUORVEL
