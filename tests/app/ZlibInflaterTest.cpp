#include "app/ZlibInflater.h"
#include "app/KtGenericPngDecoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

namespace {

// Collects every decompressed byte; stops after `limit` bytes.
class Collector : public KtGenericPngDecoder {
public:
    explicit Collector(size_t byteLimit = SIZE_MAX) : limit(byteLimit) {}
    bool putByte(uint8_t byte) override {
        bytes.push_back(byte);
        return bytes.size() < limit;
    }
    const std::vector<uint8_t>& collected() const { return bytes; }

private:
    size_t limit;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> compress(const std::vector<uint8_t>& data, int level, int strategy, int windowBits = 15,
                              int memLevel = 8) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, windowBits, memLevel, strategy), Z_OK);
    std::vector<uint8_t> out(deflateBound(&stream, data.size()) + 64);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// Text-like data with repeats near and far (up to the whole 32 KiB window).
std::vector<uint8_t> sampleData(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> data;
    data.reserve(size);
    while (data.size() < size) {
        const uint32_t pick = random() % 4;
        if (pick == 0 || data.size() < 300) {
            data.push_back(static_cast<uint8_t>(random()));
        } else if (pick == 1) {
            data.push_back(static_cast<uint8_t>('a' + random() % 6));
        } else {
            const size_t reach = pick == 2 ? 300 : std::min<size_t>(data.size(), 32768);
            const size_t distance = 1 + random() % std::min(reach, data.size());
            const size_t length = 3 + random() % 300;
            for (size_t i = 0; i < length && data.size() < size; ++i) {
                data.push_back(data[data.size() - distance]);
            }
        }
    }
    return data;
}

ZlibInflater::Result inflate(const std::vector<uint8_t>& stream, Collector& sink) {
    ZlibInflater inflater;
    return inflater.run(stream.data(), stream.size(), sink);
}

} // namespace

TEST(ZlibInflaterTest, MatchesZlibForEveryBlockKind) {
    const std::vector<uint8_t> data = sampleData(200000, 7);
    struct Setting {
        int level;
        int strategy;
        int windowBits;
    };
    // Level 0: stored blocks; Z_FIXED: fixed codes; the rest dynamic codes of
    // different shapes, with small and full windows.
    const Setting settings[] = {
        {0, Z_DEFAULT_STRATEGY, 15}, {1, Z_FIXED, 15},        {9, Z_FIXED, 15}, {6, Z_DEFAULT_STRATEGY, 15},
        {9, Z_DEFAULT_STRATEGY, 9},  {1, Z_HUFFMAN_ONLY, 15}, {6, Z_RLE, 15},   {9, Z_FILTERED, 12}};
    for (const Setting& setting : settings) {
        SCOPED_TRACE(testing::Message() << "level " << setting.level << " strategy " << setting.strategy);
        Collector sink;
        EXPECT_EQ(inflate(compress(data, setting.level, setting.strategy, setting.windowBits), sink),
                  ZlibInflater::Result::Complete);
        EXPECT_TRUE(sink.collected() == data);
    }
}

TEST(ZlibInflaterTest, EmptyAndTinyInputs) {
    for (const size_t size : {0, 1, 2, 258, 259}) {
        const std::vector<uint8_t> data(size, 0x5A);
        Collector sink;
        EXPECT_EQ(inflate(compress(data, 9, Z_DEFAULT_STRATEGY), sink), ZlibInflater::Result::Complete);
        EXPECT_EQ(sink.collected(), data);
    }
}

TEST(ZlibInflaterTest, TruncatedStreamsGiveAPrefix) {
    const std::vector<uint8_t> data = sampleData(40000, 3);
    for (const int level : {0, 6}) {
        const std::vector<uint8_t> full = compress(data, level, Z_DEFAULT_STRATEGY);
        for (size_t cut = 0; cut + 4 < full.size(); cut += 1 + cut / 7) {
            const std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
            Collector sink;
            EXPECT_EQ(inflate(part, sink), ZlibInflater::Result::Truncated) << cut;
            ASSERT_LE(sink.collected().size(), data.size());
            EXPECT_TRUE(std::equal(sink.collected().begin(), sink.collected().end(), data.begin())) << cut;
        }
    }
}

TEST(ZlibInflaterTest, CorruptStreamsAreRefusedSafely) {
    Collector sink;
    // Wrong method, window too large, bad check, preset dictionary.
    for (const std::vector<uint8_t>& header : std::vector<std::vector<uint8_t>>{{0x79, 0xDA, 0x03, 0x00},
                                                                                {0x88, 0x98, 0x03, 0x00},
                                                                                {0x78, 0x9D, 0x03, 0x00},
                                                                                {0x78, 0xBB, 0, 0, 0, 0}}) {
        EXPECT_EQ(inflate(header, sink), ZlibInflater::Result::Corrupt);
    }
    // Block type 3.
    EXPECT_EQ(inflate({0x78, 0x9C, 0x07, 0x00}, sink), ZlibInflater::Result::Corrupt);
    // A stored block whose length check does not match.
    EXPECT_EQ(inflate({0x78, 0x9C, 0x01, 0x05, 0x00, 0xFA, 0xFE, 1, 2, 3, 4, 5}, sink),
              ZlibInflater::Result::Corrupt);
    // Fixed block starting with a match (length 3, distance 1) before any output:
    // bits 1 (final), 01 (fixed), 0000001 (symbol 257), 00000 (distance 1).
    EXPECT_EQ(inflate({0x78, 0x9C, 0x03, 0x02, 0x00}, sink), ZlibInflater::Result::Corrupt);
    EXPECT_TRUE(sink.collected().empty());
}

TEST(ZlibInflaterTest, RandomDamageNeverEscapesTheBuffers) {
    const std::vector<uint8_t> data = sampleData(6000, 11);
    const std::vector<uint8_t> full = compress(data, 9, Z_DEFAULT_STRATEGY);
    std::mt19937 random(5);
    size_t completed = 0;
    for (int round = 0; round < 1500; ++round) {
        std::vector<uint8_t> damaged = full;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            damaged[2 + random() % (damaged.size() - 2)] ^= static_cast<uint8_t>(1U << (random() % 8));
        }
        // Bounded so a damaged stream cannot run on for long.
        Collector sink(1 << 16);
        completed += inflate(damaged, sink) == ZlibInflater::Result::Complete ? 1 : 0;
    }
    // Most flips break the stream; the point is that none of them crashed.
    EXPECT_LT(completed, 1500U);
}

TEST(ZlibInflaterTest, StopsWhenTheDecoderHasEnough) {
    const std::vector<uint8_t> data = sampleData(50000, 1);
    Collector sink(1000);
    ZlibInflater inflater;
    const std::vector<uint8_t> stream = compress(data, 6, Z_DEFAULT_STRATEGY);
    EXPECT_EQ(inflater.run(stream.data(), stream.size(), sink), ZlibInflater::Result::Stopped);
    EXPECT_EQ(sink.collected().size(), 1000U);
    EXPECT_EQ(inflater.produced(), 1000U);
    EXPECT_TRUE(std::equal(sink.collected().begin(), sink.collected().end(), data.begin()));
}

TEST(ZlibInflaterTest, HuffmanCodeRejectsOverSubscribedLengths) {
    ZlibInflater::Huffman code;
    const uint8_t overSubscribed[] = {1, 1, 1};
    EXPECT_FALSE(code.build(overSubscribed, 3));
    const uint8_t complete[] = {1, 2, 3, 3};
    EXPECT_TRUE(code.build(complete, 4));
    const uint8_t incomplete[] = {2, 0, 2};
    EXPECT_TRUE(code.build(incomplete, 3));
    const uint8_t tooLong[] = {16, 1};
    EXPECT_FALSE(code.build(tooLong, 2));
    const std::vector<uint8_t> tooMany(289, 9);
    EXPECT_FALSE(code.build(tooMany.data(), tooMany.size()));
}
