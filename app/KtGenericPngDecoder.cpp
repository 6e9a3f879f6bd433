#include "app/KtGenericPngDecoder.h"

#include "app/ZlibInflater.h"

#include <array>
#include <cstring>

namespace {

constexpr std::array<uint8_t, 8> kSignature = {137, 'P', 'N', 'G', 13, 10, 26, 10};

uint32_t bigEndian32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

bool isType(const uint8_t* type, const char* name) {
    return std::memcmp(type, name, 4) == 0;
}

} // namespace

KtGenericPngDecoder::~KtGenericPngDecoder() = default;

bool KtGenericPngDecoder::prepare() {
    return true;
}

bool KtGenericPngDecoder::putByte(uint8_t /*byte*/) {
    return true;
}

void KtGenericPngDecoder::finish() {}

bool KtGenericPngDecoder::decode(const uint8_t* data, size_t size) {
    if (data == nullptr || size < kSignature.size() ||
        std::memcmp(data, kSignature.data(), kSignature.size()) != 0) {
        return false;
    }
    // A decoder may be used for several files: nothing of the last one stays.
    imageWidth = 0;
    imageHeight = 0;
    depth = colour = compression = filtering = interlace = 0;
    paletteBytes.clear();
    transparencyBytes.clear();
    gammaValue = 0;
    compressed.clear();
    rgbaBytes.clear();
    if (!readChunks(data, size) || !prepare()) {
        return false;
    }
    ZlibInflater inflater;
    inflater.run(compressed.data(), compressed.size(), *this);
    finish();
    return true;
}

bool KtGenericPngDecoder::readChunks(const uint8_t* data, size_t size) {
    size_t position = kSignature.size();
    // Each chunk: length, type, data, CRC (not checked). A chunk whose data
    // runs past the end of the file ends the walk; the length is compared
    // against what is left, so no sum can overflow.
    while (size - position >= 8) {
        const uint32_t length = bigEndian32(data + position);
        const uint8_t* type = data + position + 4;
        position += 8;
        if (length > size - position) {
            break;
        }
        const uint8_t* body = data + position;
        if (isType(type, "IHDR")) {
            if (length > 12) {
                imageWidth = bigEndian32(body);
                imageHeight = bigEndian32(body + 4);
                depth = body[8];
                colour = body[9];
                compression = body[10];
                filtering = body[11];
                interlace = body[12];
            }
        } else if (isType(type, "PLTE")) {
            if (length % 3 != 0) {
                return false;
            }
            paletteBytes.assign(body, body + length);
        } else if (isType(type, "tRNS")) {
            transparencyBytes.assign(body, body + length);
        } else if (isType(type, "gAMA")) {
            if (length >= 4) {
                gammaValue = bigEndian32(body);
            }
        } else if (isType(type, "IDAT")) {
            compressed.insert(compressed.end(), body, body + length);
        } else if (isType(type, "IEND")) {
            break;
        }
        position += length;
        // Skip the CRC; a file that ends inside it simply ends the walk.
        position += size - position < 4 ? size - position : 4;
    }
    return true;
}
