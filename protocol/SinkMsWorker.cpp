#include "foundation/Completes.h"
#include "foundation/Log.h"
#include "foundation/MemoryLock.h"
#include "protocol/Sink.h"
#include "protocol/StatusBits.h"

namespace QUORVEL {

namespace {

constexpr uint64_t kMsWait = 100 * VEMRA::kPicosecondsPerMillisecond;

} // namespace

bool Sink::startMsWorker(StreamPass& pass) {
    if (VEMRA::completes([this, &pass] { pass.msThread = std::thread([this, &pass] { msWorker(pass); }); })) {
        return true;
    }
    VEMRA::logLine(VEMRA::kLogError, "MS worker start error");
    return false;
}

void Sink::stopMsWorker(StreamPass& pass) {
    if (pass.msThread.joinable()) {
        pass.msStop.exchange(true);
        // A one-byte datagram to the MS port returns a receive in progress at
        // once; the worker's bounded wait would notice msStop anyway.
        VEMRA::Socket waker;
        if (waker.open(VEMRA::Socket::UdpV6Only)) {
            const uint8_t wakeByte = 0;
            waker.sendTo(&wakeByte, 1, VEMRA::SocketAddress::loopback(pass.msPort), false);
        }
        pass.msThread.join();
    }
    msSocket.close();
}

// The MS worker: bare datagrams of audio plus one trailer byte (bit 7 flush
// mark, bits 0-6 sequence number modulo 128), received straight into the ring.
void Sink::msWorker(StreamPass& pass) {
    VEMRA::prefaultStack();
    VEMRA::enterRealtimeThread();
    VEMRA::logLine(VEMRA::kLogDetail, "MS mode start");
    while (running.load() && !pass.msStop.load()) {
        const int ready = msSocket.waitReadable(kMsWait);
        if (ready == VEMRA::Socket::WaitTimeout) {
            continue;
        }
        PacketSlot& slot = intake.writeSlot();
        size_t length = 0;
        VEMRA::SocketAddress from;
        const bool received = ready == VEMRA::Socket::WaitReadable &&
                              msSocket.receiveFrom(slot.buffer.data(), slot.buffer.size(), length, from);
        if (!received) {
            if (!pass.msStop.load()) {
                lastError = msSocket.error();
                VEMRA::logLine(VEMRA::kLogError, "UDP MS receive error ")
                    << static_cast<int>(kSiteMsReceive) << ":" << lastError.load();
            }
            pass.msOk = false;
            return;
        }
        if (length == 0) {
            continue; // nothing after all, or an empty datagram without trailer
        }
        if (length == 1 && pass.msStop.load()) {
            return; // the wake-up byte
        }
        if (!msDatagram(pass, slot, length)) {
            return;
        }
    }
}

bool Sink::msDatagram(StreamPass& pass, PacketSlot& slot, size_t length) {
    // Sequence numbers of 7 bits cannot tell a late duplicate from a gap:
    // every other number is reported.
    const uint8_t trailer = slot.buffer[length - 1];
    AudioArrival arrival;
    arrival.sequence = trailer & MsTrailer::kSequenceBits;
    arrival.order = arrival.sequence == (pass.expectedSeq & MsTrailer::kSequenceBits)
                        ? AudioArrival::Order::Expected
                        : AudioArrival::Order::Ahead;
    arrival.length = length - 1;
    arrival.flushMark = (trailer & MsTrailer::kFlushMark) != 0;
    arrival.viaMs = true;
    if (!acceptAudio(pass, slot, arrival, VEMRA::clockNow())) {
        pass.msOk = false;
        return false;
    }
    return true;
}

} // namespace QUORVEL
