#include "protocol/AudioFormat.h"
#include "protocol/PrepareFormat.h"

#include <gtest/gtest.h>

namespace QUORVEL {
namespace {

constexpr uint64_t kStereo = 0x02;

AudioFormat pcm(uint64_t encoding, uint32_t rate, uint64_t channelBit = kStereo) {
    return AudioFormat(channelBit | encoding | AudioFormat::rateBits(rate));
}

AudioFormat dsd(uint32_t rate, uint64_t options) {
    return AudioFormat(kStereo | AudioFormat::kDsd1 | options | AudioFormat::rateBits(rate));
}

TEST(AudioFormatTest, DerivedValuesOfStreamFormats) {
    const AudioFormat cd = pcm(AudioFormat::kPcm16, 44100);
    EXPECT_EQ(cd.channels(), 2U);
    EXPECT_EQ(cd.bitsPerSample(), 16U);
    EXPECT_EQ(cd.bytesPerSample(), 2U);
    EXPECT_EQ(cd.rate(), 44100U);
    EXPECT_EQ(cd.bytesPerSecond(), 176400U);
    EXPECT_EQ(cd.silenceByte(), 0);
    EXPECT_TRUE(cd.isInteger());
    EXPECT_TRUE(cd.isValid());

    const AudioFormat packed24 = pcm(AudioFormat::kPcm24, 48000, 0x08);
    EXPECT_EQ(packed24.channels(), 6U);
    EXPECT_EQ(packed24.bytesPerSample(), 3U);
    EXPECT_EQ(packed24.frameBytes(), 18U);
    EXPECT_EQ(packed24.bytesPerSecond(), 48000U * 6 * 3);

    const AudioFormat float64 = pcm(AudioFormat::kFloat64, 384000, 0x20);
    EXPECT_EQ(float64.channels(), 16U);
    EXPECT_EQ(float64.bitsPerSample(), 64U);
    EXPECT_TRUE(float64.isFloat());
    EXPECT_FALSE(float64.isInteger());

    const AudioFormat dsd64 =
        dsd(2822400, AudioFormat::kDsdMsbFirst | AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4);
    EXPECT_TRUE(dsd64.isDSD());
    EXPECT_EQ(dsd64.bitsPerSample(), 1U);
    EXPECT_EQ(dsd64.bytesPerSample(), 4U);
    EXPECT_EQ(dsd64.silenceByte(), 0x96);
    EXPECT_EQ(dsd64.bytesPerSecond(), 2822400U * 2 / 8);
    EXPECT_TRUE(dsd64.isValid());
    EXPECT_EQ(dsd(2822400, AudioFormat::kDsdLsbFirst).silenceByte(), 0x69);
    EXPECT_EQ(dsd(2822400, 0).bytesPerSample(), 2U); // any other width code: 2-byte words

    // Unknown channel bytes and encodings fall back to 2 channels / 16 bits.
    EXPECT_EQ(AudioFormat(0x03 | AudioFormat::kPcm16).channels(), 2U);
    EXPECT_EQ(AudioFormat(0x02 | 0x8000).bitsPerSample(), 16U);
    EXPECT_EQ(AudioFormat(0x02 | 0x8000).bytesPerSample(), 2U);
}

TEST(AudioFormatTest, RateTableAcceptsExactlyTheFamilies) {
    EXPECT_EQ(AudioFormat::rateBits(8000), AudioFormat::kFamily8000);
    int accepted = 0;
    for (uint32_t k = 0; k <= 12; ++k) {
        for (uint32_t base : {44100U, 48000U}) {
            const uint64_t bits = AudioFormat::rateBits(base << k);
            ASSERT_NE(bits, 0U);
            EXPECT_EQ(AudioFormat(kStereo | AudioFormat::kPcm32 | bits).rate(), base << k);
            ++accepted;
        }
    }
    EXPECT_EQ(accepted, 26);
    EXPECT_EQ(AudioFormat::rateBits(96000), AudioFormat::kFamily48000 | (1ULL << 36));
    EXPECT_EQ(AudioFormat::rateBits(32000), 0U);
    EXPECT_EQ(AudioFormat::rateBits(0), 0U);
    EXPECT_EQ(AudioFormat::rateBits(44100U << 13), 0U);
    // Bit 32 stands alone; two families or multipliers give no rate.
    EXPECT_EQ(AudioFormat(AudioFormat::kFamily8000 | (1ULL << 35)).rate(), 0U);
    EXPECT_EQ(AudioFormat(AudioFormat::kFamily44100 | AudioFormat::kFamily48000 | (1ULL << 35)).rate(), 0U);
    EXPECT_EQ(AudioFormat(AudioFormat::kFamily44100 | (3ULL << 35)).rate(), 0U);
}

TEST(AudioFormatTest, ValidityRules) {
    EXPECT_TRUE(pcm(AudioFormat::kPcm8, 8000, 0x01).isValid());
    EXPECT_TRUE(pcm(AudioFormat::kPcm32, 768000, 0x10).isValid());
    EXPECT_FALSE(pcm(AudioFormat::kPcm16, 44100, 0x03).isValid()); // two channel bits
    EXPECT_FALSE(pcm(AudioFormat::kPcm16, 44100, 0x00).isValid()); // none
    EXPECT_FALSE(pcm(AudioFormat::kPcm16, 44100, 0x40).isValid()); // beyond the set
    EXPECT_FALSE(pcm(AudioFormat::kPcm16 | AudioFormat::kPcm24, 44100).isValid());
    EXPECT_FALSE(
        pcm(AudioFormat::kPcm16 | AudioFormat::kDsdMsbFirst, 44100).isValid()); // PCM with DSD options
    // Without a rate the byte rate would be 0: not a stream format.
    EXPECT_FALSE(AudioFormat(kStereo | AudioFormat::kPcm16).isValid());

    const uint64_t good = AudioFormat::kDsdMsbFirst | AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4;
    EXPECT_TRUE(dsd(5644800, good).isValid());
    EXPECT_FALSE(dsd(1411200, good).isValid()); // below DSD64
    EXPECT_FALSE(dsd(2822400, good | AudioFormat::kDsdLsbFirst).isValid());
    EXPECT_FALSE(dsd(2822400, good | AudioFormat::kDsdBigEndian).isValid());
    EXPECT_FALSE(
        dsd(2822400, AudioFormat::kDsdMsbFirst | AudioFormat::kDsdLittleEndian).isValid()); // 2-byte words
    EXPECT_FALSE(
        AudioFormat(kStereo | AudioFormat::kDsd1 | AudioFormat::kDsd4 | good | AudioFormat::rateBits(2822400))
            .isValid());
}

TEST(AudioFormatTest, CapabilityBounds) {
    const AudioFormat caps(0x01 | 0x02 | 0x10 | AudioFormat::kPcm16 | AudioFormat::kPcm32 |
                           AudioFormat::kFamily44100 | AudioFormat::kFamily48000 | (1ULL << 35) |
                           (1ULL << 38));
    EXPECT_EQ(caps.lowestChannels(), 1U);
    EXPECT_EQ(caps.highestChannels(), 8U);
    EXPECT_EQ(caps.lowestBits(), 16U);
    EXPECT_EQ(caps.highestBits(), 32U);
    EXPECT_EQ(caps.lowestFamily(), 44100U);
    EXPECT_EQ(caps.highestFamily(), 48000U);
    EXPECT_EQ(caps.lowestMultiplier(), 1U);
    EXPECT_EQ(caps.highestMultiplier(), 8U);
    EXPECT_EQ(AudioFormat().highestChannels(), 0U);
    EXPECT_EQ(AudioFormat::channelBit(6), 0x08U);
    EXPECT_EQ(AudioFormat::channelBit(3), 0U);
}

TEST(PrepareFormatTest, DerivedWordAndMatching) {
    const AudioFormat cd = pcm(AudioFormat::kPcm16, 44100);
    const PrepareFormat word = PrepareFormat::fromFormat(cd, 1500);
    EXPECT_EQ(word.value() & 0xFF, kStereo);
    EXPECT_EQ(word.value() & 0xFF00, PrepareFormat::kClassInteger);
    EXPECT_EQ(word.latency(), 1500);
    EXPECT_EQ(word.value() >> 32, cd.value() >> 32);
    EXPECT_TRUE(word.matches(cd));
    EXPECT_FALSE(word.matches(pcm(AudioFormat::kPcm16, 48000)));
    // A 24-bit stream of the same rate has the same class: the prepare word
    // does not tell integer depths apart.
    EXPECT_TRUE(word.matches(pcm(AudioFormat::kPcm24, 44100)));

    EXPECT_EQ(PrepareFormat::classCode(pcm(AudioFormat::kFloat32, 48000)), PrepareFormat::kClassFloat);
    EXPECT_EQ(PrepareFormat::classCode(dsd(2822400, 0)), PrepareFormat::kClassDsd);
    EXPECT_EQ(PrepareFormat::classCode(AudioFormat(kStereo)), PrepareFormat::kClassOther);

    PrepareFormat changed = word;
    changed.setLatency(10000);
    EXPECT_EQ(changed.latency(), 10000);
    EXPECT_EQ(changed.value() & ~PrepareFormat::kLatencyMask, word.value() & ~PrepareFormat::kLatencyMask);
    // The status channel's value: no latency, rate field from bit 16 on.
    EXPECT_EQ(word.withoutLatency(), (word.value() & 0xFFFF) | ((cd.value() >> 32) << 16));
}

} // namespace
} // namespace QUORVEL
