#include "protocol/SinkBuffer.h"

#include "foundation/Clock.h"
#include "foundation/Completes.h"
#include "foundation/Log.h"

#include <algorithm>
#include <chrono>

namespace QUORVEL {

namespace {

constexpr uint64_t kLatencyUnitsPerSecond = 10000; // latency unit: 100 us
constexpr uint64_t kChunksPerSecond = 300;         // pre-fill chunk: 1/300 s
constexpr uint64_t kSpinBeforeStart = 2 * VEMRA::kPicosecondsPerMillisecond;

} // namespace

SinkBuffer::SinkBuffer(const SinkInfo& sinkInfo, VEMRA::SocketWaitSet& waitSet, AudioOutput& device,
                       const SinkConfig& sinkConfig)
    : Sink(sinkInfo, waitSet, transport, sinkConfig), ring(std::max<size_t>(kSlotBytes, sinkInfo.packetSize)),
      transport(ring, device,
                TransportStage::SinkLink{connectionView(), latency, [this] { SinkBuffer::wakeAll(); },
                                         [this](uint16_t& fill, uint16_t& target) {
                                             return SinkBuffer::getBufferState(fill, target);
                                         }}) {}

SinkBuffer::~SinkBuffer() {
    closeAll();
}

void SinkBuffer::getLatency(uint16_t& maxLatency, uint16_t&, uint16_t& requested) {
    const uint16_t asked = requested;
    maxLatency = latencyMax.load();
    if (asked == 0) {
        requested = latencyDefault.load();
    } else {
        requested = std::clamp(asked, latencyMin.load(), latencyMax.load());
    }
    VEMRA::logLine(VEMRA::kLogDebug, "getLatency=") << asked << " " << requested;
}

bool SinkBuffer::setPrepareFormat(PrepareFormat& w) {
    const uint16_t wanted = w.latency();
    const uint16_t minimum = latencyMin.load();
    // A latency whose pre-fill would pass the bound is clamped like one
    // beyond the range: the Host is told the latency it gets.
    const uint16_t maximum = std::min(latencyMax.load(), latencyLimit(largestBytesPerSecond(w)));
    if (wanted == 0) {
        latency = std::min(latencyDefault.load(), maximum);
    } else if (minimum < wanted && wanted < maximum) {
        latency = wanted;
    } else {
        const uint16_t bound = wanted <= minimum ? minimum : maximum;
        latency = bound;
        w.setLatency(bound);
    }
    return true;
}

bool SinkBuffer::connect(const std::string&) {
    const AudioFormat current = streamFormat();
    // The prepare step bounded the latency for the largest sample of the
    // format's class; with the format known the bound is exact.
    const uint16_t limit = latencyLimit(current.bytesPerSecond());
    if (latency.load() > limit) {
        latency = limit;
    }
    transport.planConnection(prefillFor(current, latency.load()), current.silenceByte());
    return true;
}

bool SinkBuffer::commitWrite(bool flush) {
    return transport.commit(flush);
}

bool SinkBuffer::getBufferState(uint16_t& fill, uint16_t& target) {
    fill = 0;
    target = latency.load();
    return true;
}

void SinkBuffer::wakeAll() {
    Sink::wakeAll();
    transport.wake();
}

PacketSlot* SinkBuffer::writeSlot() {
    return &transport.writeSlot();
}

bool SinkBuffer::startTransport() {
    return transport.start(configuration().workerScheduling);
}

bool SinkBuffer::openAll(uint16_t& controlPort, uint16_t& streamPort) {
    if (!open(controlPort, streamPort)) {
        return false;
    }
    if (!startTransport()) {
        VEMRA::logLine(VEMRA::kLogError, "Transport Worker Start Error");
        closeAll();
        return false;
    }
    return true;
}

void SinkBuffer::closeAll() {
    close();
    transport.join();
}

void SinkBuffer::setLatencyRange(uint16_t minimum, uint16_t maximum, uint16_t defaultLatency) {
    latencyMin = minimum;
    latencyMax = maximum;
    latencyDefault = defaultLatency;
    latency = defaultLatency;
}

// The drain handshake: wait until the transport worker has played out the
// queue and released the device.
bool SinkBuffer::preDisconnect() {
    return transport.awaitDrain();
}

SinkBuffer::Prefill SinkBuffer::prefillFor(AudioFormat fmt, uint16_t latencyUnits) {
    Prefill plan;
    const uint64_t bitsPerSecond = static_cast<uint64_t>(fmt.rate()) * fmt.bitsPerSample() * fmt.channels();
    plan.frame = static_cast<uint64_t>(fmt.bytesPerSample()) * fmt.channels();
    plan.total = std::min(bitsPerSecond / 8 * latencyUnits / kLatencyUnitsPerSecond, kPrefillLimit);
    plan.total -= plan.total % plan.frame;
    plan.chunk = bitsPerSecond / (8 * kChunksPerSecond);
    return plan;
}

uint16_t SinkBuffer::latencyLimit(uint64_t bytesPerSecond) {
    if (bytesPerSecond == 0) {
        return 0xFFFF;
    }
    return static_cast<uint16_t>(
        std::clamp<uint64_t>(kPrefillLimit * kLatencyUnitsPerSecond / bytesPerSecond, 1, 0xFFFF));
}

uint64_t SinkBuffer::largestBytesPerSecond(PrepareFormat word) {
    const AudioFormat fmt(word.value());
    const bool dsd = (word.value() & PrepareFormat::kClassMask) == PrepareFormat::kClassDsd;
    const uint64_t bitsPerSample = dsd ? 1 : 64;
    return static_cast<uint64_t>(fmt.rate()) * fmt.channels() * bitsPerSample / 8;
}

uint64_t SinkBuffer::queueLimitFor(AudioFormat fmt, uint16_t latencyUnits) {
    // The pre-fill is at most kPrefillLimit, half the ceiling, so it always fits.
    return std::min(prefillFor(fmt, latencyUnits).total + kQueueAheadSeconds * fmt.bytesPerSecond(),
                    kQueueLimit);
}

uint64_t SinkBuffer::underrunBytes(AudioFormat fmt) {
    const uint64_t bytes = fmt.bytesPerSecond() / 100;
    if (bytes == 0) {
        return 0;
    }
    const uint64_t frame = fmt.frameBytes();
    return std::max(bytes - bytes % frame, frame);
}

uint16_t SinkBuffer::fillFor(uint16_t fill, uint64_t queuedBytes, uint64_t bytesPerSecond) {
    const uint64_t bytesPer10ms = bytesPerSecond / 100; // bytes per 10 ms
    if (bytesPer10ms == 0) {
        return fill;
    }
    const uint64_t total = fill + queuedBytes * 100 / bytesPer10ms;
    return static_cast<uint16_t>(std::min<uint64_t>(total, 0xFFFF));
}

uint16_t SinkBuffer::rateFor(uint16_t fill, uint16_t target) {
    if (target == 0 || static_cast<uint32_t>(fill) >= 2U * target) {
        return 0x8000;
    }
    const int32_t correction = (static_cast<int32_t>(fill) - target) * 16384 / target;
    return static_cast<uint16_t>(static_cast<uint16_t>(correction) | 0x8000);
}

void SinkBuffer::waitForStart(uint64_t startAt, uint64_t maxWait) {
    if (startAt == 0) {
        return;
    }
    const uint64_t now = VEMRA::clockNow();
    const uint64_t latest = now + maxWait;
    const uint64_t target = VEMRA::clockCompare(startAt, latest) > 0 ? latest : startAt;
    if (VEMRA::clockCompare(target, now + kSpinBeforeStart) > 0) {
        VEMRA::sleepPicoseconds(target - kSpinBeforeStart - now);
    }
    while (VEMRA::clockCompare(VEMRA::clockNow(), target) < 0) {
    }
}

} // namespace QUORVEL
