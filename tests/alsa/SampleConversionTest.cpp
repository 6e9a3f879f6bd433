#include "alsa/SampleConversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

using ALSAOUT::DopContainer;
using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(generator());
    }
    return bytes;
}

TEST(SampleConversionTest, WideningPutsTheSampleInTheUpperBytes) {
    const Bytes in16 = {0x34, 0x12, 0xFF, 0x80, 0x01, 0x00};
    Bytes out(12, 0xEE);
    ASSERT_EQ(ALSAOUT::widenTo32(in16.data(), 3, 2, out.data()), 12u);
    EXPECT_EQ(out, (Bytes{0, 0, 0x34, 0x12, 0, 0, 0xFF, 0x80, 0, 0, 0x01, 0x00}));

    const Bytes in24 = {0x56, 0x34, 0x12, 0x00, 0x00, 0x80};
    out.assign(8, 0xEE);
    ASSERT_EQ(ALSAOUT::widenTo32(in24.data(), 2, 1, out.data()), 8u);
    EXPECT_EQ(out, (Bytes{0, 0x56, 0x34, 0x12, 0, 0x00, 0x00, 0x80}));

    // Only 16- and 24-bit samples are widened.
    EXPECT_EQ(ALSAOUT::widenTo32(in16.data(), 3, 0, out.data()), 0u);
    EXPECT_EQ(ALSAOUT::widenTo32(in16.data(), 3, 3, out.data()), 0u);
}

TEST(SampleConversionTest, WideningKeepsEverySampleOfALongUnalignedRun) {
    // Long enough for the vectorised loop and its tail, read from an odd address.
    const Bytes source = randomBytes(2 * 1001 + 1, 7);
    const uint8_t* in = source.data() + 1;
    Bytes out(4 * 1001 + 1);
    ALSAOUT::widenTo32(in, 1001, 2, out.data() + 1);
    for (size_t i = 0; i < 1001; ++i) {
        ASSERT_EQ(out[1 + 4 * i], 0);
        ASSERT_EQ(out[1 + 4 * i + 1], 0);
        ASSERT_EQ(out[1 + 4 * i + 2], in[2 * i]) << i;
        ASSERT_EQ(out[1 + 4 * i + 3], in[2 * i + 1]) << i;
    }
}

TEST(SampleConversionTest, Packed24GoesIntoTheLowBytesOfItsContainer) {
    const Bytes in = randomBytes(3 * 333, 11);
    Bytes out(4 * 333, 0xEE);
    ASSERT_EQ(ALSAOUT::place24In32(in.data(), 333, out.data()), 4u * 333);
    for (size_t i = 0; i < 333; ++i) {
        ASSERT_EQ(out[4 * i], in[3 * i]);
        ASSERT_EQ(out[4 * i + 1], in[3 * i + 1]);
        ASSERT_EQ(out[4 * i + 2], in[3 * i + 2]);
        ASSERT_EQ(out[4 * i + 3], 0) << "top byte of container " << i;
    }
}

TEST(SampleConversionTest, UpmixCopiesChannelsAndFillsTheRestWithSilence) {
    // Stereo 16-bit onto 8 channels: 0 and 1 carry the music.
    const Bytes stereo = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes out(2 * 16, 0xEE);
    ASSERT_EQ(ALSAOUT::upmixFrames(stereo.data(), 2, 2, 2, 8, 0x00, out.data()), 32u);
    const Bytes expected = {1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                            5, 6, 7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(out, expected);

    // Mono is heard on both front channels.
    const Bytes mono = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    out.assign(12, 0xEE);
    ASSERT_EQ(ALSAOUT::upmixFrames(mono.data(), 2, 3, 1, 2, 0x00, out.data()), 12u);
    EXPECT_EQ(out, (Bytes{0x11, 0x22, 0x33, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x44, 0x55, 0x66}));

    // Mono DSD words onto 4 channels: the added channels carry DSD silence.
    const Bytes dsd = {0xA1, 0xA2, 0xA3, 0xA4};
    out.assign(16, 0xEE);
    ASSERT_EQ(ALSAOUT::upmixFrames(dsd.data(), 1, 4, 1, 4, 0x96, out.data()), 16u);
    EXPECT_EQ(out, (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA1, 0xA2, 0xA3, 0xA4, 0x96, 0x96, 0x96, 0x96, 0x96, 0x96,
                          0x96, 0x96}));

    // Nothing to add is no up-mix.
    EXPECT_EQ(ALSAOUT::upmixFrames(stereo.data(), 2, 2, 2, 2, 0, out.data()), 0u);
}

TEST(SampleConversionTest, DopSplitsEachWordIntoTwoMarkedFrames) {
    // Two channels, one DSD word each: bytes b0..b3, b3 holds the earliest bits.
    const Bytes in = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

    Bytes out(16, 0xEE);
    ASSERT_EQ(ALSAOUT::packDop(in.data(), 1, 2, DopContainer::S32, out.data()), 16u);
    EXPECT_EQ(out, (Bytes{0x00, 0x54, 0x76, 0x05, 0x00, 0xDC, 0xFE, 0x05,    // first frame
                          0x00, 0x10, 0x32, 0xFA, 0x00, 0x98, 0xBA, 0xFA})); // second frame

    out.assign(16, 0xEE);
    ASSERT_EQ(ALSAOUT::packDop(in.data(), 1, 2, DopContainer::S24In32, out.data()), 16u);
    EXPECT_EQ(out, (Bytes{0x54, 0x76, 0x05, 0x00, 0xDC, 0xFE, 0x05, 0x00, 0x10, 0x32, 0xFA, 0x00, 0x98, 0xBA,
                          0xFA, 0x00}));

    out.assign(12, 0xEE);
    ASSERT_EQ(ALSAOUT::packDop(in.data(), 1, 2, DopContainer::S24Packed, out.data()), 12u);
    EXPECT_EQ(out, (Bytes{0x54, 0x76, 0x05, 0xDC, 0xFE, 0x05, 0x10, 0x32, 0xFA, 0x98, 0xBA, 0xFA}));
}

TEST(SampleConversionTest, DopMarkersAlternateOverEveryOutputFrame) {
    constexpr size_t kFrames = 257;
    constexpr uint32_t kChannels = 6;
    const Bytes in = randomBytes(kFrames * kChannels * 4, 3);
    for (const DopContainer container : {DopContainer::S32, DopContainer::S24In32, DopContainer::S24Packed}) {
        const uint32_t width = ALSAOUT::dopSampleBytes(container);
        const size_t markerAt = container == DopContainer::S32 ? 3 : 2;
        Bytes out(2 * kFrames * kChannels * width);
        ASSERT_EQ(ALSAOUT::packDop(in.data(), kFrames, kChannels, container, out.data()), out.size());
        for (size_t frame = 0; frame < 2 * kFrames; ++frame) {
            for (uint32_t c = 0; c < kChannels; ++c) {
                const uint8_t* sample = out.data() + (frame * kChannels + c) * width;
                const uint8_t* word = in.data() + ((frame / 2) * kChannels + c) * 4;
                const size_t lowAt = markerAt - 2;
                ASSERT_EQ(sample[markerAt], frame % 2 == 0 ? 0x05 : 0xFA) << frame;
                ASSERT_EQ(sample[lowAt + 1], frame % 2 == 0 ? word[3] : word[1]) << frame;
                ASSERT_EQ(sample[lowAt], frame % 2 == 0 ? word[2] : word[0]) << frame;
            }
        }
    }
}

} // namespace
