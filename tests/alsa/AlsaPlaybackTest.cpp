// ctest-labels: threads
// The write path of CertifiedSinkAlsa through real snd_pcm_writei into the
// fake DAC's output file: what the device receives must be exactly the
// stream in the device's format, framed by the priming and drain silence.
#include "AlsaSinkFixture.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using ALSATEST::AlsaSinkFixture;
using ALSATEST::streamFormat;
using Bytes = std::vector<uint8_t>;
using QUORVEL::AudioFormat;
using QUORVELTEST::FakeAlsa;
using QUORVELTEST::FakeCard;
using QUORVELTEST::FakePcmDevice;

Bytes noise(size_t count, uint32_t seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(generator());
    }
    return bytes;
}

// Reference forms of what the device must receive, sample by sample.
Bytes widened16(const Bytes& in) {
    Bytes out;
    for (size_t i = 0; i + 1 < in.size(); i += 2) {
        out.insert(out.end(), {0, 0, in[i], in[i + 1]});
    }
    return out;
}

Bytes in32Containers(const Bytes& in) {
    Bytes out;
    for (size_t i = 0; i + 2 < in.size(); i += 3) {
        out.insert(out.end(), {in[i], in[i + 1], in[i + 2], 0});
    }
    return out;
}

Bytes upmixed(const Bytes& in, size_t sampleBytes, size_t from, size_t to, uint8_t silence) {
    Bytes out;
    const size_t frame = sampleBytes * from;
    for (size_t f = 0; f + frame <= in.size(); f += frame) {
        for (size_t c = 0; c < to; ++c) {
            for (size_t b = 0; b < sampleBytes; ++b) {
                if (from == 1 && c < 2) {
                    out.push_back(in[f + b]);
                } else if (c < from) {
                    out.push_back(in[f + c * sampleBytes + b]);
                } else {
                    out.push_back(silence);
                }
            }
        }
    }
    return out;
}

enum class Container { S32, S24In32, S24Packed };

// Each 4-byte DSD word (b3 earliest) becomes marker 0x05 with b3 b2, then
// marker 0xFA with b1 b0, per channel.
Bytes dop(const Bytes& in, size_t channels, Container container) {
    Bytes out;
    auto put = [&](uint8_t marker, uint8_t high, uint8_t low) {
        switch (container) {
        case Container::S32:
            out.insert(out.end(), {0, low, high, marker});
            break;
        case Container::S24In32:
            out.insert(out.end(), {low, high, marker, 0});
            break;
        case Container::S24Packed:
            out.insert(out.end(), {low, high, marker});
            break;
        }
    };
    const size_t frame = 4 * channels;
    for (size_t f = 0; f + frame <= in.size(); f += frame) {
        for (size_t c = 0; c < channels; ++c) {
            put(0x05, in[f + 4 * c + 3], in[f + 4 * c + 2]);
        }
        for (size_t c = 0; c < channels; ++c) {
            put(0xFA, in[f + 4 * c + 1], in[f + 4 * c]);
        }
    }
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class AlsaPlaybackTest : public ::testing::Test {
protected:
    void open(const FakePcmDevice& device, const ALSATEST::Keys& keys = {}) {
        fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{device});
        ASSERT_TRUE(fake->ok());
        ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::settingsWith(keys)));
        ASSERT_FALSE(fixture.sink->deviceOpen()) << "closed between probe and stream";
    }

    // Sets `format`, writes `stream` in chunks of `chunk` bytes, ends the
    // stream; `device` converts stream bytes into what the DAC must receive,
    // `framesPerFrame` device frames for each stream frame.
    void play(AudioFormat format, const Bytes& stream, size_t chunk,
              const std::function<Bytes(const Bytes&)>& device, size_t framesPerFrame = 1) {
        CertifiedSinkAlsa& sink = *fixture.sink;
        AudioFormat reduced = format;
        ASSERT_TRUE(sink.canFormat(reduced));
        ASSERT_EQ(reduced.value() & format.value(), format.value()) << "the probe offers the format";
        ASSERT_TRUE(sink.setFormat(format));
        const size_t bufferFrames = static_cast<size_t>(sink.deviceBufferFrames());
        ASSERT_GT(bufferFrames, 0u);
        sink.play(0);
        for (size_t at = 0; at < stream.size(); at += chunk) {
            ASSERT_TRUE(sink.writeOutput(stream.data() + at, std::min(chunk, stream.size() - at)));
        }
        ASSERT_TRUE(sink.disconnectStream());
        EXPECT_FALSE(sink.deviceOpen());

        // The device starts from one buffer of silence and drains with two.
        const auto silence = [&](size_t deviceFrames) {
            return device(Bytes(deviceFrames / framesPerFrame * format.frameBytes(), format.silenceByte()));
        };
        const Bytes expected = concat({silence(bufferFrames), device(stream), silence(2 * bufferFrames)});
        const Bytes written = fake->output(1, 0);
        ASSERT_EQ(written.size(), expected.size());
        EXPECT_TRUE(written == expected);
    }

    void TearDown() override {
        fixture.release();
        fake.reset();
    }

    QUORVEL::LogCapture log;
    AlsaSinkFixture fixture;
    std::unique_ptr<FakeAlsa> fake;
};

FakePcmDevice dacWith(std::initializer_list<const char*> formats, unsigned channelsMin = 2,
                      unsigned channelsMax = 2) {
    FakePcmDevice device;
    device.formats.assign(formats.begin(), formats.end());
    device.channelsMin = channelsMin;
    device.channelsMax = channelsMax;
    device.rateMax = 384000;
    return device;
}

TEST_F(AlsaPlaybackTest, SixteenBitOnA32BitOnlyDacIsWidened) {
    open(dacWith({"S32_LE"}));
    // Odd chunks that straddle the conversion blocks.
    play(streamFormat(AudioFormat::kPcm16, 44100, 2), noise(4 * 3001, 1), 4 * 1500 + 4, widened16);
    EXPECT_TRUE(log.contains("set PCM 16"));
    EXPECT_TRUE(log.contains("set CH 2 - 2"));
    EXPECT_TRUE(log.contains("set HZ 44100"));
}

TEST_F(AlsaPlaybackTest, TwentyFourBitIntoFourByteContainers) {
    open(dacWith({"S16_LE", "S24_LE"}));
    play(streamFormat(AudioFormat::kPcm24, 96000, 2), noise(6 * 2500, 2), 6 * 250, in32Containers);
    EXPECT_TRUE(log.contains("set PCM 24"));
}

TEST_F(AlsaPlaybackTest, MonoOnATwoChannelMinimumIsHeardOnBoth) {
    open(dacWith({"S16_LE", "S32_LE"}, 2, 8));
    play(streamFormat(AudioFormat::kPcm16, 48000, 1), noise(2 * 2100, 3), 2 * 700,
         [](const Bytes& in) { return upmixed(in, 2, 1, 2, 0); });
    EXPECT_TRUE(log.contains("UP ch mode  1 2"));
    EXPECT_TRUE(log.contains("set CH 1 - 2"));
}

TEST_F(AlsaPlaybackTest, StereoOnAnEightChannelMinimum) {
    open(dacWith({"S16_LE", "S24_3LE", "S32_LE"}, 8, 8));
    play(streamFormat(AudioFormat::kPcm24, 44100, 2), noise(6 * 2049, 4), 1440,
         [](const Bytes& in) { return upmixed(in, 3, 2, 8, 0); });
    EXPECT_TRUE(log.contains("fmt UpChEnable  1 15"));
    EXPECT_TRUE(log.contains("UP ch mode  2 8"));
    EXPECT_TRUE(log.contains("set CH 2 - 8"));
}

TEST_F(AlsaPlaybackTest, UpmixAndWideningTogether) {
    // 16-bit stereo on an 8-channel, 32-bit-only DAC: up-mixed, then widened.
    open(dacWith({"S32_LE"}, 8, 8));
    play(streamFormat(AudioFormat::kPcm16, 44100, 2), noise(4 * 1800, 5), 4 * 333,
         [](const Bytes& in) { return widened16(upmixed(in, 2, 2, 8, 0)); });
}

TEST_F(AlsaPlaybackTest, DsdAsDopInEachContainer) {
    const struct {
        const char* format;
        Container container;
    } cases[] = {
        {"S32_LE", Container::S32},
        {"S24_LE", Container::S24In32},
        {"S24_3LE", Container::S24Packed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        open(dacWith({"S16_LE", c.format}));
        ASSERT_TRUE(fixture.sink->capabilities().dopMode);
        const Container container = c.container;
        play(
            streamFormat(ALSATEST::kDsdLe, 2822400, 2), noise(8 * 1500, 6), 8 * 180,
            [container](const Bytes& in) { return dop(in, 2, container); }, 2);
        EXPECT_TRUE(log.contains("set HZ 176400"));
        fixture.release();
        fake.reset();
        log.clear();
    }
}

TEST_F(AlsaPlaybackTest, FloatIsWrittenAsItIs) {
    open(dacWith({"S16_LE", "FLOAT_LE"}));
    play(streamFormat(AudioFormat::kFloat32, 192000, 2), noise(8 * 999, 7), 8 * 100,
         [](const Bytes& in) { return in; });
    EXPECT_TRUE(log.contains("set FLOAT 32"));
}

TEST_F(AlsaPlaybackTest, UnderrunIsRepairedAndPlaybackGoesOn) {
    FakePcmDevice device = dacWith({"S16_LE"});
    open(device);
    ASSERT_TRUE(fixture.sink->setFormat(streamFormat(AudioFormat::kPcm16, 44100, 2)));
    const auto primedFrames = static_cast<long long>(fixture.sink->deviceBufferFrames());
    fixture.release();
    fake.reset();

    // The xrun comes 100 frames into the first chunk after the priming.
    device.underrunAfter = primedFrames + 100;
    open(device);
    CertifiedSinkAlsa& sink = *fixture.sink;
    ASSERT_TRUE(sink.setFormat(streamFormat(AudioFormat::kPcm16, 44100, 2)));
    ASSERT_EQ(sink.deviceBufferFrames(), primedFrames);
    sink.play(0);
    const Bytes first = noise(4 * 400, 8);
    const Bytes second = noise(4 * 400, 9);
    const Bytes third = noise(4 * 400, 10);
    EXPECT_TRUE(sink.writeOutput(first.data(), first.size()));
    EXPECT_TRUE(sink.writeOutput(second.data(), second.size()));
    EXPECT_TRUE(sink.writeOutput(third.data(), third.size()));
    EXPECT_EQ(log.count("snd_pcm_writei EPIPE recover"), 1u);
    ASSERT_TRUE(sink.disconnectStream());

    // The device reports the xrun at the write after the one that crossed
    // the limit: the second chunk is lost, the third arrives whole.
    const Bytes primed(4 * static_cast<size_t>(primedFrames), 0);
    const Bytes expected = concat({primed, first, third, primed, primed});
    const Bytes written = fake->output(1, 0);
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);
}

// A Host may take longer to send its first datagram than the device buffer
// lasts, and a synchronised start needs the device to start when asked: the
// primed buffer must not start the device. On a device that runs dry as
// hardware does, an early start is an underrun before the first audio.
TEST_F(AlsaPlaybackTest, PrimedDeviceWaitsForPlayAndLosesNothing) {
    FakePcmDevice device = dacWith({"S16_LE"});
    device.paced = true;
    device.xrunWhenEmpty = true;
    open(device);
    CertifiedSinkAlsa& sink = *fixture.sink;
    const AudioFormat format = streamFormat(AudioFormat::kPcm16, 44100, 2);
    ASSERT_TRUE(sink.setFormat(format));
    const auto primedFrames = static_cast<size_t>(sink.deviceBufferFrames());
    // Three buffers' time: a device started by the priming has run dry by then.
    std::this_thread::sleep_for(std::chrono::microseconds(3 * primedFrames * 1000000 / 44100));
    sink.play(0);
    const Bytes audio = noise(4 * 4410, 12);
    ASSERT_TRUE(sink.writeOutput(audio.data(), audio.size()));
    ASSERT_TRUE(sink.disconnectStream());
    EXPECT_EQ(log.count("snd_pcm_writei EPIPE recover"), 0u);

    const Bytes primed(4 * primedFrames, 0);
    const Bytes expected = concat({primed, audio, primed, primed});
    const Bytes written = fake->output(1, 0);
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_TRUE(written == expected);

    // A connection that ends before its start still drains into a device
    // that plays.
    ASSERT_TRUE(sink.setFormat(format));
    ASSERT_TRUE(sink.disconnectStream());
    EXPECT_EQ(fake->output(1, 0).size(), expected.size() + 3 * primed.size());
}

TEST_F(AlsaPlaybackTest, SetFormatRefusesWhatTheDeviceCannotPlay) {
    open(dacWith({"S16_LE"}));
    // 64-bit integer PCM is never played, LSB-first DSD neither.
    EXPECT_FALSE(fixture.sink->setFormat(streamFormat(AudioFormat::kPcm64, 44100, 2)));
    const uint64_t lsb = (ALSATEST::kDsdLe & ~AudioFormat::kDsdMsbFirst) | AudioFormat::kDsdLsbFirst;
    EXPECT_FALSE(fixture.sink->setFormat(streamFormat(lsb, 2822400, 2)));
    // A rate the device does not take fails after every retry.
    EXPECT_FALSE(fixture.sink->setFormat(streamFormat(AudioFormat::kPcm16, 768000, 2)));
    EXPECT_EQ(log.count("alsa snd_pcm_set_params Retry "), 10u);
    EXPECT_EQ(log.count("alsa snd_pcm_set_params Err "), 1u);
    // The device is still usable afterwards.
    EXPECT_TRUE(fixture.sink->setFormat(streamFormat(AudioFormat::kPcm16, 44100, 2)));
    EXPECT_TRUE(fixture.sink->disconnectStream());
}

// A sink that keeps its device open between streams (no close after the
// probe) must cope with the device going away.
TEST_F(AlsaPlaybackTest, KeptOpenDeviceThatVanishes) {
    FakePcmDevice device = dacWith({"S16_LE"});
    device.failAfter = 10;
    fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{device});
    ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::settingsWith({}), false));
    CertifiedSinkAlsa& sink = *fixture.sink;
    ASSERT_TRUE(sink.deviceOpen());
    EXPECT_TRUE(sink.controlTurn()) << "the device is there";

    // The priming write makes the device vanish.
    EXPECT_FALSE(sink.setFormat(streamFormat(AudioFormat::kPcm16, 44100, 2)));
    EXPECT_TRUE(log.contains("snd_pcm_writei error "));
    EXPECT_FALSE(sink.controlTurn());
    EXPECT_TRUE(log.contains("alsa snd_pcm_hw_params_any Err disconnect "));
}

TEST_F(AlsaPlaybackTest, RetriesNeverUseAClosedHandle) {
    fake =
        std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{dacWith({"S16_LE"})});
    ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::settingsWith({}), false));
    ASSERT_TRUE(fixture.sink->deviceOpen());

    // The device can no longer be opened: the handle the probe left open
    // still answers, every reopen fails.
    fake.reset();
    FakePcmDevice gone = dacWith({"S16_LE"});
    gone.openError = 19; // ENODEV
    fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{gone});

    // A rate the device refuses forces the retries; after the first failed
    // reopen each attempt tries to open the device instead of configuring
    // a closed handle.
    EXPECT_FALSE(fixture.sink->setFormat(streamFormat(AudioFormat::kPcm16, 768000, 2)));
    EXPECT_EQ(log.count("alsa snd_pcm_set_params Retry "), 10u);
    EXPECT_EQ(log.count("alsa reopen Err "), 10u);
    EXPECT_TRUE(log.contains("alsa snd_pcm_set_params Err -19"));
    EXPECT_FALSE(fixture.sink->deviceOpen());
    // Without a handle the node's device check is skipped, not run on it.
    EXPECT_TRUE(fixture.sink->controlTurn());
    EXPECT_FALSE(fixture.sink->setFormat(streamFormat(AudioFormat::kPcm16, 44100, 2)));
    EXPECT_TRUE(log.contains("alsa snd_pcm_open re Err -19"));
}

} // namespace
