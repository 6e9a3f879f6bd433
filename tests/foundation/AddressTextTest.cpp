#include "foundation/AddressText.h"

#include <gtest/gtest.h>

#include <initializer_list>

namespace {

using VEMRA::SocketAddress;

SocketAddress fromGroups(std::initializer_list<unsigned> groups, uint16_t port = 0, uint32_t scope = 0) {
    SocketAddress record;
    size_t i = 0;
    for (unsigned group : groups) {
        record.address[i++] = static_cast<uint8_t>(group >> 8);
        record.address[i++] = static_cast<uint8_t>(group & 0xff);
    }
    record.setHostPort(port);
    record.scope = scope;
    return record;
}

TEST(AddressText, WritesCompressedAndDottedForms) {
    struct Case {
        SocketAddress record;
        const char* text;
    };
    const Case cases[] = {
        {fromGroups({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},
        {fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}), "fe80::1"},
        {fromGroups({0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x0102}), "192.168.1.2"},
        {fromGroups({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
        {fromGroups({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
        {fromGroups({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
        {fromGroups({0x2001, 0, 0xdb8, 0, 0, 0, 0xabcd, 0}), "2001:0:db8::abcd:0"},
        {fromGroups({0xfd00, 0, 0, 0x10, 0, 0, 0, 2}), "fd00::10:0:0:0:2"},
        {fromGroups({0xABCD, 0x00ef, 1, 2, 3, 4, 5, 0x0f00}), "abcd:ef:1:2:3:4:5:f00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(VEMRA::addressText(c.record), c.text);
        // Every written form reads back as the same record.
        const auto parsed = VEMRA::parseAddress(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text;
        EXPECT_EQ(*parsed, c.record) << c.text;
    }
}

TEST(AddressText, PortAndScopeFormsRoundTrip) {
    const SocketAddress linkLocal = fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 19641, 2);
    EXPECT_EQ(VEMRA::addressScopePortText(linkLocal), "fe80::1%2,19641");
    EXPECT_EQ(VEMRA::addressPortText(linkLocal), "fe80::1,19641");
    EXPECT_EQ(VEMRA::parseAddress("fe80::1%2,19641"), linkLocal);

    // Only the low 16 bits of the scope are written.
    const SocketAddress wideScope = fromGroups({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 1, 0x10003);
    EXPECT_EQ(VEMRA::addressScopePortText(wideScope), "fe80::1%3,1");

    const SocketAddress mapped = fromGroups({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}, 514);
    EXPECT_EQ(VEMRA::addressPortText(mapped), "127.0.0.1,514");
    EXPECT_EQ(VEMRA::parseAddress("127.0.0.1,514"), mapped);
    EXPECT_EQ(VEMRA::parseAddress("::ffff:127.0.0.1"), fromGroups({0, 0, 0, 0, 0, 0xffff, 0x7f00, 1}));
}

TEST(AddressText, ParseRejectsMalformedText) {
    for (const char* text :
         {"", "fe80::1::2", "1:2:3:4:5:6:7:8:9", "12345::", "fe80::g", "256.1.1.1", "1.2.3", "fe80::1%",
          "fe80::1%x", "::1,", "::1,65536", "::1,-1", " ::1", "::1%2,3,4",
          "0000000000000000000000000000000000000000000000000000000000000000::"}) {
        EXPECT_FALSE(VEMRA::parseAddress(text).has_value()) << '"' << text << '"';
    }
}

} // namespace
