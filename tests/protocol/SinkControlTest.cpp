// ctest-labels: threads
#include "host/HostSocket.h"
#include "protocol/AnswerPolicy.h"
#include "protocol/MessageCode.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace QUORVEL {
namespace {

using std::chrono::milliseconds;

// Status bits of the sink's answers.
constexpr uint16_t kAccepted = 1;
constexpr uint16_t kHostConnected = 2;

std::optional<HostAnswer> nextRegistration(SinkRig& rig, milliseconds timeout = milliseconds(1000)) {
    return rig.registrar.receive(PORT_REGIST, timeout);
}

TEST(SinkControlTest, RegistersAndAnswersTheQueries) {
    SinkRig rig;
    TestBackEndOptions options;
    options.capabilities = cdFormat().value() | AudioFormat::kPcm24;
    options.deviceLatency = 7;
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options));

    // The first control step registers at once, from the control socket.
    const auto registration = nextRegistration(rig);
    ASSERT_TRUE(registration);
    EXPECT_EQ(registration->status(), 0);
    EXPECT_EQ(registration->param0(), 1);
    EXPECT_EQ(registration->param3(), 1);
    EXPECT_EQ(registration->payloadText(), "Test DAC");
    EXPECT_EQ(registration->from.hostPort(), rig.sink().boundControlPort());

    const AudioFormat wanted(hiResFormat().value() | cdFormat().value());
    const auto reduced = rig.client->formatQuery(wanted);
    ASSERT_TRUE(reduced);
    EXPECT_EQ(reduced->value(), wanted.value() & options.capabilities);

    const auto latency = rig.client->latencyQuery(0);
    ASSERT_TRUE(latency);
    EXPECT_EQ(latency->status(), kAccepted);
    EXPECT_EQ(latency->param0(), 1000); // the default
    EXPECT_EQ(latency->param1(), 7);    // the device's, from the back end
    EXPECT_EQ(latency->param2(), 65535);

    SendBuffer check;
    check.setHeader(PAYLOAD_CHECK, 0);
    const uint8_t bytes[] = {1, 2, 3};
    check.setPayload(bytes, sizeof(bytes));
    const auto sum = rig.client->request(check, PAYLOAD_CHECK_ANS);
    ASSERT_TRUE(sum);
    EXPECT_EQ(sum->param0(), 1500);
    EXPECT_EQ(sum->param1(), 65535);
    EXPECT_EQ(sum->param2(), 3);
    EXPECT_EQ(sum->param3(), 6);

    Send info(SINK_INFO_REQ, 0);
    const auto infoAnswer = rig.client->request(info, SINK_INFO_ANS);
    ASSERT_TRUE(infoAnswer);
    EXPECT_EQ(infoAnswer->param0(), 11);
    EXPECT_EQ(infoAnswer->param1(), 22);
    EXPECT_EQ(infoAnswer->param2(), 33);

    // A datagram with a wrong magic gets nothing; an unknown code its own code back.
    uint8_t bad[16] = {99, 0, 16, 0, 0x20, 0};
    ASSERT_TRUE(rig.client->socket().sendBytes(bad, sizeof(bad), rig.client->controlAddress()));
    Send unknown(VERSION_REQ, 0, 1, 2, 3, 4);
    const auto echoed = rig.client->request(unknown, VERSION_REQ);
    ASSERT_TRUE(echoed);
    EXPECT_EQ(echoed->status(), 0);
    EXPECT_EQ(echoed->value64(), 0U);
    EXPECT_FALSE(rig.client->socket().receiveAny(milliseconds(50)).has_value())
        << "answered the bad datagram";
}

TEST(SinkControlTest, ConnectWithoutPrepareThenBusy) {
    LogCapture log;
    SinkRig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(nextRegistration(rig));

    const auto connection = rig.client->connect(cdFormat());
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->accepted);
    EXPECT_EQ(connection->status & (kAccepted | kHostConnected), kAccepted | kHostConnected);
    EXPECT_EQ(connection->streamPort, rig.sink().boundStreamPort());
    EXPECT_EQ(connection->msPort, 0);
    EXPECT_EQ(rig.sink().connState(), Connected);
    EXPECT_EQ(rig.sink().setFormatCalls(), 1);
    EXPECT_EQ(rig.sink().currentLatency(), 1000); // derived prepare word, latency 0 = default
    // The busy state is registered at once, not three seconds later.
    const auto busy = nextRegistration(rig, milliseconds(500));
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->status() & kHostConnected, kHostConnected);

    // While connected, another Host's prepare and connect are refused.
    auto other = rig.newClient();
    const auto second = other->connect(cdFormat());
    ASSERT_TRUE(second);
    EXPECT_FALSE(second->accepted);
    EXPECT_EQ(second->status & kHostConnected, kHostConnected);
    EXPECT_EQ(second->streamPort, 0);
    const auto prepared = other->prepare(PrepareFormat::fromFormat(cdFormat(), 0));
    ASSERT_TRUE(prepared);
    EXPECT_FALSE(prepared->accepted());
    EXPECT_EQ(rig.sink().setFormatCalls(), 1);

    ASSERT_TRUE(rig.client->disconnect(connection->streamPort));
    EXPECT_EQ(rig.sink().connState(), Idle);
    const auto free = nextRegistration(rig, milliseconds(500));
    ASSERT_TRUE(free);
    EXPECT_EQ(free->status() & kHostConnected, 0);
    EXPECT_TRUE(log.contains("Connect"));
}

TEST(SinkControlTest, OnlyThePreparedHostConnectsAndNamesItself) {
    SinkRig rig;
    ASSERT_TRUE(rig.start());
    auto other = rig.newClient();

    const auto prepared = rig.client->prepare(PrepareFormat::fromFormat(cdFormat(), 0));
    ASSERT_TRUE(prepared);
    EXPECT_TRUE(prepared->accepted());
    EXPECT_EQ(prepared->value64(), PrepareFormat::fromFormat(cdFormat(), 0).value());

    // The other Host may neither name itself nor connect meanwhile.
    const auto foreignName = other->setHostName("Intruder");
    ASSERT_TRUE(foreignName);
    EXPECT_FALSE(foreignName->accepted());
    const auto foreign = other->connect(cdFormat());
    ASSERT_TRUE(foreign);
    EXPECT_FALSE(foreign->accepted);
    EXPECT_EQ(rig.sink().setFormatCalls(), 0);

    const auto named = rig.client->setHostName("Living Room");
    ASSERT_TRUE(named);
    EXPECT_TRUE(named->accepted());
    const auto connection = rig.client->connect(cdFormat());
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->accepted);
    ASSERT_EQ(rig.sink().hostNames().size(), 1U);
    EXPECT_EQ(rig.sink().hostNames()[0], "Living Room");
    ASSERT_TRUE(rig.client->disconnect(connection->streamPort));

    // The connect consumed the preparation: the other Host may connect now,
    // and its connect carries no name.
    const auto later = other->connect(cdFormat());
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->accepted);
    EXPECT_EQ(rig.sink().hostNames().back(), "");
    ASSERT_TRUE(other->disconnect(later->streamPort));
}

TEST(SinkControlTest, RefusesFormatsTheSinkCannotPlay) {
    LogCapture log;
    {
        SinkRig rig;
        ASSERT_TRUE(rig.start());
        const AudioFormat twoChannelBits(cdFormat().value() | 0x01);
        const auto answer = rig.client->connect(twoChannelBits);
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->accepted);
        EXPECT_TRUE(log.contains("format invalid connect"));
        EXPECT_EQ(rig.sink().setFormatCalls(), 0);
    }
    {
        SinkRig rig;
        TestBackEndOptions options;
        options.capabilities = ~AudioFormat::rateBits(192000) | AudioFormat::kFamily48000; // no x4 multiplier
        ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options));
        const auto answer = rig.client->connect(hiResFormat());
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->accepted);
        EXPECT_TRUE(log.contains("format noconfirm connect 2"));
        EXPECT_EQ(rig.sink().setFormatCalls(), 0);
        EXPECT_EQ(rig.sink().connState(), Idle);
        EXPECT_TRUE(rig.sink().isRunning());
        // The sink still takes a format it can play.
        const auto cd = rig.client->connect(cdFormat());
        ASSERT_TRUE(cd);
        EXPECT_TRUE(cd->accepted);
        ASSERT_TRUE(rig.client->disconnect(cd->streamPort));
    }
    {
        SinkRig rig;
        TestBackEndOptions options;
        options.replaceFormatWith = makeFormat(AudioFormat::kPcm24, 44100, 2);
        ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options));
        const auto answer = rig.client->connect(cdFormat());
        ASSERT_TRUE(answer);
        EXPECT_FALSE(answer->accepted);
        EXPECT_EQ(answer->status & kHostConnected, 0);
        EXPECT_TRUE(log.contains("format noconfirm connect 3"));
        EXPECT_EQ(rig.sink().connState(), Idle);
    }
    {
        // A back end that cannot configure the device ends the sink.
        SinkRig rig;
        TestBackEndOptions options;
        options.failSetFormat = true;
        ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options));
        Send connect(CONNECT, 0, cdFormat().value());
        ASSERT_TRUE(rig.client->socket().send(connect, rig.client->controlAddress()));
        EXPECT_TRUE(log.waitFor("setFormat error", milliseconds(1000)));
        for (int i = 0; i < 100 && !rig.node->controlEnded(); ++i) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        EXPECT_TRUE(rig.node->controlEnded());
    }
}

TEST(SinkControlTest, PrepareClampsTheLatency) {
    SinkRig rig;
    ASSERT_TRUE(rig.start());
    rig.sink().setLatencyRange(100, 10000, 1000);

    auto prepare = [&](uint16_t latency) {
        return rig.client->prepare(PrepareFormat::fromFormat(cdFormat(), latency));
    };
    const auto tooLong = prepare(20000);
    ASSERT_TRUE(tooLong);
    EXPECT_FALSE(tooLong->accepted());
    EXPECT_EQ(PrepareFormat(tooLong->value64()).latency(), 10000);
    EXPECT_EQ(tooLong->value64() & ~PrepareFormat::kLatencyMask,
              PrepareFormat::fromFormat(cdFormat(), 0).value());
    EXPECT_EQ(rig.sink().currentLatency(), 10000);

    const auto tooShort = prepare(70);
    ASSERT_TRUE(tooShort);
    EXPECT_FALSE(tooShort->accepted());
    EXPECT_EQ(PrepareFormat(tooShort->value64()).latency(), 100);

    const auto fine = prepare(2500);
    ASSERT_TRUE(fine);
    EXPECT_TRUE(fine->accepted());
    EXPECT_EQ(PrepareFormat(fine->value64()).latency(), 2500);

    const auto byDefault = prepare(0);
    ASSERT_TRUE(byDefault);
    EXPECT_TRUE(byDefault->accepted());
    EXPECT_EQ(rig.sink().currentLatency(), 1000);

    // The prepared latency is what the connection uses.
    ASSERT_TRUE(prepare(2500));
    const auto connection = rig.client->connect(cdFormat());
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->accepted);
    EXPECT_EQ(rig.sink().currentLatency(), 2500);
    ASSERT_TRUE(rig.client->disconnect(connection->streamPort));

    const auto clamped = rig.client->latencyQuery(65535);
    ASSERT_TRUE(clamped);
    EXPECT_EQ(clamped->param0(), 10000);
    EXPECT_EQ(clamped->param2(), 10000);
}

TEST(SinkControlTest, PreparedWordOfAnotherSinkStillSetsThisSinksLatency) {
    // Two sinks of one process share the prepare cache.
    PrepareCache shared;
    SinkRig first;
    SinkRig second;
    ASSERT_TRUE(first.start(SinkRig::defaultInfo(), TestBackEndOptions(),
                            [&](SinkConfig& config) { config.prepareCache = &shared; }));
    ASSERT_TRUE(second.start(SinkRig::defaultInfo(), TestBackEndOptions(),
                             [&](SinkConfig& config) { config.prepareCache = &shared; }));
    const PrepareFormat word = PrepareFormat::fromFormat(cdFormat(), 3000);
    ASSERT_TRUE(first.client->prepare(word));
    EXPECT_EQ(first.sink().currentLatency(), 3000);
    const auto onSecond = second.client->prepare(word);
    ASSERT_TRUE(onSecond);
    EXPECT_TRUE(onSecond->accepted());
    EXPECT_EQ(second.sink().currentLatency(), 3000);
}

TEST(SinkControlTest, FallsBackToASystemPortWhenTaken) {
    // A plain socket (no SO_REUSEADDR) holds a port.
    const int holder = ::socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_GE(holder, 0);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&local), sizeof(local)), 0);
    socklen_t length = sizeof(local);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&local), &length), 0);
    const uint16_t taken = ntohs(local.sin6_port);

    HostSocket registrar;
    ASSERT_TRUE(registrar.open(VEMRA::SocketAddress::loopback(0)));
    PrepareCache cache;
    TestSinkNode node(SinkRig::defaultInfo(), testSinkConfig(registrar.localPort(), &cache),
                      TestBackEndOptions());
    ASSERT_TRUE(node.start(taken, taken));
    EXPECT_NE(node.sink().boundControlPort(), taken);
    EXPECT_NE(node.sink().boundStreamPort(), taken);
    EXPECT_NE(node.sink().boundControlPort(), node.sink().boundStreamPort());
    SinkClient client(node.controlAddress());
    ASSERT_TRUE(client.open());
    EXPECT_TRUE(client.latencyQuery(0));
    node.stop();
    ::close(holder);
}

TEST(SinkControlTest, DefaultPortsFollowTheIndex) {
    if (!runningAsRoot()) {
        GTEST_SKIP() << "binds fixed ports, so it needs a network namespace of its own";
    }
    NetNamespace space;
    ASSERT_TRUE(space.isValid());
    ASSERT_TRUE(space.command({"ip", "link", "set", "lo", "up"}));
    ASSERT_TRUE(space.run([] {
        auto systemPorts = [](SinkConfig& config) {
            config.controlBasePort = 19642;
            config.streamBasePort = 19643;
        };
        SinkRig first;
        ASSERT_TRUE(first.start(SinkRig::defaultInfo(), TestBackEndOptions(), systemPorts));
        EXPECT_EQ(first.sink().boundControlPort(), 19644);
        EXPECT_EQ(first.sink().boundStreamPort(), 19645);
        // A second sink of the same index finds both ports taken.
        SinkRig second;
        ASSERT_TRUE(second.start(SinkRig::defaultInfo(), TestBackEndOptions(), systemPorts));
        EXPECT_NE(second.sink().boundControlPort(), 19644);
        EXPECT_NE(second.sink().boundStreamPort(), 19645);
        EXPECT_TRUE(second.client->latencyQuery(0));
        EXPECT_TRUE(first.client->latencyQuery(0));
        SinkInfo third = SinkRig::defaultInfo();
        third.index = 3;
        SinkRig other;
        ASSERT_TRUE(other.start(third, TestBackEndOptions(), systemPorts));
        EXPECT_EQ(other.sink().boundControlPort(), 19648);
        EXPECT_EQ(other.sink().boundStreamPort(), 19649);
    }));
}

TEST(SinkControlTest, ItemsAndIcons) {
    SinkInfo info = SinkRig::defaultInfo();
    SinkItem mode;
    mode.type = SinkItem::kOnOff;
    mode.name = "Mode";
    info.items.push_back(mode);
    info.icons[1].width = 64;
    info.icons[1].pixels.assign(64 * 32, 0x11223344);
    info.icons[2].width = 400;
    info.icons[2].pixels.resize(400 * 2);
    for (size_t i = 0; i < info.icons[2].pixels.size(); ++i) {
        info.icons[2].pixels[i] = static_cast<uint32_t>(i);
    }
    info.icons[3].oneBytePerPixel = true;
    info.icons[3].width = 3;
    info.icons[3].pixels = {0xA1000000, 0xB2000000, 0xC3000000, 0xD4000000, 0xE5000000, 0xF6000000};
    SinkRig rig;
    ASSERT_TRUE(rig.start(info));

    auto icon = [&](uint16_t number, uint16_t column, uint16_t row, uint16_t count) {
        Send request(SINK_ICON_REQ, 0, number, column, row, count);
        return rig.client->request(request, SINK_ICON_ANS);
    };
    const auto size = icon(2, 0, 0, 0);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->status(), 1);
    EXPECT_EQ(size->param1(), 64);
    EXPECT_EQ(size->param2(), 32);

    const auto row = icon(3, 1, 1, 0);
    ASSERT_TRUE(row);
    ASSERT_EQ(row->payload().size(), 300U * 4);
    EXPECT_EQ(row->payload()[4], 1);     // pixel 1, little-endian
    const auto run = icon(3, 399, 1, 5); // 4 pixels, across the row end
    ASSERT_TRUE(run);
    ASSERT_EQ(run->payload().size(), 16U);
    EXPECT_EQ(run->payload()[8], 144); // pixel 400 = 0x190
    EXPECT_EQ(run->payload()[9], 1);

    const auto oneByte = icon(4, 2, 2, 0);
    ASSERT_TRUE(oneByte);
    EXPECT_EQ(oneByte->payload(), (std::vector<uint8_t>{0xE5, 0xF6}));

    const auto outside = icon(2, 1, 33, 0);
    ASSERT_TRUE(outside);
    EXPECT_EQ(outside->status(), 1);
    EXPECT_TRUE(outside->payload().empty());
    const auto missing = icon(1, 0, 0, 0);
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status(), 0);
    const auto beyond = icon(5, 0, 0, 0);
    ASSERT_TRUE(beyond);
    EXPECT_EQ(beyond->status(), 0);

    Send count(SINK_ITEM_REQ, 0, 0, 9, 0, 0);
    const auto items = rig.client->request(count, SINK_ITEM_ANS);
    ASSERT_TRUE(items);
    EXPECT_EQ(items->param0(), 1);
    EXPECT_EQ(items->param1(), 9);
    Send first(SINK_ITEM_REQ, 0, 1, 0, 0, 0);
    const auto described = rig.client->request(first, SINK_ITEM_ANS);
    ASSERT_TRUE(described);
    EXPECT_EQ(described->param1(), SinkItem::kOnOff);
    EXPECT_EQ(described->param3(), 1);
    EXPECT_EQ(described->payloadText(), "Mode");
    Send name(SINK_VALUE_REQ, 0, 1, 3, 1, 0);
    const auto enable = rig.client->request(name, SINK_VALUE_ANS);
    ASSERT_TRUE(enable);
    EXPECT_EQ(enable->payloadText(), "enable");
    // Items other than the synchro items are served by hooks that refuse.
    Send read(SINK_VALUE_REQ, 0, 1, 0, 0, 0);
    const auto value = rig.client->request(read, SINK_VALUE_ANS);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->status(), 0);
}

TEST(SinkControlTest, AnswersAndRepeatedUnknownCodesGetNoEcho) {
    SinkRig rig;
    ASSERT_TRUE(rig.start());
    // An answer code is never answered: a forged SINK_INFO_REQ "from" the
    // sink's status channel would otherwise start the two echoing answers.
    Send oddCode(SINK_INFO_ANS, 1, 11, 22, 33, 0);
    ASSERT_TRUE(rig.client->socket().send(oddCode, rig.client->controlAddress()));
    Send info(SINK_INFO_REQ, 0);
    const auto first = rig.client->request(info, SINK_INFO_ANS);
    ASSERT_TRUE(first);
    EXPECT_FALSE(rig.client->socket().receiveAny(milliseconds(100))) << "the answer code was echoed";

    // Unknown even codes: a few echoes per source, then none for a while.
    int echoes = 0;
    for (int i = 0; i < 10; ++i) {
        Send unknown(VERSION_REQ, 0);
        ASSERT_TRUE(rig.client->socket().send(unknown, rig.client->controlAddress()));
    }
    Send probe(SINK_INFO_REQ, 0);
    ASSERT_TRUE(rig.client->socket().send(probe, rig.client->controlAddress()));
    while (const auto answer = rig.client->socket().receiveAny(milliseconds(1000))) {
        if (answer->code() == SINK_INFO_ANS) {
            break;
        }
        echoes += answer->code() == VERSION_REQ ? 1 : 0;
    }
    EXPECT_GE(echoes, 1);
    EXPECT_LE(echoes, static_cast<int>(AnswerPolicy::Config{}.echoBurst) + 1);
}

// A sink whose control datagrams the test hands in itself, as the node
// thread would (no node runs), with answers to senders no answer can reach.
TEST(SinkControlTest, AnswersThatCannotBeSentLeaveTheSinkRunning) {
    HostSocket registrar;
    ASSERT_TRUE(registrar.open(VEMRA::SocketAddress::loopback(0)));
    PrepareCache cache;
    VEMRA::SocketWaitSet pollSet;
    TestSinkBackEnd sink(SinkRig::defaultInfo(), pollSet, testSinkConfig(registrar.localPort(), &cache),
                         TestBackEndOptions());
    uint16_t control = 0;
    uint16_t stream = 0;
    ASSERT_TRUE(sink.openAll(control, stream));
    const Send info(SINK_INFO_REQ, 0);
    const Send query(FORMAT_QUERY, 0, cdFormat().value());
    const Send unknown(VERSION_REQ, 0);

    // Source port 0: no answer can be sent there (sendto fails with EINVAL).
    const VEMRA::SocketAddress portZero = VEMRA::SocketAddress::loopback(0);
    EXPECT_TRUE(sink.controlDatagram(info.bytes(), portZero));
    EXPECT_TRUE(sink.controlDatagram(query.bytes(), portZero));
    EXPECT_TRUE(sink.controlDatagram(unknown.bytes(), portZero));
    // An IPv4 sender: the IPv6-only control socket cannot answer it.
    VEMRA::SocketAddress mapped;
    mapped.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    mapped.setHostPort(registrar.localPort());
    EXPECT_TRUE(sink.controlDatagram(info.bytes(), mapped));
    EXPECT_TRUE(sink.controlDatagram(query.bytes(), mapped));
    EXPECT_TRUE(sink.isRunning());
    sink.closeAll();
}

} // namespace
} // namespace QUORVEL
