#include "host/DsfSource.h"
#include "foundation/LittleEndian.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace QUORVEL {

namespace {

constexpr size_t kDsdChunkBytes = 28;
constexpr size_t kFmtChunkBytes = 52;
constexpr size_t kDataHeaderBytes = 12;
constexpr size_t kHeadBytes = kDsdChunkBytes + kFmtChunkBytes + kDataHeaderBytes;
constexpr uint32_t kLargestBlock = 1U << 20;
constexpr uint32_t kWordBytes = 4;

bool hasId(const uint8_t* bytes, const char* id) {
    return std::memcmp(bytes, id, 4) == 0;
}

constexpr std::array<uint8_t, 256> makeReversal() {
    std::array<uint8_t, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        unsigned reversed = 0;
        for (int bit = 0; bit < 8; ++bit) {
            reversed |= ((value >> bit) & 1U) << (7 - bit);
        }
        table[value] = static_cast<uint8_t>(reversed);
    }
    return table;
}

constexpr std::array<uint8_t, 256> kReversed = makeReversal();

// Bytes holding `samples` one-bit samples; no overflow for any count.
uint64_t bytesForSamples(uint64_t samples) {
    return samples / 8 + (samples % 8 != 0 ? 1 : 0);
}

// Checks the three chunk headers; the text of the first problem, or empty.
std::string parseHead(const uint8_t* head, uint64_t fileBytes, DsfSource::Layout& layout) {
    if (!hasId(head, "DSD ") || VEMRA::loadLe64(head + 4) != kDsdChunkBytes) {
        return "not a DSF file (no 'DSD ' chunk of 28 bytes)";
    }
    const uint8_t* fmt = head + kDsdChunkBytes;
    if (!hasId(fmt, "fmt ") || VEMRA::loadLe64(fmt + 4) != kFmtChunkBytes) {
        return "DSF file without a 'fmt ' chunk of 52 bytes";
    }
    if (VEMRA::loadLe32(fmt + 12) != 1 || VEMRA::loadLe32(fmt + 16) != 0) {
        return "DSF format version " + std::to_string(VEMRA::loadLe32(fmt + 12)) + " / format id " +
               std::to_string(VEMRA::loadLe32(fmt + 16)) + " is not raw DSD version 1";
    }
    layout.channels = VEMRA::loadLe32(fmt + 24);
    layout.rate = VEMRA::loadLe32(fmt + 28);
    layout.bitsPerSample = VEMRA::loadLe32(fmt + 32);
    layout.samplesPerChannel = VEMRA::loadLe64(fmt + 36);
    layout.blockBytes = VEMRA::loadLe32(fmt + 44);
    if (AudioFormat::channelBit(layout.channels) == 0) {
        return "DSF file with " + std::to_string(layout.channels) +
               " channels (1, 2, 4, 6, 8 or 16 can be streamed)";
    }
    if (layout.rate < 2822400 || AudioFormat::rateBits(layout.rate) == 0) {
        return "DSF sampling frequency " + std::to_string(layout.rate) + " Hz is not a DSD rate";
    }
    if (layout.bitsPerSample != 1 && layout.bitsPerSample != 8) {
        return "DSF bits per sample " + std::to_string(layout.bitsPerSample) + " (1 or 8 expected)";
    }
    if (layout.blockBytes == 0 || layout.blockBytes % kWordBytes != 0 || layout.blockBytes > kLargestBlock) {
        return "DSF block size " + std::to_string(layout.blockBytes) + " per channel is not usable";
    }
    const uint8_t* data = fmt + kFmtChunkBytes;
    const uint64_t dataChunk = VEMRA::loadLe64(data + 4);
    if (!hasId(data, "data") || dataChunk < kDataHeaderBytes) {
        return "DSF file without a 'data' chunk after 'fmt '";
    }
    layout.dataOffset = kHeadBytes;
    layout.dataBytes = dataChunk - kDataHeaderBytes;
    if (layout.dataBytes > fileBytes - kHeadBytes) {
        return "DSF data chunk of " + std::to_string(layout.dataBytes) +
               " bytes runs past the end of the file";
    }
    // Every block group is stored whole, the last one padded.
    const uint64_t perChannel = bytesForSamples(layout.samplesPerChannel);
    const uint64_t groups = (perChannel + layout.blockBytes - 1) / layout.blockBytes;
    const uint64_t groupBytes = static_cast<uint64_t>(layout.blockBytes) * layout.channels;
    if (groups > layout.dataBytes / groupBytes) {
        return "DSF sample count " + std::to_string(layout.samplesPerChannel) + " needs more than the " +
               std::to_string(layout.dataBytes) + " data bytes";
    }
    return std::string();
}

} // namespace

bool DsfSource::looksLikeDsf(const uint8_t* head, size_t length) {
    return length >= 4 && hasId(head, "DSD ");
}

std::unique_ptr<DsfSource> DsfSource::open(const std::string& path, std::string& error) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat status {};
    if (fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
        error = path + " is not a regular file";
        return nullptr;
    }
    const auto fileBytes = static_cast<uint64_t>(status.st_size);
    std::array<uint8_t, kHeadBytes> head{};
    if (fileBytes < kHeadBytes || std::fread(head.data(), 1, head.size(), file.get()) != head.size()) {
        error = path + ": DSF file too short for its chunk headers";
        return nullptr;
    }
    Layout layout;
    const std::string problem = parseHead(head.data(), fileBytes, layout);
    if (!problem.empty()) {
        error = path + ": " + problem;
        return nullptr;
    }
    return std::unique_ptr<DsfSource>(new DsfSource(std::move(file), layout));
}

DsfSource::DsfSource(std::unique_ptr<std::FILE, FileCloser> dsfFile, const Layout& layout)
    : file(std::move(dsfFile)), fileLayout(layout),
      streamFormat(AudioFormat::channelBit(layout.channels) | AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst |
                   AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4 |
                   AudioFormat::rateBits(layout.rate)),
      bytesPerChannel(bytesForSamples(layout.samplesPerChannel)),
      frames((bytesPerChannel + kWordBytes - 1) / kWordBytes),
      block(static_cast<size_t>(layout.blockBytes) * layout.channels) {}

std::string DsfSource::description() const {
    return "DSF, " + describeFormat(streamFormat);
}

bool DsfSource::loadBlock() {
    const uint64_t groupBytes = block.size();
    const uint64_t offset = fileLayout.dataOffset + blockIndex * groupBytes;
    if (fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fread(block.data(), 1, block.size(), file.get()) != block.size()) {
        lastError = "DSF read error at byte " + std::to_string(offset);
        return false;
    }
    blockStart = blockIndex * fileLayout.blockBytes;
    blockValid = std::min<uint64_t>(fileLayout.blockBytes, bytesPerChannel - blockStart);
    ++blockIndex;
    return true;
}

std::optional<size_t> DsfSource::read(std::span<uint8_t> bytes) {
    const size_t frameBytes = static_cast<size_t>(kWordBytes) * fileLayout.channels;
    const uint8_t silence = streamFormat.silenceByte();
    const bool reverse = fileLayout.bitsPerSample == 1;
    size_t written = 0;
    while (framesRead < frames && bytes.size() - written >= frameBytes) {
        const uint64_t position = framesRead * kWordBytes; // per channel
        if (position >= blockStart + blockValid || blockIndex == 0) {
            if (!loadBlock()) {
                return std::nullopt;
            }
        }
        const uint64_t inBlock = position - blockStart;
        const uint64_t available = blockValid - inBlock;
        uint8_t* out = bytes.data() + written;
        for (uint32_t channel = 0; channel < fileLayout.channels; ++channel) {
            const uint8_t* in = block.data() + static_cast<size_t>(channel) * fileLayout.blockBytes + inBlock;
            // Earliest byte into the word's most significant byte.
            for (uint32_t i = 0; i < kWordBytes; ++i) {
                const uint8_t value = i < available ? (reverse ? kReversed[in[i]] : in[i]) : silence;
                out[channel * kWordBytes + (kWordBytes - 1 - i)] = value;
            }
        }
        written += frameBytes;
        ++framesRead;
    }
    return written;
}

} // namespace QUORVEL
