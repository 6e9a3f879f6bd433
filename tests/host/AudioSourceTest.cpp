#include "host/AudioSource.h"
#include "host/DsfSource.h"
#include "support/DsfWriter.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

namespace QUORVEL {
namespace {

using QUORVELTEST::dsfBytes;
using QUORVELTEST::DsfShape;
using QUORVELTEST::putLe;

constexpr uint64_t kNativeDsd =
    AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst | AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4;

std::string writeFile(const ScratchDir& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = dir.path + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::vector<uint8_t> randomBytes(size_t count, uint32_t seed) {
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random());
    }
    return bytes;
}

uint8_t reversedBits(uint8_t value) {
    uint8_t result = 0;
    for (int bit = 0; bit < 8; ++bit) {
        if ((value & (1 << bit)) != 0) {
            result = static_cast<uint8_t>(result | (0x80 >> bit));
        }
    }
    return result;
}

// What the stream must carry for `stored`: per frame one little-endian word
// per channel with the earliest byte on top, silence after the last byte.
std::vector<uint8_t> expectedDsd(const DsfShape& shape, uint64_t validBytes) {
    const uint64_t frames = (validBytes + 3) / 4;
    std::vector<uint8_t> out;
    for (uint64_t frame = 0; frame < frames; ++frame) {
        for (uint32_t channel = 0; channel < shape.channels; ++channel) {
            for (int i = 3; i >= 0; --i) {
                const uint64_t at = frame * 4 + static_cast<uint64_t>(i);
                if (at >= validBytes) {
                    out.push_back(0x96);
                    continue;
                }
                const uint8_t byte = shape.stored[channel][at];
                out.push_back(shape.bits == 1 ? reversedBits(byte) : byte);
            }
        }
    }
    return out;
}

// Everything a source produces, read in pieces of `chunk` bytes.
std::vector<uint8_t> readAll(AudioSource& source, size_t chunk) {
    std::vector<uint8_t> all;
    std::vector<uint8_t> piece(chunk);
    for (;;) {
        const auto got = source.read(piece);
        EXPECT_TRUE(got.has_value()) << source.error();
        if (!got || *got == 0) {
            return all;
        }
        EXPECT_EQ(*got % source.format().frameBytes(), 0U);
        all.insert(all.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(*got));
    }
}

TEST(DsfSourceTest, BlockInterleavedChannelsBecomeWordsPerFrameInBothBitOrders) {
    ScratchDir dir("dsf");
    for (const uint32_t bits : {8U, 1U}) {
        DsfShape shape;
        shape.bits = bits;
        // Two whole blocks per channel and a partial third one.
        shape.stored = {randomBytes(4096 * 2 + 1000, 1 + bits), randomBytes(4096 * 2 + 1000, 2 + bits)};
        const std::string path = writeFile(dir, "tone.dsf", dsfBytes(shape));
        std::string error;
        auto source = openAudioFile(path, error);
        ASSERT_NE(source, nullptr) << error;
        EXPECT_EQ(source->format().value(),
                  kNativeDsd | AudioFormat::channelBit(2) | AudioFormat::rateBits(2822400));
        EXPECT_TRUE(source->format().isValid());
        EXPECT_EQ(source->totalFrames(), (4096U * 2 + 1000) / 4);
        EXPECT_EQ(source->description(), "DSF, DSD 2822400 Hz (DSD64), 2 channels");
        // 1000-byte pieces hold 125 frames, so reads straddle the block borders.
        EXPECT_EQ(readAll(*source, 1000), expectedDsd(shape, 4096 * 2 + 1000)) << "bits per sample " << bits;
    }
}

TEST(DsfSourceTest, LastFrameIsFilledUpWithSilenceAfterTheLastSample) {
    ScratchDir dir("dsf");
    DsfShape shape;
    shape.channels = 1;
    shape.rate = 5644800;
    shape.stored = {randomBytes(11, 7)};
    shape.samples = 8 * 10 + 3; // the 11th byte holds 3 samples
    std::string error;
    auto source = openAudioFile(writeFile(dir, "short.dsf", dsfBytes(shape)), error);
    ASSERT_NE(source, nullptr) << error;
    EXPECT_EQ(source->format().rate(), 5644800U);
    EXPECT_EQ(source->totalFrames(), 3U);
    const std::vector<uint8_t> all = readAll(*source, 64);
    EXPECT_EQ(all, expectedDsd(shape, 11));
    ASSERT_EQ(all.size(), 12U);
    EXPECT_EQ(all[8], 0x96); // the word's last byte in time is silence

    // A buffer smaller than a frame gets nothing, and the end stays the end.
    std::vector<uint8_t> tiny(3);
    EXPECT_EQ(source->read(tiny), size_t{0});
}

TEST(DsfSourceTest, MalformedFilesAreRefusedWithOneLine) {
    ScratchDir dir("dsf");
    const std::vector<uint8_t> good = randomBytes(5000, 3);
    struct Case {
        const char* name;
        DsfShape shape;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, const std::function<void(DsfShape&)>& change) {
        DsfShape shape;
        shape.stored = {good, good};
        change(shape);
        cases.push_back({name, shape});
    };
    add("cut inside the headers", [](DsfShape& s) { s.cutTo = 60; });
    add("fmt chunk size", [](DsfShape& s) { s.fmtSize = 48; });
    add("version", [](DsfShape& s) { s.version = 2; });
    add("three channels", [](DsfShape& s) {
        s.channels = 3;
        s.stored.push_back(s.stored[0]);
    });
    add("bits per sample", [](DsfShape& s) { s.bits = 4; });
    add("PCM rate", [](DsfShape& s) { s.rate = 44100; });
    add("odd DSD rate", [](DsfShape& s) { s.rate = 2822401; });
    add("block size zero", [](DsfShape& s) { s.block = 0; });
    add("block size not words", [](DsfShape& s) { s.block = 4094; });
    add("data past the end", [](DsfShape& s) { s.dataAdjust = 1; });
    add("file cut in the data", [](DsfShape& s) { s.cutTo = 92 + 4096 * 2 + 10; });
    add("more samples than data", [](DsfShape& s) { s.samples = 8ULL * 4096 * 2 + 8; });
    add("huge sample count", [](DsfShape& s) { s.samples = ~0ULL; });
    for (const Case& test : cases) {
        std::vector<uint8_t> bytes = test.shape.block == 0 ? std::vector<uint8_t>() : dsfBytes(test.shape);
        if (test.shape.block == 0) {
            DsfShape shape = test.shape;
            shape.block = 4096;
            bytes = dsfBytes(shape);
            std::fill_n(bytes.begin() + 72, 4, 0); // block size field
        }
        std::string error;
        auto source = openAudioFile(writeFile(dir, "bad.dsf", bytes), error);
        EXPECT_EQ(source, nullptr) << test.name;
        EXPECT_FALSE(error.empty()) << test.name;
        EXPECT_EQ(error.find('\n'), std::string::npos) << test.name;
    }

    // The unchanged file opens, so each case failed for its own defect.
    DsfShape shape;
    shape.stored = {good, good};
    std::string error;
    EXPECT_NE(openAudioFile(writeFile(dir, "good.dsf", dsfBytes(shape)), error), nullptr) << error;
}

// Damaged headers: the reader refuses or reads what the file holds, never
// past it (the sanitizer builds watch the reads).
TEST(DsfSourceTest, RandomlyDamagedHeadersNeverReadOutOfBounds) {
    ScratchDir dir("dsf");
    DsfShape shape;
    shape.block = 64;
    shape.stored = {randomBytes(300, 11), randomBytes(300, 12)};
    const std::vector<uint8_t> good = dsfBytes(shape);
    std::mt19937 random(99);
    size_t opened = 0;
    for (int round = 0; round < 500; ++round) {
        std::vector<uint8_t> bytes = good;
        for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips) {
            bytes[random() % 92] = static_cast<uint8_t>(random());
        }
        std::string error;
        auto source = openAudioFile(writeFile(dir, "damaged.dsf", bytes), error);
        if (!source) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        ++opened;
        std::vector<uint8_t> piece(4096);
        uint64_t total = 0;
        while (const auto got = source->read(piece)) {
            if (*got == 0) {
                break;
            }
            total += *got;
            ASSERT_LE(total, 16 * bytes.size()) << "round " << round;
        }
    }
    EXPECT_GT(opened, 0U); // some damage (e.g. in the file size field) is harmless
}

// Writes `frames` of `channels` through libsndfile with the given format.
template <typename T>
std::string writeSndfile(const ScratchDir& dir, const std::string& name, int format, uint32_t rate,
                         int channels, const std::vector<T>& samples) {
    const std::string path = dir.path + name;
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << sf_strerror(nullptr);
    if (file == nullptr) {
        return path;
    }
    const auto frames = static_cast<sf_count_t>(samples.size() / static_cast<size_t>(channels));
    if constexpr (std::is_same_v<T, int32_t>) {
        EXPECT_EQ(sf_writef_int(file, samples.data(), frames), frames);
    } else if constexpr (std::is_same_v<T, float>) {
        EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    } else {
        EXPECT_EQ(sf_writef_double(file, samples.data(), frames), frames);
    }
    sf_close(file);
    return path;
}

// Integer samples of `bits`, spread over the whole range, extremes included.
std::vector<int32_t> integerSamples(size_t count, int bits, uint32_t seed) {
    std::mt19937 random(seed);
    const int64_t high = (int64_t{1} << (bits - 1)) - 1;
    const int64_t low = -high - 1;
    std::vector<int32_t> values(count);
    for (size_t i = 0; i < count; ++i) {
        const int64_t value = i == 0   ? high
                              : i == 1 ? low
                                       : low + static_cast<int64_t>(random() % (high - low + 1));
        values[i] = static_cast<int32_t>(value);
    }
    return values;
}

std::vector<uint8_t> littleEndian(const std::vector<int32_t>& values, int bytes) {
    std::vector<uint8_t> out;
    for (const int32_t value : values) {
        putLe(out, static_cast<uint32_t>(value), bytes);
    }
    return out;
}

TEST(SndfileSourceTest, IntegerFilesKeepEverySampleValueAtTheirOwnWidth) {
    ScratchDir dir("wav");
    struct Case {
        const char* name;
        int format;
        int bits;
        uint64_t encoding;
    };
    const Case cases[] = {
        {"16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16, AudioFormat::kPcm16},
        {"24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 24, AudioFormat::kPcm24},
        {"32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 32, AudioFormat::kPcm32},
        {"8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 8, AudioFormat::kPcm8},      // stored unsigned
        {"24.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 24, AudioFormat::kPcm24}, // stored big-endian
        {"24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 24, AudioFormat::kPcm24}, // decoded
        {"16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 16, AudioFormat::kPcm16},
    };
    for (const Case& test : cases) {
        const std::vector<int32_t> values =
            integerSamples(2 * 3001, test.bits, static_cast<uint32_t>(test.bits));
        std::vector<int32_t> scaled(values.size());
        std::transform(values.begin(), values.end(), scaled.begin(), [&](int32_t v) {
            return static_cast<int32_t>(static_cast<uint32_t>(v) << (32 - test.bits));
        });
        const std::string path = writeSndfile(dir, test.name, test.format, 96000, 2, scaled);
        std::string error;
        auto source = openAudioFile(path, error);
        ASSERT_NE(source, nullptr) << test.name << ": " << error;
        EXPECT_EQ(source->format().value(),
                  test.encoding | AudioFormat::channelBit(2) | AudioFormat::rateBits(96000))
            << test.name;
        EXPECT_EQ(source->totalFrames(), 3001U) << test.name;
        EXPECT_EQ(readAll(*source, 997 * source->format().frameBytes() + 1),
                  littleEndian(values, test.bits / 8))
            << test.name;
    }
    std::string error;
    auto wav = openAudioFile(dir.path + "24.wav", error);
    ASSERT_NE(wav, nullptr);
    EXPECT_EQ(wav->description(), "WAV, 24-bit integer, 96000 Hz, 2 channels");
}

TEST(SndfileSourceTest, FloatFilesKeepEveryBit) {
    ScratchDir dir("wav");
    std::mt19937 random(5);
    std::uniform_real_distribution<double> spread(-1.0, 1.0);
    std::vector<double> doubles(1001);
    for (double& value : doubles) {
        value = spread(random);
    }
    doubles[0] = 1.5; // beyond full scale: a float file may hold it, and it must arrive as it is
    std::vector<float> floats(doubles.begin(), doubles.end());

    std::string error;
    auto source32 =
        openAudioFile(writeSndfile(dir, "f.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, floats), error);
    ASSERT_NE(source32, nullptr) << error;
    EXPECT_EQ(source32->format().value(),
              AudioFormat::kFloat32 | AudioFormat::channelBit(1) | AudioFormat::rateBits(44100));
    std::vector<uint8_t> expected32(floats.size() * 4);
    std::memcpy(expected32.data(), floats.data(), expected32.size());
    EXPECT_EQ(readAll(*source32, 1000), expected32);

    auto source64 =
        openAudioFile(writeSndfile(dir, "d.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 48000, 1, doubles), error);
    ASSERT_NE(source64, nullptr) << error;
    EXPECT_EQ(source64->format().encoding(), AudioFormat::kFloat64);
    std::vector<uint8_t> expected64(doubles.size() * 8);
    std::memcpy(expected64.data(), doubles.data(), expected64.size());
    EXPECT_EQ(readAll(*source64, 1000), expected64);
    EXPECT_EQ(source64->description(), "WAV, 64-bit float, 48000 Hz, 1 channel");
}

TEST(SndfileSourceTest, FilesTheStreamCannotCarryAreRefused) {
    ScratchDir dir("wav");
    const std::vector<int32_t> silence(3 * 100, 0);
    std::string error;
    EXPECT_EQ(openAudioFile(writeSndfile(dir, "3ch.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 3, silence),
                            error),
              nullptr);
    EXPECT_NE(error.find("3 channels"), std::string::npos) << error;
    EXPECT_EQ(openAudioFile(writeSndfile(dir, "22k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 22050, 1, silence),
                            error),
              nullptr);
    EXPECT_NE(error.find("22050 Hz"), std::string::npos) << error;
    EXPECT_EQ(openAudioFile(dir.path + "missing.wav", error), nullptr);
    EXPECT_NE(error.find("missing.wav"), std::string::npos) << error;
    EXPECT_EQ(openAudioFile(writeFile(dir, "text.wav", {'h', 'e', 'l', 'l', 'o'}), error), nullptr);
    EXPECT_FALSE(error.empty());
}

// Sample i of channel `channel` of a little-endian integer stream.
int64_t sampleAt(const std::vector<uint8_t>& bytes, AudioFormat format, size_t frame, uint32_t channel) {
    const uint32_t width = format.bytesPerSample();
    const size_t at = frame * format.frameBytes() + channel * width;
    uint64_t value = 0;
    for (uint32_t b = 0; b < width; ++b) {
        value |= static_cast<uint64_t>(bytes[at + b]) << (8 * b);
    }
    const int shift = 64 - static_cast<int>(width) * 8;
    return static_cast<int64_t>(value << shift) >> shift;
}

TEST(ToneSourceTest, SineHasTheFrequencyAndLevelAskedFor) {
    for (const uint32_t bits : {16U, 24U, 32U}) {
        std::string error;
        auto tone = makeToneSource(1000, 48000, bits, 2, 1.0, error);
        ASSERT_NE(tone, nullptr) << error;
        const AudioFormat format = tone->format();
        EXPECT_TRUE(format.isValid());
        EXPECT_EQ(format.bitsPerSample(), bits);
        EXPECT_EQ(tone->totalFrames(), 48000U);
        const std::vector<uint8_t> all = readAll(*tone, 4800);
        ASSERT_EQ(all.size(), 48000U * format.frameBytes());
        int64_t peak = 0;
        int rising = 0;
        int64_t previous = 0;
        for (size_t frame = 0; frame < 48000; ++frame) {
            const int64_t left = sampleAt(all, format, frame, 0);
            ASSERT_EQ(left, sampleAt(all, format, frame, 1));
            peak = std::max(peak, std::abs(left));
            rising += previous < 0 && left >= 0 ? 1 : 0;
            previous = left;
        }
        // -6 dBFS: half of full scale.
        const double fullScale = std::ldexp(1.0, static_cast<int>(bits) - 1);
        EXPECT_NEAR(static_cast<double>(peak) / fullScale, 0.5, 0.001) << bits;
        EXPECT_NEAR(rising, 1000, 1) << bits;
    }
}

TEST(ToneSourceTest, EndlessToneAndRefusedParameters) {
    std::string error;
    auto endless = makeToneSource(440, 44100, 24, 1, 0, error);
    ASSERT_NE(endless, nullptr) << error;
    EXPECT_FALSE(endless->totalFrames().has_value());
    std::vector<uint8_t> piece(3 * 44100);
    for (int second = 0; second < 3; ++second) {
        EXPECT_EQ(endless->read(piece), piece.size());
    }
    EXPECT_EQ(makeToneSource(440, 44100, 20, 2, 1, error), nullptr);
    EXPECT_EQ(makeToneSource(440, 22050, 16, 2, 1, error), nullptr);
    EXPECT_EQ(makeToneSource(440, 44100, 16, 3, 1, error), nullptr);
    EXPECT_EQ(makeToneSource(30000, 44100, 16, 2, 1, error), nullptr);
    EXPECT_EQ(makeToneSource(440, 44100, 16, 2, -1, error), nullptr);
    EXPECT_FALSE(error.empty());
}

} // namespace
} // namespace QUORVEL
