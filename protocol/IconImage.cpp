#include "protocol/IconImage.h"

#include "protocol/WireMessage.h"

#include <algorithm>

namespace QUORVEL {

namespace {

constexpr size_t kRowRunFourByte = 300;
constexpr size_t kRowRunOneByte = 1000;

} // namespace

size_t IconImage::runLength(uint32_t row, uint32_t column, uint16_t countMode) const {
    if (!usable() || row >= height() || column >= width) {
        return 0;
    }
    const size_t start = static_cast<size_t>(row) * width + column;
    size_t count = 0;
    if (countMode < 2) {
        count = std::min<size_t>(width - column, oneBytePerPixel ? kRowRunOneByte : kRowRunFourByte);
    } else {
        count = std::min<size_t>(countMode - 1U, pixels.size() - start);
    }
    const size_t bytesPerPixel = oneBytePerPixel ? 1 : 4;
    return std::min(count, kMaxPayloadSize / bytesPerPixel);
}

void IconImage::runBytes(uint32_t row, uint32_t column, size_t count, std::vector<uint8_t>& out) const {
    const size_t start = static_cast<size_t>(row) * width + column;
    out.clear();
    out.reserve(oneBytePerPixel ? count : count * 4);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t pixel = pixels[start + i];
        if (oneBytePerPixel) {
            out.push_back(static_cast<uint8_t>(pixel >> 24));
        } else {
            out.push_back(static_cast<uint8_t>(pixel));
            out.push_back(static_cast<uint8_t>(pixel >> 8));
            out.push_back(static_cast<uint8_t>(pixel >> 16));
            out.push_back(static_cast<uint8_t>(pixel >> 24));
        }
    }
}

} // namespace QUORVEL
