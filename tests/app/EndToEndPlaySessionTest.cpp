// ctest-labels: threads e2e
// The Host library plays files through the running program to a fake DAC
// that takes only S16_LE and S32_LE: a 24-bit WAV arrives widened into the
// DAC's 32-bit container, a DSF file arrives as DoP in the same container,
// and in both the DAC holds exactly the file's audio.
#include "host/PlaySession.h"
#include "support/DsfWriter.h"
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fstream>

namespace {

using namespace E2E;
using QUORVEL::AudioFormat;

// 300 ms in units of 100 us: room for a slow build to fall behind without
// the device running dry.
constexpr uint16_t kLatency = 3000;

class EndToEndPlaySession : public Rig {
protected:
    void SetUp() override {
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {pacedDac(1)});
    }

    // Plays `path` to the DAC's sink from the Host's namespace.
    QUORVEL::PlayResult play(uint16_t controlPort, const std::string& path) {
        QUORVEL::PlayResult result;
        result.error = "not run";
        net.host.run([&] {
            std::string error;
            auto source = QUORVEL::openAudioFile(path, error);
            if (!source) {
                result.error = error;
                return;
            }
            QUORVEL::PlayOptions options;
            options.latency = kLatency;
            options.hostName = "e2e-play";
            QUORVEL::PlaySession session(targetAddress(controlPort), options);
            std::atomic<bool> stop{false};
            result = session.play(*source, stop);
        });
        return result;
    }

    // The DAC's bytes from `skip` on once the n-th stream was drained, with
    // each device frame turned back into the stream's layout by `decode`.
    template <typename Decode>
    void expectDacHolds(size_t skip, size_t nth, AudioFormat format, uint16_t latency,
                        const std::vector<uint8_t>& audio, Decode decode) {
        ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, nth));
        const auto frames = bufferFramesLogged(daemon->output(), nth);
        ASSERT_TRUE(frames);
        std::vector<uint8_t> written = alsa->output(1, 0);
        written.erase(written.begin(), written.begin() + static_cast<long>(std::min(skip, written.size())));
        size_t badContainer = 0;
        const std::vector<uint8_t> decoded = decode(written, badContainer);
        EXPECT_EQ(badContainer, 0U) << "device words whose container bytes are wrong";
        const auto expected = expectedDacBytes(format, latency, *frames, audio);
        const auto blocks =
            insertedSilenceBlocks(decoded, expected, format.bytesPerSecond() / 100, format.silenceByte());
        // A slow (sanitizer) build may make the sink run dry and insert whole
        // blocks of silence; any other difference is lost or changed audio.
        EXPECT_TRUE(blocks) << "the DAC's audio differs: " << decoded.size() << " bytes, " << expected.size()
                            << " expected";
        RecordProperty("silence_blocks_" + std::to_string(nth), static_cast<int>(blocks.value_or(0)));
    }
};

// S32_LE words carrying 24-bit samples: the sample in the upper three bytes.
std::vector<uint8_t> from32(const std::vector<uint8_t>& words, size_t& bad) {
    std::vector<uint8_t> samples;
    for (size_t i = 0; i + 4 <= words.size(); i += 4) {
        bad += words[i] != 0 ? 1 : 0;
        samples.insert(samples.end(), words.begin() + static_cast<long>(i + 1),
                       words.begin() + static_cast<long>(i + 4));
    }
    return samples;
}

// DoP in S32_LE, stereo: every two device frames carry one 32-bit DSD word
// per channel, 16 bits each under the markers 0x05 and 0xFA.
std::vector<uint8_t> fromDop(const std::vector<uint8_t>& words, size_t& bad) {
    constexpr size_t kDeviceFrame = 8;
    std::vector<uint8_t> dsd;
    for (size_t pair = 0; pair + 2 * kDeviceFrame <= words.size(); pair += 2 * kDeviceFrame) {
        for (size_t channel = 0; channel < 2; ++channel) {
            const uint8_t* first = words.data() + pair + channel * 4;
            const uint8_t* second = first + kDeviceFrame;
            bad += (first[0] != 0 || first[3] != 0x05 || second[0] != 0 || second[3] != 0xFA) ? 1 : 0;
            // Little-endian stream word, earliest byte (first frame's high byte) on top.
            dsd.insert(dsd.end(), {second[1], second[2], first[1], first[2]});
        }
    }
    return dsd;
}

TEST_F(EndToEndPlaySession, WavAndDsfFilesReachTheDacExactly) {
    startDaemon();
    plug(1);
    const auto client = hostClient();
    const auto sink = sinkPort(*client, 1);
    ASSERT_TRUE(sink) << daemon->output();

    ScratchDir files("play-files");
    // 24-bit WAV, 96 kHz stereo, one second of random samples.
    const std::string wavPath = files.path + "random24.wav";
    std::vector<int32_t> samples(2 * 96000);
    std::mt19937 random(24);
    std::vector<uint8_t> wavAudio;
    for (int32_t& sample : samples) {
        const auto value = static_cast<uint32_t>(random()) & 0xFFFFFFU;
        sample = static_cast<int32_t>(value << 8);
        QUORVELTEST::putLe(wavAudio, value, 3);
    }
    SF_INFO info{};
    info.samplerate = 96000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE* wav = sf_open(wavPath.c_str(), SFM_WRITE, &info);
    ASSERT_NE(wav, nullptr);
    ASSERT_EQ(sf_writef_int(wav, samples.data(), 96000), 96000);
    sf_close(wav);

    const auto wavResult = play(sink->port, wavPath);
    ASSERT_EQ(wavResult.outcome, QUORVEL::PlayResult::Outcome::Finished) << wavResult.error;
    EXPECT_EQ(wavResult.latency, kLatency);
    const AudioFormat wavFormat(AudioFormat::kPcm24 | AudioFormat::rateBits(96000) |
                                AudioFormat::channelBit(2));
    expectDacHolds(0, 1, wavFormat, wavResult.latency, wavAudio, from32);
    const size_t afterWav = alsa->output(1, 0).size();

    // DSD64 stereo, one second and a partial block, bits stored LSB first.
    QUORVELTEST::DsfShape shape;
    shape.bits = 1;
    const size_t perChannel = 2822400 / 8 + 1000;
    shape.stored = {randomAudio(perChannel, 64), randomAudio(perChannel, 65)};
    const std::string dsfPath = files.path + "random.dsf";
    const std::vector<uint8_t> dsfFile = QUORVELTEST::dsfBytes(shape);
    std::ofstream(dsfPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(dsfFile.data()), static_cast<std::streamsize>(dsfFile.size()));
    // The stream: per frame and channel the next four bytes, bit-reversed, earliest on top.
    std::vector<uint8_t> dsdAudio;
    const auto reversed = [](uint8_t byte) {
        uint8_t result = 0;
        for (int bit = 0; bit < 8; ++bit) {
            result = static_cast<uint8_t>(result | (((byte >> bit) & 1) << (7 - bit)));
        }
        return result;
    };
    for (size_t at = 0; at < perChannel; at += 4) {
        for (const auto& channel : shape.stored) {
            for (size_t i = 4; i-- > 0;) {
                dsdAudio.push_back(reversed(channel[at + i]));
            }
        }
    }

    const auto dsfResult = play(sink->port, dsfPath);
    ASSERT_EQ(dsfResult.outcome, QUORVEL::PlayResult::Outcome::Finished) << dsfResult.error;
    const AudioFormat dsdFormat(AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst |
                                AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4 |
                                AudioFormat::rateBits(2822400) | AudioFormat::channelBit(2));
    EXPECT_TRUE(daemon->waitForOutput("support DOP", kReady));
    expectDacHolds(afterWav, 2, dsdFormat, dsfResult.latency, dsdAudio, fromDop);

    restartRequest();
}

} // namespace
