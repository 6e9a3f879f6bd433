// Capability words in words a person reads, DSD over PCM told from native
// DSD, and target addresses as users type them.
#include "host/CapabilityText.h"
#include "host/TargetLookup.h"

#include <gtest/gtest.h>

#include <net/if.h>

namespace {

using QUORVEL::AudioFormat;
using QUORVEL::DsdTransport;

constexpr uint64_t multiplier(int k) {
    return 1ULL << (AudioFormat::kMultiplierShift + k);
}

constexpr uint64_t kBothFamilies = AudioFormat::kFamily44100 | AudioFormat::kFamily48000;
constexpr uint64_t kStereoAndUpmixed = 0x3;
// What the probe offers for 16/24/32-bit PCM on a DAC running 44.1-192 kHz.
constexpr uint64_t kPcmTo192k = kStereoAndUpmixed | AudioFormat::kPcm16 | AudioFormat::kPcm24 |
                                AudioFormat::kPcm32 | kBothFamilies | multiplier(0) | multiplier(1) |
                                multiplier(2);
// 1-bit DSD, MSB first, little-endian 4-byte words: native DSD_U32_LE and DoP alike.
constexpr uint64_t kDsdLittle = 0x2610000;

TEST(CapabilityText, RatesAreEveryFamilyTimesEveryMultiplier) {
    EXPECT_EQ(QUORVEL::capabilityRates(AudioFormat(kPcmTo192k)),
              (std::vector<uint32_t>{44100, 48000, 88200, 96000, 176400, 192000}));
    EXPECT_EQ(QUORVEL::capabilityRates(AudioFormat(AudioFormat::kFamily8000)), (std::vector<uint32_t>{8000}));
    // The top multiplier of the 48 kHz family is the largest DSD rate there is.
    EXPECT_EQ(QUORVEL::capabilityRates(AudioFormat(AudioFormat::kFamily48000 | multiplier(12))),
              (std::vector<uint32_t>{196608000}));
    EXPECT_TRUE(QUORVEL::capabilityRates(AudioFormat(multiplier(3))).empty())
        << "a multiplier without a family";
}

TEST(CapabilityText, EncodingsChannelsAndDsdOptions) {
    const auto pcm = QUORVEL::describeCapability(
        AudioFormat(0x29 | AudioFormat::kPcm8 | AudioFormat::kFloat32 | AudioFormat::kFloat64));
    EXPECT_EQ(pcm.encodings, (std::vector<std::string>{"8-bit integer", "32-bit float", "64-bit float"}));
    EXPECT_EQ(pcm.channels, (std::vector<uint32_t>{1, 6, 16}));
    EXPECT_TRUE(pcm.dsdOptions.empty());

    const auto big = QUORVEL::describeCapability(AudioFormat(0x2A10000));
    EXPECT_EQ(big.encodings, (std::vector<std::string>{"1-bit DSD"}));
    EXPECT_EQ(big.dsdOptions, (std::vector<std::string>{"MSB first", "big-endian words", "4-byte words"}));
    const auto narrow = QUORVEL::describeCapability(
        AudioFormat(AudioFormat::kDsd4 | AudioFormat::kDsdLsbFirst | AudioFormat::kDsdLittleEndian));
    EXPECT_EQ(narrow.dsdOptions,
              (std::vector<std::string>{"LSB first", "little-endian words", "2-byte words"}));
}

TEST(CapabilityText, NativeDsdReachesThirtyTwoTimesThePcmRate) {
    // A DAC with PCM up to 192 kHz: native DSD_U32 reaches 192000 x 32 (DSD128
    // of the 44.1 kHz family, 5.6448 MHz); DoP reaches 192000 x 16 (DSD64).
    const AudioFormat pcm(kPcmTo192k);
    const AudioFormat native(kDsdLittle | kStereoAndUpmixed | AudioFormat::kFamily44100 | multiplier(6) |
                             multiplier(7));
    const AudioFormat dop(kDsdLittle | kStereoAndUpmixed | AudioFormat::kFamily44100 | multiplier(6));
    EXPECT_EQ(QUORVEL::dsdTransport(pcm, native), DsdTransport::Native);
    EXPECT_EQ(QUORVEL::dsdTransport(pcm, dop), DsdTransport::DoP);
    // With DSD48 enabled both families count; the multiplier set is shared.
    EXPECT_EQ(QUORVEL::dsdTransport(pcm, AudioFormat(dop.value() | AudioFormat::kFamily48000)),
              DsdTransport::DoP);

    EXPECT_EQ(QUORVEL::dsdTransport(pcm, AudioFormat(0x2A10000 | AudioFormat::kFamily44100 | multiplier(6))),
              DsdTransport::Native)
        << "DoP frames are never big-endian";
    const AudioFormat only16(kStereoAndUpmixed | AudioFormat::kPcm16 | kBothFamilies | multiplier(0));
    EXPECT_EQ(QUORVEL::dsdTransport(only16, dop), DsdTransport::Native) << "DoP needs 24- or 32-bit PCM";
    EXPECT_EQ(QUORVEL::dsdTransport(pcm, AudioFormat(0)), DsdTransport::None);
    EXPECT_EQ(QUORVEL::dsdTransport(pcm, AudioFormat(kDsdLittle | kStereoAndUpmixed)), DsdTransport::DoP)
        << "no rate to compare: a sink able to carry DoP";
}

TEST(CapabilityText, RatesFormatsAndLatencyAsText) {
    EXPECT_EQ(QUORVEL::pcmRateText(44100), "44.1 kHz");
    EXPECT_EQ(QUORVEL::pcmRateText(192000), "192 kHz");
    EXPECT_EQ(QUORVEL::pcmRateText(1411200), "1411.2 kHz");
    EXPECT_EQ(QUORVEL::dsdRateText(2822400), "DSD64 (2.8224 MHz)");
    EXPECT_EQ(QUORVEL::dsdRateText(3072000), "DSD64 (3.072 MHz)");
    EXPECT_EQ(QUORVEL::dsdRateText(45158400), "DSD1024 (45.1584 MHz)");
    const AudioFormat cd(AudioFormat::kPcm16 | AudioFormat::rateBits(44100) | AudioFormat::channelBit(2));
    EXPECT_EQ(QUORVEL::streamFormatText(cd), "16-bit integer, 44.1 kHz, 2 channels");
    const AudioFormat dsd(kDsdLittle | AudioFormat::rateBits(5644800) | AudioFormat::channelBit(1));
    EXPECT_EQ(QUORVEL::streamFormatText(dsd), "DSD128 (5.6448 MHz), 1-bit DSD, 1 channel");
    EXPECT_EQ(QUORVEL::latencyText(1000), "100 ms");
    EXPECT_EQ(QUORVEL::latencyText(105), "10.5 ms");
    EXPECT_EQ(QUORVEL::latencyText(65535), "6553.5 ms");
}

TEST(TargetLookup, AddressesAsUsersTypeThem) {
    std::string error;
    const auto plain = QUORVEL::parseTargetAddress("::1", 19642, error);
    ASSERT_TRUE(plain) << error;
    EXPECT_TRUE(plain->isLoopback());
    EXPECT_EQ(plain->hostPort(), 19642);

    const auto bracketed = QUORVEL::parseTargetAddress("[::1]:20000", 19642, error);
    ASSERT_TRUE(bracketed) << error;
    EXPECT_EQ(bracketed->hostPort(), 20000);

    const auto linkLocal = QUORVEL::parseTargetAddress("[fe80::a%lo]:19650", 19642, error);
    ASSERT_TRUE(linkLocal) << error;
    EXPECT_EQ(linkLocal->scope, ::if_nametoindex("lo"));
    EXPECT_EQ(linkLocal->hostPort(), 19650);
    EXPECT_EQ(QUORVEL::parseTargetAddress("fe80::a%1", 19642, error)->scope, 1U);

    for (const char* bad : {"fe80::a", "[::1]:0", "[::1]:65536", "[::1]x", "[::1", "::1%nosuchif0", "hello",
                            "1.2.3.4", "[::1]:", "::1%"}) {
        error.clear();
        EXPECT_FALSE(QUORVEL::parseTargetAddress(bad, 19642, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(TargetLookup, NameOrIdentifier) {
    QUORVEL::TargetIdentity target;
    target.name = "Wohnzimmer";
    target.targetId = 0x6B6369776C6C6542ULL;
    EXPECT_TRUE(QUORVEL::targetMatches(target, "Wohnzimmer"));
    EXPECT_FALSE(QUORVEL::targetMatches(target, "wohnzimmer"));
    EXPECT_TRUE(QUORVEL::targetMatches(target, "6b6369776c6c6542"));
    EXPECT_TRUE(QUORVEL::targetMatches(target, "0x6B6369776C6C6542"));
    EXPECT_FALSE(QUORVEL::targetMatches(target, "b6369776c6c6542")) << "15 digits";
    EXPECT_FALSE(QUORVEL::targetMatches(target, "6b6369776c6c6543"));
}

} // namespace
