#include "host/PlaySession.h"

#include "foundation/AddressText.h"
#include "foundation/Clock.h"
#include "host/StreamSender.h"
#include "protocol/MessageCode.h"
#include "protocol/PrepareFormat.h"
#include "protocol/StatusBits.h"

#include <algorithm>
#include <vector>

namespace QUORVEL {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr uint64_t kMillisecond = VEMRA::kPicosecondsPerMillisecond;
constexpr uint64_t kProgressInterval = 100 * kMillisecond;
// A second gap report naming the same position this soon after a rewind was
// sent before the resent datagrams arrived.
constexpr uint64_t kStaleReportWindow = 20 * kMillisecond;
// A Host that was not scheduled for a while catches up by sending the
// backlog at once, up to this much audio (the sink's ring holds 1024
// datagrams); beyond it the schedule restarts from now.
constexpr uint64_t kLargestLag = 250 * kMillisecond;
// After the last datagram: when its copy goes out.
constexpr uint64_t kTailCopyAfter = 20 * kMillisecond;
// Largest speed-up or slow-down the level reports can cause.
constexpr double kLargestCorrection = 0.03;

std::string sinkText(const VEMRA::SocketAddress& control) {
    return "sink " + VEMRA::addressText(control) + " port " + std::to_string(control.hostPort());
}

} // namespace

int32_t PlayProgress::rateCorrection() const {
    // 15-bit two's complement below the always-set top bit.
    const auto low = static_cast<int32_t>(rate & 0x7FFF);
    return (low & 0x4000) != 0 ? low - 0x8000 : low;
}

PlaySession::PlaySession(const VEMRA::SocketAddress& controlAddress, PlayOptions playOptions)
    : control(controlAddress), options(std::move(playOptions)) {}

namespace {

// One connection's stream: the history ring of datagrams, the schedule and
// the feedback. Lives for one play() call; everything is sized up front.
class Streamer {
public:
    Streamer(HostSocket& socket, const VEMRA::SocketAddress& destination,
             const VEMRA::SocketAddress& streamPort, AudioSource& source, const PlayOptions& options,
             size_t payload, bool swapWords, PlayResult& result)
        : socket(socket), destination(destination), streamPort(streamPort), source(source), options(options),
          format(source.format()), payload(payload), swapWords(swapWords),
          slots(std::max<size_t>(options.history, 2)), slotBytes(payload + 1), history(slots * slotBytes),
          lengths(slots, 0), result(result), progress(result.progress) {
        message.setPayloadSize(payload);
        inbound.reserve(HostSocket::kReceiveSize);
    }

    // Streams until the source ends, `stop` is set or something fails;
    // false with result.error set on a failure.
    bool run(const std::atomic<bool>& stop);
    // The failure was the sink's silence: it will not answer a disconnect either.
    bool sinkFellSilent() const { return silent; }
    bool sourceStalled() const { return stalled; }

private:
    bool fill(uint64_t index, size_t& length);
    bool send(uint64_t index);
    // Waits at most `wait` for feedback and handles all that came; false when
    // the sink ended the connection or a rewind is impossible.
    bool serveFeedback(microseconds wait);
    bool handle();
    void report(uint64_t now);
    bool fail(const std::string& text) {
        result.error = text;
        return false;
    }

    HostSocket& socket;
    VEMRA::SocketAddress destination;
    VEMRA::SocketAddress streamPort;
    AudioSource& source;
    const PlayOptions& options;
    AudioFormat format;
    size_t payload;
    bool swapWords; // 4-byte words go out in the other byte order
    size_t slots;
    size_t slotBytes;             // payload and the MS trailer byte
    std::vector<uint8_t> history; // datagram i's audio at (i % slots) * slotBytes
    std::vector<uint32_t> lengths;
    SendBuffer message;
    std::vector<uint8_t> inbound;
    VEMRA::SocketAddress from;
    PlayResult& result;
    PlayProgress& progress;
    uint64_t nextIndex = 0;  // next datagram to send
    uint64_t sentBefore = 0; // datagrams sent at least once
    uint64_t lastRewind = UINT64_MAX;
    uint64_t lastRewindTime = 0;
    double speed = 1.0; // sending speed relative to the format's byte rate
    uint64_t bytesSent = 0;
    uint64_t nextProgress = 0;
    uint64_t unanswered = 0;   // when the oldest flush mark not yet followed by feedback went out; 0: none
    uint64_t waitingSince = 0; // when the source last had nothing; 0: it has audio
    bool silent = false;
    bool stalled = false;
};

bool Streamer::fill(uint64_t index, size_t& length) {
    uint8_t* slot = history.data() + (index % slots) * slotBytes;
    length = 0;
    while (length < payload) {
        const auto got = source.read(std::span<uint8_t>(slot + length, payload - length));
        if (!got) {
            return fail("cannot read the audio: " + source.error());
        }
        if (*got == 0) {
            break;
        }
        length += *got;
    }
    if (swapWords) {
        for (size_t word = 0; word + 4 <= length; word += 4) {
            std::reverse(slot + word, slot + word + 4);
        }
    }
    if (length != 0) {
        lengths[index % slots] = static_cast<uint32_t>(length);
    }
    return true;
}

bool Streamer::send(uint64_t index) {
    uint8_t* slot = history.data() + (index % slots) * slotBytes;
    const size_t length = lengths[index % slots];
    const uint32_t interval = options.flushInterval;
    const bool flush = interval != 0 && index % interval == interval - 1;
    if (flush && unanswered == 0) {
        unanswered = VEMRA::clockNow();
    }
    if (!options.ms) {
        message.setHeader(STREAM_DATA, flush ? StatusBit::kFlushMark : 0, static_cast<uint16_t>(index), 0, 0,
                          0);
        message.setPayload(slot, length);
        return socket.send(message, destination);
    }
    slot[length] =
        static_cast<uint8_t>((index & MsTrailer::kSequenceBits) | (flush ? MsTrailer::kFlushMark : 0));
    return socket.sendBytes(slot, length + 1, destination);
}

bool Streamer::handle() {
    const WireMessage feedback(inbound);
    const bool fromSink = from.address == streamPort.address && from.port == streamPort.port;
    if (!fromSink || !feedback.isValid()) {
        return true;
    }
    unanswered = 0;
    if (feedback.code() == DISCONNECT_ANS) {
        return fail("the sink ended the connection");
    }
    if (feedback.code() != STREAM_FEEDBACK) {
        return true;
    }
    if ((feedback.status() & StatusBit::kGapReport) != 0) {
        const uint16_t back = static_cast<uint16_t>(static_cast<uint16_t>(nextIndex) - feedback.param1());
        if (back == 0 || back > nextIndex || back >= 32768) {
            return true; // behind us already, or not a position of this stream
        }
        const uint64_t target = nextIndex - back;
        if (sentBefore - target > slots) {
            return fail("the sink asked again for datagram " + std::to_string(target) + ", older than the " +
                        std::to_string(slots) + " kept for resends");
        }
        const uint64_t now = VEMRA::clockNow();
        if (target == lastRewind && now - lastRewindTime < kStaleReportWindow) {
            return true;
        }
        nextIndex = target;
        lastRewind = target;
        lastRewindTime = now;
        ++progress.gapReports;
        return true;
    }
    if ((feedback.status() & StatusBit::kLevelReport) != 0) {
        ++progress.levelReports;
        progress.rate = feedback.param0();
        progress.fill = feedback.param1();
        progress.target = feedback.param2();
        if (progress.target != 0) {
            // Below the target the sink's queue is running down: send faster.
            const double error = (static_cast<double>(progress.target) - progress.fill) / progress.target;
            speed = 1.0 + std::clamp(error * kLargestCorrection, -kLargestCorrection, kLargestCorrection);
        }
    }
    return true;
}

bool Streamer::serveFeedback(microseconds wait) {
    while (socket.receiveAnyInto(inbound, from, wait)) {
        if (!handle()) {
            return false;
        }
        wait = microseconds(0);
    }
    return true;
}

void Streamer::report(uint64_t now) {
    if (options.progress && VEMRA::clockCompare(now, nextProgress) >= 0) {
        nextProgress = now + kProgressInterval;
        options.progress(progress);
    }
}

bool Streamer::run(const std::atomic<bool>& stop) {
    const double picosecondsPerByte = 1e12 / static_cast<double>(format.bytesPerSecond());
    uint64_t start = VEMRA::clockNow();
    double dueOffset = 0; // picoseconds after `start` at which the next new datagram is due
    bool sourceEnded = false;
    uint64_t tailStart = 0;
    bool tailCopied = false;
    nextProgress = start;
    const uint64_t feedbackLimit = static_cast<uint64_t>(options.feedbackTimeout.count()) * kMillisecond;
    const uint64_t slack =
        static_cast<uint64_t>(options.pacingSlack.count()) * VEMRA::kPicosecondsPerMicrosecond;
    uint64_t burstEnd = start - 1; // the last moment whose datagrams the current burst sends
    const uint64_t stallLimit = static_cast<uint64_t>(options.stallTimeout.count()) * kMillisecond;
    while (!stop.load()) {
        const uint64_t now = VEMRA::clockNow();
        report(now);
        if (feedbackLimit != 0 && unanswered != 0 && now - unanswered > feedbackLimit) {
            silent = true;
            return fail("the sink stopped answering");
        }
        if (nextIndex < sentBefore) {
            // Resends go out at once: the sink drops everything after the gap.
            if (!send(nextIndex)) {
                return fail("send error " + std::to_string(socket.error()));
            }
            ++nextIndex;
            ++progress.resent;
            tailStart = 0; // the linger starts again after the last resend
            if (!serveFeedback(microseconds(0))) {
                return false;
            }
            continue;
        }
        if (sourceEnded) {
            // Everything is out: serve late gap reports a little longer.
            if (tailStart == 0) {
                tailStart = now;
            }
            if (!tailCopied && !options.ms && now - tailStart >= kTailCopyAfter) {
                // A lost last datagram causes no gap report; its copy is
                // dropped by the sink unless the original never arrived.
                tailCopied = true;
                send(sentBefore - 1);
            }
            if (now - tailStart >= static_cast<uint64_t>(options.linger.count()) * kMillisecond) {
                return true;
            }
            if (!serveFeedback(microseconds(1000))) {
                return false;
            }
            continue;
        }
        const uint64_t due = start + static_cast<uint64_t>(dueOffset);
        // A datagram that falls due opens a burst: what falls due within the
        // slack after it goes out at once, so one wake-up sends several.
        if (VEMRA::clockCompare(now, due) >= 0 && VEMRA::clockCompare(burstEnd, now) < 0) {
            burstEnd = now + slack;
        }
        if (VEMRA::clockCompare(burstEnd, due) < 0) {
            const uint64_t wait = std::min<uint64_t>(due - now, std::max(slack, kMillisecond));
            if (!serveFeedback(microseconds(wait / VEMRA::kPicosecondsPerMicrosecond))) {
                return false;
            }
            continue;
        }
        if (VEMRA::clockCompare(now, due) > 0 && now - due > kLargestLag) {
            start = now - static_cast<uint64_t>(dueOffset);
        }
        size_t length = 0;
        if (!fill(nextIndex, length)) {
            return false;
        }
        if (length == 0) {
            if (source.waiting()) {
                // Nothing handed in yet: the schedule stays where it is, and
                // what comes late goes out as a catch-up.
                waitingSince = waitingSince == 0 ? now : waitingSince;
                if (stallLimit != 0 && now - waitingSince > stallLimit) {
                    stalled = true;
                    return fail("nothing to send for " + std::to_string((now - waitingSince) / kMillisecond) +
                                " ms");
                }
                if (!serveFeedback(microseconds(1000))) {
                    return false;
                }
                continue;
            }
            if (sentBefore == 0) {
                return true; // an empty source
            }
            sourceEnded = true;
            continue;
        }
        waitingSince = 0;
        if (!send(nextIndex)) {
            return fail("send error " + std::to_string(socket.error()));
        }
        ++progress.datagrams;
        bytesSent += length;
        progress.framesSent = bytesSent / format.frameBytes();
        dueOffset += static_cast<double>(length) * picosecondsPerByte / speed;
        sentBefore = ++nextIndex;
        // Within a burst the feedback waits for its end.
        const bool burstGoesOn =
            slack != 0 && VEMRA::clockCompare(start + static_cast<uint64_t>(dueOffset), burstEnd) <= 0;
        if (!burstGoesOn && !serveFeedback(microseconds(0))) {
            return false;
        }
    }
    return true;
}

} // namespace

PlayResult PlaySession::play(AudioSource& source, const std::atomic<bool>& stop) {
    PlayResult result;
    result.progress.totalFrames = source.totalFrames();
    const AudioFormat sourceFormat = source.format();
    const std::string sink = sinkText(control);
    const auto ended = [this, &result] {
        if (options.stage) {
            options.stage(PlayStage::Ended, result);
        }
    };
    const auto failed = [&result, &ended](PlayResult::Outcome outcome, std::string text) {
        result.outcome = outcome;
        result.error = std::move(text);
        ended();
        return result;
    };
    if (!sourceFormat.isValid()) {
        return failed(PlayResult::Outcome::Failed, "the source's format is not a stream format");
    }
    const size_t limit = options.ms ? StreamSender::kDatagramLimit - 1
                                    : (StreamSender::kDatagramLimit - kHeaderSize) & ~size_t{7};
    size_t payload = options.payloadBytes == 0
                         ? StreamSender::defaultPayload(sourceFormat, options.ms)
                         : options.payloadBytes - options.payloadBytes % sourceFormat.frameBytes();
    if (payload == 0 || payload > limit) {
        return failed(PlayResult::Outcome::Failed, "payload of " + std::to_string(options.payloadBytes) +
                                                       " bytes does not fit whole frames in a datagram");
    }
    SinkClient client(control);
    if (!client.open()) {
        return failed(PlayResult::Outcome::Failed, "cannot open a UDP socket");
    }
    const std::string noAnswer = "no answer from the " + sink;

    const auto plays = [&](AudioFormat wanted) -> std::optional<bool> {
        Send query(FORMAT_QUERY, 0, wanted.value());
        const auto capability = client.request(query, FORMAT_QUERY_ANS, options.timeout);
        if (!capability) {
            return std::nullopt;
        }
        return capability->accepted() && (capability->value64() & wanted.value()) == wanted.value();
    };
    AudioFormat format = source.format();
    auto playable = plays(format);
    bool swapWords = false;
    if (playable == std::optional<bool>(false) && format.isDSD()) {
        // A DAC that takes native DSD only in big-endian words gets the
        // source's words byte-swapped.
        const AudioFormat bigEndian((format.value() & ~AudioFormat::kDsdLittleEndian) |
                                    AudioFormat::kDsdBigEndian);
        playable = plays(bigEndian);
        if (playable == std::optional<bool>(true)) {
            format = bigEndian;
            swapWords = true;
        }
    }
    if (!playable) {
        return failed(PlayResult::Outcome::Failed, noAnswer + " to the format query");
    }
    if (!*playable) {
        return failed(PlayResult::Outcome::Refused, sink + " cannot play " + describeFormat(format));
    }
    result.format = format;

    Send latencyQuery(LATENCY_QUERY, 0, options.latency, 0, 0, 0);
    const auto latency = client.request(latencyQuery, LATENCY_QUERY_ANS, options.timeout);
    if (!latency) {
        return failed(PlayResult::Outcome::Failed, noAnswer + " to the latency query");
    }
    result.latency = latency->param0();

    Send prepare(PREPARE_FORMAT, 0, PrepareFormat::fromFormat(format, result.latency).value());
    const auto prepared = client.request(prepare, PREPARE_FORMAT_ANS, options.timeout);
    if (!prepared) {
        return failed(PlayResult::Outcome::Failed, noAnswer + " to the prepare request");
    }
    const PrepareFormat agreed(prepared->value64());
    if (!prepared->accepted() && (agreed.value() == 0 || !agreed.matches(format))) {
        // Only a sink that changed the latency answers with a word of its own.
        result.busy = (prepared->status() & StatusBit::kConnected) != 0;
        return failed(PlayResult::Outcome::Refused,
                      (prepared->status() & StatusBit::kConnected) != 0
                          ? sink + " is busy: another Host is connected"
                          : sink + " refused to prepare " + describeFormat(format));
    }
    result.latency = agreed.latency();

    SendBuffer name;
    name.setHeader(HOST_NAME_SET, 0, 0);
    name.setPayload(options.hostName.data(), options.hostName.size());
    if (!client.request(name, HOST_NAME_SET_ANS, options.timeout)) {
        return failed(PlayResult::Outcome::Failed, noAnswer + " to the host name");
    }

    if (stop.load()) {
        result.outcome = PlayResult::Outcome::Stopped;
        ended();
        return result;
    }
    SendBuffer connect;
    connect.setHeader(options.ms ? CONNECT_MS : CONNECT, 0, format.value());
    if (options.ms) {
        const uint8_t immediateStart[8] = {};
        connect.setPayload(immediateStart, sizeof(immediateStart));
    }
    const auto connected =
        client.request(connect, options.ms ? CONNECT_MS_ANS : CONNECT_ANS, options.timeout);
    if (!connected) {
        return failed(PlayResult::Outcome::Failed, noAnswer + " to the connect request");
    }
    if (!connected->accepted()) {
        result.busy = (connected->status() & StatusBit::kConnected) != 0;
        return failed(
            PlayResult::Outcome::Refused,
            (connected->status() & StatusBit::kConnected) != 0
                ? sink + " is busy: another Host is connected"
                : sink + " refused the connection (another Host is preparing it, or the format changed)");
    }
    const uint16_t streamPort = connected->param0();
    const uint16_t msPort = connected->param1();
    if (options.ms && msPort == 0) {
        client.disconnect(streamPort, options.drainTimeout);
        return failed(PlayResult::Outcome::Failed, sink + " gave no MS port");
    }
    if (options.stage) {
        options.stage(PlayStage::Connected, result);
    }

    VEMRA::SocketAddress audioDestination = client.sinkAddress(options.ms ? msPort : streamPort);
    if (options.audioRoute) {
        audioDestination = options.audioRoute(audioDestination);
    }
    Streamer streamer(client.socket(), audioDestination, client.sinkAddress(streamPort), source, options,
                      payload, swapWords, result);
    const bool streamed = streamer.run(stop);
    const std::string streamError = result.error;
    result.outcome = !streamed     ? PlayResult::Outcome::Failed
                     : stop.load() ? PlayResult::Outcome::Stopped
                                   : PlayResult::Outcome::Finished;
    result.sinkSilent = streamer.sinkFellSilent();
    result.stalled = streamer.sourceStalled();
    ended();
    // Also after a failure: the sink keeps the DAC until it hears the
    // disconnect or times out. A sink that fell silent drains nothing.
    const auto answer =
        client.disconnect(streamPort, streamer.sinkFellSilent() ? options.timeout : options.drainTimeout);
    result.drained = answer.has_value();
    if (!result.drained && streamed) {
        result.outcome = PlayResult::Outcome::Failed;
        result.error = noAnswer + " to the disconnect";
    } else {
        result.error = streamError;
    }
    if (options.progress) {
        options.progress(result.progress);
    }
    return result;
}

} // namespace QUORVEL
