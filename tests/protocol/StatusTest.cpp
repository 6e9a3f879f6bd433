#include "protocol/Status.h"
#include "host/HostSocket.h"
#include "protocol/AnswerPolicy.h"
#include "protocol/MessageCode.h"
#include "protocol/PrepareFormat.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <thread>

namespace QUORVEL {
namespace {

using std::chrono::milliseconds;

constexpr uint64_t kMillisecond = VEMRA::kPicosecondsPerMillisecond;

StatusDescriptor descriptor(bool withVolume) {
    StatusDescriptor built;
    built.sinkId = 3;
    built.name = "USB DAC Control";
    built.addressBlock = StatusDescriptor::loopbackBlock(3);
    built.controls.push_back(StatusControl{StatusControl::kFormat, 0, 0});
    if (withVolume) {
        built.controls.push_back(StatusControl{StatusControl::kVolume, -6000, 0});
    }
    return built;
}

// The channel and a Host on [::1], stepped by the test thread as the node
// thread would step it.
class StatusChannel {
public:
    explicit StatusChannel(const StatusDescriptor& built, uint64_t interval = 3000 * kMillisecond) {
        EXPECT_TRUE(registrar.open(VEMRA::SocketAddress::loopback(0)));
        StatusConfig config;
        config.registrationPort = registrar.localPort();
        config.registrationInterval = interval;
        status = std::make_unique<Status>(built, pollSet, config);
        EXPECT_TRUE(status->start());
        EXPECT_TRUE(host.open());
    }

    bool step() {
        pollSet.wait(50 * kMillisecond);
        return status->step();
    }

    std::optional<HostAnswer> ask(Send& request, uint16_t answerCode) {
        if (!host.send(request, VEMRA::SocketAddress::loopback(status->boundPort()))) {
            return std::nullopt;
        }
        EXPECT_TRUE(step());
        return host.receive(answerCode, milliseconds(500));
    }

    std::optional<HostAnswer> value(uint16_t control) {
        Send request(CONTROL_VALUE_REQ, 0, control, 0, 0, 0);
        return ask(request, CONTROL_VALUE_ANS);
    }

    std::optional<HostAnswer> setValue(uint16_t control, int64_t value) {
        Send request(CONTROL_VALUE_REQ, 0,
                     static_cast<uint64_t>(control | 0x8000) | (static_cast<uint64_t>(value) << 16));
        return ask(request, CONTROL_VALUE_ANS);
    }

    VEMRA::SocketWaitSet pollSet;
    HostSocket registrar;
    HostSocket host;
    std::unique_ptr<Status> status;
};

int16_t answeredValue(const HostAnswer& answer) {
    return static_cast<int16_t>(answer.param1());
}

TEST(StatusTest, RegistersAtOnceThenEveryInterval) {
    StatusChannel channel(descriptor(true), 200 * kMillisecond);
    ASSERT_TRUE(channel.step());
    const auto first = channel.registrar.receive(STATUS_REGIST, milliseconds(500));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->status(), 0);
    EXPECT_EQ(first->param0(), 3);
    EXPECT_EQ(first->param1(), 1);
    EXPECT_EQ(first->param2(), 0);
    EXPECT_EQ(first->param3(), 1);
    const std::vector<uint8_t> payload = first->payload();
    ASSERT_EQ(payload.size(), 18U + 15U);
    EXPECT_EQ(payload[15], 1); // ::1
    EXPECT_EQ(payload[17], 3); // sink identifier, network byte order
    EXPECT_EQ(std::string(payload.begin() + 18, payload.end()), "USB DAC Control");
    EXPECT_EQ(first->from.hostPort(), channel.status->boundPort());

    ASSERT_TRUE(channel.step());
    EXPECT_FALSE(channel.registrar.receive(STATUS_REGIST, milliseconds(20)));
    std::this_thread::sleep_for(milliseconds(200));
    channel.status->setConnected(true);
    ASSERT_TRUE(channel.step());
    const auto second = channel.registrar.receive(STATUS_REGIST, milliseconds(500));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->status(), 2);
}

TEST(StatusTest, ControlInformationAndValues) {
    StatusChannel channel(descriptor(true));
    Send count(CONTROL_INFO_REQ, 0, 0, 0, 0, 0);
    const auto controls = channel.ask(count, CONTROL_INFO_ANS);
    ASSERT_TRUE(controls);
    EXPECT_EQ(controls->status(), 1);
    EXPECT_EQ(controls->param0(), 2);

    Send volume(CONTROL_INFO_REQ, 0, 2, 0, 0, 0);
    const auto described = channel.ask(volume, CONTROL_INFO_ANS);
    ASSERT_TRUE(described);
    EXPECT_EQ(described->param1(), StatusControl::kVolume);
    EXPECT_EQ(described->param2(), 0xE890);
    EXPECT_EQ(described->param3(), 0);

    Send beyond(CONTROL_INFO_REQ, 0, 3, 0, 0, 0);
    const auto none = channel.ask(beyond, CONTROL_INFO_ANS);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status(), 0);
    EXPECT_EQ(none->param0(), 3);

    // The volume starts at its low bound; a set below it is clamped.
    const auto initial = channel.value(2);
    ASSERT_TRUE(initial);
    EXPECT_EQ(answeredValue(*initial), -6000);
    const auto clamped = channel.setValue(2, -7000);
    ASSERT_TRUE(clamped);
    EXPECT_EQ(clamped->status(), 1);
    EXPECT_EQ(clamped->param0(), 2);
    EXPECT_EQ(answeredValue(*clamped), -6000);
    const auto set = channel.setValue(2, -1234);
    ASSERT_TRUE(set);
    EXPECT_EQ(answeredValue(*set), -1234);
    EXPECT_EQ(static_cast<int64_t>(channel.status->value(1)), -1234);
    // A Host that sends only the low 16 bits of a negative value means it too.
    Send shortForm(CONTROL_VALUE_REQ, 0, 0x8002, static_cast<uint16_t>(-2500), 0, 0);
    const auto lowBits = channel.ask(shortForm, CONTROL_VALUE_ANS);
    ASSERT_TRUE(lowBits);
    EXPECT_EQ(answeredValue(*lowBits), -2500);
    const auto louder = channel.setValue(2, 500);
    ASSERT_TRUE(louder);
    EXPECT_EQ(answeredValue(*louder), 0);

    // The format control is read-only and reports the playing format.
    channel.status->setFormatValues(cdFormat());
    const auto format = channel.setValue(1, 12345);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->status(), 0);
    EXPECT_EQ(format->value64() >> 16, PrepareFormat::fromFormat(cdFormat(), 0).withoutLatency());

    for (uint16_t control : {0, 3}) {
        const auto out = channel.value(control);
        ASSERT_TRUE(out);
        EXPECT_EQ(out->status(), 0);
        EXPECT_EQ(out->value64(), 0U);
    }

    StatusChannel noVolume(descriptor(false));
    const auto one = noVolume.ask(count, CONTROL_INFO_ANS);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->param0(), 1);
}

TEST(StatusTest, AnswersCarryTheConnectedBit) {
    StatusChannel channel(descriptor(true));
    SendBuffer name;
    name.setHeader(CONTROL_NAME, 0);
    name.setPayload("Host", 4);
    const auto idle = channel.ask(name, CONTROL_NAME_ANS);
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->status(), 1);

    channel.status->setConnected(true);
    const auto busy = channel.ask(name, CONTROL_NAME_ANS);
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status(), 3);
    const auto read = channel.value(2);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status(), 3);
    Send info(CONTROL_INFO_REQ, 0, 1, 0, 0, 0);
    const auto described = channel.ask(info, CONTROL_INFO_ANS);
    ASSERT_TRUE(described);
    EXPECT_EQ(described->status(), 1);

    Send unknown(ICON_REQ, 0, 1, 2, 3, 4);
    const auto echoed = channel.ask(unknown, ICON_REQ);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->status(), 2);
    EXPECT_EQ(echoed->value64(), 0U);

    channel.status->setConnected(false);
    const auto freed = channel.ask(name, CONTROL_NAME_ANS);
    ASSERT_TRUE(freed);
    EXPECT_EQ(freed->status(), 1);
}

TEST(StatusTest, IconRequests) {
    StatusDescriptor built = descriptor(true);
    built.icons[0].width = 2;
    built.icons[0].pixels = {0x11223344, 0x55667788, 0x99AABBCC, 0xDDEEFF00};
    built.icons[1].oneBytePerPixel = true;
    built.icons[1].width = 2;
    built.icons[1].pixels = {0xA0000000, 0xB0000000};
    StatusChannel channel(built);
    auto icon = [&](uint16_t number, uint16_t column, uint16_t row, uint16_t count) {
        Send request(CONTROL_ICON_REQ, 0, number, column, row, count);
        return channel.ask(request, CONTROL_ICON_ANS);
    };

    const auto size = icon(1, 0, 0, 0);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->status(), 1);
    EXPECT_EQ(size->param1(), 2);
    EXPECT_EQ(size->param2(), 2);
    EXPECT_EQ(size->param3(), 1); // four bytes per pixel
    const auto oneByteSize = icon(2, 0, 0, 0);
    ASSERT_TRUE(oneByteSize);
    EXPECT_EQ(oneByteSize->param3(), 2);

    const auto run = icon(1, 2, 1, 3); // two pixels from row 1, column 2 on
    ASSERT_TRUE(run);
    EXPECT_EQ(run->param3(), 3);
    EXPECT_EQ(run->payload(), (std::vector<uint8_t>{0x88, 0x77, 0x66, 0x55, 0xCC, 0xBB, 0xAA, 0x99}));
    const auto bytes = icon(2, 1, 1, 0);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->payload(), (std::vector<uint8_t>{0xA0, 0xB0}));

    const auto outside = icon(1, 3, 1, 0);
    ASSERT_TRUE(outside);
    EXPECT_EQ(outside->status(), 1);
    EXPECT_EQ(outside->param3(), 0);
    EXPECT_TRUE(outside->payload().empty());
    // Icons this system's sinks have: none.
    const auto empty = icon(3, 0, 0, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status(), 0);
    EXPECT_EQ(empty->param0(), 3);
}

TEST(StatusTest, AnswersAndRepeatedUnknownCodesGetNoEcho) {
    StatusChannel channel(descriptor(true));
    // An answer code is never answered, whoever sends it.
    Send oddCode(CONTROL_NAME_ANS, 1);
    const auto odd = channel.ask(oddCode, CONTROL_NAME_ANS);
    EXPECT_FALSE(odd) << "the answer code was echoed";
    // Unknown even codes: a few echoes per source, then none for a while.
    for (int i = 0; i < 10; ++i) {
        Send unknown(0x0040, 0);
        ASSERT_TRUE(channel.host.send(unknown, VEMRA::SocketAddress::loopback(channel.status->boundPort())));
    }
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(channel.step());
    }
    int echoes = 0;
    while (channel.host.receive(0x0040, milliseconds(200))) {
        ++echoes;
    }
    EXPECT_GE(echoes, 1);
    EXPECT_LE(echoes, static_cast<int>(AnswerPolicy::Config{}.echoBurst) + 1);
}

TEST(StatusTest, AnswersThatCannotBeSentLeaveTheChannelRunning) {
    StatusChannel channel(descriptor(true));
    const Send count(CONTROL_INFO_REQ, 0, 0, 0, 0, 0);
    const Send read(CONTROL_VALUE_REQ, 0, 2, 0, 0, 0);
    const Send name(CONTROL_NAME, 0);
    // Source port 0: sendto fails with EINVAL.
    const VEMRA::SocketAddress portZero = VEMRA::SocketAddress::loopback(0);
    EXPECT_TRUE(channel.status->handleDatagram(count.bytes(), portZero));
    EXPECT_TRUE(channel.status->handleDatagram(read.bytes(), portZero));
    EXPECT_TRUE(channel.status->handleDatagram(name.bytes(), portZero));
    // An IPv4 sender the IPv6-only socket cannot answer.
    VEMRA::SocketAddress mapped;
    mapped.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    mapped.setHostPort(channel.host.localPort());
    EXPECT_TRUE(channel.status->handleDatagram(count.bytes(), mapped));
    EXPECT_TRUE(channel.status->handleDatagram(read.bytes(), mapped));
    // The channel still answers a Host.
    Send again(CONTROL_INFO_REQ, 0, 0, 0, 0, 0);
    EXPECT_TRUE(channel.ask(again, CONTROL_INFO_ANS));
}

} // namespace
} // namespace QUORVEL
