#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace QUORVEL {

// A small pixel image offered to the Host, read out in runs of pixels.
struct IconImage {
    bool oneBytePerPixel = false; // served as the most significant byte of each pixel
    std::vector<uint32_t> pixels; // row after row
    uint16_t width = 0;

    bool usable() const { return width != 0 && !pixels.empty() && pixels.size() % width == 0; }
    uint16_t height() const { return width == 0 ? 0 : static_cast<uint16_t>(pixels.size() / width); }

    // Pixels from 0-based (row, column): with `countMode` 0 or 1 the rest of
    // the row, at most 300 four-byte or 1000 one-byte pixels; else at most
    // countMode - 1 pixels up to the end of the image. Never more than a
    // payload can hold. 0 when the position lies outside the image.
    size_t runLength(uint32_t row, uint32_t column, uint16_t countMode) const;
    // Writes the run's payload bytes (little-endian pixels, or one byte each)
    // into `out`, which is resized to fit.
    void runBytes(uint32_t row, uint32_t column, size_t count, std::vector<uint8_t>& out) const;
};

} // namespace QUORVEL
