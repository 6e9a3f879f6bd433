#pragma once

#include "host/AudioSource.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace QUORVEL {

// DSD from a DSF file: the 'DSD ', 'fmt ' and 'data' chunks, channels
// interleaved in blocks (normally 4096 bytes per channel), bits stored least
// significant first (bits per sample 1) or most significant first (8).
// Produces native 1-bit DSD, MSB first, in little-endian 4-byte words: per
// frame one word per channel whose most significant byte holds the earliest
// eight bits. The last frame is filled up with the format's silence byte.
class DsfSource : public AudioSource {
public:
    // The 'fmt ' chunk's contents.
    struct Layout {
        uint32_t channels = 0;
        uint32_t rate = 0;
        uint32_t bitsPerSample = 0;
        uint64_t samplesPerChannel = 0; // DSD bits per channel
        uint32_t blockBytes = 0;        // per channel per block
        uint64_t dataOffset = 0;        // first audio byte in the file
        uint64_t dataBytes = 0;         // audio bytes the data chunk holds
    };

    // True when the first bytes are a DSF signature.
    static bool looksLikeDsf(const uint8_t* head, size_t length);
    // nullptr with a one-line `error` for a file that is not a DSF file the
    // stream can carry or whose chunks disagree with its length.
    static std::unique_ptr<DsfSource> open(const std::string& path, std::string& error);

    AudioFormat format() const override { return streamFormat; }
    std::string description() const override;
    std::optional<uint64_t> totalFrames() const override { return frames; }
    std::optional<size_t> read(std::span<uint8_t> bytes) override;
    const std::string& error() const override { return lastError; }

    const Layout& layout() const { return fileLayout; }

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };

    DsfSource(std::unique_ptr<std::FILE, FileCloser> file, const Layout& layout);
    bool loadBlock();

    std::unique_ptr<std::FILE, FileCloser> file;
    Layout fileLayout;
    AudioFormat streamFormat;
    uint64_t bytesPerChannel = 0; // valid DSD bytes per channel
    uint64_t frames = 0;
    uint64_t framesRead = 0;
    uint64_t blockIndex = 0;    // next block to load
    std::vector<uint8_t> block; // one block of every channel, as stored
    uint64_t blockStart = 0;    // byte position per channel of block[0]
    uint64_t blockValid = 0;    // valid bytes per channel in `block`
    std::string lastError;
};

} // namespace QUORVEL
