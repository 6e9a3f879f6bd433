#include "host/AudioSource.h"

#include "host/DsfSource.h"
#include "host/SndfileSource.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>

namespace QUORVEL {

namespace {

// A sine on every channel, phase kept as a fraction of a period so an
// endless tone never loses precision.
class ToneSource : public AudioSource {
public:
    ToneSource(double frequency, AudioFormat format, std::optional<uint64_t> frames)
        : streamFormat(format), step(frequency / format.rate()), frames(frames),
          amplitude(std::ldexp(0.5, static_cast<int>(format.bitsPerSample()) - 1)) {}

    AudioFormat format() const override { return streamFormat; }
    std::string description() const override {
        return "tone " + std::to_string(static_cast<long long>(std::lround(step * streamFormat.rate()))) +
               " Hz -6 dBFS, " + describeFormat(streamFormat);
    }
    std::optional<uint64_t> totalFrames() const override { return frames; }
    std::optional<size_t> read(std::span<uint8_t> bytes) override {
        const uint32_t width = streamFormat.bytesPerSample();
        const uint32_t channels = streamFormat.channels();
        const size_t frameBytes = streamFormat.frameBytes();
        uint64_t count = bytes.size() / frameBytes;
        if (frames) {
            count = std::min(count, *frames - produced);
        }
        uint8_t* out = bytes.data();
        for (uint64_t i = 0; i < count; ++i) {
            const auto value =
                static_cast<int64_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * phase)));
            const auto word = static_cast<uint64_t>(value);
            for (uint32_t channel = 0; channel < channels; ++channel) {
                for (uint32_t b = 0; b < width; ++b) {
                    *out++ = static_cast<uint8_t>(word >> (8 * b));
                }
            }
            phase += step;
            phase -= std::floor(phase);
        }
        produced += count;
        return static_cast<size_t>(count * frameBytes);
    }
    const std::string& error() const override { return noError; }

private:
    AudioFormat streamFormat;
    double step; // periods per frame
    double phase = 0;
    std::optional<uint64_t> frames;
    double amplitude; // half of full scale
    uint64_t produced = 0;
    std::string noError;
};

} // namespace

std::unique_ptr<AudioSource> openAudioFile(const std::string& path, std::string& error) {
    std::array<uint8_t, 4> head{};
    {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        const size_t got = std::fread(head.data(), 1, head.size(), file);
        std::fclose(file);
        if (DsfSource::looksLikeDsf(head.data(), got)) {
            return DsfSource::open(path, error);
        }
    }
    return SndfileSource::open(path, error);
}

std::unique_ptr<AudioSource> makeToneSource(double frequency, uint32_t rate, uint32_t bits, uint32_t channels,
                                            double seconds, std::string& error) {
    const uint64_t encoding = bits == 16   ? AudioFormat::kPcm16
                              : bits == 24 ? AudioFormat::kPcm24
                              : bits == 32 ? AudioFormat::kPcm32
                                           : 0;
    if (encoding == 0) {
        error = "tone bits must be 16, 24 or 32, not " + std::to_string(bits);
        return nullptr;
    }
    const uint64_t rateBits = AudioFormat::rateBits(rate);
    if (rateBits == 0 || rate > 768000) {
        error = "tone rate " + std::to_string(rate) + " Hz is not a stream rate";
        return nullptr;
    }
    if (AudioFormat::channelBit(channels) == 0) {
        error = "tone channels must be 1, 2, 4, 6, 8 or 16, not " + std::to_string(channels);
        return nullptr;
    }
    if (!(frequency > 0) || frequency >= rate / 2.0) {
        error = "tone frequency must be above 0 and below half the rate";
        return nullptr;
    }
    if (!(seconds >= 0) || seconds > 1e7) {
        error = "tone length must be 0 (endless) or a positive number of seconds";
        return nullptr;
    }
    std::optional<uint64_t> frames;
    if (seconds > 0) {
        frames = static_cast<uint64_t>(std::llround(seconds * rate));
    }
    return std::make_unique<ToneSource>(
        frequency, AudioFormat(AudioFormat::channelBit(channels) | encoding | rateBits), frames);
}

} // namespace QUORVEL
