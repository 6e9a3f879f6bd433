// ctest-labels: threads e2e
// Players as Hosts through the "quorvel" ALSA output, loaded into aplay and
// MPD as a player loads it: the files reach a fake DAC (S16_LE and S32_LE
// only) through the running program exactly, a format the sink cannot play
// is refused before anything is sent, and a target that vanishes mid-stream
// ends the player with an error instead of hanging it. A program of the
// test's own drives the output through libasound to check what players
// rely on: the delay counts the sink's buffer, and a pause loses nothing.
#include "support/PlayRig.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace E2E;

// 300 ms in units of 100 us, so that a slow build can fall behind a little
// without the device running dry.
constexpr uint16_t kLatency = 3000;

struct PlayerRun {
    std::optional<int> status; // nothing when it had to be killed
    std::string err;
};

class EndToEndAlsaOutput : public PlayRig {
protected:
    void SetUp() override {
#ifndef QUORVEL_ALSA_PLUGIN
        GTEST_SKIP() << "the ALSA output is not built in a sanitizer build";
#else
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {pacedDac(1)});
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        // The output's own configuration snippet, its module named by path.
        std::ifstream snippet(std::string(QUORVEL_SOURCE_DIR) + "/tools/alsaplugin/quorvel.conf");
        std::stringstream text;
        text << snippet.rdbuf();
        ASSERT_FALSE(text.str().empty());
        std::ofstream config(alsa->configPath(), std::ios::app);
        config << "\npcm_type.quorvel { lib \"" << QUORVEL_ALSA_PLUGIN << "\" }\n" << text.str();
        ASSERT_TRUE(config.good());
        config.close();
        startDaemon();
        plug(1);
        const auto client = hostClient();
        ASSERT_TRUE(sinkPort(*client, 1)) << daemon->output();
#endif
    }

    // The device string a user gives: the target by address, the sink by name.
    static std::string device() {
        return "quorvel:TARGET=\"" + std::string(VethNamespaces::kTargetAddress) + "%" +
               VethNamespaces::kHostInterface + "\",SINK=\"Desk DAC\",LATENCY=" + std::to_string(kLatency);
    }

    std::unique_ptr<Daemon> startPlayer(const std::string& program,
                                        const std::vector<std::string>& arguments) {
        auto player = std::make_unique<Daemon>(program);
        EXPECT_TRUE(player->ready()) << "cannot copy " << program;
        EXPECT_TRUE(player->start(net.host, arguments));
        return player;
    }

    static PlayerRun finish(Daemon& player) {
        PlayerRun run;
        run.status = player.waitExit(kReady);
        player.kill();
        run.err = player.errors();
        return run;
    }
};

TEST_F(EndToEndAlsaOutput, AplayPlaysAWavExactlyAndAFormatTheSinkCannotPlayIsRefused) {
    ScratchDir files("alsa-output");
    const std::string wavPath = files.path + "random24.wav";
    const std::vector<uint8_t> audio = writeRandom24(wavPath, 96000, 96000, 96);
    ASSERT_FALSE(audio.empty());

    auto aplay = startPlayer("/usr/bin/aplay", {"-q", "-D", device(), wavPath});
    const PlayerRun played = finish(*aplay);
    ASSERT_EQ(played.status, std::optional<int>(0)) << played.err;
    expectDacHolds(0, 1, stereo24(96000), kLatency, audio, from32);
    const size_t afterWav = alsa->output(1, 0).size();

    // 32-bit float: the sink plays integers only, and nothing converts.
    const std::string floatPath = files.path + "float.wav";
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* wav = sf_open(floatPath.c_str(), SFM_WRITE, &info);
    ASSERT_NE(wav, nullptr);
    const std::vector<float> silence(2 * 4800, 0.25F);
    ASSERT_EQ(sf_writef_float(wav, silence.data(), 4800), 4800);
    sf_close(wav);
    aplay = startPlayer("/usr/bin/aplay", {"-q", "-D", device(), floatPath});
    const PlayerRun refused = finish(*aplay);
    ASSERT_TRUE(refused.status.has_value()) << "aplay hung on a format the sink cannot play";
    EXPECT_NE(*refused.status, 0);
    EXPECT_NE(refused.err.find("format"), std::string::npos) << refused.err;
    EXPECT_EQ(alsa->output(1, 0).size(), afterWav) << "audio reached the DAC";
}

TEST_F(EndToEndAlsaOutput, TargetKilledMidStreamEndsAplayWithAnError) {
    ScratchDir files("alsa-output");
    const std::string wavPath = files.path + "long.wav";
    ASSERT_FALSE(writeRandom24(wavPath, 48000, 48000 * 60, 7).empty());
    auto aplay = startPlayer("/usr/bin/aplay", {"-q", "-D", device(), wavPath});
    // Until the DAC plays: the stream runs.
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (alsa->output(1, 0).size() < 48000 * 8 && std::chrono::steady_clock::now() < deadline &&
           !aplay->hasExited()) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(aplay->hasExited()) << aplay->errors();
    ASSERT_GE(alsa->output(1, 0).size(), 48000U * 8) << daemon->output();

    const auto killed = std::chrono::steady_clock::now();
    daemon->kill();
    const PlayerRun ended = finish(*aplay);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - killed);
    RecordProperty("aplay_exit_after_kill_ms", static_cast<int>(took.count()));
    ASSERT_TRUE(ended.status.has_value()) << "aplay hung after the target vanished";
    EXPECT_NE(*ended.status, 0);
    EXPECT_NE(ended.err.find("quorvel: "), std::string::npos) << ended.err;
}

// The frames of `bytes` (8-byte stereo S32_LE frames) that are not all zero:
// the pre-fills and underrun fillers are silence, the test's audio never is.
std::vector<uint8_t> audibleFrames(const std::vector<uint8_t>& bytes) {
    constexpr size_t kFrame = 8;
    std::vector<uint8_t> kept;
    for (size_t at = 0; at + kFrame <= bytes.size(); at += kFrame) {
        if (std::any_of(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + kFrame),
                        [](uint8_t byte) { return byte != 0; })) {
            kept.insert(kept.end(), bytes.begin() + static_cast<long>(at),
                        bytes.begin() + static_cast<long>(at + kFrame));
        }
    }
    return kept;
}

// A player that pauses: 1 s of audio, a pause (the connection ends without
// waiting for the sink's drain), a resume (it connects again), 1 s more and
// a drain. Every frame reaches the DAC once, in order, with only silence
// between; while playing, snd_pcm_delay counts more than the output's own
// buffer holds, since the sink's buffer lies beyond it.
TEST_F(EndToEndAlsaOutput, PauseLosesNothingAndDelayCountsTheSinksBuffer) {
    constexpr unsigned kRate = 96000;
    constexpr size_t kFrame = 8;
    std::vector<uint8_t> audio = randomAudio(2 * kRate * kFrame, 23);
    for (size_t at = 0; at < audio.size(); at += kFrame) {
        audio[at] |= 1; // no frame is silence
    }
    const size_t connects = daemon->countOutput("setFormat done ");
    snd_pcm_sframes_t delay = 0;
    snd_pcm_sframes_t localFill = 0;
    std::string failure;
    const auto writeAll = [&](snd_pcm_t* pcm, const uint8_t* bytes, size_t frames) {
        while (frames > 0) {
            const snd_pcm_sframes_t written = snd_pcm_writei(pcm, bytes, frames);
            if (written < 0) {
                failure = std::string("write: ") + snd_strerror(static_cast<int>(written));
                return false;
            }
            bytes += static_cast<size_t>(written) * kFrame;
            frames -= static_cast<size_t>(written);
        }
        return true;
    };
    ASSERT_TRUE(net.host.run([&] {
        snd_pcm_t* pcm = nullptr;
        int error = snd_pcm_open(&pcm, device().c_str(), SND_PCM_STREAM_PLAYBACK, 0);
        if (error < 0) {
            failure = std::string("open: ") + snd_strerror(error);
            return;
        }
        error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S32_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 2, kRate, 0,
                                   500000);
        snd_pcm_uframes_t bufferFrames = 0;
        snd_pcm_uframes_t periodFrames = 0;
        if (error == 0) {
            error = snd_pcm_get_params(pcm, &bufferFrames, &periodFrames);
        }
        if (error < 0) {
            failure = std::string("params: ") + snd_strerror(error);
        } else if (writeAll(pcm, audio.data(), kRate)) {
            const snd_pcm_sframes_t room = snd_pcm_avail(pcm);
            snd_pcm_delay(pcm, &delay);
            localFill = static_cast<snd_pcm_sframes_t>(bufferFrames) - std::max<snd_pcm_sframes_t>(room, 0);
            if ((error = snd_pcm_pause(pcm, 1)) < 0 || (error = snd_pcm_pause(pcm, 0)) < 0) {
                failure = std::string("pause: ") + snd_strerror(error);
            } else if (writeAll(pcm, audio.data() + kRate * kFrame, kRate) &&
                       (error = snd_pcm_drain(pcm)) < 0) {
                failure = std::string("drain: ") + snd_strerror(error);
            }
        }
        snd_pcm_close(pcm);
    }));
    ASSERT_EQ(failure, "");
    EXPECT_GT(delay, localFill) << "the delay leaves out the sink's buffer";
    EXPECT_GE(daemon->countOutput("setFormat done "), connects + 2) << "no new connection after the pause";
    // The pause and the drain each end their connection with a DISCONNECT.
    EXPECT_TRUE(daemon->waitForOutput("DisConnect Request", kReady, 2)) << daemon->output();
    const std::vector<uint8_t> played = audibleFrames(alsa->output(1, 0));
    ASSERT_EQ(played.size(), audio.size()) << "frames lost or played twice";
    EXPECT_TRUE(played == audio) << "the DAC's frames are not the audio in order";
}

// MPD's protocol over its local socket, one command and its answer at a time.
class MpdClient {
public:
    ~MpdClient() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    bool connect(const std::string& path) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd < 0 || path.size() >= sizeof(address.sun_path)) {
            return false;
        }
        path.copy(address.sun_path, path.size());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd);
            fd = -1;
            return false;
        }
        timeval wait{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        return readAnswer().rfind("OK MPD", 0) == 0;
    }

    // The answer's lines up to and including "OK" or "ACK ..."; empty when none came.
    std::string command(const std::string& line) {
        const std::string text = line + "\n";
        if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
            return "";
        }
        return readAnswer();
    }

private:
    std::string readAnswer() {
        std::string answer;
        char byte = 0;
        while (::recv(fd, &byte, 1, 0) == 1) {
            answer += byte;
            if (byte != '\n') {
                continue;
            }
            const size_t start = answer.rfind('\n', answer.size() - 2);
            const std::string last = answer.substr(start == std::string::npos ? 0 : start + 1);
            if (last == "OK\n" || last.rfind("ACK ", 0) == 0 || last.rfind("OK MPD", 0) == 0) {
                return answer;
            }
        }
        return "";
    }

    int fd = -1;
};

// Plays one local file with MPD from start to end; the last status when it
// did not end (or an error).
std::string playThrough(MpdClient& mpd, const std::string& path) {
    std::string status = mpd.command("clear");
    status = mpd.command("add \"file://" + path + "\"");
    if (status != "OK\n") {
        return status;
    }
    status = mpd.command("play");
    bool played = false;
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (std::chrono::steady_clock::now() < deadline) {
        status = mpd.command("status");
        if (status.find("error: ") != std::string::npos) {
            return status;
        }
        played = played || status.find("state: play") != std::string::npos;
        if (played && status.find("state: stop") != std::string::npos) {
            return "";
        }
        std::this_thread::sleep_for(100ms);
    }
    return status;
}

TEST_F(EndToEndAlsaOutput, MpdPlaysFlacAndDsfExactly) {
    ScratchDir files("alsa-output");
    const std::string flacPath = files.path + "random.flac";
    const std::vector<uint8_t> pcm = writeRandom24(flacPath, 96000, 96000, 44, SF_FORMAT_FLAC);
    ASSERT_FALSE(pcm.empty());
    // Whole DSF blocks (4096 bytes a channel): the block's padding is no audio.
    const std::string dsfPath = files.path + "random.dsf";
    const std::vector<uint8_t> dsd = writeRandomDsf(dsfPath, 86 * 4096, 640);

    const std::string socketPath = files.path + "mpd.socket";
    ASSERT_TRUE(std::filesystem::create_directory(files.path + "music"));
    std::ofstream(files.path + "mpd.conf")
        // Files outside the (empty) music directory are played as local files.
        << "music_directory \"" << files.path << "music\"\n"
        << "db_file \"" << files.path << "mpd.db\"\n"
        << "log_file \"" << files.path << "mpd.log\"\n"
        << "bind_to_address \"" << socketPath << "\"\n"
        << "zeroconf_enabled \"no\"\n"
        << "audio_output {\n"
        << "    type \"alsa\"\n"
        << "    name \"target\"\n"
        << "    device \"quorvel:TARGET=" << VethNamespaces::kTargetAddress << "%"
        << VethNamespaces::kHostInterface << ",SINK=1,LATENCY=" << kLatency << "\"\n"
        << "    mixer_type \"none\"\n"
        << "}\n";
    auto player = startPlayer("/usr/bin/mpd", {"--no-daemon", "--stderr", files.path + "mpd.conf"});
    MpdClient mpd;
    const auto deadline = std::chrono::steady_clock::now() + kReady;
    while (!mpd.connect(socketPath) && std::chrono::steady_clock::now() < deadline && !player->hasExited()) {
        std::this_thread::sleep_for(100ms);
    }

    const std::string flacEnd = playThrough(mpd, flacPath);
    ASSERT_EQ(flacEnd, "") << player->errors();
    expectDacHolds(0, 1, stereo24(96000), kLatency, pcm, from32);
    const size_t afterFlac = alsa->output(1, 0).size();

    // MPD hands the DSD to the output natively; the target makes the DoP the
    // DAC takes. MPD completes its last period with its own DSD silence
    // (0x69) before it drains: at most an eighth of a second.
    const std::string dsfEnd = playThrough(mpd, dsfPath);
    ASSERT_EQ(dsfEnd, "") << player->errors();
    expectDacHolds(afterFlac, 2, stereoDsd64(), kLatency, dsd, fromDop, 2, stereoDsd64().bytesPerSecond() / 8,
                   0x69);
    player->kill();
}

} // namespace
