#include "app/KtRawPngDecoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

struct Pass {
    uint32_t x0, y0, dx, dy;
};

constexpr Pass kSinglePass = {0, 0, 1, 1};
constexpr std::array<Pass, 7> kAdam7 = {
    {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4}, {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}}};

uint32_t rgba(uint32_t red, uint32_t green, uint32_t blue, uint32_t alpha) {
    return red | (green << 8) | (blue << 16) | (alpha << 24);
}

// The Paeth predictor in the branch-free arrangement: the candidates'
// distances are |up - upLeft|, |left - upLeft| and their sum's magnitude.
unsigned paeth(unsigned left, unsigned up, unsigned upLeft) {
    const int towardsUp = static_cast<int>(up) - static_cast<int>(upLeft);
    const int towardsLeft = static_cast<int>(left) - static_cast<int>(upLeft);
    int best = std::abs(towardsUp);
    const int fromUp = std::abs(towardsLeft);
    const int fromUpLeft = std::abs(towardsUp + towardsLeft);
    unsigned prediction = left;
    if (fromUp < best) {
        best = fromUp;
        prediction = up;
    }
    if (fromUpLeft < best) {
        prediction = upLeft;
    }
    return prediction;
}

uint32_t channelsOf(uint8_t colourType) {
    switch (colourType) {
    case 2:
        return 3;
    case 4:
        return 2;
    case 6:
        return 4;
    default:
        return 1;
    }
}

bool acceptedFormat(uint8_t colourType, uint8_t depth) {
    switch (colourType) {
    case 0:
        return depth == 1 || depth == 8;
    case 2:
        return depth == 8 || depth == 16;
    case 3:
        return depth == 4 || depth == 8;
    case 4:
    case 6:
        return depth == 8;
    default:
        return false;
    }
}

} // namespace

bool KtRawPngDecoder::prepare() {
    stage = Stage::Idle;
    out = nullptr;
    if (!acceptedFormat(colorType(), bitDepth()) || interlaceMethod() > 1 || compressionMethod() != 0 ||
        filterMethod() != 0) {
        return false;
    }
    if (width() == 0 || height() == 0 || width() > kMaxWidth || height() > kMaxHeight ||
        static_cast<uint64_t>(width()) * height() > kMaxPixels) {
        return false;
    }
    const uint32_t bitsPerPixel = channelsOf(colorType()) * bitDepth();
    pixelBytes = bitsPerPixel / 8;
    filterStep = std::max<uint32_t>(1, pixelBytes);

    // The colour key is compared with the samples at their full precision.
    const std::vector<uint8_t>& trns = transparency();
    const size_t keySamples = colorType() == 0 ? 1 : colorType() == 2 ? 3 : 0;
    hasKey = keySamples != 0 && trns.size() == keySamples * 2;
    for (size_t i = 0; hasKey && i < keySamples; ++i) {
        key[i] = static_cast<uint16_t>((trns[2 * i] << 8) | trns[2 * i + 1]);
    }
    const std::vector<uint8_t>& colours = palette();
    for (size_t index = 0; index < paletteRgba.size(); ++index) {
        if (index * 3 + 2 < colours.size()) {
            const uint32_t alpha = colorType() == 3 && index < trns.size() ? trns[index] : 255;
            paletteRgba[index] =
                rgba(colours[index * 3], colours[index * 3 + 1], colours[index * 3 + 2], alpha);
        } else {
            paletteRgba[index] = rgba(0, 0, 0, 255);
        }
    }

    std::vector<uint8_t>& output = outputBuffer();
    output.assign(static_cast<size_t>(width()) * height() * 4, 0);
    out = output.data();
    const size_t widestRow = (static_cast<size_t>(width()) * bitsPerPixel + 7) / 8;
    current.assign(widestRow, 0);
    previous.assign(widestRow, 0);
    stage = Stage::Receiving;
    return startPass(0);
}

bool KtRawPngDecoder::startPass(unsigned first) {
    const bool interlaced = interlaceMethod() == 1;
    const unsigned passes = interlaced ? 7 : 1;
    for (pass = first; pass < passes; ++pass) {
        const Pass& geometry = interlaced ? kAdam7[pass] : kSinglePass;
        passX0 = geometry.x0;
        passY0 = geometry.y0;
        passDX = geometry.dx;
        passDY = geometry.dy;
        passWidth = width() > passX0 ? (width() - passX0 + passDX - 1) / passDX : 0;
        passHeight = height() > passY0 ? (height() - passY0 + passDY - 1) / passDY : 0;
        // An empty pass sends no rows, not even filter bytes.
        if (passWidth == 0 || passHeight == 0) {
            continue;
        }
        rowBytes = (static_cast<size_t>(passWidth) * channelsOf(colorType()) * bitDepth() + 7) / 8;
        std::fill(previous.begin(), previous.begin() + static_cast<std::ptrdiff_t>(rowBytes), 0);
        row = 0;
        column = 0;
        pixelInRow = 0;
        byteInPixel = 0;
        rowOut = out + (static_cast<size_t>(passY0) * width() + passX0) * 4;
        return true;
    }
    stage = Stage::Complete;
    return true;
}

void KtRawPngDecoder::endRow() {
    std::swap(current, previous);
    ++row;
    column = 0;
    pixelInRow = 0;
    byteInPixel = 0;
    if (row == passHeight) {
        startPass(pass + 1);
        return;
    }
    rowOut = out + (static_cast<size_t>(passY0 + row * passDY) * width() + passX0) * 4;
}

void KtRawPngDecoder::store(uint32_t pixel) {
    // Bytes R, G, B, A in memory order, whatever the machine's byte order.
    const std::array<uint8_t, 4> bytes = {static_cast<uint8_t>(pixel), static_cast<uint8_t>(pixel >> 8),
                                          static_cast<uint8_t>(pixel >> 16),
                                          static_cast<uint8_t>(pixel >> 24)};
    std::memcpy(rowOut + static_cast<size_t>(pixelInRow) * passDX * 4, bytes.data(), bytes.size());
    ++pixelInRow;
}

void KtRawPngDecoder::emitPixel(const uint8_t* bytes) {
    switch (colorType()) {
    case 0: {
        const uint8_t grey = bytes[0];
        store(rgba(grey, grey, grey, hasKey && grey == key[0] ? 0 : 255));
        break;
    }
    case 2:
        if (bitDepth() == 16) {
            const auto red = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
            const auto green = static_cast<uint16_t>((bytes[2] << 8) | bytes[3]);
            const auto blue = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
            const bool keyed = hasKey && red == key[0] && green == key[1] && blue == key[2];
            store(rgba(bytes[0], bytes[2], bytes[4], keyed ? 0 : 255));
        } else {
            const bool keyed = hasKey && bytes[0] == key[0] && bytes[1] == key[1] && bytes[2] == key[2];
            store(rgba(bytes[0], bytes[1], bytes[2], keyed ? 0 : 255));
        }
        break;
    case 3:
        store(paletteRgba[bytes[0]]);
        break;
    case 4:
        store(rgba(bytes[0], bytes[0], bytes[0], bytes[1]));
        break;
    default:
        store(rgba(bytes[0], bytes[1], bytes[2], bytes[3]));
        break;
    }
}

void KtRawPngDecoder::emitPackedByte(uint8_t byte) {
    const unsigned depth = bitDepth();
    const unsigned mask = (1U << depth) - 1U;
    for (int shift = 8 - static_cast<int>(depth); shift >= 0 && pixelInRow < passWidth;
         shift -= static_cast<int>(depth)) {
        const unsigned sample = (byte >> shift) & mask;
        if (colorType() == 3) {
            store(paletteRgba[sample]);
        } else {
            // 1-bit grey: 0 is black, 1 is white.
            const uint32_t grey = sample * 255U;
            store(rgba(grey, grey, grey, hasKey && sample == key[0] ? 0 : 255));
        }
    }
}

bool KtRawPngDecoder::takeFilterByte(uint8_t byte) {
    if (stage != Stage::Receiving) {
        return false;
    }
    if (byte > 4) {
        // Not a PNG filter: the rest of the data cannot be trusted.
        stage = Stage::Broken;
        return false;
    }
    filter = byte;
    column = 1;
    return true;
}

// The hot path of the decoder, once per byte of image data; the rarer steps
// (filter bytes, row and pass changes) are out of line.
bool KtRawPngDecoder::putByte(uint8_t byte) {
    if (column == 0 || stage != Stage::Receiving) [[unlikely]] {
        return takeFilterByte(byte);
    }
    const size_t index = column - 1;
    const unsigned left = index >= filterStep ? current[index - filterStep] : 0;
    const unsigned up = previous[index];
    unsigned value = byte;
    switch (filter) {
    case 1:
        value += left;
        break;
    case 2:
        value += up;
        break;
    case 3:
        value += (left + up) / 2;
        break;
    case 4:
        value += paeth(left, up, index >= filterStep ? previous[index - filterStep] : 0U);
        break;
    default:
        break;
    }
    const auto reconstructed = static_cast<uint8_t>(value);
    current[index] = reconstructed;
    if (pixelBytes == 0) {
        emitPackedByte(reconstructed);
    } else if (++byteInPixel == pixelBytes) {
        emitPixel(&current[index + 1 - pixelBytes]);
        byteInPixel = 0;
    }
    if (++column > rowBytes) [[unlikely]] {
        endRow();
        return stage == Stage::Receiving;
    }
    return true;
}

void KtRawPngDecoder::finish() {
    if (stage == Stage::Receiving) {
        stage = Stage::Idle;
    }
    out = nullptr;
}
