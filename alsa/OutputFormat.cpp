#include "alsa/OutputFormat.h"

#include <iterator>

namespace ALSAOUT {

using QUORVEL::AudioFormat;

namespace {

bool choosePcm(AudioFormat fmt, const DeviceFacts& device, OutputFormat& out) {
    const uint64_t encoding = fmt.encoding();
    if (fmt.isInteger() && (device.convertMask & encoding) != 0) {
        if (fmt.bitsPerSample() > 32) {
            return false;
        }
        out.alsaFormat = SND_PCM_FORMAT_S32_LE;
        out.padBytes = (32 - fmt.bitsPerSample()) / 8;
        out.conversion = out.padBytes == 0 ? Conversion::None : Conversion::Widen;
        out.log = FormatLog::Pcm;
        return true;
    }
    out.log = FormatLog::Pcm;
    switch (encoding) {
    case AudioFormat::kPcm8:
        out.alsaFormat = SND_PCM_FORMAT_S8;
        return true;
    case AudioFormat::kPcm16:
        out.alsaFormat = SND_PCM_FORMAT_S16_LE;
        return true;
    case AudioFormat::kPcm24:
        if (device.s24In32) {
            out.alsaFormat = SND_PCM_FORMAT_S24_LE;
            out.conversion = Conversion::In32;
        } else {
            out.alsaFormat = SND_PCM_FORMAT_S24_3LE;
        }
        return true;
    case AudioFormat::kPcm32:
        out.alsaFormat = SND_PCM_FORMAT_S32_LE;
        return true;
    case AudioFormat::kFloat32:
        out.alsaFormat = SND_PCM_FORMAT_FLOAT_LE;
        out.log = FormatLog::Float;
        return true;
    case AudioFormat::kFloat64:
        out.alsaFormat = SND_PCM_FORMAT_FLOAT64_LE;
        out.log = FormatLog::Float;
        return true;
    default:
        return false; // 64-bit integer is never played
    }
}

bool chooseDsd(AudioFormat fmt, const DeviceFacts& device, OutputFormat& out) {
    const uint64_t word = fmt.value();
    const bool msbFirst = (word & AudioFormat::kDsdMsbFirst) != 0 && (word & AudioFormat::kDsdLsbFirst) == 0;
    const bool oneBit = fmt.encoding() == AudioFormat::kDsd1;
    const bool wide = (word & AudioFormat::kDsdWidthMask) == AudioFormat::kDsdWidth4;
    const bool little =
        (word & AudioFormat::kDsdLittleEndian) != 0 && (word & AudioFormat::kDsdBigEndian) == 0;
    const bool big = (word & AudioFormat::kDsdBigEndian) != 0 && (word & AudioFormat::kDsdLittleEndian) == 0;
    if (!msbFirst || !oneBit || !wide) {
        return false;
    }
    if (device.dopMode) {
        // DoP reads one 4-byte little-endian word per channel.
        if (!little) {
            return false;
        }
        out.divisor = 16;
        out.conversion = Conversion::Dop;
        if ((device.pcmCaps & AudioFormat::kPcm32) != 0) {
            out.alsaFormat = SND_PCM_FORMAT_S32_LE;
            out.dopContainer = DopContainer::S32;
        } else if ((device.pcmCaps & AudioFormat::kPcm24) != 0) {
            out.alsaFormat = device.s24In32 ? SND_PCM_FORMAT_S24_LE : SND_PCM_FORMAT_S24_3LE;
            out.dopContainer = device.s24In32 ? DopContainer::S24In32 : DopContainer::S24Packed;
        } else {
            return false;
        }
        return true;
    }
    if (!little && !big) {
        return false;
    }
    out.alsaFormat = little ? SND_PCM_FORMAT_DSD_U32_LE : SND_PCM_FORMAT_DSD_U32_BE;
    out.divisor = 32;
    out.log = FormatLog::Dsd;
    return true;
}

} // namespace

bool chooseOutputFormat(AudioFormat fmt, const DeviceFacts& device, OutputFormat& out) {
    out = OutputFormat{};
    if (fmt.isInteger() || fmt.isFloat()) {
        return choosePcm(fmt, device, out);
    }
    if (fmt.isDSD()) {
        return chooseDsd(fmt, device, out);
    }
    return false;
}

uint32_t smallestChannelClass(uint64_t caps) {
    for (size_t bit = 0; bit < std::size(kChannelClassCounts); ++bit) {
        if ((caps & (1ULL << bit)) != 0) {
            return kChannelClassCounts[bit];
        }
    }
    return 0;
}

} // namespace ALSAOUT
