#include "support/PngWriter.h"

#include <algorithm>
#include <array>
#include <fstream>

namespace {

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320U & (0U - (crc & 1U)));
        }
    }
    return ~crc;
}

void putBig32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void putChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
    putBig32(out, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    putBig32(out, crc32(typed.data(), typed.size()));
}

// A zlib stream of stored blocks around `raw`.
std::vector<uint8_t> storedZlib(const std::vector<uint8_t>& raw) {
    std::vector<uint8_t> out = {0x78, 0x01};
    size_t offset = 0;
    do {
        const size_t length = std::min<size_t>(65535, raw.size() - offset);
        const bool last = offset + length == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<uint8_t>(length));
        out.push_back(static_cast<uint8_t>(length >> 8));
        out.push_back(static_cast<uint8_t>(~length));
        out.push_back(static_cast<uint8_t>(~length >> 8));
        out.insert(out.end(), raw.begin() + static_cast<long>(offset),
                   raw.begin() + static_cast<long>(offset + length));
        offset += length;
    } while (offset < raw.size());
    uint32_t a = 1;
    uint32_t b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    putBig32(out, b << 16 | a);
    return out;
}

} // namespace

std::vector<uint8_t> encodeRgbaPng(const std::vector<uint32_t>& pixels, uint32_t width) {
    const uint32_t height = width == 0 ? 0 : static_cast<uint32_t>(pixels.size() / width);
    std::vector<uint8_t> out = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    std::vector<uint8_t> header;
    putBig32(header, width);
    putBig32(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});
    putChunk(out, "IHDR", header);
    std::vector<uint8_t> raw;
    for (uint32_t row = 0; row < height; ++row) {
        raw.push_back(0);
        for (uint32_t column = 0; column < width; ++column) {
            const uint32_t pixel = pixels[row * width + column];
            for (int shift = 0; shift < 32; shift += 8) {
                raw.push_back(static_cast<uint8_t>(pixel >> shift));
            }
        }
    }
    putChunk(out, "IDAT", storedZlib(raw));
    putChunk(out, "IEND", {});
    return out;
}

bool writePngFile(const std::string& path, const std::vector<uint32_t>& pixels, uint32_t width) {
    const std::vector<uint8_t> bytes = encodeRgbaPng(pixels, width);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::vector<uint32_t> patternPixels(uint32_t width, uint32_t height, uint32_t seed) {
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    uint32_t state = seed * 2654435761U + 1;
    for (uint32_t& pixel : pixels) {
        state = state * 1664525U + 1013904223U;
        pixel = state;
    }
    return pixels;
}
