// ctest-labels: threads
#include "protocol/MessageCode.h"
#include "protocol/Target.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

using QUORVEL::HostClient;
using QUORVEL::IconImage;
using QUORVEL::Target;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

namespace {

// Pixel words that tell their position: index in the low 24 bits, a tag on top.
IconImage makeIcon(uint16_t width, size_t height, bool oneByte) {
    IconImage icon;
    icon.oneBytePerPixel = oneByte;
    icon.width = width;
    icon.pixels.resize(size_t{width} * height);
    for (size_t i = 0; i < icon.pixels.size(); ++i) {
        icon.pixels[i] = static_cast<uint32_t>(i & 0xFFFFFF) | static_cast<uint32_t>((i * 7 & 0xFF) << 24);
    }
    return icon;
}

enum IconNumber : uint16_t { Wide = 1, Grey = 2, Broken = 3, BigColour = 4, BigGrey = 5, Empty = 6 };

TargetInfo iconInfo() {
    TargetInfo info = sampleInfo();
    info.icons[Wide - 1] = makeIcon(400, 3, false);
    info.icons[Grey - 1] = makeIcon(1200, 2, true);
    info.icons[Broken - 1] = makeIcon(10, 2, false);
    info.icons[Broken - 1].pixels.pop_back(); // not a multiple of the width
    info.icons[BigColour - 1] = makeIcon(200, 100, false);
    info.icons[BigGrey - 1] = makeIcon(1000, 70, true);
    return info;
}

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t index) {
    return static_cast<uint32_t>(bytes[4 * index] | bytes[4 * index + 1] << 8 | bytes[4 * index + 2] << 16 |
                                 bytes[4 * index + 3] << 24);
}

class TargetIconTest : public ::testing::Test {
protected:
    void SetUp() override {
        info = iconInfo();
        target = std::make_unique<Target>(info, loopbackConfig());
        ASSERT_TRUE(target->start(false));
        client = std::make_unique<HostClient>(loopbackClient(*target));
    }
    void TearDown() override { target->stop(); }

    QUORVEL::IconReply run(uint16_t number, uint16_t column, uint16_t row, uint16_t count) {
        const auto reply = client->iconRun(number, column, row, count);
        EXPECT_TRUE(reply);
        return reply.value_or(QUORVEL::IconReply{});
    }

    CapturedLog log;
    TargetInfo info;
    std::unique_ptr<Target> target;
    std::unique_ptr<HostClient> client;
};

TEST_F(TargetIconTest, SizeQueries) {
    const auto wide = run(Wide, 0, 0, 0);
    EXPECT_TRUE(wide.accepted);
    EXPECT_EQ(wide.column, 400);
    EXPECT_EQ(wide.row, 3);
    EXPECT_EQ(wide.count, 1) << "four-byte mode + 1";
    EXPECT_TRUE(wide.bytes.empty());
    const auto grey = run(Grey, 0, 0, 0);
    EXPECT_EQ(grey.count, 2) << "one-byte mode + 1";
    const auto partial = run(Grey, 5, 0, 9);
    EXPECT_TRUE(partial.accepted);
    EXPECT_EQ(partial.column, 5) << "a given column is echoed";
    EXPECT_EQ(partial.row, 2);
    EXPECT_EQ(partial.count, 0) << "no mode when a count was given";

    for (uint16_t number : {uint16_t{0}, uint16_t{Broken}, uint16_t{Empty}, uint16_t{9}}) {
        const auto none = run(number, 1, 2, 3);
        EXPECT_FALSE(none.accepted) << "icon " << number;
        EXPECT_EQ(none.number, number);
        EXPECT_EQ(none.column, 1);
        EXPECT_EQ(none.row, 2);
        EXPECT_EQ(none.count, 0);
    }
}

TEST_F(TargetIconTest, RowRunsStopAtTheirLimits) {
    const IconImage& wide = info.icons[Wide - 1];
    const auto first = run(Wide, 1, 2, 1);
    EXPECT_TRUE(first.accepted);
    EXPECT_EQ(first.count, 301) << "at most 300 four-byte pixels";
    ASSERT_EQ(first.bytes.size(), 1200U);
    for (size_t i = 0; i < 300; ++i) {
        ASSERT_EQ(wordAt(first.bytes, i), wide.pixels[400 + i]) << i;
    }
    const auto rest = run(Wide, 201, 1, 0);
    EXPECT_EQ(rest.count, 201) << "the 200 pixels left in the row";
    ASSERT_EQ(rest.bytes.size(), 800U);
    EXPECT_EQ(wordAt(rest.bytes, 199), wide.pixels[399]);

    const IconImage& grey = info.icons[Grey - 1];
    const auto greyRow = run(Grey, 1, 2, 0);
    EXPECT_EQ(greyRow.count, 1001) << "at most 1000 one-byte pixels";
    ASSERT_EQ(greyRow.bytes.size(), 1000U);
    for (size_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(greyRow.bytes[i], grey.pixels[1200 + i] >> 24) << "the top byte of pixel " << i;
    }
    EXPECT_TRUE(log.capture.waitFor("Icon Load 2 0 1 1000", 2000ms));

    const auto outside = run(Wide, 401, 1, 0);
    EXPECT_TRUE(outside.accepted);
    EXPECT_EQ(outside.count, 0);
    EXPECT_TRUE(outside.bytes.empty());
    const auto below = run(Wide, 1, 4, 0);
    EXPECT_TRUE(below.accepted);
    EXPECT_EQ(below.count, 0);
}

TEST_F(TargetIconTest, CountRunsNeverPassTheLastPixel) {
    const IconImage& wide = info.icons[Wide - 1];
    const auto across = run(Wide, 391, 1, 21);
    EXPECT_EQ(across.count, 21) << "count runs continue into the next row";
    ASSERT_EQ(across.bytes.size(), 80U);
    EXPECT_EQ(wordAt(across.bytes, 10), wide.pixels[400]);

    const auto tail = run(Wide, 391, 3, 50);
    EXPECT_EQ(tail.count, 11) << "only the 10 pixels left in the icon";
    ASSERT_EQ(tail.bytes.size(), 40U);
    EXPECT_EQ(wordAt(tail.bytes, 9), wide.pixels.back());

    const auto last = run(Wide, 400, 3, 0xFFFF);
    EXPECT_EQ(last.count, 2);
    ASSERT_EQ(last.bytes.size(), 4U);
}

TEST_F(TargetIconTest, RunsLongerThanOneDatagramAreCut) {
    // 19 999 four-byte pixels would need 79 996 bytes: cut to what one datagram carries.
    const auto colour = run(BigColour, 1, 1, 20000);
    EXPECT_TRUE(colour.accepted);
    EXPECT_EQ(colour.count, 16377);
    ASSERT_EQ(colour.bytes.size(), 16376U * 4);
    EXPECT_EQ(wordAt(colour.bytes, 16375), info.icons[BigColour - 1].pixels[16375]);

    const auto grey = run(BigGrey, 1, 1, 0xFFFF);
    EXPECT_EQ(grey.count, 65505);
    ASSERT_EQ(grey.bytes.size(), 65504U);
    EXPECT_EQ(grey.bytes.back(), info.icons[BigGrey - 1].pixels[65503] >> 24);
}

} // namespace
