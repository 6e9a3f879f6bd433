#include "alsa/OutputFormat.h"

#include <gtest/gtest.h>

namespace {

using ALSAOUT::Conversion;
using ALSAOUT::DeviceFacts;
using ALSAOUT::DopContainer;
using ALSAOUT::FormatLog;
using ALSAOUT::OutputFormat;
using QUORVEL::AudioFormat;

constexpr uint64_t kStereo = 0x02;
constexpr uint64_t kRate44 = AudioFormat::kFamily44100 | (1ULL << AudioFormat::kMultiplierShift);
constexpr uint64_t kDsdLe =
    AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst | AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4;
constexpr uint64_t kDsdBe =
    AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst | AudioFormat::kDsdBigEndian | AudioFormat::kDsdWidth4;

AudioFormat pcm(uint64_t encoding) {
    return AudioFormat(kStereo | encoding | kRate44);
}

AudioFormat dsd(uint64_t encoding) {
    return AudioFormat(kStereo | encoding | AudioFormat::rateBits(2822400));
}

TEST(OutputFormatTest, NativePcmEncodings) {
    const DeviceFacts device{.pcmCaps = 0x7F00};
    struct Case {
        uint64_t encoding;
        snd_pcm_format_t format;
        FormatLog log;
    };
    const Case cases[] = {
        {AudioFormat::kPcm8, SND_PCM_FORMAT_S8, FormatLog::Pcm},
        {AudioFormat::kPcm16, SND_PCM_FORMAT_S16_LE, FormatLog::Pcm},
        {AudioFormat::kPcm24, SND_PCM_FORMAT_S24_3LE, FormatLog::Pcm},
        {AudioFormat::kPcm32, SND_PCM_FORMAT_S32_LE, FormatLog::Pcm},
        {AudioFormat::kFloat32, SND_PCM_FORMAT_FLOAT_LE, FormatLog::Float},
        {AudioFormat::kFloat64, SND_PCM_FORMAT_FLOAT64_LE, FormatLog::Float},
    };
    for (const Case& c : cases) {
        OutputFormat out;
        ASSERT_TRUE(ALSAOUT::chooseOutputFormat(pcm(c.encoding), device, out)) << c.encoding;
        EXPECT_EQ(out.alsaFormat, c.format);
        EXPECT_EQ(out.conversion, Conversion::None);
        EXPECT_EQ(out.divisor, 1u);
        EXPECT_EQ(out.padBytes, 0u);
        EXPECT_EQ(out.log, c.log);
    }
    OutputFormat out;
    EXPECT_FALSE(ALSAOUT::chooseOutputFormat(pcm(AudioFormat::kPcm64), device, out));
}

TEST(OutputFormatTest, WideningAndContainers) {
    // 16 and 24 bit only through the 32-bit format.
    const DeviceFacts wideOnly{.pcmCaps = AudioFormat::kPcm32, .convertMask = 0x600};
    OutputFormat out;
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(pcm(AudioFormat::kPcm16), wideOnly, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_S32_LE);
    EXPECT_EQ(out.conversion, Conversion::Widen);
    EXPECT_EQ(out.padBytes, 2u);
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(pcm(AudioFormat::kPcm24), wideOnly, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_S32_LE);
    EXPECT_EQ(out.padBytes, 1u);

    const DeviceFacts in32{.pcmCaps = AudioFormat::kPcm24, .s24In32 = true};
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(pcm(AudioFormat::kPcm24), in32, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_S24_LE);
    EXPECT_EQ(out.conversion, Conversion::In32);
}

TEST(OutputFormatTest, DsdAsDopOrNative) {
    OutputFormat out;
    const DeviceFacts dop32{.pcmCaps = AudioFormat::kPcm32 | AudioFormat::kPcm24, .dopMode = true};
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(dsd(kDsdLe), dop32, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_S32_LE);
    EXPECT_EQ(out.conversion, Conversion::Dop);
    EXPECT_EQ(out.dopContainer, DopContainer::S32);
    EXPECT_EQ(out.divisor, 16u);
    EXPECT_EQ(dsd(kDsdLe).rate() / out.divisor, 176400u);

    const DeviceFacts dop24{.pcmCaps = AudioFormat::kPcm24, .s24In32 = true, .dopMode = true};
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(dsd(kDsdLe), dop24, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_S24_LE);
    EXPECT_EQ(out.dopContainer, DopContainer::S24In32);
    const DeviceFacts dop24Packed{.pcmCaps = AudioFormat::kPcm24, .dopMode = true};
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(dsd(kDsdLe), dop24Packed, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_S24_3LE);
    EXPECT_EQ(out.dopContainer, DopContainer::S24Packed);
    // DoP needs little-endian words and a 24/32-bit format.
    EXPECT_FALSE(ALSAOUT::chooseOutputFormat(dsd(kDsdBe), dop32, out));
    const DeviceFacts dop16{.pcmCaps = AudioFormat::kPcm16, .dopMode = true};
    EXPECT_FALSE(ALSAOUT::chooseOutputFormat(dsd(kDsdLe), dop16, out));

    const DeviceFacts native{.pcmCaps = AudioFormat::kPcm32};
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(dsd(kDsdLe), native, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_DSD_U32_LE);
    EXPECT_EQ(out.divisor, 32u);
    EXPECT_EQ(out.log, FormatLog::Dsd);
    ASSERT_TRUE(ALSAOUT::chooseOutputFormat(dsd(kDsdBe), native, out));
    EXPECT_EQ(out.alsaFormat, SND_PCM_FORMAT_DSD_U32_BE);

    // LSB-first, 4-bit DSD and 2-byte words are refused.
    const uint64_t lsb = (kDsdLe & ~AudioFormat::kDsdMsbFirst) | AudioFormat::kDsdLsbFirst;
    EXPECT_FALSE(ALSAOUT::chooseOutputFormat(dsd(lsb), native, out));
    EXPECT_FALSE(
        ALSAOUT::chooseOutputFormat(dsd((kDsdLe & ~AudioFormat::kDsd1) | AudioFormat::kDsd4), native, out));
    EXPECT_FALSE(ALSAOUT::chooseOutputFormat(dsd(kDsdLe & ~AudioFormat::kDsdWidthMask), native, out));
    // A word that is neither PCM nor DSD.
    EXPECT_FALSE(ALSAOUT::chooseOutputFormat(AudioFormat(kStereo | kRate44), native, out));
}

TEST(OutputFormatTest, SmallestChannelClass) {
    EXPECT_EQ(ALSAOUT::smallestChannelClass(0x10), 8u);
    EXPECT_EQ(ALSAOUT::smallestChannelClass(0x1E), 2u);
    EXPECT_EQ(ALSAOUT::smallestChannelClass(0x28), 6u);
    EXPECT_EQ(ALSAOUT::smallestChannelClass(0x0F00), 0u);
}

} // namespace
