// ctest-labels: threads
#include "protocol/Target.h"
#include "foundation/Socket.h"
#include "protocol/MessageCode.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using QUORVEL::HostAnswer;
using QUORVEL::HostClient;
using QUORVEL::Send;
using QUORVEL::SendBuffer;
using QUORVEL::Target;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kSecond = VEMRA::kPicosecondsPerSecond;

class TargetTest : public ::testing::Test {
protected:
    void startTarget(const TargetInfo& info = sampleInfo(), bool relay = true) {
        target = std::make_unique<Target>(info, loopbackConfig(&clock, &addresses));
        ASSERT_TRUE(target->start(relay));
    }

    void TearDown() override {
        if (target) {
            target->stop();
        }
    }

    // Sends `message` and returns the first datagram that comes back; since the
    // Target handles datagrams in order, a probe sent after a message that
    // should stay unanswered proves that it was.
    std::optional<HostAnswer> firstAnswerAfter(HostClient& client, Send& message) {
        client.socket().send(message, client.target());
        Send probe(QUORVEL::VERSION_REQ, 0);
        client.socket().send(probe, client.target());
        return client.socket().receiveAny(2000ms);
    }

    CapturedLog log;
    ManualClock clock;
    AddressList addresses;
    std::unique_ptr<Target> target;
};

TEST_F(TargetTest, ResultFollowsTheLifecycle) {
    target = std::make_unique<Target>(sampleInfo(), loopbackConfig(&clock, &addresses));
    EXPECT_EQ(target->result(), Target::Constructed);
    ASSERT_TRUE(target->start(true));
    EXPECT_EQ(target->result(), Target::Running);
    EXPECT_EQ(target->rebootMode(), 0);
    EXPECT_NE(target->boundDiscoveryPort(), 0);
    EXPECT_NE(target->boundRelayPort(), 0);
    EXPECT_FALSE(target->start(true)) << "a second start while the worker runs";
    target->stop();
    EXPECT_EQ(target->result(), Target::SocketFailed);
    EXPECT_TRUE(log.capture.waitFor("Target close", 2000ms));
}

TEST_F(TargetTest, StartFailsWhenTheDiscoveryPortIsTaken) {
    // A plain socket without SO_REUSEADDR keeps the port to itself.
    const int blocker = ::socket(AF_INET6, SOCK_DGRAM, 0);
    ASSERT_NE(blocker, -1);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    socklen_t length = sizeof(address);
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);

    Target::Config config = loopbackConfig(&clock, &addresses);
    config.discoveryPort = ntohs(address.sin6_port);
    target = std::make_unique<Target>(sampleInfo(), config);
    EXPECT_FALSE(target->start(true));
    EXPECT_EQ(target->result(), Target::Constructed);
    EXPECT_EQ(target->boundRelayPort(), 0) << "the relay socket is not opened after a failed bind";
    EXPECT_TRUE(log.capture.waitFor("MULTI  bind error:98", 2000ms));
    ::close(blocker);
}

TEST_F(TargetTest, DiscoverFromLoopbackIsRefusedUnlessAccepted) {
    startTarget();
    HostClient client = loopbackClient(*target);
    Send discover(QUORVEL::DISCOVER, 0);
    const auto first = firstAnswerAfter(client, discover);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->code(), QUORVEL::VERSION_ANS) << "no DISCOVER_ANS for ::1";
    EXPECT_TRUE(log.capture.waitFor("Block : ::1%", 2000ms));
    target->stop();

    TargetInfo accepting = sampleInfo();
    accepting.acceptLoopbackDiscover = true;
    startTarget(accepting);
    HostClient second = loopbackClient(*target);
    const auto identity = second.discover();
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->targetId, 0x1122334455667788ULL);
    EXPECT_EQ(identity->name, "TestTarget");
    EXPECT_TRUE(log.capture.waitFor("Receive DISCOVER : ::1%", 2000ms));
}

TEST_F(TargetTest, PortListAndLookupsFollowTheRegistrations) {
    startTarget();
    HostClient client = loopbackClient(*target);
    FakeChannel sink1(target->boundDiscoveryPort());
    FakeChannel sink3(target->boundDiscoveryPort());
    FakeChannel keyZero(target->boundDiscoveryPort());
    ASSERT_TRUE(sink1.portRegist(1, 0, "DAC one"));
    ASSERT_TRUE(sink3.portRegist(3, 0, "DAC three"));

    const auto list = client.portBitmaps();
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->accepted);
    EXPECT_EQ(list->largestKey1, 3);
    EXPECT_EQ(list->largestKey0, 0);
    EXPECT_EQ(list->kindWord, 0x0D0D) << "the default word when the request's kind is 0";
    ASSERT_EQ(list->payload.size(), 1024U);
    EXPECT_EQ(list->payload[0], 0x0F) << "bits 0 through the largest key, also for the absent key 2";
    for (size_t i = 1; i < list->payload.size(); ++i) {
        ASSERT_EQ(list->payload[i], 0) << "byte " << i;
    }

    const auto one = client.port(1);
    ASSERT_TRUE(one);
    EXPECT_TRUE(one->found);
    EXPECT_EQ(one->port, sink1.port());
    EXPECT_EQ(one->name, "DAC one");
    const auto two = client.port(2);
    ASSERT_TRUE(two);
    EXPECT_FALSE(two->found);
    EXPECT_EQ(two->port, 0);

    // Keys carried in param1 live in the other table: empty until key 0 registers there.
    const auto table = client.portTable(1, true);
    ASSERT_TRUE(table);
    EXPECT_TRUE(table->accepted);
    ASSERT_EQ(table->payload.size(), 1024U);
    EXPECT_EQ(table->tablePort(0), 0);
    ASSERT_TRUE(keyZero.portRegist(0, 0, "zero"));
    const auto zeroTable = client.portTable(0, true);
    ASSERT_TRUE(zeroTable);
    EXPECT_EQ(zeroTable->tablePort(0), keyZero.port());
    const auto bitmaps = client.portBitmaps();
    ASSERT_TRUE(bitmaps);
    EXPECT_EQ(bitmaps->payload[512], 0x01) << "key 0 of table 0 sets bit 0 of the second bitmap";

    const auto sinkTable = client.portTable(1, false);
    ASSERT_TRUE(sinkTable);
    EXPECT_EQ(sinkTable->largestKey1, 3);
    EXPECT_EQ(sinkTable->tablePort(0), sink1.port());
    EXPECT_EQ(sinkTable->tablePort(1), 0);
    EXPECT_EQ(sinkTable->tablePort(2), sink3.port());
    EXPECT_TRUE(
        log.capture.waitFor("Regist Port : 3 : " + std::to_string(sink3.port()) + " DAC three", 2000ms));
}

TEST_F(TargetTest, PortRequestsOutsideTheRulesAreRefused) {
    startTarget();
    HostClient client = loopbackClient(*target);
    FakeChannel sink(target->boundDiscoveryPort());
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC"));

    Send bothKeys(QUORVEL::PORT_REQ, 0, 2, 3, 0, 0);
    const auto refused = client.request(bothKeys, QUORVEL::PORT_ANS);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status(), 0);
    EXPECT_EQ(refused->param0(), 0);
    EXPECT_EQ(refused->param1(), 0);
    EXPECT_EQ(refused->param2(), 0);
    EXPECT_EQ(refused->param3(), 1);
    EXPECT_TRUE(refused->payload().empty());

    for (uint16_t kind : {3, 5, 0xFFFF}) {
        const auto list = client.portBitmaps(kind);
        ASSERT_TRUE(list);
        EXPECT_FALSE(list->accepted) << "kind " << kind << " has no table";
        EXPECT_TRUE(list->payload.empty());
        const auto lookup = client.port(1, false, kind);
        ASSERT_TRUE(lookup);
        EXPECT_FALSE(lookup->found) << "kind " << kind;
    }
    // Kind 1 is kind 0; kinds 2 and 4 have tables of their own, empty here.
    const auto kindOne = client.port(1, false, 1);
    ASSERT_TRUE(kindOne);
    EXPECT_TRUE(kindOne->found);
    const auto kindTwo = client.portBitmaps(2);
    ASSERT_TRUE(kindTwo);
    EXPECT_TRUE(kindTwo->accepted);
    EXPECT_EQ(kindTwo->largestKey1, 0);
    EXPECT_EQ(kindTwo->kindWord, 2);
    const auto allKeys = client.portTable(0xFFFF, true);
    ASSERT_TRUE(allKeys);
    EXPECT_TRUE(allKeys->accepted);
    EXPECT_TRUE(allKeys->payload.empty()) << "both keys 0xFFFF carry no payload";
}

TEST_F(TargetTest, RegistrationsAreUpdatedInPlaceAndBadOnesIgnored) {
    startTarget();
    HostClient client = loopbackClient(*target);
    FakeChannel sink(target->boundDiscoveryPort());
    FakeChannel moved(target->boundDiscoveryPort());
    ASSERT_TRUE(sink.portRegist(2, 0, "first"));
    ASSERT_TRUE(moved.portRegist(2, 0, "second"));
    const auto entry = client.port(2);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->port, moved.port());
    EXPECT_EQ(entry->name, "second");

    ASSERT_TRUE(sink.portRegist(4, 5, "both keys"));
    const auto list = client.portBitmaps();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->largestKey1, 2) << "a registration naming two keys is ignored";
    EXPECT_EQ(list->largestKey0, 0);

    ASSERT_TRUE(sink.statusRegist(0, 1, 1, {}, "no key"));
    const auto count = client.statusCount();
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, 0) << "a status registration without a key is ignored";
}

TEST_F(TargetTest, RegistrationsExpireTenSecondsAfterTheLastOne) {
    startTarget();
    HostClient client = loopbackClient(*target);
    FakeChannel sink(target->boundDiscoveryPort());
    FakeChannel status(target->boundDiscoveryPort());
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC"));
    ASSERT_TRUE(status.statusRegist(7, 1, 0, {}, "volume"));
    ASSERT_TRUE(client.port(1));

    clock.advance(10 * kSecond);
    ASSERT_TRUE(client.statusCount());
    const auto stillThere = client.port(1);
    ASSERT_TRUE(stillThere);
    EXPECT_TRUE(stillThere->found) << "exactly 10 s is not yet more than the lifetime";
    ASSERT_TRUE(status.statusRegist(7, 1, 0, {}, "volume")); // renewed, the sink is not

    clock.advance(1);
    ASSERT_TRUE(log.capture.waitFor("Unregist out Port : 1", 2000ms));
    const auto gone = client.port(1);
    ASSERT_TRUE(gone);
    EXPECT_FALSE(gone->found);
    const auto renewed = client.status(7);
    ASSERT_TRUE(renewed);
    EXPECT_TRUE(renewed->found);

    clock.advance(11 * kSecond);
    ASSERT_TRUE(log.capture.waitFor("Unregist status Port : 7", 2000ms));
    const auto count = client.statusCount();
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, 0);
}

TEST_F(TargetTest, BusyBitsTurnPlayingOnAndOff) {
    startTarget();
    HostClient client = loopbackClient(*target);
    FakeChannel sink(target->boundDiscoveryPort());
    FakeChannel status(target->boundDiscoveryPort());
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC", true));
    EXPECT_TRUE(eventually([&] { return target->playing(); }));
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC", false));
    EXPECT_TRUE(eventually([&] { return !target->playing(); }));

    ASSERT_TRUE(status.statusRegist(2, 1, 0, {}, "vol", true));
    EXPECT_TRUE(eventually([&] { return target->playing(); }));
    // A busy registration that expires stops the playing state too.
    clock.advance(11 * kSecond);
    EXPECT_TRUE(eventually([&] { return !target->playing(); }));
}

TEST_F(TargetTest, StatusChannelsAreListed) {
    startTarget();
    HostClient client = loopbackClient(*target);
    FakeChannel control(target->boundDiscoveryPort());
    FakeChannel sinkStatus(target->boundDiscoveryPort());
    const QUORVEL::Block block{1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(control.statusRegist(1, 0, 11, block, "control"));
    ASSERT_TRUE(sinkStatus.statusRegist(4, 1, 12, {}, "sink status"));

    const auto count = client.statusCount();
    ASSERT_TRUE(count);
    EXPECT_EQ(*count, 4);
    const auto first = client.status(1);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->found);
    EXPECT_EQ(first->kindWord, 0);
    EXPECT_EQ(first->port, control.port());
    EXPECT_EQ(first->word3, 11);
    EXPECT_EQ(first->block, block);
    EXPECT_EQ(first->name, "control");
    const auto missing = client.status(2);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->found);
    EXPECT_EQ(missing->port, 0);
    EXPECT_EQ(missing->word3, 1);
    EXPECT_TRUE(log.capture.waitFor(
        "Regist Status : 4 : " + std::to_string(sinkStatus.port()) + " sink status 1", 2000ms));
    EXPECT_TRUE(log.capture.waitFor("STATUS_ANS : 2 0 controll 1", 2000ms));
}

TEST_F(TargetTest, InformationTextsAndSyncNames) {
    startTarget();
    HostClient client = loopbackClient(*target);
    EXPECT_EQ(client.info(), std::optional<std::string>("info text"));
    EXPECT_EQ(client.version(), std::optional<std::string>("142_1"));
    Send url(QUORVEL::URL_REQ, 0);
    const auto emptyUrl = client.request(url, QUORVEL::URL_ANS);
    ASSERT_TRUE(emptyUrl);
    EXPECT_EQ(emptyUrl->status(), 0) << "an empty text is refused";
    EXPECT_TRUE(emptyUrl->payload().empty());

    const auto zero = client.text(0);
    ASSERT_TRUE(zero);
    EXPECT_TRUE(zero->accepted);
    EXPECT_EQ(zero->flag, 1);
    EXPECT_EQ(zero->text(), "zero");
    const auto four = client.text(4);
    ASSERT_TRUE(four);
    EXPECT_EQ(four->text(), "four");
    const auto listed = client.text(1, 1);
    ASSERT_TRUE(listed);
    EXPECT_TRUE(listed->accepted);
    EXPECT_EQ(listed->listSize, 2);
    EXPECT_EQ(listed->text(), "one-b");
    const auto beyond = client.text(5, 1);
    ASSERT_TRUE(beyond);
    EXPECT_FALSE(beyond->accepted);
    EXPECT_EQ(beyond->listSize, 1);
    EXPECT_TRUE(beyond->payload.empty());
    const auto offset = client.text(2);
    ASSERT_TRUE(offset);
    EXPECT_EQ(offset->payload, std::vector<uint8_t>(8, 0)) << "no clock offset known for this Host";
    const auto other = client.text(9);
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->accepted);
    EXPECT_EQ(other->selector, 9);

    VEMRA::SocketAddress local;
    local.address = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
    local.scope = 3;
    addresses.add(local);
    const auto own = client.text(3);
    ASSERT_TRUE(own);
    ASSERT_EQ(own->payload.size(), 16U);
    EXPECT_TRUE(std::equal(local.address.begin(), local.address.end(), own->payload.begin()));

    SendBuffer syncName;
    syncName.setHeader(QUORVEL::SYNCNAME_SET, 0, 77);
    syncName.setPayload("group", 5);
    const auto named = client.request(syncName, QUORVEL::PORT_ANS);
    ASSERT_TRUE(named) << "SYNCNAME_SET is answered with code 0x0003";
    EXPECT_EQ(named->status(), 1);
    EXPECT_TRUE(log.capture.waitFor("SYNCNAME_SET : group 77", 2000ms));
}

TEST_F(TargetTest, ClockSamplesFromLoopbackAreIgnored) {
    TargetInfo info = sampleInfo();
    info.synchroEnabled = true;
    startTarget(info);
    HostClient client = loopbackClient(*target);
    FakeChannel sink(target->boundDiscoveryPort());
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC"));
    SendBuffer synchro;
    synchro.setHeader(QUORVEL::SYNCHRO, 0, 0, 0, 0, 0);
    const uint8_t hostTime[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    synchro.setPayload(hostTime, sizeof(hostTime));
    ASSERT_TRUE(client.socket().send(synchro, client.target()));
    const auto offset = client.text(2);
    ASSERT_TRUE(offset);
    EXPECT_EQ(offset->payload, std::vector<uint8_t>(8, 0));
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC"));
    ASSERT_TRUE(client.version());
    EXPECT_FALSE(sink.channel().receive(QUORVEL::SYNC_FORWARD, 50ms)) << "no offsets to forward";
}

TEST_F(TargetTest, RebootIsAskedAndRequested) {
    TargetInfo refusing = sampleInfo();
    refusing.rebootAllowed = false;
    startTarget(refusing);
    {
        HostClient client = loopbackClient(*target);
        EXPECT_EQ(client.reboot(3), std::optional<bool>(false));
        EXPECT_EQ(target->result(), Target::Running);
    }
    target->stop();

    startTarget();
    HostClient client = loopbackClient(*target);
    Send ask(QUORVEL::REBOOT, 0, 0, 0, 0, 0);
    const auto allowed = client.request(ask, QUORVEL::REBOOT_ANS);
    ASSERT_TRUE(allowed);
    EXPECT_EQ(allowed->status(), 1);
    EXPECT_EQ(allowed->param0(), 0);
    ASSERT_TRUE(client.version()) << "mode 0 only asks; the loop goes on";
    EXPECT_EQ(target->result(), Target::Running);

    Send reboot(QUORVEL::REBOOT, 0, 5, 0, 0, 0);
    const auto accepted = client.request(reboot, QUORVEL::REBOOT_ANS);
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status(), 1);
    EXPECT_EQ(accepted->param0(), 5);
    ASSERT_TRUE(eventually([&] { return target->result() != Target::Running; }));
    EXPECT_EQ(target->result(), Target::RebootRequested);
    EXPECT_EQ(target->rebootMode(), 5);
    target->stop();
    EXPECT_EQ(target->result(), Target::RebootRequested) << "stop after the loop ended only closes and joins";
}

TEST_F(TargetTest, UnknownEvenCodesAreEchoedAndOddCodesDropped) {
    startTarget();
    HostClient client = loopbackClient(*target);
    Send unknown(0x0050, 0, 1, 2, 3, 4);
    const auto echo = client.request(unknown, 0x0050);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->status(), 0);
    EXPECT_EQ(echo->param0(), 0);
    EXPECT_EQ(echo->bytes.size(), 16U);
    // An internal even code without a handler gets the same echo.
    Send forward(QUORVEL::SYNC_FORWARD, 0);
    const auto internal = client.request(forward, QUORVEL::SYNC_FORWARD);
    ASSERT_TRUE(internal);
    EXPECT_EQ(internal->status(), 0);

    Send odd(0x0051, 1);
    const auto afterOdd = firstAnswerAfter(client, odd);
    ASSERT_TRUE(afterOdd);
    EXPECT_EQ(afterOdd->code(), QUORVEL::VERSION_ANS);
    EXPECT_TRUE(log.capture.waitFor("drop message :81", 2000ms));

    const uint8_t badMagic[16] = {99, 0, 16, 0};
    client.socket().sendBytes(badMagic, sizeof(badMagic), client.target());
    Send probe(QUORVEL::VERSION_REQ, 0);
    client.socket().send(probe, client.target());
    const auto afterBad = client.socket().receiveAny(2000ms);
    ASSERT_TRUE(afterBad);
    EXPECT_EQ(afterBad->code(), QUORVEL::VERSION_ANS);
    EXPECT_TRUE(log.capture.waitFor("Receive Data Err:16", 2000ms));
}

TEST_F(TargetTest, EchoesOfUnknownCodesAreLimitedPerSource) {
    // Two targets (or a target and anything else that echoes) on one link
    // would echo an unknown code to each other for ever.
    startTarget();
    HostClient client = loopbackClient(*target);
    const auto echoesBeforeProbe = [&](int requests) {
        for (int i = 0; i < requests; ++i) {
            Send unknown(0x0050, 0);
            client.socket().send(unknown, client.target());
        }
        Send probe(QUORVEL::VERSION_REQ, 0);
        client.socket().send(probe, client.target());
        int echoes = 0;
        while (const auto answer = client.socket().receiveAny(2000ms)) {
            if (answer->code() == QUORVEL::VERSION_ANS) {
                break;
            }
            echoes += answer->code() == 0x0050 ? 1 : 0;
        }
        return echoes;
    };
    const int burst = static_cast<int>(QUORVEL::AnswerPolicy::Config{}.echoBurst);
    EXPECT_EQ(echoesBeforeProbe(10), burst);
    EXPECT_EQ(echoesBeforeProbe(3), 0) << "no echo until time has passed";
    clock.advance(kSecond);
    EXPECT_EQ(echoesBeforeProbe(3), 1) << "one more echo a second";

    // The limit is per source address (every client here is ::1): after a
    // pause a Host's single probe gets its echo again.
    clock.advance(kSecond);
    HostClient other = loopbackClient(*target);
    Send unknown(0x0050, 0);
    EXPECT_TRUE(other.request(unknown, 0x0050));
}

TEST_F(TargetTest, MembershipScanTriesEachAddressOnceAndPausesWhilePlaying) {
    VEMRA::SocketAddress nowhere;
    nowhere.address = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
    nowhere.scope = 0x7FFFFFF0; // no such interface: the join fails
    addresses.add(nowhere);
    startTarget();
    ASSERT_TRUE(log.capture.waitFor("MULTI udp member error:", 2000ms));
    EXPECT_EQ(log.capture.count("Add Multi Member : fe80::1%2147483632"), 1U);
    ASSERT_EQ(target->failedMembers().size(), 1U);
    EXPECT_TRUE(target->joinedMembers().empty());

    // Later scans (every 5 s while idle) do not retry it.
    HostClient client = loopbackClient(*target);
    for (int i = 0; i < 3; ++i) {
        clock.advance(6 * kSecond);
        std::this_thread::sleep_for(60ms);
    }
    ASSERT_TRUE(client.version());
    log.capture.drain(50ms);
    EXPECT_EQ(log.capture.count("Add Multi Member : "), 1U);

    // While a sink is busy no scan runs; a new address is tried once it is idle.
    FakeChannel sink(target->boundDiscoveryPort());
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC", true));
    ASSERT_TRUE(eventually([&] { return target->playing(); }));
    VEMRA::SocketAddress later = nowhere;
    later.address[15] = 0x02;
    addresses.add(later);
    clock.advance(6 * kSecond);
    std::this_thread::sleep_for(100ms);
    log.capture.drain(50ms);
    EXPECT_EQ(log.capture.count("Add Multi Member : fe80::2"), 0U);
    ASSERT_TRUE(sink.portRegist(1, 0, "DAC", false));
    ASSERT_TRUE(eventually([&] { return !target->playing(); }));
    clock.advance(6 * kSecond);
    EXPECT_TRUE(log.capture.waitFor("Add Multi Member : fe80::2%2147483632", 2000ms));
}

TEST_F(TargetTest, FailedAddressEnumerationIsLogged) {
    addresses.setFailing(true);
    startTarget();
    EXPECT_TRUE(log.capture.waitFor("error getMyLocalAddresV6 Find::open", 2000ms));
    HostClient client = loopbackClient(*target);
    EXPECT_TRUE(client.version()) << "the loop goes on";
}

} // namespace
