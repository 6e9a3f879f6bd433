#include "protocol/WireMessage.h"
#include "protocol/MessageCode.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

// Counts heap allocations of the calling thread, so the tests can prove that
// header-only messages and buffer reuse stay off the heap.
namespace {
thread_local size_t allocationCount = 0;
}

void* operator new(std::size_t size) {
    ++allocationCount;
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    std::abort();
}

// The non-throwing form too, or its blocks would reach the delete below
// from another allocator.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocationCount;
    return std::malloc(size != 0 ? size : 1);
}

// GCC sees free() after an inlined operator new and warns, though both sides
// of the pair are the malloc-based replacements here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
#pragma GCC diagnostic pop

namespace QUORVEL {
namespace {

std::vector<uint8_t> toVector(std::span<const uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

// A datagram exactly as a SendBuffer with an n-byte payload of value 0x5A transmits it.
std::vector<uint8_t> datagramWithPayload(size_t n, uint16_t code = INFO_ANS) {
    SendBuffer message;
    message.setHeader(code, 1);
    EXPECT_TRUE(message.setPayloadSize(n));
    message.fillPayload(0x5A);
    message.prepare();
    return toVector(message.bytes());
}

void setSizeField(std::vector<uint8_t>& datagram, uint16_t size) {
    datagram[2] = static_cast<uint8_t>(size);
    datagram[3] = static_cast<uint8_t>(size >> 8);
}

TEST(WireMessageLength, SizeFieldWireLengthAndZeroPadding) {
    struct Case {
        size_t payload;
        uint16_t size;
        size_t wireLength;
    };
    const Case cases[] = {{0, 16, 16}, {1, 31, 24}, {5, 27, 24},        {7, 25, 24},
                          {8, 24, 24}, {9, 39, 32}, {1024, 1040, 1040}, {65512, 65528, 65528}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(wireSizeFor(c.payload), c.size);

        // Dirty the reused buffer first: padding must be zeroed, not inherited.
        SendBuffer message;
        ASSERT_TRUE(message.setPayloadSize(65512));
        message.fillPayload(0xEE);
        ASSERT_TRUE(message.setPayloadSize(c.payload));
        message.prepare();

        EXPECT_EQ(message.size(), c.size);
        EXPECT_EQ(message.payloadLength(), c.payload);
        const auto bytes = message.bytes();
        ASSERT_EQ(bytes.size(), c.wireLength);
        EXPECT_EQ(bytes.size() - kHeaderSize - c.payload, size_t{c.size & 7u});
        for (size_t i = kHeaderSize + c.payload; i < bytes.size(); ++i) {
            EXPECT_EQ(bytes[i], 0) << "padding byte " << i;
        }
    }
}

TEST(WireMessageLength, FreshSendBufferIsAnEmptyHeader) {
    SendBuffer message;
    message.prepare();
    EXPECT_EQ(message.payloadLength(), 0u);
    EXPECT_EQ(message.size(), 16);
    const WireMessage received(message.bytes());
    EXPECT_EQ(message.bytes().size(), kHeaderSize);
    EXPECT_TRUE(received.isValid());
    EXPECT_EQ(received.magic(), kWireMagic);
}

TEST(WireMessageLength, OversizedPayloadIsRefusedAndChangesNothing) {
    SendBuffer message;
    message.setHeader(ICON_ANS, 1);
    const std::vector<uint8_t> payload = {1, 2, 3, 4, 5};
    ASSERT_TRUE(message.setPayload(payload));
    message.prepare();
    const std::vector<uint8_t> before = toVector(message.bytes());

    const std::vector<uint8_t> tooLong(65513, 0x11);
    EXPECT_FALSE(message.setPayloadSize(65513));
    EXPECT_FALSE(message.setPayloadSize(size_t{1} << 20));
    EXPECT_FALSE(message.setPayload(tooLong));
    EXPECT_FALSE(message.setPayloadBlockAndText(Block{}, std::string(65512 - kBlockSize + 1, 'x')));
    EXPECT_FALSE(message.setPayloadBlockAndText(Block{}, std::string(70000, 'x')));

    EXPECT_EQ(message.payloadLength(), 5u);
    EXPECT_EQ(message.size(), 27);
    message.prepare();
    EXPECT_EQ(toVector(message.bytes()), before);

    EXPECT_TRUE(message.setPayloadBlockAndText(Block{}, std::string(65512 - kBlockSize, 'x')));
    EXPECT_EQ(message.payloadLength(), 65512u);
}

TEST(WireMessageLength, EveryPayloadLengthRoundTripsThroughTheReceiveSide) {
    SendBuffer message;
    for (size_t n = 0; n <= kMaxPayloadSize; ++n) {
        ASSERT_TRUE(message.setPayloadSize(n));
        message.prepare();
        const WireMessage received(message.bytes());
        ASSERT_TRUE(received.isValid()) << n;
        ASSERT_EQ(received.payloadLength(), n);
        ASSERT_EQ(message.bytes().size(), size_t{received.size() & 0xFFF8u}) << n;
        ASSERT_EQ(message.bytes().size() % 8, 0u) << n;
    }
}

TEST(WireMessageValidity, MalformedDatagramsAreInvalid) {
    const std::vector<uint8_t> good = datagramWithPayload(5);
    ASSERT_EQ(good.size(), 24u);
    ASSERT_TRUE(WireMessage(good).isValid());

    std::vector<uint8_t> fifteen(good.begin(), good.begin() + 15);
    EXPECT_FALSE(WireMessage(fifteen).isValid());

    std::vector<uint8_t> magic99 = good;
    magic99[0] = 99;
    EXPECT_FALSE(WireMessage(magic99).isValid());
    std::vector<uint8_t> magicHighByte = good;
    magicHighByte[1] = 1;
    EXPECT_FALSE(WireMessage(magicHighByte).isValid());

    for (size_t length = 16; length < 24; ++length) {
        std::vector<uint8_t> truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(WireMessage(truncated).isValid()) << length;
        EXPECT_EQ(WireMessage(truncated).payloadLength(), 0u) << length;
    }

    // A padded total below 16, or of 16 with padding, encodes a negative payload length.
    std::vector<uint8_t> badSize(64, 0);
    badSize[0] = 100;
    for (uint16_t size = 0; size < 24; ++size) {
        setSizeField(badSize, size);
        EXPECT_EQ(WireMessage(badSize).isValid(), size == 16) << size;
        if (size != 16) {
            EXPECT_EQ(WireMessage(badSize).payloadLength(), 0u) << size;
        }
    }
}

TEST(WireMessageValidity, TrailingBytesAreIgnored) {
    SendBuffer message;
    message.setHeader(TEXT_ANS, 1);
    ASSERT_TRUE(message.setPayload("abcde", 5));
    message.prepare();
    std::vector<uint8_t> datagram = toVector(message.bytes());
    datagram.insert(datagram.end(), {'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z', 'Z'});

    const WireMessage received(datagram);
    EXPECT_TRUE(received.isValid());
    EXPECT_EQ(received.code(), TEXT_ANS);
    EXPECT_EQ(received.payloadLength(), 5u);
    EXPECT_EQ(received.payloadText(), "abcde");
}

// Exactly sized vectors, so ASan flags any read past a short datagram.
TEST(WireMessageValidity, ShortDatagramsAreReadSafely) {
    const std::vector<uint8_t> full = datagramWithPayload(20);
    for (size_t length = 0; length < kHeaderSize; ++length) {
        SCOPED_TRACE(length);
        const std::vector<uint8_t> datagram(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(length));
        const WireMessage received(datagram);
        EXPECT_FALSE(received.isValid());
        EXPECT_EQ(received.payloadLength(), 0u);
        EXPECT_TRUE(received.payloadText().empty());
        EXPECT_EQ(received.payload(), datagram.data() + length);
        EXPECT_EQ(received.param3(), 0);
        EXPECT_EQ(received.value64() >> 48, 0u);
        if (length < 8) {
            EXPECT_EQ(received.value64(), 0u);
        }
        Block block{};
        block[0] = 77;
        std::string text = "stale";
        received.payloadBlockAndText(block, text);
        EXPECT_EQ(block[0], 77);
        EXPECT_TRUE(text.empty());
    }
    // Complete prefixes still read as what they hold.
    const std::vector<uint8_t> six(full.begin(), full.begin() + 6);
    EXPECT_EQ(WireMessage(six).magic(), kWireMagic);
    EXPECT_EQ(WireMessage(six).code(), INFO_ANS);
    EXPECT_EQ(WireMessage(six).status(), 0);

    const WireMessage empty{std::span<const uint8_t>{}};
    EXPECT_FALSE(empty.isValid());
    EXPECT_EQ(empty.payloadLength(), 0u);
    EXPECT_EQ(empty.payloadText(), "");
}

TEST(WireMessageHeader, Value64AndParametersShareTheLittleEndianBytes) {
    std::vector<uint8_t> datagram = {0x64, 0, 0x10, 0, 0x05, 0, 0x01, 0, 1, 0, 2, 0, 3, 0, 4, 0};
    const WireMessage received(datagram);
    ASSERT_TRUE(received.isValid());
    EXPECT_EQ(received.code(), FORMAT_QUERY_ANS);
    EXPECT_EQ(received.status(), 1);
    EXPECT_EQ(received.param0(), 1);
    EXPECT_EQ(received.param1(), 2);
    EXPECT_EQ(received.param2(), 3);
    EXPECT_EQ(received.param3(), 4);
    EXPECT_EQ(received.value64(), 0x0004000300020001u);
    EXPECT_EQ(received.value64() & 0xFFFF, 1u);
    EXPECT_EQ(received.value64() >> 48, 4u);

    const Send byValue(FORMAT_QUERY_ANS, 1, uint64_t{0x0004000300020001});
    const Send byParams(FORMAT_QUERY_ANS, 1, 1, 2, 3, 4);
    EXPECT_EQ(toVector(byValue.bytes()), datagram);
    EXPECT_EQ(toVector(byParams.bytes()), datagram);

    const Send high(CONNECT, 0, uint64_t{0xFEDCBA9876543210});
    EXPECT_EQ(WireMessage(high.bytes()).value64(), 0xFEDCBA9876543210u);
    EXPECT_EQ(hexDump(high.bytes().subspan(8)), "10 32 54 76 98 ba dc fe");
}

TEST(WireMessageHeader, SetHeaderLeavesMagicAndSizeAlone) {
    SendBuffer message;
    ASSERT_TRUE(message.setPayloadSize(5));
    message.setHeader(SINK_INFO_ANS, 1, 9, 8, 7, 6);
    message.prepare();
    WireMessage received(message.bytes());
    EXPECT_EQ(received.magic(), kWireMagic);
    EXPECT_EQ(received.size(), 27);
    EXPECT_EQ(received.value64(), 0x0006000700080009u);

    // The short form clears parameters left by an earlier header.
    message.setHeader(SINK_INFO_ANS, 0);
    message.prepare();
    received = WireMessage(message.bytes());
    EXPECT_EQ(received.size(), 27);
    EXPECT_EQ(received.status(), 0);
    EXPECT_EQ(received.value64(), 0u);

    message.setHeader(PORT_ANS, 1, uint64_t{0x1122334455667788});
    message.prepare();
    received = WireMessage(message.bytes());
    EXPECT_EQ(received.magic(), kWireMagic);
    EXPECT_EQ(received.size(), 27);
    EXPECT_EQ(received.code(), PORT_ANS);
    EXPECT_EQ(received.value64(), 0x1122334455667788u);

    Send headerOnly(VERSION_ANS, 1, 1, 2, 3, 4);
    headerOnly.setHeader(URL_ANS, 0);
    EXPECT_EQ(hexDump(headerOnly.bytes()), "64 00 10 00 23 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(WireMessageHeader, PrepareCopiesTheHeaderIntoTheBuffer) {
    SendBuffer message;
    message.setHeader(DISCOVER_ANS, 1, 0xABCD, 0, 0, 0x1234);
    ASSERT_TRUE(message.setPayload("name", 4));
    message.prepare();
    EXPECT_EQ(hexDump(message.bytes()),
              "64 00 1c 00 01 00 01 00 cd ab 00 00 00 00 34 12 6e 61 6d 65 00 00 00 00");

    // A later header change reaches the wire only through prepare().
    message.setHeader(DISCOVER_ANS, 0);
    EXPECT_EQ(WireMessage(message.bytes()).status(), 1);
    message.prepare();
    const WireMessage received(message.bytes());
    EXPECT_EQ(received.status(), 0);
    EXPECT_EQ(received.value64(), 0u);
    EXPECT_EQ(received.payloadText(), "name");

    // Through the base class, as the send paths use it.
    Send& base = message;
    base.setHeader(HOST_DEBUG_ANS, 1, 2, 0, 0, 0);
    base.prepare();
    EXPECT_EQ(base.bytes().size(), 24u);
    EXPECT_EQ(WireMessage(base.bytes()).code(), HOST_DEBUG_ANS);
    EXPECT_EQ(WireMessage(base.bytes()).param0(), 2);
}

TEST(WireMessageHeader, CopiesTransmitTheirOwnBytes) {
    auto original = std::make_unique<Send>(INFO_ANS, 1, 5, 6, 7, 8);
    Send copy = *original;
    Send assigned;
    assigned = *original;
    original->setHeader(REBOOT_ANS, 0);

    EXPECT_EQ(WireMessage(original->bytes()).code(), REBOOT_ANS);
    original.reset();
    for (const Send* message : {&copy, &assigned}) {
        const WireMessage received(message->bytes());
        EXPECT_TRUE(received.isValid());
        EXPECT_EQ(received.code(), INFO_ANS);
        EXPECT_EQ(received.status(), 1);
        EXPECT_EQ(received.value64(), 0x0008000700060005u);
    }

    auto buffered = std::make_unique<SendBuffer>();
    buffered->setHeader(TEXT_ANS, 1);
    ASSERT_TRUE(buffered->setPayload("first", 5));
    buffered->prepare();
    SendBuffer bufferCopy = *buffered;
    ASSERT_TRUE(buffered->setPayload("second!!!", 9));
    buffered.reset();
    const WireMessage received(bufferCopy.bytes());
    EXPECT_TRUE(received.isValid());
    EXPECT_EQ(received.payloadText(), "first");
}

TEST(WireMessagePayload, BlockAndTextBothDirections) {
    Block sent{};
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<uint16_t>(0x0101 * (i + 1) + 0x1000);
    }
    SendBuffer message;
    message.setHeader(CONFIG_ITEM_ANS, 1);
    ASSERT_TRUE(message.setPayloadBlockAndText(sent, "Volume"));
    message.prepare();
    EXPECT_EQ(message.payloadLength(), 24u);
    EXPECT_EQ(hexDump(message.bytes().subspan(16, 4)), "01 11 02 12");

    const WireMessage received(message.bytes());
    ASSERT_TRUE(received.isValid());
    Block block{};
    std::string text;
    received.payloadBlockAndText(block, text);
    EXPECT_EQ(block, sent);
    EXPECT_EQ(text, "Volume");

    // Exactly a block: filled, text emptied.
    ASSERT_TRUE(message.setPayloadBlockAndText(sent, ""));
    message.prepare();
    EXPECT_EQ(message.payloadLength(), 18u);
    block = Block{};
    text = "stale";
    WireMessage(message.bytes()).payloadBlockAndText(block, text);
    EXPECT_EQ(block, sent);
    EXPECT_TRUE(text.empty());

    // Shorter than a block: block untouched, text emptied.
    ASSERT_TRUE(message.setPayload("0123456789", 10));
    message.prepare();
    Block untouched{};
    untouched.fill(0x4242);
    block = untouched;
    text = "stale";
    WireMessage(message.bytes()).payloadBlockAndText(block, text);
    EXPECT_EQ(block, untouched);
    EXPECT_TRUE(text.empty());

    // Padding after an odd text does not leak into it.
    ASSERT_TRUE(message.setPayloadBlockAndText(sent, "abc"));
    message.prepare();
    WireMessage(message.bytes()).payloadBlockAndText(block, text);
    EXPECT_EQ(text, "abc");
}

TEST(WireMessagePayload, FillAndWriteThroughPayload) {
    SendBuffer message;
    ASSERT_TRUE(message.setPayloadSize(13));
    message.fillPayload(0x7F);
    message.payload()[12] = 0x01;
    message.prepare();
    const auto bytes = message.bytes();
    ASSERT_EQ(bytes.size(), 32u);
    for (size_t i = 16; i < 28; ++i) {
        EXPECT_EQ(bytes[i], 0x7F) << i;
    }
    EXPECT_EQ(bytes[28], 0x01);
    EXPECT_EQ(hexDump(bytes.subspan(29)), "00 00 00");
    EXPECT_EQ(WireMessage(bytes).payload(), bytes.data() + 16);
}

TEST(WireMessageDump, HexDump) {
    const Send discover(DISCOVER, 0);
    EXPECT_EQ(hexDump(discover.bytes()), "64 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(hexDump({}), "");
    const std::vector<uint8_t> one = {0x0A};
    EXPECT_EQ(hexDump(one), "0a");
    const std::vector<uint8_t> mixed = {0xFF, 0x00, 0x9B, 0xC0};
    EXPECT_EQ(hexDump(mixed), "ff 00 9b c0");
}

TEST(WireMessageMemory, HeaderOnlyMessagesAndBufferReuseStayOffTheHeap) {
    size_t before = allocationCount;
    Send answer(PORT_ANS, 1, 19644, 0, 0, 0);
    answer.setHeader(PORT_ANS, 0);
    Send copy = answer;
    EXPECT_EQ(copy.bytes().size(), kHeaderSize);
    EXPECT_EQ(allocationCount, before);

    SendBuffer message;
    ASSERT_TRUE(message.setPayloadSize(1024));
    const uint8_t* payload = message.payload();
    before = allocationCount;
    for (const size_t n : {size_t{10}, size_t{0}, size_t{1024}, size_t{600}, size_t{1023}}) {
        ASSERT_TRUE(message.setPayloadSize(n));
        message.fillPayload(0x33);
        message.prepare();
    }
    EXPECT_EQ(allocationCount, before);
    EXPECT_EQ(message.payload(), payload);
}

} // namespace
} // namespace QUORVEL
