// ctest-labels: threads
#include "foundation/Crc16.h"
#include "protocol/MessageCode.h"
#include "protocol/Target.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

#include <mutex>

using QUORVEL::HostClient;
using QUORVEL::Target;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

namespace {

constexpr uint16_t kFinalPhase = 0xFFFF;

TargetInfo transferInfo(uint16_t areaCount) {
    TargetInfo info = sampleInfo();
    info.areaCount = areaCount;
    info.areaWord = 0xABCD;
    info.areas = {{1, 2, 3}, {4, 5, 6}};
    return info;
}

std::vector<uint8_t> bytesOf(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct Piece {
    uint16_t area;
    uint16_t pos0;
    uint16_t pos1;
    std::string bytes;
    bool operator==(const Piece&) const = default;
};

// Records what reaches the data slot, then keeps the base behaviour.
class RecordingTarget : public Target {
public:
    using Target::Target;
    ~RecordingTarget() override { stop(); }

    void transferData(const uint8_t* bytes, size_t length, uint16_t area, uint16_t pos0,
                      uint16_t pos1) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            pieces.push_back({area, pos0, pos1, std::string(bytes, bytes + length)});
        }
        Target::transferData(bytes, length, area, pos0, pos1);
    }

    std::vector<Piece> received() {
        std::lock_guard<std::mutex> lock(mutex);
        return pieces;
    }

private:
    std::mutex mutex;
    std::vector<Piece> pieces;
};

class TargetTransferTest : public ::testing::Test {
protected:
    void start(uint16_t areaCount) {
        target = std::make_unique<RecordingTarget>(transferInfo(areaCount), loopbackConfig());
        ASSERT_TRUE(target->start(false));
        client = std::make_unique<HostClient>(loopbackClient(*target));
    }

    // Every piece is followed by a request so the test knows it was handled.
    void settle() { ASSERT_TRUE(client->version()); }

    CapturedLog log;
    std::unique_ptr<RecordingTarget> target;
    std::unique_ptr<HostClient> client;
};

TEST_F(TargetTransferTest, AreasAreDescribed) {
    start(2);
    const auto summary = client->transferInfo(0);
    ASSERT_TRUE(summary);
    EXPECT_TRUE(summary->accepted);
    EXPECT_EQ(summary->param0, 2);
    EXPECT_EQ(summary->param1, 0xABCD);
    const auto second = client->transferInfo(2);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->accepted);
    EXPECT_EQ(second->param0, 2);
    EXPECT_EQ(second->param1, 4);
    EXPECT_EQ(second->param2, 5);
    EXPECT_EQ(second->param3, 6);
    const auto beyond = client->transferInfo(3);
    ASSERT_TRUE(beyond);
    EXPECT_FALSE(beyond->accepted);
    EXPECT_EQ(beyond->param0, 0);
}

TEST_F(TargetTransferTest, PiecesInOrderAreAcceptedAndChecked) {
    start(2);
    EXPECT_EQ(client->transferPieceAcknowledged(1, 0, 0, 0, bytesOf("abc")), std::optional<uint16_t>(0))
        << "the start piece acknowledges the count before it";
    ASSERT_TRUE(client->transferPiece(1, 1, 0, 3, bytesOf("def")));
    EXPECT_EQ(client->transferPieceAcknowledged(1, 2, 0, 6, bytesOf("ghi")), std::optional<uint16_t>(2));
    settle();
    const std::vector<Piece> expected = {{0, 0, 0, "abc"}, {0, 0, 3, "def"}, {0, 0, 6, "ghi"}};
    EXPECT_EQ(target->received(), expected);

    const uint16_t crc = VEMRA::crc16Usb("abcdefghi", 9);
    const auto good = client->transferCheck(1, crc, kFinalPhase);
    ASSERT_TRUE(good);
    EXPECT_TRUE(good->accepted);
    EXPECT_EQ(good->param0, 1);
    EXPECT_EQ(good->param1, crc);
    EXPECT_EQ(good->param2, kFinalPhase);
    const auto wrongCrc = client->transferCheck(1, static_cast<uint16_t>(crc ^ 1), kFinalPhase);
    ASSERT_TRUE(wrongCrc);
    EXPECT_FALSE(wrongCrc->accepted);
    EXPECT_EQ(wrongCrc->param1, 0) << "a refusal is header-only";
    const auto wrongPhase = client->transferCheck(1, crc, 0);
    ASSERT_TRUE(wrongPhase);
    EXPECT_FALSE(wrongPhase->accepted);
    const auto badArea = client->transferCheck(3, crc, kFinalPhase);
    ASSERT_TRUE(badArea);
    EXPECT_FALSE(badArea->accepted);
}

TEST_F(TargetTransferTest, MissingAndRepeatedPiecesAreDropped) {
    start(2);
    ASSERT_TRUE(client->transferPiece(1, 1, 0, 0, bytesOf("early"))) << "nothing before a start piece";
    ASSERT_TRUE(client->transferPiece(1, 0, 0, 0, bytesOf("AB")));
    ASSERT_TRUE(client->transferPiece(1, 2, 0, 2, bytesOf("skipped")));
    ASSERT_TRUE(client->transferPiece(1, 0, 0, 2, bytesOf("repeat")));
    ASSERT_TRUE(client->transferPiece(2, 1, 0, 2, bytesOf("other area")));
    EXPECT_EQ(client->transferPieceAcknowledged(1, 1, 0, 2, bytesOf("CD")), std::optional<uint16_t>(1));
    settle();
    const std::vector<Piece> expected = {{0, 0, 0, "AB"}, {0, 0, 2, "CD"}};
    EXPECT_EQ(target->received(), expected);
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA miss 0 1 -1 0 0", 2000ms));
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA miss 1 2 0 0 0", 2000ms));
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA miss 1 0 0 0 0", 2000ms));
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA miss 1 1 0 1 0", 2000ms));
    const auto check = client->transferCheck(1, VEMRA::crc16Usb("ABCD", 4), kFinalPhase);
    ASSERT_TRUE(check);
    EXPECT_TRUE(check->accepted);

    // A start piece for another area abandons the running transfer and clears the buffer.
    EXPECT_EQ(client->transferPieceAcknowledged(2, 0, 0, 0, bytesOf("new")), std::optional<uint16_t>(0));
    ASSERT_TRUE(client->transferPiece(1, 2, 0, 4, bytesOf("late")));
    settle();
    const auto restarted = client->transferCheck(2, VEMRA::crc16Usb("new", 3), kFinalPhase);
    ASSERT_TRUE(restarted);
    EXPECT_TRUE(restarted->accepted);
}

TEST_F(TargetTransferTest, PiecesForNoAreaAreRejected) {
    start(2);
    ASSERT_TRUE(client->transferPiece(0x8000, 0, 0, 0, bytesOf("x")));
    ASSERT_TRUE(client->transferPiece(3, 0, 0, 0, bytesOf("x")));
    settle();
    EXPECT_TRUE(target->received().empty());
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA_SET error 32768 2", 2000ms));
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA_SET error 3 2", 2000ms));
}

TEST_F(TargetTransferTest, WithoutAreasEveryPieceIsRejected) {
    start(0);
    // A rejected piece gets no answer, also when it asks for one: the first
    // answer is the one to the request that follows it.
    QUORVEL::SendBuffer piece;
    piece.setHeader(QUORVEL::TRANSFERDATA_SET, 0, 0x8001, 0, 0, 0);
    piece.setPayload("x", 1);
    ASSERT_TRUE(client->socket().send(piece, client->target()));
    QUORVEL::Send probe(QUORVEL::VERSION_REQ, 0);
    ASSERT_TRUE(client->socket().send(probe, client->target()));
    const auto first = client->socket().receiveAny(2000ms);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->code(), QUORVEL::VERSION_ANS);
    EXPECT_TRUE(target->received().empty());
    EXPECT_TRUE(log.capture.waitFor("TRANSFERDATA_SET error 32769 0", 2000ms));
    const auto info = client->transferInfo(1);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->accepted);
}

} // namespace
