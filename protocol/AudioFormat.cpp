#include "protocol/AudioFormat.h"

#include <bit>
#include <cstddef>
#include <iterator>

namespace QUORVEL {

namespace {

constexpr uint32_t kChannelCounts[] = {1, 2, 4, 6, 8, 16};
constexpr uint32_t kIntegerBits[] = {8, 16, 24, 32, 64}; // encodings 0x100 .. 0x1000
constexpr uint32_t kMinimumDsdRate = 2822400;

bool isSingleBit(uint64_t value) {
    return std::has_single_bit(value);
}

} // namespace

uint32_t AudioFormat::channels() const {
    switch (word & kChannelMask) {
    case 0x01:
        return 1;
    case 0x02:
        return 2;
    case 0x04:
        return 4;
    case 0x08:
        return 6;
    case 0x10:
        return 8;
    case 0x20:
        return 16;
    default:
        return 2;
    }
}

uint32_t AudioFormat::bitsPerSample() const {
    switch (encoding()) {
    case kPcm8:
        return 8;
    case kPcm16:
        return 16;
    case kPcm24:
        return 24;
    case kPcm32:
    case kFloat32:
        return 32;
    case kPcm64:
    case kFloat64:
        return 64;
    case kDsd1:
        return 1;
    case kDsd4:
        return 4;
    default:
        return 16;
    }
}

uint32_t AudioFormat::bytesPerSample() const {
    switch (encoding()) {
    case kPcm8:
        return 1;
    case kPcm16:
        return 2;
    case kPcm24:
        return 3;
    case kPcm32:
    case kFloat32:
        return 4;
    case kPcm64:
    case kFloat64:
        return 8;
    case kDsd1:
    case kDsd4:
        return (word & kDsdWidthMask) == kDsdWidth4 ? 4 : 2;
    default:
        return 2;
    }
}

uint32_t AudioFormat::rate() const {
    const uint64_t family = word & kFamilyMask;
    const uint64_t multiplier = word & kMultiplierMask;
    if (family == kFamily8000) {
        return multiplier == 0 ? 8000 : 0;
    }
    if ((family != kFamily44100 && family != kFamily48000) || !isSingleBit(multiplier)) {
        return 0;
    }
    const int k = std::countr_zero(multiplier) - kMultiplierShift;
    const uint32_t base = family == kFamily44100 ? 44100 : 48000;
    return base << k;
}

uint64_t AudioFormat::bytesPerSecond() const {
    return static_cast<uint64_t>(rate()) * channels() * bitsPerSample() / 8;
}

uint8_t AudioFormat::silenceByte() const {
    if (!isDSD()) {
        return 0;
    }
    return (word & kDsdLsbFirst) != 0 ? 0x69 : 0x96;
}

bool AudioFormat::isInteger() const {
    const uint64_t code = encoding();
    return code == kPcm8 || code == kPcm16 || code == kPcm24 || code == kPcm32 || code == kPcm64;
}

bool AudioFormat::isFloat() const {
    const uint64_t code = encoding();
    return code == kFloat32 || code == kFloat64;
}

bool AudioFormat::isDSD() const {
    const uint64_t code = encoding();
    return code == kDsd1 || code == kDsd4;
}

bool AudioFormat::isValid() const {
    if (!isSingleBit(word & kChannelMask) || (word & kChannelMask) > 0x20) {
        return false;
    }
    // A word without a rate would make every byte-rate computation divide by
    // zero further down, so it is not a stream format.
    const uint32_t hz = rate();
    if (hz == 0) {
        return false;
    }
    const uint64_t options = word & kOptionMask;
    if (isInteger() || isFloat()) {
        return options == 0;
    }
    if (!isDSD()) {
        return false;
    }
    const bool oneOrder = isSingleBit(word & (kDsdLsbFirst | kDsdMsbFirst));
    const bool oneEndian = isSingleBit(word & (kDsdLittleEndian | kDsdBigEndian));
    return oneOrder && oneEndian && (word & kDsdWidthMask) == kDsdWidth4 && hz >= kMinimumDsdRate;
}

uint32_t AudioFormat::lowestChannels() const {
    const uint64_t set = word & 0x3F;
    return set == 0 ? 0 : kChannelCounts[std::countr_zero(set)];
}

uint32_t AudioFormat::highestChannels() const {
    const uint64_t set = word & 0x3F;
    return set == 0 ? 0 : kChannelCounts[std::bit_width(set) - 1];
}

uint32_t AudioFormat::lowestBits() const {
    const uint64_t set = (word >> 8) & 0x1F;
    return set == 0 ? 0 : kIntegerBits[std::countr_zero(set)];
}

uint32_t AudioFormat::highestBits() const {
    const uint64_t set = (word >> 8) & 0x1F;
    return set == 0 ? 0 : kIntegerBits[std::bit_width(set) - 1];
}

uint32_t AudioFormat::lowestFamily() const {
    constexpr uint32_t kBases[] = {8000, 44100, 48000};
    const uint64_t set = (word >> 32) & 7;
    return set == 0 ? 0 : kBases[std::countr_zero(set)];
}

uint32_t AudioFormat::highestFamily() const {
    constexpr uint32_t kBases[] = {8000, 44100, 48000};
    const uint64_t set = (word >> 32) & 7;
    return set == 0 ? 0 : kBases[std::bit_width(set) - 1];
}

uint32_t AudioFormat::lowestMultiplier() const {
    const uint64_t set = (word & kMultiplierMask) >> kMultiplierShift;
    return set == 0 ? 0 : 1U << std::countr_zero(set);
}

uint32_t AudioFormat::highestMultiplier() const {
    const uint64_t set = (word & kMultiplierMask) >> kMultiplierShift;
    return set == 0 ? 0 : 1U << (std::bit_width(set) - 1);
}

uint64_t AudioFormat::rateBits(uint32_t hz) {
    if (hz == 8000) {
        return kFamily8000;
    }
    for (int k = 0; k < kMultiplierCount; ++k) {
        const uint64_t multiplier = 1ULL << (kMultiplierShift + k);
        if (hz == (44100U << k)) {
            return kFamily44100 | multiplier;
        }
        if (hz == (48000U << k)) {
            return kFamily48000 | multiplier;
        }
    }
    return 0;
}

uint64_t AudioFormat::channelBit(uint32_t count) {
    for (size_t i = 0; i < std::size(kChannelCounts); ++i) {
        if (kChannelCounts[i] == count) {
            return 1ULL << i;
        }
    }
    return 0;
}

} // namespace QUORVEL
