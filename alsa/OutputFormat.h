#pragma once

#include "alsa/SampleConversion.h"
#include "protocol/AudioFormat.h"

#include <alsa/asoundlib.h>
#include <cstdint>

namespace ALSAOUT {

// What the probe learnt about a device, as far as choosing an output format
// for a stream needs it.
struct DeviceFacts {
    uint64_t pcmCaps = 0;
    uint64_t convertMask = 0;
    uint64_t upmixMask = 0;
    uint32_t channelsMin = 0;
    bool s24In32 = false;
    bool dopMode = false;
};

// How the write path turns stream samples into device samples.
enum class Conversion : uint8_t {
    None,  // written as they are
    Widen, // 16/24-bit into the upper bytes of 32-bit words (padBytes)
    In32,  // packed 24-bit into the low bytes of 4-byte containers
    Dop    // DSD words into DoP frames (dopContainer)
};

// Which "set ..." line setFormat logs for the choice.
enum class FormatLog : uint8_t { None, Pcm, Float, Dsd };

struct OutputFormat {
    snd_pcm_format_t alsaFormat = SND_PCM_FORMAT_UNKNOWN;
    uint32_t padBytes = 0;
    // Turns the stream's rate into device frames per second: 16 for DoP (16
    // DSD bits per frame), 32 for native DSD words, else 1.
    uint32_t divisor = 1;
    Conversion conversion = Conversion::None;
    DopContainer dopContainer = DopContainer::S32;
    FormatLog log = FormatLog::None;
};

// The device format for stream format `fmt`; false for a combination the
// device cannot be configured for (64-bit integer PCM, LSB-first DSD, DoP
// without a 24/32-bit PCM format, and the like).
bool chooseOutputFormat(QUORVEL::AudioFormat fmt, const DeviceFacts& device, OutputFormat& out);

// Channel counts of the AudioFormat channel classes, bit 0 upward.
constexpr uint32_t kChannelClassCounts[] = {1, 2, 4, 6, 8, 16};

// The smallest channel count among the channel classes of capability word
// `caps` (1, 2, 4, 6, 8, 16 in this order); 0 when it has none.
uint32_t smallestChannelClass(uint64_t caps);

} // namespace ALSAOUT
