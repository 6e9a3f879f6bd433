// ctest-labels: threads e2e
// The Host library plays files through the running program to a fake DAC
// that takes only S16_LE and S32_LE: a 24-bit WAV arrives widened into the
// DAC's 32-bit container, a DSF file arrives as DoP in the same container,
// and in both the DAC holds exactly the file's audio.
#include "host/PlaySession.h"
#include "support/PlayRig.h"

#include <gtest/gtest.h>

namespace {

using namespace E2E;
using QUORVEL::AudioFormat;

// 300 ms in units of 100 us: room for a slow build to fall behind without
// the device running dry.
constexpr uint16_t kLatency = 3000;

class EndToEndPlaySession : public PlayRig {
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
};

TEST_F(EndToEndPlaySession, WavAndDsfFilesReachTheDacExactly) {
    startDaemon();
    plug(1);
    const auto client = hostClient();
    const auto sink = sinkPort(*client, 1);
    ASSERT_TRUE(sink) << daemon->output();

    ScratchDir files("play-files");
    // 24-bit WAV, 96 kHz stereo, one second of random samples.
    const std::string wavPath = files.path + "random24.wav";
    const std::vector<uint8_t> wavAudio = writeRandom24(wavPath, 96000, 96000, 24);
    ASSERT_FALSE(wavAudio.empty());

    const auto wavResult = play(sink->port, wavPath);
    ASSERT_EQ(wavResult.outcome, QUORVEL::PlayResult::Outcome::Finished) << wavResult.error;
    EXPECT_EQ(wavResult.latency, kLatency);
    expectDacHolds(0, 1, stereo24(96000), wavResult.latency, wavAudio, from32);
    const size_t afterWav = alsa->output(1, 0).size();

    // DSD64 stereo, one second and a partial block, bits stored LSB first.
    const std::string dsfPath = files.path + "random.dsf";
    const std::vector<uint8_t> dsdAudio = writeRandomDsf(dsfPath, 2822400 / 8 + 1000, 64);

    const auto dsfResult = play(sink->port, dsfPath);
    ASSERT_EQ(dsfResult.outcome, QUORVEL::PlayResult::Outcome::Finished) << dsfResult.error;
    EXPECT_TRUE(daemon->waitForOutput("support DOP", kReady));
    expectDacHolds(afterWav, 2, stereoDsd64(), dsfResult.latency, dsdAudio, fromDop, 2);

    restartRequest();
}

} // namespace
