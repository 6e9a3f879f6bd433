#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Icon pixels from PNG data: one 32-bit value per pixel, rows top to bottom,
// red in bits 0-7, green 8-15, blue 16-23, alpha 24-31. Both clear `pixels`
// and `width` first. False for data without the PNG signature, an unreadable
// or empty file, and an image format that is refused (the pixels stay
// empty); a damaged compressed stream still gives true, with the pixels it
// never reached transparent black.
bool decodeIcon(const uint8_t* data, size_t size, std::vector<uint32_t>& pixels, uint16_t& width);
bool loadIconFile(const std::string& path, std::vector<uint32_t>& pixels, uint16_t& width);

// For any icon record with `pixels` and `width` (its `mode` is left alone).
template <typename Icon> bool loadIcon(Icon& icon, const std::string& path) {
    return loadIconFile(path, icon.pixels, icon.width);
}
