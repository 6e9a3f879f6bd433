#pragma once

#include <cstdint>

namespace VEMRA {

// Little-endian fields of the wire, the files and the loopback records, read
// and written byte by byte so that the result never depends on the host's
// byte order or on alignment.

inline uint16_t loadLe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

inline uint32_t loadLe32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
           static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

inline uint64_t loadLe64(const uint8_t* at) {
    return static_cast<uint64_t>(loadLe32(at)) | static_cast<uint64_t>(loadLe32(at + 4)) << 32;
}

inline void storeLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void storeLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void storeLe64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

} // namespace VEMRA
