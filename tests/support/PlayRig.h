#pragma once

// What the tests that play files to a fake DAC through the running program
// share: the files (a random 24-bit WAV, a random DSF) with the stream bytes
// they must become, and the check that the DAC holds exactly those bytes.

#include "protocol/AudioFormat.h"
#include "support/DsfWriter.h"
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace E2E {

// S32_LE words carrying 24-bit samples: the sample in the upper three bytes.
inline std::vector<uint8_t> from32(const std::vector<uint8_t>& words, size_t& bad) {
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
inline std::vector<uint8_t> fromDop(const std::vector<uint8_t>& words, size_t& bad) {
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

// A stereo 24-bit file (WAV, or `container` such as SF_FORMAT_FLAC) of
// `frames` random samples at `rate`; the stream bytes it becomes (3-byte
// little-endian samples). Empty when it cannot be written.
inline std::vector<uint8_t> writeRandom24(const std::string& path, int rate, size_t frames, uint32_t seed,
                                          int container = SF_FORMAT_WAV) {
    std::vector<int32_t> samples(2 * frames);
    std::mt19937 random(seed);
    std::vector<uint8_t> audio;
    for (int32_t& sample : samples) {
        const auto value = static_cast<uint32_t>(random()) & 0xFFFFFFU;
        sample = static_cast<int32_t>(value << 8);
        QUORVELTEST::putLe(audio, value, 3);
    }
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = container | SF_FORMAT_PCM_24;
    SNDFILE* wav = sf_open(path.c_str(), SFM_WRITE, &info);
    const bool written =
        wav != nullptr && sf_writef_int(wav, samples.data(), static_cast<sf_count_t>(frames)) ==
                              static_cast<sf_count_t>(frames);
    if (wav != nullptr) {
        sf_close(wav);
    }
    return written ? audio : std::vector<uint8_t>();
}

// A stereo DSD64 DSF file of `perChannel` random bytes per channel, bits
// stored LSB first; the stream bytes it becomes: per frame and channel the
// next four bytes, bit-reversed, earliest on top.
inline std::vector<uint8_t> writeRandomDsf(const std::string& path, size_t perChannel, uint32_t seed) {
    QUORVELTEST::DsfShape shape;
    shape.bits = 1;
    shape.stored = {randomAudio(perChannel, seed), randomAudio(perChannel, seed + 1)};
    const std::vector<uint8_t> file = QUORVELTEST::dsfBytes(shape);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    const auto reversed = [](uint8_t byte) {
        uint8_t result = 0;
        for (int bit = 0; bit < 8; ++bit) {
            result = static_cast<uint8_t>(result | (((byte >> bit) & 1) << (7 - bit)));
        }
        return result;
    };
    std::vector<uint8_t> audio;
    for (size_t at = 0; at < perChannel; at += 4) {
        for (const auto& channel : shape.stored) {
            for (size_t i = 4; i-- > 0;) {
                audio.push_back(reversed(channel[at + i]));
            }
        }
    }
    return audio;
}

inline QUORVEL::AudioFormat stereo24(uint32_t rate) {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm24 | QUORVEL::AudioFormat::rateBits(rate) |
                                QUORVEL::AudioFormat::channelBit(2));
}

inline QUORVEL::AudioFormat stereoDsd64() {
    using QUORVEL::AudioFormat;
    return AudioFormat(AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst | AudioFormat::kDsdLittleEndian |
                       AudioFormat::kDsdWidth4 | AudioFormat::rateBits(2822400) | AudioFormat::channelBit(2));
}

class PlayRig : public Rig {
protected:
    // The DAC's bytes from `skip` on once the n-th stream was drained, with
    // each device frame turned back into the stream's layout by `decode`. A
    // player that fills its last period with silence of its own (MPD) may
    // have sent up to `paddingLimit` bytes of `paddingByte` after the audio.
    // A DoP DAC takes `framesPerFrame` device frames for each stream frame.
    template <typename Decode>
    void expectDacHolds(size_t skip, size_t nth, QUORVEL::AudioFormat format, uint16_t latency,
                        std::vector<uint8_t> audio, Decode decode, uint64_t framesPerFrame = 1,
                        size_t paddingLimit = 0, uint8_t paddingByte = 0) {
        ASSERT_TRUE(daemon->waitForOutput("disconnectStream end", kReady, nth));
        const auto frames = bufferFramesLogged(daemon->output(), nth);
        ASSERT_TRUE(frames);
        std::vector<uint8_t> written = alsa->output(1, 0);
        written.erase(written.begin(), written.begin() + static_cast<long>(std::min(skip, written.size())));
        size_t badContainer = 0;
        const std::vector<uint8_t> decoded = decode(written, badContainer);
        EXPECT_EQ(badContainer, 0U) << "device words whose container bytes are wrong";
        auto expected = expectedDacBytes(format, latency, *frames, audio, framesPerFrame);
        if (decoded.size() > expected.size() && decoded.size() - expected.size() <= paddingLimit) {
            audio.resize(audio.size() + decoded.size() - expected.size(), paddingByte);
            expected = expectedDacBytes(format, latency, *frames, audio, framesPerFrame);
        }
        const auto blocks =
            insertedSilenceBlocks(decoded, expected, format.bytesPerSecond() / 100, format.silenceByte());
        // A slow (sanitizer) build may make the sink run dry and insert whole
        // blocks of silence; any other difference is lost or changed audio.
        EXPECT_TRUE(blocks) << "the DAC's audio differs: " << decoded.size() << " bytes, " << expected.size()
                            << " expected";
        RecordProperty("silence_blocks_" + std::to_string(nth), static_cast<int>(blocks.value_or(0)));
    }
};

} // namespace E2E
