// ctest-labels: threads
// The capability probe of CertifiedSinkAlsa on emulated DACs: what the fake
// device offers must come out as the right capability words.
#include "AlsaSinkFixture.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace {

using ALSATEST::AlsaSinkFixture;
using ALSATEST::settingsWith;
using QUORVEL::AudioFormat;
using QUORVELTEST::FakeAlsa;
using QUORVELTEST::FakeCard;
using QUORVELTEST::FakePcmDevice;

uint64_t rateBits(std::initializer_list<uint32_t> rates) {
    uint64_t bits = 0;
    for (const uint32_t rate : rates) {
        bits |= AudioFormat::rateBits(rate);
    }
    return bits;
}

FakePcmDevice dac(std::initializer_list<const char*> formats, unsigned rateMin, unsigned rateMax) {
    FakePcmDevice device;
    device.formats.assign(formats.begin(), formats.end());
    device.rateMin = rateMin;
    device.rateMax = rateMax;
    return device;
}

class AlsaProbeTest : public ::testing::Test {
protected:
    // Probes hw:1,0 as `device` offers it.
    bool probe(const FakePcmDevice& device, const ALSATEST::Keys& keys = {}) {
        fixture.release();
        fake.reset(); // one fake configuration at a time
        fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{device});
        EXPECT_TRUE(fake->ok());
        log.clear();
        return fixture.probe("hw:1,0", settingsWith(keys));
    }
    const ALSAOUT::DeviceCapabilities& caps() const { return fixture.sink->capabilities(); }
    bool logged(const std::string& text) const {
        for (const QUORVEL::LogCapture::Line& line : log.lines()) {
            if (line.text == text) {
                return true;
            }
        }
        return false;
    }
    long position(const std::string& text) const {
        const auto lines = log.lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].text == text) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }
    void TearDown() override { fixture.release(); }

    QUORVEL::LogCapture log;
    AlsaSinkFixture fixture;
    std::unique_ptr<FakeAlsa> fake;
};

TEST_F(AlsaProbeTest, RateRanges) {
    ASSERT_TRUE(probe(dac({"S16_LE"}, 44100, 192000)));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kRateMask,
              rateBits({44100, 48000, 88200, 96000, 176400, 192000}));
    EXPECT_TRUE(logged("support rate_min 44100"));
    EXPECT_TRUE(logged("support rate max 192000"));
    EXPECT_TRUE(logged("support PCM 192000"));
    EXPECT_FALSE(logged("support PCM 352800"));

    ASSERT_TRUE(probe(dac({"S16_LE"}, 44100, 48000)));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kRateMask, rateBits({44100, 48000}));

    ASSERT_TRUE(probe(dac({"S16_LE"}, 48000, 768000)));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kRateMask,
              rateBits({48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000}));
    EXPECT_FALSE(logged("support PCM 44100"));
}

TEST_F(AlsaProbeTest, SampleEncodings) {
    // 32 bit only: 16 and 24 bit are played widened.
    ASSERT_TRUE(probe(dac({"S32_LE"}, 44100, 192000)));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kPcmMask, AudioFormat::kPcm32);
    EXPECT_EQ(caps().convertMask, AudioFormat::kPcm16 | AudioFormat::kPcm24);
    AudioFormat cd = ALSATEST::streamFormat(AudioFormat::kPcm16, 44100, 2);
    ASSERT_TRUE(fixture.sink->canFormat(cd));
    EXPECT_EQ(cd.value() & AudioFormat::kPcm16, AudioFormat::kPcm16) << "16 bit is accepted through widening";

    // 24 bit in 4-byte containers only.
    ASSERT_TRUE(probe(dac({"S16_LE", "S24_LE"}, 44100, 192000)));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kPcmMask, AudioFormat::kPcm16 | AudioFormat::kPcm24);
    EXPECT_TRUE(caps().s24In32);
    EXPECT_EQ(caps().convertMask, 0u) << "no widening without a 32-bit format";
    EXPECT_TRUE(logged("support SND_PCM_FORMAT_S24_LE"));

    ASSERT_TRUE(probe(dac({"S8", "S24_3LE", "FLOAT_LE", "FLOAT64_LE"}, 44100, 48000)));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kPcmMask,
              AudioFormat::kPcm8 | AudioFormat::kPcm24 | AudioFormat::kFloat32 | AudioFormat::kFloat64);
    EXPECT_FALSE(caps().s24In32);
}

TEST_F(AlsaProbeTest, NativeDsdWithAndWithoutThe48Family) {
    // DSD48 missing from a loaded file: the 48 kHz family is off.
    ASSERT_TRUE(probe(dac({"S32_LE", "DSD_U32_LE"}, 44100, 705600)));
    EXPECT_FALSE(caps().dopMode);
    EXPECT_EQ(caps().dsdCaps & 0xFFFF0000ULL, 0x2610000u);
    EXPECT_EQ(caps().dsdCaps & AudioFormat::kRateMask, rateBits({2822400, 5644800, 11289600, 22579200}));
    EXPECT_EQ(caps().dsdCaps & AudioFormat::kChannelMask, 0x02u);
    EXPECT_TRUE(logged("support SND_PCM_FORMAT_DSD_U32_LE"));
    EXPECT_FALSE(logged("support DOP"));

    ASSERT_TRUE(probe(dac({"S32_LE", "DSD_U32_LE"}, 44100, 705600), {{"DSD48", "enable"}}));
    EXPECT_EQ(caps().dsdCaps & AudioFormat::kRateMask,
              rateBits({2822400, 3072000, 5644800, 6144000, 11289600, 12288000, 22579200}));
    EXPECT_TRUE(logged("support DSD 12288000"));
}

TEST_F(AlsaProbeTest, DopOnAPcmOnlyDac) {
    FakePcmDevice device = dac({"S32_LE"}, 44100, 384000);
    ASSERT_TRUE(probe(device, {{"DSD48", "enable"}, {"AlsaLatency", "1000"}}));
    EXPECT_TRUE(caps().dopMode);
    EXPECT_TRUE(logged("support DOP"));
    EXPECT_EQ(caps().dsdCaps & AudioFormat::kRateMask, rateBits({2822400, 3072000, 5644800, 6144000}));
    EXPECT_EQ(caps().dsdCaps & ~AudioFormat::kRateMask, 0x2610000u | 0x02u);
    // The latency is half of what the buffer holds at the highest rate.
    const uint32_t withDop = caps().latencyUs;

    ASSERT_TRUE(probe(device, {{"DSD48", "enable"}, {"AlsaLatency", "1000"}, {"DoPauto", "disable"}}));
    EXPECT_FALSE(caps().dopMode);
    EXPECT_EQ(caps().dsdCaps, 0u);
    EXPECT_GT(withDop, 0u);
    EXPECT_EQ(withDop, caps().latencyUs / 2);
}

TEST_F(AlsaProbeTest, ChannelRangesAndLimit) {
    FakePcmDevice device = dac({"S16_LE"}, 44100, 48000);
    device.channelsMin = 8;
    device.channelsMax = 8;
    ASSERT_TRUE(probe(device));
    EXPECT_EQ(caps().upmixMask, 0x0Fu);
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kChannelMask, 0x10u);
    EXPECT_TRUE(logged("support ch_min 8"));

    device.channelsMin = 2;
    ASSERT_TRUE(probe(device));
    EXPECT_EQ(caps().upmixMask, 0x01u);
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kChannelMask, 0x1Eu);

    device.channelsMin = 1;
    ASSERT_TRUE(probe(device, {{"AlsaMaxCh", "2"}}));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kChannelMask, 0x03u);
    EXPECT_TRUE(logged("support ch max 8"));
    EXPECT_TRUE(logged("support ch chg 2"));
}

TEST_F(AlsaProbeTest, DisabledSampleWidthsLeaveBothWords) {
    ASSERT_TRUE(probe(dac({"S32_LE"}, 44100, 48000), {{"PCM16bit", "disable"}}));
    EXPECT_EQ(caps().convertMask, AudioFormat::kPcm24);
    AudioFormat cd = ALSATEST::streamFormat(AudioFormat::kPcm16, 44100, 2);
    fixture.sink->canFormat(cd);
    EXPECT_EQ(cd.value(), 0u) << "16 bit is no longer accepted";
    // Applied after the sink's ports are open.
    const long disabled = position("Disable PCM16");
    ASSERT_GE(disabled, 0);
    EXPECT_GT(disabled, position("Stream port:" + std::to_string(fixture.sink->boundStreamPort())));

    ASSERT_TRUE(probe(dac({"S16_LE", "S24_3LE", "S32_LE"}, 44100, 48000), {{"PCM16bit", "disable"}}));
    EXPECT_EQ(caps().pcmCaps & AudioFormat::kPcmMask, AudioFormat::kPcm24 | AudioFormat::kPcm32);
}

TEST_F(AlsaProbeTest, LatencyFollowsTheBufferAndTheLimits) {
    // 16-bit stereo: a 7056-byte buffer is 1764 frames, 40 ms at 44100.
    FakePcmDevice device = dac({"S16_LE"}, 44100, 44100);
    device.bufferBytesMax = 7056;
    ASSERT_TRUE(probe(device));
    EXPECT_TRUE(logged("fs_max 1764"));
    EXPECT_EQ(caps().latencyUs, 10000u);
    EXPECT_TRUE(logged("Alsa  Latency 10000usec"));

    ASSERT_TRUE(probe(device, {{"AlsaLatency", "20"}}));
    EXPECT_EQ(caps().latencyUs, 20000u);
    EXPECT_TRUE(logged("AlsaLatency : 20000"));

    ASSERT_TRUE(probe(device, {{"AlsaLatency", "50"}}));
    EXPECT_EQ(caps().latencyUs, 40000u);
    uint16_t maxLatency = 0;
    uint16_t deviceLatency = 0;
    uint16_t latency = 0;
    fixture.sink->getLatency(maxLatency, deviceLatency, latency);
    EXPECT_EQ(deviceLatency, 400u);
    EXPECT_EQ(latency, 1000u) << "the node's 100 ms default";
}

TEST_F(AlsaProbeTest, UnusableDevices) {
    // DSD without any PCM encoding.
    EXPECT_FALSE(probe(dac({"DSD_U32_LE"}, 44100, 705600)));
    EXPECT_TRUE(logged("alsa format not match Err 0"));
    EXPECT_FALSE(logged("Control port:" + std::to_string(fixture.sink->boundControlPort())));

    // PCM, but at none of the rates a Host can send.
    EXPECT_FALSE(probe(dac({"S16_LE"}, 8000, 32000)));
    EXPECT_TRUE(logged("alsa rate not match Err 0"));

    FakePcmDevice broken = dac({"S16_LE"}, 44100, 48000);
    broken.openError = 16; // EBUSY
    EXPECT_FALSE(probe(broken));
    EXPECT_TRUE(logged("alsa snd_pcm_open Err -16"));
}

TEST_F(AlsaProbeTest, NameLookupAndSettingsLines) {
    FakeCard card;
    card.name = "Quorvel Test DAC";
    fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{card},
                                      std::vector<FakePcmDevice>{dac({"S16_LE"}, 44100, 48000)});
    QUORVEL::SinkInfo info;
    info.name = "before";
    info.packetSize = 0;
    info.packetLimit = 0;
    CertifiedSinkAlsa::lookupDacName(info, "hw:1,0");
    // The card offers fewer than two playback devices: its name is the DAC's.
    EXPECT_EQ(info.name, "Quorvel Test DAC");
    EXPECT_EQ(info.packetSize, 1500u);
    EXPECT_EQ(info.packetLimit, 65535u);

    QUORVEL::SinkInfo missing;
    missing.name = "before";
    CertifiedSinkAlsa::lookupDacName(missing, "hw:7,0");
    EXPECT_EQ(missing.name, "before") << "a card that does not open leaves the name";

    ASSERT_TRUE(fixture.probe("hw:1,0", settingsWith({{"PCM24bit", "disable"}, {"AlsaMaxCh", "4"}})));
    const auto lines = log.lines();
    const std::string expected[] = {
        "DAC Name : \"Quorvel Test DAC\"",
        "load config : /test/quorvel_app_target_setting.inf",
        "AlsaLatency : 0",
        "disablePCM16 : false",
        "disablePCM24 : true",
        "disablePCM32 : false",
        "disableDOP : false",
        "disableNATIV : false",
        "disable48DSD : true",
        "enableVolume : false",
        "channnelMax : 4",
    };
    const long first = position(expected[0]);
    ASSERT_GE(first, 0);
    for (size_t i = 0; i < std::size(expected); ++i) {
        ASSERT_LT(first + i, lines.size());
        EXPECT_EQ(lines[first + i].text, expected[i]);
    }
    fixture.release();

    // Without a settings file none of the settings lines appear.
    log.clear();
    ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::noSettingsFile()));
    EXPECT_FALSE(log.contains("load config : "));
    EXPECT_FALSE(log.contains("disablePCM16 : "));
}

} // namespace
