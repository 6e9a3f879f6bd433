#include "foundation/Completes.h"
#include "foundation/Log.h"
#include "foundation/MemoryLock.h"
#include "protocol/MessageCode.h"
#include "protocol/Sink.h"
#include "protocol/StatusBits.h"
#include "protocol/WireMessage.h"

#include <algorithm>
#include <chrono>
#include <span>

namespace QUORVEL {

namespace {

constexpr uint64_t kStreamWait = 100 * VEMRA::kPicosecondsPerMillisecond;
constexpr uint64_t kIdleWait = VEMRA::kPicosecondsPerSecond;
constexpr uint64_t kGapReportInterval = 10 * VEMRA::kPicosecondsPerMillisecond;
// Datagrams taken per wake-up before the time checks run again.
constexpr int kDrainLimit = 64;

// Holds a flag set while a worker waits, and clears it on every way out.
class FlagWhileWaiting {
public:
    explicit FlagWhileWaiting(std::atomic<bool>& waitFlag) : flag(waitFlag) { flag = true; }
    ~FlagWhileWaiting() { release(); }
    FlagWhileWaiting(const FlagWhileWaiting&) = delete;
    FlagWhileWaiting& operator=(const FlagWhileWaiting&) = delete;
    void release() { flag = false; }

private:
    std::atomic<bool>& flag;
};

bool isStreaming(uint32_t state) {
    return state == Connecting || state == Connected;
}

// The stream port takes datagrams only from the Host's address (and its
// interface), whichever of its ports they come from.
bool fromHost(const VEMRA::SocketAddress& host, const VEMRA::SocketAddress& from) {
    return from.address == host.address && from.scope == host.scope;
}

} // namespace

void Sink::streamWorkerThreadBody() {
    VEMRA::prefaultStack();
    VEMRA::enterRealtimeThread();
    // The audio path wants real-time priority, but a system that refuses it
    // still gets its audio: the worker runs on in the class it has.
    if (!VEMRA::setThreadPriority(VEMRA::currentThreadId(), config.workerScheduling)) {
        VEMRA::logLine(VEMRA::kLogDetail, "ThreadPriority Err ") << config.workerScheduling;
    }
    while (running.load()) {
        if (!streamWorker()) {
            VEMRA::logLine(VEMRA::kLogDetail, "worker_str error");
            running = false;
            wakeWorkers(); // the transport worker waits for a connection without a time slice
            break;
        }
    }
    msSocket.close();
}

bool Sink::streamWorker() {
    VEMRA::logLine(VEMRA::kLogDebug, "wt start");
    playing = false;
    StreamPass pass;
    if (!VEMRA::completes([&] { pass.scratch.resize(std::max<size_t>(info.packetSize, 1500)); })) {
        VEMRA::sleepMilliseconds(10); // no memory now: the next pass tries again
        return true;
    }

    // Idle phase: wait for a connection; answer a late DISCONNECT. The worker
    // sleeps on its socket and on streamWake, which every state change and
    // close signal while it waits here; the bound on the wait only keeps a
    // signal the system failed to deliver from costing more than that.
    FlagWhileWaiting waiting(streamWaitsIdle);
    for (;;) {
        streamWake.clear();
        if (!running.load()) {
            return true;
        }
        if (isStreaming(state.load())) {
            break;
        }
        const int ready = streamWake.waitWith(streamSocket, kIdleWait);
        if (ready == VEMRA::WakeEvent::Error) {
            lastError = streamWake.error();
            VEMRA::logLine(VEMRA::kLogError, "UDP stream wait error ")
                << static_cast<int>(kSiteStreamWait) << ":" << lastError.load();
            VEMRA::sleepMilliseconds(10); // a broken socket must not turn this loop into a spin
            return true;
        }
        if (ready != VEMRA::WakeEvent::Readable) {
            continue;
        }
        // Once the state has changed, what waits belongs to the new
        // connection: leave it for the streaming loop. A datagram that was
        // waiting while the state was still idle was sent before the Host had
        // its connect answer, and it is the oldest one, so it is the one taken.
        if (isStreaming(state.load())) {
            break;
        }
        size_t length = 0;
        VEMRA::SocketAddress from;
        if (!streamSocket.receiveFrom(pass.scratch.data(), pass.scratch.size(), length, from)) {
            lastError = streamSocket.error();
            VEMRA::logLine(VEMRA::kLogError, "UDP stream receive error ")
                << static_cast<int>(kSiteStreamReceive) << ":" << lastError.load();
            VEMRA::sleepMilliseconds(10);
            return true;
        }
        VEMRA::SocketAddress peer;
        {
            std::lock_guard<std::mutex> lock(handoverMutex);
            peer = streamPeer;
        }
        const WireMessage message(std::span<const uint8_t>(pass.scratch.data(), length));
        if (length != 0 && from == peer && message.isValid() && message.code() == DISCONNECT) {
            if (!sendStreamTo(Send(DISCONNECT_ANS, statusWord.load()), from)) {
                return true;
            }
        }
    }
    waiting.release();

    // "do start"
    feedbackRate = 0xFFFF;
    const uint64_t startTime = VEMRA::clockNow();
    pass.lastRecv = startTime;
    pass.nextGapReport = startTime;
    VEMRA::logLine(VEMRA::kLogDebug, "do start");
    {
        std::lock_guard<std::mutex> handover(handoverMutex);
        msSocket = std::move(pendingMsSocket);
        pass.msPort = pendingMsPort;
        pendingMsPort = 0;
        pass.host = streamPeer;
    }
    const bool runningAtStart = running.load();
    intake.startOutput(syncStart.load());
    ++connectionSerial;
    playing = true;
    wakeWorkers();
    bool msMode = msSocket.isOpen();
    if (msMode && !startMsWorker(pass)) {
        // Without its thread no MS datagram is taken: the connection runs on
        // as a plain one and ends by the silence time-out.
        msSocket.close();
        msMode = false;
    }

    // Streaming loop.
    bool ended = false;
    while (!ended && running.load() && !pass.msStop.load() && pass.msOk.load()) {
        const int ready = streamSocket.waitReadable(kStreamWait);
        if (ready == VEMRA::Socket::WaitError) {
            lastError = streamSocket.error();
            VEMRA::logLine(VEMRA::kLogError, "UDP stream wait error ")
                << static_cast<int>(kSiteStreamWait) << ":" << lastError.load();
            break;
        }
        uint64_t now = VEMRA::clockNow();
        // The Host cannot send before it has the connect answer: the silence
        // is counted from the moment the node thread has finished connecting.
        if (state.load() == Connecting) {
            pass.lastRecv = now;
        }
        const uint64_t lastRecv = pass.lastRecv.load();
        if (pass.gotData.load()) {
            const uint64_t between = now - lastRecv;
            if (between > pass.maxBetween) {
                pass.maxBetween = between;
                VEMRA::logLine(VEMRA::kLogDebug, "max betweenTime ")
                    << between / VEMRA::kPicosecondsPerMicrosecond;
            }
        }
        if (VEMRA::clockCompare(now, lastRecv + config.silenceTimeout) >= 0) {
            VEMRA::logLine(VEMRA::kLogDetail, "DisConnect Timeout ")
                << lastRecv / VEMRA::kPicosecondsPerMicrosecond << " "
                << now / VEMRA::kPicosecondsPerMicrosecond << " "
                << (now - lastRecv) / VEMRA::kPicosecondsPerMicrosecond;
            if (!disconnectProcedure(pass, false)) {
                stopMsWorker(pass);
                return false;
            }
            break;
        }
        if (ready != VEMRA::Socket::WaitReadable) {
            continue;
        }
        for (int taken = 0; taken < kDrainLimit && !ended; ++taken) {
            // While the MS worker fills the ring, this worker must not touch it.
            PacketSlot* slot = msMode ? nullptr : &intake.writeSlot();
            uint8_t* buffer = slot != nullptr ? slot->buffer.data() : pass.scratch.data();
            const size_t capacity = slot != nullptr ? slot->buffer.size() : pass.scratch.size();
            size_t length = 0;
            VEMRA::SocketAddress from;
            if (!streamSocket.receiveFrom(buffer, capacity, length, from)) {
                lastError = streamSocket.error();
                VEMRA::logLine(VEMRA::kLogError, "UDP stream receive error ")
                    << static_cast<int>(kSiteStreamReceive) << ":" << lastError.load();
                ended = true;
                break;
            }
            if (length == 0) {
                break; // nothing more waiting
            }
            if (!fromHost(pass.host, from)) {
                continue;
            }
            const StreamOutcome outcome =
                streamDatagram(pass, slot, std::span<const uint8_t>(buffer, length));
            if (outcome == StreamOutcome::GiveUp) {
                stopMsWorker(pass);
                return false;
            }
            ended = outcome == StreamOutcome::EndConnection;
        }
    }
    stopMsWorker(pass);
    return runningAtStart;
}

Sink::StreamOutcome Sink::streamDatagram(StreamPass& pass, PacketSlot* slot,
                                         std::span<const uint8_t> datagram) {
    const WireMessage message(datagram);
    if (!message.isValid()) {
        return StreamOutcome::Continue;
    }
    const uint64_t now = VEMRA::clockNow();
    bool ended = false;
    switch (message.code()) {
    case DISCONNECT:
        // One that waited on the port while the node thread was still
        // connecting belongs to no connection of this Host's.
        if (state.load() != Connected) {
            VEMRA::logLine(VEMRA::kLogDetail, "Socket Receive udp_str:") << message.code();
            break;
        }
        VEMRA::logLine(VEMRA::kLogDetail, "DisConnect Pre");
        if (!disconnectProcedure(pass, true)) {
            return StreamOutcome::GiveUp;
        }
        ended = true;
        break;
    case STREAM_PING:
        ended = !sendStream(pass, Send(STREAM_PING_ANS, statusWord.load()));
        break;
    case STREAM_DATA:
        if (slot != nullptr) {
            const uint16_t sequence = message.param0();
            const auto ahead = static_cast<int16_t>(static_cast<uint16_t>(sequence - pass.expectedSeq));
            AudioArrival arrival;
            arrival.order = ahead == 0  ? AudioArrival::Order::Expected
                            : ahead > 0 ? AudioArrival::Order::Ahead
                                        : AudioArrival::Order::Behind;
            arrival.sequence = sequence;
            arrival.offset = kHeaderSize;
            arrival.length = message.payloadLength();
            arrival.flushMark = (message.status() & StatusBit::kFlushMark) != 0;
            arrival.wakeOutput = (message.status() & StatusBit::kWakeOutput) != 0;
            ended = !acceptAudio(pass, *slot, arrival, now);
        }
        break;
    default:
        VEMRA::logLine(VEMRA::kLogDetail, "Socket Receive udp_str:") << message.code();
        break;
    }
    return ended ? StreamOutcome::EndConnection : StreamOutcome::Continue;
}

bool Sink::acceptAudio(StreamPass& pass, PacketSlot& slot, const AudioArrival& arrival, uint64_t now) {
    using Order = AudioArrival::Order;
    if (arrival.order == Order::Expected) {
        slot.offset = arrival.offset;
        slot.length = arrival.length;
        ++pass.expectedSeq;
        pass.nextGapReport = now;
        if (!intake.commit(arrival.flushMark)) {
            statusWord &= static_cast<uint16_t>(~StatusBit::kConnected);
            state = Idle;
            wakeWorkers();
            VEMRA::logLine(VEMRA::kLogDetail, arrival.viaMs ? "MS er3 dissconect" : "er3 dissconect");
            return false;
        }
        if (arrival.wakeOutput) {
            wakeWorkers();
        }
        if (!levelReport(pass)) {
            return false;
        }
        pass.lastRecv = VEMRA::clockNow();
        if (!running.load()) {
            VEMRA::logLine(VEMRA::kLogDetail,
                           arrival.viaMs ? "MS  streamWorker err exit" : "streamWorker err exit");
            markIdle();
            return false;
        }
        return true;
    }
    if (arrival.order == Order::Ahead && VEMRA::clockCompare(now, pass.nextGapReport) >= 0) {
        pass.nextGapReport = now + kGapReportInterval;
        sendGapReport(pass, arrival.sequence);
        VEMRA::logLine(VEMRA::kLogDetail, arrival.viaMs ? "MS count error " : "STREAM count error ")
            << pass.expectedSeq << "!=" << arrival.sequence;
    }
    return true;
}

bool Sink::levelReport(StreamPass& pass) {
    if (state.load() != Connected) {
        return true;
    }
    uint16_t rate = feedbackRate.load(std::memory_order_acquire);
    if (rate != 0xFFFF) {
        const uint16_t fill = feedbackFill.load(std::memory_order_relaxed);
        const uint16_t target = feedbackTarget.load(std::memory_order_relaxed);
        if (fill < pass.minBufferTime) {
            pass.minBufferTime = fill;
            VEMRA::logLine(VEMRA::kLogDebug, "min bufferTime ") << fill << "  " << target - fill;
        }
        if (!sendStream(pass, Send(STREAM_FEEDBACK,
                                   static_cast<uint16_t>(statusWord.load() | StatusBit::kLevelReport |
                                                         StatusBit::kAccepted),
                                   rate, fill, target, 0))) {
            return false;
        }
        // Only this value is consumed; a newer one from the transport worker stays.
        feedbackRate.compare_exchange_strong(rate, 0xFFFF);
    }
    pass.gotData = true;
    return true;
}

void Sink::sendGapReport(StreamPass& pass, uint16_t received) {
    sendStream(pass, Send(STREAM_FEEDBACK, static_cast<uint16_t>(statusWord.load() | StatusBit::kGapReport),
                          0, pass.expectedSeq, received, 0));
}

void Sink::markIdle() {
    statusWord &= static_cast<uint16_t>(~StatusBit::kConnected);
    playing = false;
    state = Idle;
    wakeWorkers();
    lastRegistration = VEMRA::clockNow() - config.registrationInterval;
}

bool Sink::disconnectProcedure(StreamPass& pass, bool withAnswer) {
    // No datagram of this connection may reach the ring once it has drained.
    stopMsWorker(pass);
    // The node thread moves a connection out of Connected only when its
    // connect answer failed; it has released the output itself then.
    uint32_t connected = Connected;
    if (!state.compare_exchange_strong(connected, Disconnecting)) {
        if (withAnswer) {
            sendStream(pass, Send(DISCONNECT_ANS, statusWord.load()));
        }
        return true;
    }
    wakeWorkers();
    if (!intake.awaitDrain()) {
        if (!intake.releaseOutput()) {
            VEMRA::logLine(VEMRA::kLogError, "disconnect error");
            if (withAnswer) {
                sendStream(pass, Send(DISCONNECT_ANS, statusWord.load()));
            }
            // The device is in an unknown state and the sink would stay in
            // Disconnecting for ever: give the sink up so the node rebuilds it.
            return false;
        }
    }
    markIdle();
    if (withAnswer) {
        VEMRA::logLine(VEMRA::kLogDetail, "DisConnect Request");
        sendStream(pass, Send(DISCONNECT_ANS, statusWord.load()));
    }
    return true;
}

} // namespace QUORVEL
