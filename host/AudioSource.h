#pragma once

#include "protocol/AudioFormat.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace QUORVEL {

// Audio pulled piece by piece, already in the byte layout the stream carries
// for format(): interleaved frames of little-endian samples (3 bytes for
// 24-bit integer), or for native DSD one 32-bit little-endian word per
// channel with the earliest bit in the most significant bit of the most
// significant byte (AudioFormat 1-bit DSD, MSB first, little-endian 4-byte
// words). Belongs to one thread at a time.
class AudioSource {
public:
    virtual ~AudioSource() = default;

    // The stream format this source produces (a valid stream format).
    virtual AudioFormat format() const = 0;
    // One line for people, e.g. "WAV, 24-bit integer, 96000 Hz, 2 channels".
    virtual std::string description() const = 0;
    // Frames from start to end; nullopt for an endless source.
    virtual std::optional<uint64_t> totalFrames() const = 0;
    // Fills up to bytes.size() bytes with whole frames and returns how many;
    // 0 at the end (or when bytes cannot hold one frame); nullopt on a read
    // error, described by error().
    virtual std::optional<size_t> read(std::span<uint8_t> bytes) = 0;
    virtual const std::string& error() const = 0;
    // After a read of 0: true when the source has not ended but has nothing
    // yet (audio handed in while it plays, see PushSource); the reader
    // waits and asks again.
    virtual bool waiting() const { return false; }
};

// A DSF file (by its content, whatever the name) through the DSD reader,
// anything else through libsndfile: integer PCM of 8, 16, 24 and 32 bits and
// 32/64-bit float, passed on with the sample values unchanged. nullptr with a
// one-line `error` when the file cannot be opened or played as it is.
std::unique_ptr<AudioSource> openAudioFile(const std::string& path, std::string& error);

// "24-bit integer, 352800 Hz, 2 channels"; "DSD 2822400 Hz (DSD64), 2 channels".
std::string describeFormat(AudioFormat format);

// A sine of `frequency` Hz at -6 dBFS, integer PCM of `bits` (16, 24 or 32)
// at `rate` Hz on every one of `channels` channels; `seconds` 0 = endless.
std::unique_ptr<AudioSource> makeToneSource(double frequency, uint32_t rate, uint32_t bits, uint32_t channels,
                                            double seconds, std::string& error);

} // namespace QUORVEL
