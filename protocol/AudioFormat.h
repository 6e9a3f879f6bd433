#pragma once

#include <cstdint>

namespace QUORVEL {

// The 64-bit format word. As a capability word several bits of a set may be
// on (everything a DAC accepts); as a stream format exactly one bit of each
// set that applies is on. Trivially copyable, so it can live in a std::atomic.
class AudioFormat {
public:
    // Channel set: bit 0 = 1 channel, 1 = 2, 2 = 4, 3 = 6, 4 = 8, 5 = 16.
    static constexpr uint64_t kChannelMask = 0xFFULL;
    // PCM encodings (bits 8-15).
    static constexpr uint64_t kPcm8 = 0x100ULL;
    static constexpr uint64_t kPcm16 = 0x200ULL;
    static constexpr uint64_t kPcm24 = 0x400ULL;
    static constexpr uint64_t kPcm32 = 0x800ULL;
    static constexpr uint64_t kPcm64 = 0x1000ULL;
    static constexpr uint64_t kFloat32 = 0x2000ULL;
    static constexpr uint64_t kFloat64 = 0x4000ULL;
    static constexpr uint64_t kPcmMask = 0xFF00ULL;
    // DSD encodings (bits 16-19) and their options.
    static constexpr uint64_t kDsd1 = 0x10000ULL;
    static constexpr uint64_t kDsd4 = 0x20000ULL;
    static constexpr uint64_t kEncodingMask = 0xFFF00ULL; // bits 8-19
    static constexpr uint64_t kDsdLsbFirst = 1ULL << 20;
    static constexpr uint64_t kDsdMsbFirst = 1ULL << 21;
    static constexpr uint64_t kDsdLittleEndian = 1ULL << 22;
    static constexpr uint64_t kDsdBigEndian = 1ULL << 23;
    static constexpr uint64_t kDsdWidthMask = 0xFF000000ULL;
    static constexpr uint64_t kDsdWidth4 = 0x02000000ULL;  // width code 0x02: 4-byte words
    static constexpr uint64_t kOptionMask = 0xFFF00000ULL; // bits 20-31
    // Rate: family (bits 32-34) and multiplier (bits 35-47).
    static constexpr uint64_t kFamily8000 = 1ULL << 32;
    static constexpr uint64_t kFamily44100 = 1ULL << 33;
    static constexpr uint64_t kFamily48000 = 1ULL << 34;
    static constexpr uint64_t kFamilyMask = 7ULL << 32;
    static constexpr int kMultiplierShift = 35;
    static constexpr int kMultiplierCount = 13; // x1 .. x4096
    static constexpr uint64_t kMultiplierMask = 0x1FFFULL << kMultiplierShift;
    static constexpr uint64_t kRateMask = kFamilyMask | kMultiplierMask;

    constexpr AudioFormat() = default;
    constexpr explicit AudioFormat(uint64_t value) : word(value) {}

    constexpr uint64_t value() const { return word; }
    constexpr bool operator==(const AudioFormat&) const = default;

    // Stream-format values.
    uint32_t channels() const;       // 1, 2, 4, 6, 8, 16; 2 for an unknown channel byte
    uint32_t bitsPerSample() const;  // 16 for an unknown encoding
    uint32_t bytesPerSample() const; // container bytes; 2 for an unknown encoding
    uint32_t rate() const;           // Hz; 0 without a family or multiplier
    uint32_t frameBytes() const { return bytesPerSample() * channels(); }
    // rate x channels x bitsPerSample / 8, in 64 bits.
    uint64_t bytesPerSecond() const;
    uint8_t silenceByte() const;

    uint64_t encoding() const { return word & kEncodingMask; }
    bool isPCM() const { return (word & kPcmMask) != 0; }
    bool isInteger() const;
    bool isFloat() const;
    bool isDSD() const;
    // Exactly one channel, one encoding (with consistent options) and one rate.
    bool isValid() const;

    // Capability words: lowest and highest member of each set (0 when empty).
    uint32_t lowestChannels() const;
    uint32_t highestChannels() const;
    uint32_t lowestBits() const; // over the integer PCM encodings
    uint32_t highestBits() const;
    uint32_t lowestFamily() const; // 8000, 44100 or 48000
    uint32_t highestFamily() const;
    uint32_t lowestMultiplier() const; // 1 .. 4096
    uint32_t highestMultiplier() const;

    // The rate bits (32-47) of an accepted rate; 0 for any other rate.
    static uint64_t rateBits(uint32_t rate);
    // The channel bit for 1, 2, 4, 6, 8 or 16 channels; 0 otherwise.
    static uint64_t channelBit(uint32_t channels);

private:
    uint64_t word = 0;
};

} // namespace QUORVEL
