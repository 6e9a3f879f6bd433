// One fuzz input: the datagrams of one stream connection. The first byte
// picks the stream format (bits 0-2) and MS mode (bit 3); then come records
// (FuzzSupport.h) whose first byte says where the rest goes: bit 0 set = the
// MS socket (in MS mode), else the stream socket; bit 1 set = the transport
// worker is held for once (the ring is not drained after this datagram). The
// datagrams pass through Sink::streamDatagram and Sink::msDatagram, the
// functions the stream and MS workers hand every received datagram to, into
// the packet ring, and from there through the output queue.
#include "FuzzSink.h"

#include "protocol/AudioFormat.h"

#include <array>

namespace {

QUORVEL::AudioFormat format(uint64_t encoding, uint32_t rate, uint32_t channels) {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::channelBit(channels) | encoding |
                                QUORVEL::AudioFormat::rateBits(rate));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using QUORVEL::AudioFormat;
    static const FUZZ::AnswerDrop drop;
    static QUORVEL::PrepareCache cache;
    static VEMRA::SocketWaitSet pollSet;
    static FUZZ::FuzzSink sink(FUZZ::fuzzSinkInfo(), pollSet, FUZZ::fuzzSinkConfig(cache));
    static const bool opened = (FUZZ::logEverything(), sink.openForFuzzing(drop.address()));
    static const std::array<AudioFormat, 8> formats = {format(AudioFormat::kPcm16, 44100, 2),
                                                       format(AudioFormat::kPcm24, 48000, 2),
                                                       format(AudioFormat::kPcm32, 192000, 2),
                                                       format(AudioFormat::kPcm8, 8000, 1),
                                                       format(AudioFormat::kFloat32, 96000, 8),
                                                       format(AudioFormat::kDsd1, 2822400, 2),
                                                       AudioFormat(),
                                                       AudioFormat(~0ULL)};
    if (!opened || size == 0) {
        return 0;
    }
    sink.reset();
    const AudioFormat fmt = formats[data[0] & 7];
    const bool msMode = (data[0] & 8) != 0;
    sink.beginStream(fmt, msMode);
    for (const auto record : FUZZ::splitRecords(data + 1, size - 1)) {
        if (record.empty()) {
            continue;
        }
        const uint8_t route = record[0];
        const auto datagram = record.subspan(1);
        const bool going = (route & 1) != 0 ? sink.feedMs(datagram) : sink.feedStream(datagram);
        if ((route & 2) == 0) {
            sink.drainRing();
        }
        if (!going) {
            sink.beginStream(fmt, msMode); // the Host connects again
        }
    }
    sink.drainRing();
    return 0;
}
