// ctest-labels: threads
#include "foundation/AddressText.h"
#include "foundation/Crc16.h"
#include "protocol/MessageCode.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

namespace QUORVEL {
namespace {

using std::chrono::milliseconds;

SinkInfo synchroInfo(bool enabled) {
    SinkInfo info = SinkRig::defaultInfo();
    SinkItem own;
    own.type = SinkItem::kNumber;
    own.name = "Own";
    info.items.push_back(own);
    info.synchroEnabled = enabled;
    info.synchroName = "grp";
    info.synchroValue = 0x1234 | (2ULL << 16) | (1ULL << 32) | (2ULL << 48);
    return info;
}

std::optional<HostAnswer> synchroInfoOf(SinkRig& rig) {
    Send request(SYNCHRO_INFO_REQ, 0);
    return rig.client->request(request, SYNCHRO_INFO_ANS);
}

std::optional<HostAnswer> writeItem(SinkRig& rig, uint16_t item, uint16_t value,
                                    const std::string& text = "") {
    SendBuffer request;
    request.setHeader(SINK_VALUE_REQ, 0, item, 1, value, 0);
    request.setPayload(text.data(), text.size());
    return rig.client->request(request, SINK_VALUE_ANS);
}

// One SYNC_FORWARD record: value, then the Host's address and interface index.
void appendRecord(std::vector<uint8_t>& payload, uint64_t value, const VEMRA::SocketAddress& host,
                  uint16_t index) {
    for (int i = 0; i < 8; ++i) {
        payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    payload.insert(payload.end(), host.address.begin(), host.address.end());
    payload.push_back(static_cast<uint8_t>(index));
    payload.push_back(static_cast<uint8_t>(index >> 8));
}

bool forward(HostSocket& from, SinkRig& rig, const std::vector<uint8_t>& payload) {
    SendBuffer message;
    message.setHeader(SYNC_FORWARD, 0);
    message.setPayload(payload.data(), payload.size());
    return from.send(message, rig.node->controlAddress());
}

// Connects in MS mode asking for a synchronised start, disconnects, and
// returns the start time the output was given.
std::optional<uint64_t> startTimeOfMsConnect(SinkRig& rig) {
    const auto connection = rig.client->connectMs(cdFormat(), 1);
    if (!connection || !connection->accepted) {
        return std::nullopt;
    }
    if (!rig.client->disconnect(connection->streamPort)) {
        return std::nullopt;
    }
    const auto starts = rig.sink().startTimes();
    return starts.empty() ? std::nullopt : std::optional<uint64_t>(starts.back());
}

TEST(SinkSynchroTest, SynchroItemsAndGroupName) {
    SinkRig rig;
    ASSERT_TRUE(rig.start(synchroInfo(true)));

    Send count(SINK_ITEM_REQ, 0, 0, 0, 0, 0);
    const auto items = rig.client->request(count, SINK_ITEM_ANS);
    ASSERT_TRUE(items);
    EXPECT_EQ(items->param0(), 5); // the sink's own item, then the four synchro items
    const struct {
        uint16_t number;
        uint16_t type;
        uint16_t minimum;
        uint16_t maximum;
        const char* name;
    } expected[] = {{2, 1, 2, 16, "SynchroTotal"},
                    {3, 5, 0, 5, "SynchroAll"},
                    {4, 7, 1, 65534, "SynchroSelf"},
                    {5, 4, 0, 0, "SynchroName"}};
    for (const auto& item : expected) {
        Send describe(SINK_ITEM_REQ, 0, item.number, 0, 0, 0);
        const auto answer = rig.client->request(describe, SINK_ITEM_ANS);
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->param1(), item.type) << item.name;
        EXPECT_EQ(answer->param2(), item.minimum) << item.name;
        EXPECT_EQ(answer->param3(), item.maximum) << item.name;
        EXPECT_EQ(answer->payloadText(), item.name);
    }

    // Values from SinkInfo.synchroValue.
    auto info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status(), 1);
    EXPECT_EQ(info->param0(), 0x1234);
    EXPECT_EQ(info->param1(), 2);
    EXPECT_EQ(info->param2(), 0);
    EXPECT_EQ(info->param3(), 1);
    EXPECT_EQ(info->payloadText(), "grp");

    const auto named = writeItem(rig, 5, 0, "abc");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->status(), 1);
    EXPECT_EQ(named->payloadText(), "abc");
    info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->param0(), VEMRA::crc16Usb("abc", 3));
    EXPECT_EQ(info->payloadText(), "abc");
    ASSERT_TRUE(writeItem(rig, 5, 0, ""));
    info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->param0(), 1); // the CRC of nothing is 0, stored as 1

    const auto sixteen = writeItem(rig, 3, 5);
    ASSERT_TRUE(sixteen);
    EXPECT_EQ(sixteen->param1(), 5);
    EXPECT_EQ(sixteen->payloadText(), "16ch");
    info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->param2(), 0);
    ASSERT_TRUE(writeItem(rig, 3, 0));
    info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->param2(), 0xFFFF); // a group of one channel
    const auto refused = writeItem(rig, 3, 6);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status(), 0);
    EXPECT_EQ(refused->param1(), 0);

    ASSERT_TRUE(writeItem(rig, 2, 4));
    ASSERT_TRUE(writeItem(rig, 4, 3));
    info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->param1(), 4);
    EXPECT_EQ(info->param3(), 3);
    Send reset(SINK_VALUE_REQ, 0, 2, 2, 0, 0);
    const auto restored = rig.client->request(reset, SINK_VALUE_ANS);
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->param1(), 2); // back to the item record's value
    EXPECT_EQ(restored->param3(), 2);
}

TEST(SinkSynchroTest, WithoutSynchroTheItemsAreAbsentButTheInfoAnswers) {
    SinkRig rig;
    ASSERT_TRUE(rig.start(synchroInfo(false)));
    Send count(SINK_ITEM_REQ, 0, 0, 0, 0, 0);
    const auto items = rig.client->request(count, SINK_ITEM_ANS);
    ASSERT_TRUE(items);
    EXPECT_EQ(items->param0(), 1);
    const auto info = synchroInfoOf(rig);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->param0(), 0x1234);
    EXPECT_EQ(info->param1(), 2);
    EXPECT_EQ(info->param3(), 1);
}

TEST(SinkSynchroTest, ForwardedTimingSetsTheStartOfAnMsConnection) {
    LogCapture log(VEMRA::kLogDetail);
    SinkRig rig;
    ASSERT_TRUE(rig.start());
    HostSocket target;
    ASSERT_TRUE(target.open(VEMRA::SocketAddress::loopback(0)));
    const VEMRA::SocketAddress host = VEMRA::SocketAddress::loopback(0);
    const uint64_t format = cdFormat().value();

    // No entry for the Host yet: start at once.
    EXPECT_EQ(startTimeOfMsConnect(rig), 0U);

    // Two whole records in 60 bytes (the last 8 are ignored); the second
    // overwrites the first's entry.
    const uint64_t start = VEMRA::clockNow() + 100 * VEMRA::kPicosecondsPerMillisecond;
    std::vector<uint8_t> payload;
    appendRecord(payload, 12345, host, 0);
    appendRecord(payload, format - start, host, 0);
    payload.resize(60, 0xEE);
    ASSERT_TRUE(forward(target, rig, payload));
    EXPECT_EQ(startTimeOfMsConnect(rig), start);

    // A plain connect never waits.
    const uint16_t port = rig.connect(cdFormat());
    ASSERT_NE(port, 0);
    ASSERT_TRUE(rig.client->disconnect(port));
    EXPECT_EQ(rig.sink().startTimes().back(), 0U);

    // A start a minute away is not waited for.
    payload.clear();
    appendRecord(payload, format - (VEMRA::clockNow() + 60 * VEMRA::kPicosecondsPerSecond), host, 0);
    ASSERT_TRUE(forward(target, rig, payload));
    EXPECT_EQ(startTimeOfMsConnect(rig), 0U);
    EXPECT_TRUE(log.contains("syncStart beyond limit"));
}

TEST(SinkSynchroTest, ForwardFromAnotherAddressIsIgnored) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "needs a network namespace of its own";
    }
    NetNamespace space;
    ASSERT_TRUE(space.isValid());
    ASSERT_TRUE(space.command({"ip", "link", "set", "lo", "up"}));
    ASSERT_TRUE(space.command({"ip", "-6", "addr", "add", "fd00::5/128", "dev", "lo", "nodad"}));
    ASSERT_TRUE(space.run([] {
        SinkRig rig;
        ASSERT_TRUE(rig.start());
        const auto other = VEMRA::parseAddress("fd00::5");
        ASSERT_TRUE(other);
        HostSocket stranger;
        ASSERT_TRUE(stranger.open(*other));
        HostSocket target;
        ASSERT_TRUE(target.open(VEMRA::SocketAddress::loopback(0)));

        const uint64_t start = VEMRA::clockNow() + 50 * VEMRA::kPicosecondsPerMillisecond;
        std::vector<uint8_t> payload;
        appendRecord(payload, cdFormat().value() - start, VEMRA::SocketAddress::loopback(0), 0);
        ASSERT_TRUE(forward(stranger, rig, payload));
        EXPECT_EQ(startTimeOfMsConnect(rig), 0U);
        ASSERT_TRUE(forward(target, rig, payload));
        EXPECT_EQ(startTimeOfMsConnect(rig), start);
    }));
}

} // namespace
} // namespace QUORVEL
