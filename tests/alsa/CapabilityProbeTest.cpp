#include "alsa/CapabilityProbe.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using ALSAOUT::DeviceCapabilities;
using ALSAOUT::ProbeSettings;
using QUORVEL::AudioFormat;

// A device described by its ranges and formats; every answer comes from here.
struct ScriptedDevice final : ALSAOUT::HardwareQuery {
    std::set<snd_pcm_format_t> formats;
    unsigned chMin = 2, chMax = 2;
    unsigned rMin = 44100, rMax = 192000;
    snd_pcm_uframes_t bufferMin = 64, bufferMax = 8192;
    // Error codes injected into single questions.
    int anyError = 0, accessError = 0, rateMaxError = 0, bufferMaxError = 0;
    int resets = 0;

    int reset() override {
        ++resets;
        return resets == 1 ? anyError : 0;
    }
    int setAccessInterleaved() override { return accessError; }
    int setFormat(snd_pcm_format_t format) override { return formats.count(format) != 0 ? 0 : -EINVAL; }
    int channelsMin(unsigned& v) override { return v = chMin, 0; }
    int channelsMax(unsigned& v) override { return v = chMax, 0; }
    int rateMin(unsigned& v) override { return v = rMin, 0; }
    int rateMax(unsigned& v) override { return rateMaxError != 0 ? rateMaxError : (v = rMax, 0); }
    int bufferSizeMin(snd_pcm_uframes_t& f) override { return f = bufferMin, 0; }
    int bufferSizeMax(snd_pcm_uframes_t& f) override {
        return bufferMaxError != 0 ? bufferMaxError : (f = bufferMax, 0);
    }
};

uint64_t rates(std::initializer_list<uint32_t> list) {
    uint64_t bits = 0;
    for (const uint32_t r : list) {
        bits |= AudioFormat::rateBits(r);
    }
    return bits;
}

class CapabilityProbeTest : public ::testing::Test {
protected:
    bool probe(const ProbeSettings& settings = {}) {
        return ALSAOUT::probeCapabilities(device, settings, caps);
    }
    bool logged(const std::string& text) const {
        for (const QUORVEL::LogCapture::Line& line : log.lines()) {
            if (line.text == text) {
                return true;
            }
        }
        return false;
    }

    QUORVEL::LogCapture log;
    ScriptedDevice device;
    DeviceCapabilities caps;
};

TEST_F(CapabilityProbeTest, RateRangesSelectTheListedRates) {
    device.formats = {SND_PCM_FORMAT_S16_LE};
    device.rMin = 44100;
    device.rMax = 192000;
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kRateMask, rates({44100, 48000, 88200, 96000, 176400, 192000}));
    EXPECT_TRUE(logged("support PCM 44100"));
    EXPECT_TRUE(logged("support PCM 192000"));
    EXPECT_FALSE(logged("support PCM 352800"));

    device.rMax = 48000;
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kRateMask, rates({44100, 48000}));

    device.rMin = 48000;
    device.rMax = 768000;
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kRateMask,
              rates({48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000}));
}

TEST_F(CapabilityProbeTest, EncodingsAndWidening) {
    device.formats = {SND_PCM_FORMAT_S32_LE};
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kPcmMask, AudioFormat::kPcm32);
    EXPECT_EQ(caps.convertMask, AudioFormat::kPcm16 | AudioFormat::kPcm24);
    EXPECT_FALSE(caps.s24In32);

    device.formats = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S32_LE};
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kPcmMask,
              AudioFormat::kPcm16 | AudioFormat::kPcm24 | AudioFormat::kPcm32);
    EXPECT_TRUE(caps.s24In32);
    EXPECT_EQ(caps.convertMask, 0u);
    EXPECT_TRUE(logged("support SND_PCM_FORMAT_S24_LE"));

    // No widening without a 32-bit format, even with 16 bit missing.
    device.formats = {SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_FLOAT64_LE,
                      SND_PCM_FORMAT_S8};
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.convertMask, 0u);
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kPcmMask,
              AudioFormat::kPcm8 | AudioFormat::kPcm24 | AudioFormat::kFloat32 | AudioFormat::kFloat64);
    EXPECT_TRUE(logged("support FMT_PCM_FLOAT_32"));
    EXPECT_TRUE(logged("support FMT_PCM_FLOAT_64"));
}

TEST_F(CapabilityProbeTest, NativeDsdRatesWithAndWithoutThe48Family) {
    device.formats = {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_DSD_U32_LE};
    device.rMax = 705600;
    ProbeSettings settings;
    settings.disable48DSD = true;
    ASSERT_TRUE(probe(settings));
    EXPECT_FALSE(caps.dopMode);
    EXPECT_EQ(caps.dsdCaps & ~AudioFormat::kRateMask & ~AudioFormat::kChannelMask, 0x2610000u);
    EXPECT_EQ(caps.dsdCaps & AudioFormat::kRateMask, rates({2822400, 5644800, 11289600, 22579200}));
    EXPECT_FALSE(logged("support DOP"));

    settings.disable48DSD = false;
    ASSERT_TRUE(probe(settings));
    EXPECT_EQ(caps.dsdCaps & AudioFormat::kRateMask,
              rates({2822400, 3072000, 5644800, 6144000, 11289600, 12288000, 22579200}));
    EXPECT_TRUE(logged("support DSD 22579200"));
    EXPECT_EQ(caps.dsdCaps & AudioFormat::kChannelMask, caps.pcmCaps & AudioFormat::kChannelMask);

    settings.disableNATIV = true;
    ASSERT_TRUE(probe(settings));
    EXPECT_TRUE(caps.dopMode) << "without native DSD the 32-bit format carries DoP";
}

TEST_F(CapabilityProbeTest, DopOnAPcmOnlyDacHalvesTheLatency) {
    device.formats = {SND_PCM_FORMAT_S32_LE};
    device.rMax = 384000;
    device.bufferMax = 38400; // 100 ms at the highest device rate
    ProbeSettings settings;
    settings.latencyLimitUs = 1000000;
    ASSERT_TRUE(probe(settings));
    EXPECT_TRUE(caps.dopMode);
    EXPECT_EQ(caps.dsdCaps & AudioFormat::kRateMask, rates({2822400, 3072000, 5644800, 6144000}));
    EXPECT_TRUE(logged("support DOP 6144000"));
    EXPECT_EQ(caps.latencyUs, 50000u);

    settings.disableDOP = true;
    ASSERT_TRUE(probe(settings));
    EXPECT_FALSE(caps.dopMode);
    EXPECT_EQ(caps.dsdCaps, 0u);
    EXPECT_EQ(caps.latencyUs, 100000u);

    // DoP needs a 24- or 32-bit format.
    device.formats = {SND_PCM_FORMAT_S16_LE};
    settings.disableDOP = false;
    ASSERT_TRUE(probe(settings));
    EXPECT_EQ(caps.dsdCaps, 0u);
}

TEST_F(CapabilityProbeTest, ChannelClassesAndUpmix) {
    device.formats = {SND_PCM_FORMAT_S16_LE};
    device.chMin = 8;
    device.chMax = 8;
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.upmixMask, 0x0Fu);
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kChannelMask, 0x10u);
    EXPECT_EQ(caps.channelsMin, 8u);

    device.chMin = 2;
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.upmixMask, 0x01u);
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kChannelMask, 0x1Eu);

    device.chMin = 1;
    ProbeSettings settings;
    settings.channelMax = 2;
    ASSERT_TRUE(probe(settings));
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kChannelMask, 0x03u);
    EXPECT_EQ(caps.upmixMask, 0u);
    EXPECT_TRUE(logged("support ch chg 2"));

    // A limit above the device's maximum changes nothing.
    settings.channelMax = 16;
    log.clear();
    ASSERT_TRUE(probe(settings));
    EXPECT_EQ(caps.pcmCaps & AudioFormat::kChannelMask, 0x1Fu);
    EXPECT_EQ(log.count("support ch chg"), 0u);
}

TEST_F(CapabilityProbeTest, LatencyLimits) {
    device.formats = {SND_PCM_FORMAT_S16_LE};
    device.rMax = 44100;
    device.bufferMax = 1764; // 40 ms at 44100
    ASSERT_TRUE(probe());
    EXPECT_EQ(caps.latencyUs, 10000u);
    EXPECT_TRUE(logged("Alsa  Latency 10000usec"));

    ProbeSettings settings;
    settings.latencyLimitUs = 20000;
    ASSERT_TRUE(probe(settings));
    EXPECT_EQ(caps.latencyUs, 20000u);

    settings.latencyLimitUs = 50000;
    ASSERT_TRUE(probe(settings));
    EXPECT_EQ(caps.latencyUs, 40000u);
}

TEST_F(CapabilityProbeTest, UnusableDevicesFailWithTheirLine) {
    // DSD only: no PCM encoding.
    device.formats = {SND_PCM_FORMAT_DSD_U32_LE};
    EXPECT_FALSE(probe());
    EXPECT_TRUE(logged("alsa format not match Err 0"));

    // PCM encodings, but no rate of the list: nothing to size the buffer by.
    device.formats = {SND_PCM_FORMAT_S16_LE};
    device.rMin = 8000;
    device.rMax = 32000;
    EXPECT_FALSE(probe());
    EXPECT_TRUE(logged("alsa rate not match Err 0"));

    device.rMax = 48000;
    device.rateMaxError = -EIO;
    EXPECT_FALSE(probe());
    EXPECT_TRUE(logged("alsa snd_pcm_hw_params_get_rate_max Err -5"));

    device.rateMaxError = 0;
    device.bufferMaxError = -ENODEV;
    EXPECT_FALSE(probe());
    EXPECT_TRUE(logged("alsa snd_pcm_hw_params_get_buffer_size_max Err -19"));

    device.bufferMaxError = 0;
    device.accessError = -EINVAL;
    EXPECT_FALSE(probe());
    EXPECT_TRUE(logged("alsa snd_pcm_hw_params_set_access Err -22"));

    device.resets = 0;
    device.anyError = -EBADFD;
    EXPECT_FALSE(probe());
    EXPECT_TRUE(logged("alsa snd_pcm_hw_params_any Err -77"));
}

} // namespace
