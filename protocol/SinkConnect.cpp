#include "foundation/Log.h"
#include "protocol/MessageCode.h"
#include "protocol/Sink.h"
#include "protocol/StatusBits.h"
#include "protocol/WireMessage.h"

namespace QUORVEL {

// The connect sequence of CONNECT and CONNECT_MS, on the node thread.
bool Sink::handleConnect(const WireMessage& message, const VEMRA::SocketAddress& from) {
    const bool ms = message.code() == CONNECT_MS;
    const uint16_t answerCode = ms ? CONNECT_MS_ANS : CONNECT_ANS;
    auto refuse = [&]() {
        const Send refused(answerCode, static_cast<uint16_t>(statusWord.load() & ~1U));
        return answer(refused, from, kSiteConnectRefuse) && running.load();
    };
    const AudioFormat fmt(message.value64());

    {
        PrepareCache& prepared = cache();
        std::unique_lock<std::mutex> lock(prepared.mutex);
        bool derive = true;
        if (prepared.preparedHost != VEMRA::SocketAddress()) {
            if (prepared.preparedHost != from) {
                lock.unlock();
                return refuse(); // another Host is preparing this target
            }
            derive = !(prepared.preparedBy == this && PrepareFormat(prepared.preparedWord).matches(fmt));
        }
        if (derive) {
            const PrepareFormat derived = PrepareFormat::fromFormat(fmt, 0);
            PrepareFormat word = derived;
            if (word.value() != prepared.preparedWord || prepared.preparedBy != this) {
                if (!setPrepareFormat(word)) {
                    VEMRA::logLine(VEMRA::kLogError, "setPrepareFormat2 error");
                    return false;
                }
                prepared.preparedWord = word.value();
                prepared.preparedBy = this;
                if (word != derived) {
                    lock.unlock();
                    VEMRA::logLine(VEMRA::kLogDetail, "format noconfirm connect 0");
                    return refuse();
                }
            }
        }
    }

    if (!waitWhileDisconnecting()) {
        return false;
    }
    const uint32_t current = state.load();
    if (current == Connecting || current == Connected) {
        return refuse();
    }
    {
        PrepareCache& prepared = cache();
        std::lock_guard<std::mutex> lock(prepared.mutex);
        prepared.preparedHost = VEMRA::SocketAddress();
    }
    if (!fmt.isValid()) {
        VEMRA::logLine(VEMRA::kLogDetail, "format invalid connect");
        return refuse();
    }
    syncStart = 0;
    format = fmt;
    AudioFormat reduced = fmt;
    if (!canFormat(reduced)) {
        VEMRA::logLine(VEMRA::kLogDetail, "format noconfirm connect 1");
        return refuse();
    }
    if ((reduced.value() & fmt.value()) != fmt.value()) {
        VEMRA::logLine(VEMRA::kLogDetail, "format noconfirm connect 2");
        return refuse();
    }
    if (!setFormat(fmt)) {
        VEMRA::logLine(VEMRA::kLogError, "setFormat error");
        return false;
    }
    if (format.load() != fmt) {
        VEMRA::logLine(VEMRA::kLogDetail, "format noconfirm connect 3");
        return refuse();
    }

    statusWord |= StatusBit::kConnected;
    hostAddress = from;
    uint16_t msPort = 0;
    {
        std::lock_guard<std::mutex> lock(handoverMutex);
        streamPeer = from;
        pendingMsSocket.close();
        pendingMsPort = 0;
        if (ms) {
            pendingMsSocket.setReceiveBufferSize(info.packetSize);
            bool ok = pendingMsSocket.open(VEMRA::Socket::UdpV6Only);
            if (!ok) {
                lastError = pendingMsSocket.error();
                VEMRA::logLine(VEMRA::kLogError, "UDP ms open error:") << lastError.load();
            } else {
                VEMRA::SocketAddress any;
                ok = pendingMsSocket.bind(any, 0);
                if (!ok) {
                    lastError = pendingMsSocket.error();
                    VEMRA::logLine(VEMRA::kLogError, "UDP ms bind error:") << lastError.load();
                    pendingMsSocket.close();
                } else {
                    msPort = any.hostPort();
                    pendingMsPort = msPort;
                }
            }
            if (!ok) {
                statusWord &= static_cast<uint16_t>(~StatusBit::kConnected);
                return false;
            }
        }
    }
    // Before the state changes: the stream worker starts the output as soon
    // as it sees Connecting, and hands it this start time.
    syncStart = ms ? startTimeFor(message, from) : 0;

    // From here on the stream worker may end the connection at any moment (a
    // full ring): every change of state below is a compare-and-set.
    uint32_t expected = Idle;
    if (!state.compare_exchange_strong(expected, Connecting)) {
        statusWord &= static_cast<uint16_t>(~StatusBit::kConnected);
        return refuse();
    }
    wakeAll();
    VEMRA::logLine(VEMRA::kLogDebug, "do connect");
    const std::string name = hostNameAddress == from ? hostName : std::string();
    if (!connect(name)) {
        statusWord &= static_cast<uint16_t>(~StatusBit::kConnected);
        expected = Connecting;
        state.compare_exchange_strong(expected, Idle);
        wakeAll();
        VEMRA::logLine(VEMRA::kLogDetail, "er1 coneSct");
        return false;
    }
    expected = Connecting;
    if (!state.compare_exchange_strong(expected, Connected)) {
        // The stream worker gave the connection up before the Host heard of it.
        return refuse();
    }
    const Send accepted(answerCode, static_cast<uint16_t>(statusWord.load() | StatusBit::kAccepted),
                        streamPort, msPort, 0, 0);
    if (!answer(accepted, hostAddress, kSiteConnectAnswer)) {
        disconnectStream();
        statusWord &= static_cast<uint16_t>(~StatusBit::kConnected);
        state = Idle;
        wakeAll();
        return false;
    }
    wakeAll();
    if (config.connectSettleMilliseconds != 0) {
        VEMRA::sleepMilliseconds(config.connectSettleMilliseconds);
    }
    VEMRA::logLine(VEMRA::kLogDetail, "Connect");
    lastRegistration = VEMRA::clockNow() - config.registrationInterval;
    return running.load();
}

} // namespace QUORVEL
