#include "host/StreamSender.h"

#include "foundation/Clock.h"
#include "protocol/MessageCode.h"
#include "protocol/StatusBits.h"

#include <algorithm>

namespace QUORVEL {

namespace {

// A second report naming the same position this soon after a rewind was
// sent before the resent datagrams arrived.
constexpr uint64_t kStaleReportWindow = 20 * VEMRA::kPicosecondsPerMillisecond;
constexpr uint16_t kLongestRewind = 32768;

} // namespace

StreamSender::StreamSender(HostSocket& hostSocket, const VEMRA::SocketAddress& to,
                           const StreamConfig& streamConfig)
    : socket(hostSocket), destination(to), config(streamConfig),
      payload(streamConfig.payloadBytes != 0 ? streamConfig.payloadBytes
                                             : defaultPayload(streamConfig.format, streamConfig.ms)) {}

size_t StreamSender::defaultPayload(AudioFormat format, bool ms) {
    const size_t frame = std::max<size_t>(format.frameBytes(), 1);
    // STREAM_DATA: 16-byte header, total padded to 8; MS: one trailer byte.
    const size_t room = ms ? kDatagramLimit - 1 : (kDatagramLimit - kHeaderSize) & ~size_t{7};
    return std::max(room - room % frame, frame);
}

bool StreamSender::stream(std::span<const uint8_t> bytes) {
    audio = bytes;
    nextIndex = 0;
    sentBefore = 0;
    held = UINT64_MAX;
    total = std::max<uint64_t>(audio.size(), audio.empty() ? 0 : config.repeatTo);
    const uint64_t count = (total + payload - 1) / payload;
    const uint64_t bytesPerSecond = config.format.bytesPerSecond();
    const uint64_t start = VEMRA::clockNow();
    const uint64_t linger = static_cast<uint64_t>(config.linger.count()) * VEMRA::kPicosecondsPerMillisecond;
    uint64_t lingerUntil = 0;
    for (;;) {
        pollFeedback();
        if (nextIndex >= count) {
            const uint64_t now = VEMRA::clockNow();
            if (lingerUntil == 0) {
                lingerUntil = now + linger;
            }
            if (held != UINT64_MAX) {
                // Nothing follows a delayed last datagram: it goes now.
                const uint64_t index = held;
                held = UINT64_MAX;
                if (!sendDatagram(index)) {
                    return false;
                }
            }
            if (VEMRA::clockCompare(now, lingerUntil) >= 0 || (config.lingerDone && config.lingerDone())) {
                return true;
            }
            if (const auto answer = socket.receiveAny(std::chrono::milliseconds(1))) {
                handleFeedback(*answer);
            }
            continue;
        }
        lingerUntil = 0;
        if (config.paced && bytesPerSecond != 0) {
            // Due time of this datagram's first byte, in nanoseconds from the start.
            const uint64_t offset = nextIndex * payload;
            const uint64_t due = start + offset * 1'000'000'000ULL / bytesPerSecond * 1000ULL;
            const uint64_t now = VEMRA::clockNow();
            if (VEMRA::clockCompare(now, due) < 0) {
                VEMRA::sleepPicoseconds(std::min<uint64_t>(due - now, VEMRA::kPicosecondsPerMillisecond));
                continue;
            }
        }
        if (!dispatch(nextIndex)) {
            return false;
        }
        if (nextIndex >= sentBefore) {
            ++counters.datagrams;
            sentBefore = nextIndex + 1;
        } else {
            ++counters.resent;
        }
        ++nextIndex;
    }
}

bool StreamSender::dispatch(uint64_t index) {
    const DatagramFate fate = config.fate ? config.fate(index) : DatagramFate::Send;
    if (fate == DatagramFate::Stop) {
        return false;
    }
    if (fate == DatagramFate::Drop) {
        return true;
    }
    if (fate == DatagramFate::Delay && held == UINT64_MAX) {
        held = index;
        return true;
    }
    if (!sendDatagram(index)) {
        return false;
    }
    if (held == UINT64_MAX) {
        return true;
    }
    const uint64_t late = held;
    held = UINT64_MAX;
    return sendDatagram(late);
}

bool StreamSender::sendDatagram(uint64_t index) {
    // Past the audio's end (repeatTo) the audio starts over.
    const uint64_t position = index * payload;
    const size_t offset = static_cast<size_t>(position % audio.size());
    const size_t length =
        static_cast<size_t>(std::min<uint64_t>({payload, audio.size() - offset, total - position}));
    const bool flush = config.flushInterval != 0 && index % config.flushInterval == config.flushInterval - 1;
    if (!config.ms) {
        message.setHeader(STREAM_DATA, flush ? StatusBit::kFlushMark : 0, static_cast<uint16_t>(index), 0, 0,
                          0);
        message.setPayload(audio.data() + offset, length);
        return socket.send(message, destination);
    }
    raw.assign(audio.begin() + static_cast<std::ptrdiff_t>(offset),
               audio.begin() + static_cast<std::ptrdiff_t>(offset + length));
    raw.push_back(
        static_cast<uint8_t>((index & MsTrailer::kSequenceBits) | (flush ? MsTrailer::kFlushMark : 0)));
    return socket.sendBytes(raw.data(), raw.size(), destination);
}

bool StreamSender::pollFeedback() {
    const uint64_t before = nextIndex;
    while (const auto answer = socket.receiveAny(std::chrono::milliseconds(0))) {
        handleFeedback(*answer);
    }
    return nextIndex < before;
}

void StreamSender::handleFeedback(const HostAnswer& answer) {
    const WireMessage feedback = answer.message();
    if (!feedback.isValid() || feedback.code() != STREAM_FEEDBACK) {
        return;
    }
    if ((feedback.status() & StatusBit::kGapReport) != 0) {
        const uint16_t expected = feedback.param1();
        const uint16_t back = static_cast<uint16_t>(static_cast<uint16_t>(nextIndex) - expected);
        if (back == 0 || back > kLongestRewind || back > nextIndex) {
            return;
        }
        const uint64_t target = nextIndex - back;
        const uint64_t now = VEMRA::clockNow();
        if (target == lastRewind && now - lastRewindTime < kStaleReportWindow) {
            ++counters.staleGapReports;
            return;
        }
        nextIndex = target;
        lastRewind = target;
        lastRewindTime = now;
        ++counters.gapReports;
        return;
    }
    if ((feedback.status() & StatusBit::kLevelReport) != 0) {
        counters.levels.push_back(LevelReport{feedback.param0(), feedback.param1(), feedback.param2()});
    }
}

} // namespace QUORVEL
