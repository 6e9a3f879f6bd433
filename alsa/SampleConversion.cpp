#include "alsa/SampleConversion.h"

#include <cstring>

namespace ALSAOUT {

namespace {

// Unaligned little-endian loads and stores; memcpy of a fixed size compiles
// to a single move, and these loops vectorise.
inline uint32_t load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

inline uint32_t load24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16);
}

inline void store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, sizeof(v));
}

inline void store24(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
}

// The two DoP samples (24 significant bits: marker, high, low) made from one
// DSD word whose earliest bits sit in its most significant byte.
inline uint32_t dopFirst(uint32_t word) {
    return (static_cast<uint32_t>(kDopMarkerFirst) << 16) | (word >> 16);
}

inline uint32_t dopSecond(uint32_t word) {
    return (static_cast<uint32_t>(kDopMarkerSecond) << 16) | (word & 0xFFFFU);
}

template <DopContainer container> void storeDop(uint8_t* p, uint32_t sample24) {
    if constexpr (container == DopContainer::S32) {
        store32(p, sample24 << 8);
    } else if constexpr (container == DopContainer::S24In32) {
        store32(p, sample24);
    } else {
        store24(p, sample24);
    }
}

template <DopContainer container>
size_t packDopAs(const uint8_t* in, size_t frames, uint32_t channels, uint8_t* out) {
    constexpr uint32_t width = dopSampleBytes(container);
    const size_t outFrameBytes = static_cast<size_t>(width) * channels;
    uint8_t* first = out;
    for (size_t f = 0; f < frames; ++f) {
        uint8_t* second = first + outFrameBytes;
        for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t word = load32(in);
            in += 4;
            storeDop<container>(first + static_cast<size_t>(c) * width, dopFirst(word));
            storeDop<container>(second + static_cast<size_t>(c) * width, dopSecond(word));
        }
        first = second + outFrameBytes;
    }
    return static_cast<size_t>(first - out);
}

// Fixed-width copies compile to single moves; a mono sample is heard on
// both front channels.
template <size_t width>
void upmixAs(const uint8_t* in, size_t frames, uint32_t streamChannels, uint32_t deviceChannels,
             uint8_t silence, uint8_t* out) {
    uint8_t silent[width];
    std::memset(silent, silence, width);
    const uint32_t heard = streamChannels == 1 ? 2 : streamChannels;
    for (size_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < heard; ++c) {
            std::memcpy(out + c * width, in + (streamChannels == 1 ? 0 : c * width), width);
        }
        for (uint32_t c = heard; c < deviceChannels; ++c) {
            std::memcpy(out + c * width, silent, width);
        }
        in += width * streamChannels;
        out += width * deviceChannels;
    }
}

} // namespace

size_t widenTo32(const uint8_t* in, size_t samples, uint32_t padBytes, uint8_t* out) {
    if (padBytes == 2) {
        for (size_t i = 0; i < samples; ++i) {
            store32(out + 4 * i, load16(in + 2 * i) << 16);
        }
    } else if (padBytes == 1) {
        for (size_t i = 0; i < samples; ++i) {
            store32(out + 4 * i, load24(in + 3 * i) << 8);
        }
    } else {
        return 0;
    }
    return samples * 4;
}

size_t place24In32(const uint8_t* in, size_t samples, uint8_t* out) {
    for (size_t i = 0; i < samples; ++i) {
        store32(out + 4 * i, load24(in + 3 * i));
    }
    return samples * 4;
}

size_t upmixFrames(const uint8_t* in, size_t frames, uint32_t sampleBytes, uint32_t streamChannels,
                   uint32_t deviceChannels, uint8_t silence, uint8_t* out) {
    if (streamChannels == 0 || deviceChannels <= streamChannels) {
        return 0;
    }
    switch (sampleBytes) {
    case 1:
        upmixAs<1>(in, frames, streamChannels, deviceChannels, silence, out);
        break;
    case 2:
        upmixAs<2>(in, frames, streamChannels, deviceChannels, silence, out);
        break;
    case 3:
        upmixAs<3>(in, frames, streamChannels, deviceChannels, silence, out);
        break;
    case 4:
        upmixAs<4>(in, frames, streamChannels, deviceChannels, silence, out);
        break;
    case 8:
        upmixAs<8>(in, frames, streamChannels, deviceChannels, silence, out);
        break;
    default:
        return 0;
    }
    return frames * sampleBytes * deviceChannels;
}

size_t packDop(const uint8_t* in, size_t frames, uint32_t channels, DopContainer container, uint8_t* out) {
    switch (container) {
    case DopContainer::S32:
        return packDopAs<DopContainer::S32>(in, frames, channels, out);
    case DopContainer::S24In32:
        return packDopAs<DopContainer::S24In32>(in, frames, channels, out);
    case DopContainer::S24Packed:
        return packDopAs<DopContainer::S24Packed>(in, frames, channels, out);
    }
    return 0;
}

} // namespace ALSAOUT
