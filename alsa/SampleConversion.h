#pragma once

#include <cstddef>
#include <cstdint>

// The sample conversions between a stream's bytes and what an ALSA device was
// configured for. Each function writes into a caller-owned buffer of the size
// its *Bytes companion gives, returns the bytes written, and allocates nothing:
// they run on the transport worker for every chunk. All samples are
// little-endian; nothing here needs aligned input or output.
namespace ALSAOUT {

// The 32-bit container a DoP frame is packed into.
enum class DopContainer : uint8_t {
    S32,      // SND_PCM_FORMAT_S32_LE: 0, low, high, marker
    S24In32,  // SND_PCM_FORMAT_S24_LE: low, high, marker, 0
    S24Packed // SND_PCM_FORMAT_S24_3LE: low, high, marker
};

// DoP markers of the first and second output frame made from one DSD word.
constexpr uint8_t kDopMarkerFirst = 0x05;
constexpr uint8_t kDopMarkerSecond = 0xFA;

// Widens integer samples to signed 32-bit words with `padBytes` zero bytes
// below each sample: 2 for 16-bit input (0, 0, s0, s1), 1 for 24-bit input
// (0, s0, s1, s2). `samples` counts samples across all channels.
size_t widenTo32(const uint8_t* in, size_t samples, uint32_t padBytes, uint8_t* out);

// Moves packed 3-byte samples into the low three bytes of 4-byte containers,
// the top byte zero (s0, s1, s2, 0).
size_t place24In32(const uint8_t* in, size_t samples, uint8_t* out);

// Copies `frames` frames of `streamChannels` samples of `sampleBytes` each
// into frames of `deviceChannels` (more than streamChannels). A mono sample
// goes to output channels 0 and 1; otherwise input channel c goes to output
// channel c. Every other output channel is filled with `silence`.
size_t upmixFrames(const uint8_t* in, size_t frames, uint32_t sampleBytes, uint32_t streamChannels,
                   uint32_t deviceChannels, uint8_t silence, uint8_t* out);

// Packs `frames` frames of one 4-byte DSD word per channel (little-endian
// word, earliest bits in its most significant byte) into DoP: every input
// frame becomes two output frames, the first carrying marker 0x05 and the
// upper 16 DSD bits, the second 0xFA and the lower 16.
size_t packDop(const uint8_t* in, size_t frames, uint32_t channels, DopContainer container, uint8_t* out);

// Bytes one channel of one DoP output frame takes in `container`.
constexpr uint32_t dopSampleBytes(DopContainer container) {
    return container == DopContainer::S24Packed ? 3 : 4;
}

} // namespace ALSAOUT
