#include "foundation/Crc16.h"

#include <array>

namespace VEMRA {

namespace {

constexpr uint16_t kReflectedPolynomial = 0xA001; // 0x8005 bit-reversed

constexpr std::array<uint16_t, 256> makeTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        auto value = static_cast<uint16_t>(byte);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1U) != 0 ? static_cast<uint16_t>((value >> 1) ^ kReflectedPolynomial)
                                      : static_cast<uint16_t>(value >> 1);
        }
        table[byte] = value;
    }
    return table;
}

constexpr std::array<uint16_t, 256> kTable = makeTable();

} // namespace

void Crc16Usb::update(const void* bytes, size_t length) {
    const auto* data = static_cast<const uint8_t*>(bytes);
    uint16_t crc = state;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ data[i]) & 0xFFU]);
    }
    state = crc;
}

uint16_t crc16Usb(const void* bytes, size_t length) {
    Crc16Usb crc;
    crc.update(bytes, length);
    return crc.value();
}

} // namespace VEMRA
