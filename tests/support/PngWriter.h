#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes pictures as PNG files for tests, independently of the program's
// decoder: 8-bit RGBA (colour type 6), no interlace, filter 0 on every row,
// the image data in stored (uncompressed) deflate blocks. Pixels are given
// as the icon records hold them: red in bits 0-7, green 8-15, blue 16-23,
// alpha 24-31, rows top to bottom.
std::vector<uint8_t> encodeRgbaPng(const std::vector<uint32_t>& pixels, uint32_t width);
bool writePngFile(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width);
// A picture of `width` x `height` pixels that differ from each other and
// from their neighbours (derived from `seed`).
std::vector<uint32_t> patternPixels(uint32_t width, uint32_t height, uint32_t seed);
