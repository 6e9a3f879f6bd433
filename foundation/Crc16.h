#pragma once

#include <cstddef>
#include <cstdint>

namespace VEMRA {

// CRC-16/USB: polynomial 0x8005 reflected, initial 0xFFFF, result complemented.
uint16_t crc16Usb(const void* bytes, size_t length);

// Incremental form for data that arrives in pieces.
class Crc16Usb {
public:
    void update(const void* bytes, size_t length);
    uint16_t value() const { return static_cast<uint16_t>(~state); }

private:
    uint16_t state = 0xFFFF;
};

} // namespace VEMRA
