// ctest-labels: threads
// A Host streams to a probed CertifiedSinkAlsa on a paced fake DAC that only
// takes 32-bit samples: everything the DAC receives must be accounted for,
// and a sink destroyed in the middle of a stream goes cleanly.
#include "AlsaSinkFixture.h"
#include "host/SinkClient.h"
#include "host/StreamSender.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

namespace {

using ALSATEST::AlsaSinkFixture;
using QUORVEL::AudioFormat;
using QUORVELTEST::FakeAlsa;
using QUORVELTEST::FakeCard;
using QUORVELTEST::FakePcmDevice;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

TEST(AlsaEndToEndTest, FiveSecondsOfWidenedStreamBetweenSilences) {
    QUORVEL::LogCapture log(6);
    FakePcmDevice device;
    device.formats = {"S32_LE"};
    device.rateMax = 192000;
    device.paced = true;
    auto fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{device});
    ASSERT_TRUE(fake->ok());

    AlsaSinkFixture fixture;
    ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::settingsWith({})));
    CertifiedSinkAlsa& sink = *fixture.sink;

    // The per-DAC node's control loop.
    std::atomic<bool> running{true};
    std::thread node([&] {
        while (running.load() && sink.controlTurn()) {
        }
    });

    const AudioFormat format = ALSATEST::streamFormat(AudioFormat::kPcm16, 44100, 2);
    Bytes audio(44100 * 4 * 5);
    std::mt19937 generator(42);
    for (uint8_t& b : audio) {
        b = static_cast<uint8_t>(generator());
    }

    const auto control = QUORVEL::hostEndpoint("::1", sink.boundControlPort());
    ASSERT_TRUE(control);
    QUORVEL::SinkClient client(*control);
    ASSERT_TRUE(client.open());
    const auto offered = client.formatQuery(format);
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->value() & format.value(), format.value()) << "16 bit offered through widening";
    const auto connection = client.connect(format);
    ASSERT_TRUE(connection && connection->accepted);

    QUORVEL::StreamConfig streamConfig;
    streamConfig.format = format;
    QUORVEL::StreamSender sender(client.socket(), client.sinkAddress(connection->streamPort), streamConfig);
    EXPECT_TRUE(sender.stream(audio));
    EXPECT_TRUE(client.disconnect(connection->streamPort));
    EXPECT_TRUE(log.waitFor("disconnectStream end", 3000ms));

    running = false;
    node.join();
    const size_t bufferFrames = static_cast<size_t>(sink.deviceBufferFrames());
    const uint16_t latency = sink.currentLatency();
    fixture.release();

    // An underrun on the way would have put extra silence into the stream.
    EXPECT_EQ(log.count("empty sink buffer"), 0u);
    EXPECT_EQ(log.count("snd_pcm_writei EPIPE recover"), 0u);
    EXPECT_TRUE(log.contains("set PCM 16"));

    const size_t deviceFrame = 8; // S32_LE stereo
    const size_t primed = bufferFrames * deviceFrame;
    const size_t prefill = 2 * QUORVEL::SinkBuffer::prefillFor(format, latency).total; // widened
    const size_t drain = 2 * primed;
    Bytes expected(primed + prefill, 0);
    expected.reserve(expected.size() + 2 * audio.size() + drain);
    for (size_t i = 0; i < audio.size(); i += 2) {
        expected.insert(expected.end(), {0, 0, audio[i], audio[i + 1]});
    }
    expected.insert(expected.end(), drain, 0);

    const Bytes written = fake->output(1, 0);
    ASSERT_EQ(written.size(), expected.size()) << "primed " << primed << " prefill " << prefill << " stream "
                                               << 2 * audio.size() << " drain " << drain;
    EXPECT_TRUE(written == expected);
}

// A node that gives its sink up destroys it, and nothing requires it to
// close the sink first: the sink's workers are stopped before the device
// they write to goes. (Run under the sanitizers, a worker that outlived
// the device would be reported here.)
TEST(AlsaEndToEndTest, SinkDestroyedMidStreamStopsItsWorkersBeforeItsDevice) {
    QUORVEL::LogCapture log(6);
    FakePcmDevice device;
    device.formats = {"S32_LE"}; // every write goes through the conversion buffers
    device.rateMax = 48000;
    device.paced = true;
    auto fake = std::make_unique<FakeAlsa>(std::vector<FakeCard>{}, std::vector<FakePcmDevice>{device});
    ASSERT_TRUE(fake->ok());

    AlsaSinkFixture fixture;
    ASSERT_TRUE(fixture.probe("hw:1,0", ALSATEST::settingsWith({}), false));
    CertifiedSinkAlsa& sink = *fixture.sink;
    std::atomic<bool> running{true};
    std::thread node([&] {
        while (running.load() && sink.controlTurn()) {
        }
    });

    const AudioFormat format = ALSATEST::streamFormat(AudioFormat::kPcm16, 44100, 2);
    const auto control = QUORVEL::hostEndpoint("::1", sink.boundControlPort());
    ASSERT_TRUE(control);
    QUORVEL::SinkClient client(*control);
    ASSERT_TRUE(client.open());
    const auto connection = client.connect(format);
    ASSERT_TRUE(connection && connection->accepted);

    // Ten seconds of audio, of which the sink is destroyed early on.
    std::atomic<bool> stopSending{false};
    QUORVEL::StreamConfig streamConfig;
    streamConfig.format = format;
    streamConfig.fate = [&](uint64_t) {
        return stopSending.load() ? QUORVEL::DatagramFate::Stop : QUORVEL::DatagramFate::Send;
    };
    QUORVEL::StreamSender sender(client.socket(), client.sinkAddress(connection->streamPort), streamConfig);
    const Bytes audio(44100 * 4 * 10, 0x5A);
    std::thread host([&] { sender.stream(audio); });

    // The destruction falls while the device plays the stream's audio.
    auto audioPlayed = [&] {
        const Bytes played = fake->output(1, 0);
        return std::find(played.begin(), played.end(), 0x5A) != played.end();
    };
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    bool reached = false;
    while (!(reached = audioPlayed()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    running = false;
    node.join();
    fixture.sink.reset();
    stopSending = true;
    host.join();
    EXPECT_TRUE(reached) << "the stream never reached the device";
}

} // namespace
