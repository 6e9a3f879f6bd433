#include "host/SndfileSource.h"

#include <algorithm>
#include <cstring>

namespace QUORVEL {

namespace {

constexpr size_t kDecodeFrames = 1024;

bool isUncompressedContainer(int major) {
    switch (major) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_AIFF:
    case SF_FORMAT_W64:
    case SF_FORMAT_RF64:
    case SF_FORMAT_CAF:
    case SF_FORMAT_AU:
        return true;
    default:
        return false;
    }
}

std::string containerName(int major) {
    SF_FORMAT_INFO info{};
    info.format = major;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 && info.extension != nullptr) {
        std::string name = info.extension;
        std::transform(name.begin(), name.end(), name.begin(),
                       [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); });
        return name;
    }
    return "audio file";
}

// The stream encoding and stored width of a libsndfile subtype; 0 when the
// subtype is not integer PCM or float stored as such.
uint64_t encodingOf(int subtype, uint32_t& storedBytes) {
    switch (subtype) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
        storedBytes = 1;
        return AudioFormat::kPcm8;
    case SF_FORMAT_PCM_16:
        storedBytes = 2;
        return AudioFormat::kPcm16;
    case SF_FORMAT_PCM_24:
        storedBytes = 3;
        return AudioFormat::kPcm24;
    case SF_FORMAT_PCM_32:
        storedBytes = 4;
        return AudioFormat::kPcm32;
    case SF_FORMAT_FLOAT:
        storedBytes = 4;
        return AudioFormat::kFloat32;
    case SF_FORMAT_DOUBLE:
        storedBytes = 8;
        return AudioFormat::kFloat64;
    default:
        storedBytes = 0;
        return 0;
    }
}

} // namespace

std::unique_ptr<SndfileSource> SndfileSource::open(const std::string& path, std::string& error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, FileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return nullptr;
    }
    const int major = info.format & SF_FORMAT_TYPEMASK;
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    uint32_t storedBytes = 0;
    uint64_t encoding = encodingOf(subtype, storedBytes);
    Path how = Path::Raw;
    if (encoding == 0) {
        how = Path::Float;
        encoding = AudioFormat::kFloat32;
        storedBytes = 4;
    } else if (!isUncompressedContainer(major)) {
        how = AudioFormat(encoding).isFloat() ? Path::Float : Path::Integer;
    }
    const uint64_t channelBit = AudioFormat::channelBit(static_cast<uint32_t>(std::max(info.channels, 0)));
    if (channelBit == 0) {
        error = path + ": " + std::to_string(info.channels) +
                " channels cannot be streamed (1, 2, 4, 6, 8 or 16)";
        return nullptr;
    }
    const uint64_t rateBits = AudioFormat::rateBits(static_cast<uint32_t>(std::max(info.samplerate, 0)));
    if (rateBits == 0) {
        error = path + ": " + std::to_string(info.samplerate) +
                " Hz cannot be streamed (8000 Hz or a multiple of 44100 or 48000 Hz)";
        return nullptr;
    }
    const AudioFormat format(channelBit | encoding | rateBits);
    auto source = std::unique_ptr<SndfileSource>(
        new SndfileSource(std::move(file), info, format, how, containerName(major)));
    source->storedBytes = storedBytes;
    if (how == Path::Raw) {
        source->swap = sf_command(source->file.get(), SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_TRUE;
        source->unsigned8 = subtype == SF_FORMAT_PCM_U8;
    }
    return source;
}

SndfileSource::SndfileSource(std::unique_ptr<SNDFILE, FileCloser> sndfile, const SF_INFO& info,
                             AudioFormat format, Path readPath, std::string containerText)
    : file(std::move(sndfile)), streamFormat(format), path(readPath), container(std::move(containerText)),
      frames(info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0) {
    if (path == Path::Integer) {
        decoded.resize(kDecodeFrames * format.channels());
    } else if (path == Path::Float) {
        floats.resize(kDecodeFrames * format.channels());
    }
}

std::string SndfileSource::description() const {
    return container + ", " + describeFormat(streamFormat);
}

std::optional<size_t> SndfileSource::read(std::span<uint8_t> bytes) {
    const size_t frameBytes = streamFormat.frameBytes();
    const uint64_t left = frames - framesRead;
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(bytes.size() / frameBytes, left));
    if (wanted == 0) {
        return size_t{0};
    }
    size_t got = 0; // frames
    if (path == Path::Raw) {
        const sf_count_t count =
            sf_read_raw(file.get(), bytes.data(), static_cast<sf_count_t>(wanted * frameBytes));
        got = count > 0 ? static_cast<size_t>(count) / frameBytes : 0;
        uint8_t* sample = bytes.data();
        uint8_t* const end = bytes.data() + got * frameBytes;
        if (swap && storedBytes > 1) {
            for (; sample < end; sample += storedBytes) {
                std::reverse(sample, sample + storedBytes);
            }
        } else if (unsigned8) {
            for (; sample < end; ++sample) {
                *sample ^= 0x80;
            }
        }
    } else if (path == Path::Float) {
        while (got < wanted) {
            const size_t chunk = std::min(wanted - got, kDecodeFrames);
            const sf_count_t count =
                sf_readf_float(file.get(), floats.data(), static_cast<sf_count_t>(chunk));
            if (count <= 0) {
                break;
            }
            std::memcpy(bytes.data() + got * frameBytes, floats.data(),
                        static_cast<size_t>(count) * frameBytes);
            got += static_cast<size_t>(count);
        }
    } else {
        // libsndfile puts integers into the top of an int: shift back to the stored width.
        const uint32_t channels = streamFormat.channels();
        const int shift = 32 - static_cast<int>(storedBytes) * 8;
        while (got < wanted) {
            const size_t chunk = std::min(wanted - got, kDecodeFrames);
            const sf_count_t count = sf_readf_int(file.get(), decoded.data(), static_cast<sf_count_t>(chunk));
            if (count <= 0) {
                break;
            }
            uint8_t* out = bytes.data() + got * frameBytes;
            for (size_t i = 0; i < static_cast<size_t>(count) * channels; ++i) {
                const auto value = static_cast<uint32_t>(decoded[i] >> shift);
                for (uint32_t b = 0; b < storedBytes; ++b) {
                    *out++ = static_cast<uint8_t>(value >> (8 * b));
                }
            }
            got += static_cast<size_t>(count);
        }
    }
    if (got == 0) {
        lastError = std::string("read error after frame ") + std::to_string(framesRead) + ": " +
                    sf_strerror(file.get());
        return std::nullopt;
    }
    framesRead += got;
    return got * frameBytes;
}

} // namespace QUORVEL
