#include "foundation/Crc16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Crc16Test, KnownValues) {
    const char* check = "123456789";
    EXPECT_EQ(VEMRA::crc16Usb(check, std::strlen(check)), 0xB4C8);
    // Nothing processed: the initial value complemented.
    EXPECT_EQ(VEMRA::crc16Usb(nullptr, 0), 0x0000);
    const unsigned char zero = 0;
    EXPECT_EQ(VEMRA::crc16Usb(&zero, 1), 0xBF40);
}

TEST(Crc16Test, PiecewiseEqualsOneShot) {
    std::string data;
    for (int i = 0; i < 300; ++i) {
        data.push_back(static_cast<char>((i * 37 + 11) & 0xFF));
    }
    const uint16_t whole = VEMRA::crc16Usb(data.data(), data.size());
    for (size_t split = 0; split <= data.size(); split += 7) {
        VEMRA::Crc16Usb crc;
        crc.update(data.data(), split);
        crc.update(data.data() + split, data.size() - split);
        ASSERT_EQ(crc.value(), whole) << "split at " << split;
    }
    // A changed byte changes the result.
    data[150] = static_cast<char>(data[150] ^ 0x01);
    EXPECT_NE(VEMRA::crc16Usb(data.data(), data.size()), whole);
}

} // namespace
