#pragma once

#include "host/AudioSource.h"

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace QUORVEL {

// Any file libsndfile reads. Uncompressed containers (WAV, AIFF, W64, RF64,
// CAF, AU) are read raw: the stored sample bytes, put into little-endian
// order, 8-bit made signed, nothing else touched. Losslessly compressed
// integer PCM (FLAC and the like) is decoded to integers and stored back at
// its own width; anything else is decoded to 32-bit float.
class SndfileSource : public AudioSource {
public:
    static std::unique_ptr<SndfileSource> open(const std::string& path, std::string& error);

    AudioFormat format() const override { return streamFormat; }
    std::string description() const override;
    std::optional<uint64_t> totalFrames() const override { return frames; }
    std::optional<size_t> read(std::span<uint8_t> bytes) override;
    const std::string& error() const override { return lastError; }

private:
    enum class Path { Raw, Integer, Float };
    struct FileCloser {
        void operator()(SNDFILE* file) const { sf_close(file); }
    };

    SndfileSource(std::unique_ptr<SNDFILE, FileCloser> file, const SF_INFO& info, AudioFormat format,
                  Path path, std::string container);

    std::unique_ptr<SNDFILE, FileCloser> file;
    AudioFormat streamFormat;
    Path path;
    std::string container;
    uint32_t storedBytes = 0; // bytes per sample in the file (raw path)
    bool swap = false;        // raw samples are big-endian
    bool unsigned8 = false;   // raw 8-bit samples are unsigned
    uint64_t frames = 0;
    uint64_t framesRead = 0;
    std::vector<int32_t> decoded; // integer path scratch, sized at open
    std::vector<float> floats;    // float path scratch, sized at open
    std::string lastError;
};

} // namespace QUORVEL
