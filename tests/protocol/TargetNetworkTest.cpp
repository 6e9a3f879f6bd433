// ctest-labels: threads
#include "foundation/AddressText.h"
#include "foundation/Clock.h"
#include "host/Discovery.h"
#include "protocol/MessageCode.h"
#include "protocol/Target.h"
#include "support/NetNamespace.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

using QUORVEL::HostClient;
using QUORVEL::SendBuffer;
using QUORVEL::Target;
using QUORVEL::TargetIdentity;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

namespace {

constexpr uint64_t kSecond = VEMRA::kPicosecondsPerSecond;

uint64_t readLe64(const uint8_t* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = value << 8 | at[i];
    }
    return value;
}

// A target in one namespace, a Host in another, a veth pair between them.
// The Target runs with the system's own ports: the namespace is the test's.
class TargetNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!runningAsRoot()) {
            GTEST_SKIP() << "network namespaces need root";
        }
        std::string failure;
        ASSERT_TRUE(net.setUp(failure)) << failure;
        targetIndex = net.target.interfaceIndex(VethNamespaces::kTargetInterface);
        hostIndex = net.host.interfaceIndex(VethNamespaces::kHostInterface);
        ASSERT_NE(targetIndex, 0U);
        ASSERT_NE(hostIndex, 0U);

        TargetInfo info = sampleInfo();
        info.synchroEnabled = true;
        info.syslogToLocal = true;
        Target::Config config;
        config.passTimeout = 20 * VEMRA::kPicosecondsPerMillisecond;
        target = std::make_unique<Target>(info, config);
        bool started = false;
        ASSERT_TRUE(net.target.run([&] { started = target->start(true); }));
        ASSERT_TRUE(started);
    }

    void TearDown() override {
        if (target) {
            target->stop();
        }
    }

    VEMRA::SocketAddress targetEndpoint() const {
        return *QUORVEL::hostEndpoint(VethNamespaces::kTargetAddress, Target::kDiscoveryPort, hostIndex);
    }

    bool sendSynchro(HostClient& client, uint16_t sequence, uint64_t hostTime) {
        SendBuffer synchro;
        synchro.setHeader(QUORVEL::SYNCHRO, 0, sequence, 0, 0, 0);
        uint8_t payload[8];
        for (int i = 0; i < 8; ++i) {
            payload[i] = static_cast<uint8_t>(hostTime >> (8 * i));
        }
        synchro.setPayload(payload, sizeof(payload));
        return client.socket().send(synchro, client.target());
    }

    VethNamespaces net;
    CapturedLog log;
    uint32_t targetIndex = 0;
    uint32_t hostIndex = 0;
    std::unique_ptr<Target> target;
};

TEST_F(TargetNetworkTest, HostDiscoversTheTargetOnItsLink) {
    const std::string member = "Add Multi Member : fe80::a%" + std::to_string(targetIndex);
    ASSERT_TRUE(log.capture.waitFor(member, 3000ms));
    const auto joined = target->joinedMembers();
    ASSERT_EQ(joined.size(), 1U) << "only the veth end has a link-local address in the namespace";
    EXPECT_EQ(VEMRA::addressText(joined[0]), "fe80::a");
    EXPECT_EQ(joined[0].scope, targetIndex);

    std::vector<TargetIdentity> found;
    ASSERT_TRUE(net.host.run([&] {
        found = QUORVEL::discoverTargets(VethNamespaces::kHostInterface, Target::kDiscoveryPort, 500ms);
    }));
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].targetId, 0x1122334455667788ULL);
    EXPECT_EQ(found[0].name, "TestTarget");
    EXPECT_EQ(VEMRA::addressText(found[0].endpoint), "fe80::a");
    EXPECT_EQ(found[0].endpoint.hostPort(), Target::kDiscoveryPort);
    EXPECT_EQ(found[0].endpoint.scope, hostIndex);
    EXPECT_TRUE(log.capture.waitFor("Receive DISCOVER : fe80::b%" + std::to_string(targetIndex), 2000ms));

    // Unicast queries over the link work like those over loopback.
    HostClient client(targetEndpoint());
    ASSERT_TRUE(net.host.run([&] { ASSERT_TRUE(client.open()); }));
    EXPECT_EQ(client.version(), std::optional<std::string>("142_1"));
    const auto own = client.text(3);
    ASSERT_TRUE(own);
    EXPECT_EQ(own->payload.size(), 16U) << "the target lists exactly its one link-local address";
}

TEST_F(TargetNetworkTest, TheTargetsOwnMulticastEchoIsBlocked) {
    ASSERT_TRUE(log.capture.waitFor("Add Multi Member : fe80::a", 3000ms));
    QUORVEL::HostSocket self;
    ASSERT_TRUE(net.target.run([&] { ASSERT_TRUE(self.open()); }));
    VEMRA::SocketAddress allNodes = *QUORVEL::hostEndpoint("ff02::1", Target::kDiscoveryPort, targetIndex);
    QUORVEL::Send discover(QUORVEL::DISCOVER, 0);
    ASSERT_TRUE(self.send(discover, allNodes));
    EXPECT_TRUE(log.capture.waitFor("Block : fe80::a%" + std::to_string(targetIndex), 2000ms));
    EXPECT_FALSE(self.receive(QUORVEL::DISCOVER_ANS, 100ms));
}

TEST_F(TargetNetworkTest, RegistrationsFromTheNetworkAreIgnored) {
    HostClient client(targetEndpoint());
    ASSERT_TRUE(net.host.run([&] { ASSERT_TRUE(client.open()); }));
    SendBuffer regist;
    regist.setHeader(QUORVEL::PORT_REGIST, 0, 1, 0, 0, 0);
    regist.setPayload("intruder", 8);
    ASSERT_TRUE(client.socket().send(regist, client.target()));
    SendBuffer status;
    status.setHeader(QUORVEL::STATUS_REGIST, 0, 1, 0, 0, 0);
    ASSERT_TRUE(client.socket().send(status, client.target()));

    const auto list = client.portBitmaps();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->largestKey1, 0);
    EXPECT_EQ(list->payload[0], 0);
    EXPECT_EQ(client.statusCount(), std::optional<uint16_t>(0));
}

TEST_F(TargetNetworkTest, ClockSamplesReachTheSinks) {
    HostClient client(targetEndpoint());
    ASSERT_TRUE(net.host.run([&] { ASSERT_TRUE(client.open()); }));

    // Namespaces share the monotonic clock: the Host claims to be 5 s ahead.
    ASSERT_TRUE(sendSynchro(client, 0, VEMRA::clockNow() + 5 * kSecond));
    const auto offset = client.text(2);
    ASSERT_TRUE(offset);
    ASSERT_EQ(offset->payload.size(), 8U);
    const auto published = static_cast<int64_t>(readLe64(offset->payload.data()));
    EXPECT_GT(published, static_cast<int64_t>(4 * kSecond));
    EXPECT_LT(published, static_cast<int64_t>(5 * kSecond));

    // A sink that registers now is told the Host's offset at once.
    std::unique_ptr<FakeChannel> sink;
    ASSERT_TRUE(net.target.run([&] {
        sink = std::make_unique<FakeChannel>(Target::kDiscoveryPort);
        ASSERT_TRUE(sink->portRegist(1, 0, "DAC"));
    }));
    const auto forward = sink->channel().receive(QUORVEL::SYNC_FORWARD, 2000ms);
    ASSERT_TRUE(forward);
    EXPECT_TRUE(forward->from.isLoopback());
    const auto record = forward->payload();
    ASSERT_EQ(record.size(), 26U);
    EXPECT_EQ(static_cast<int64_t>(readLe64(record.data())), published);
    const auto hostAddress = QUORVEL::hostEndpoint(VethNamespaces::kHostAddress, 0);
    EXPECT_TRUE(std::equal(hostAddress->address.begin(), hostAddress->address.end(), record.begin() + 8));
    EXPECT_EQ(record[24] | record[25] << 8, static_cast<int>(targetIndex & 0xFFFF));

    // A sample with a smaller offset is published and forwarded to every sink.
    ASSERT_TRUE(sendSynchro(client, 1, VEMRA::clockNow() + 2 * kSecond));
    const auto smaller = sink->channel().receive(QUORVEL::SYNC_FORWARD, 2000ms);
    ASSERT_TRUE(smaller);
    const auto newOffset = static_cast<int64_t>(readLe64(smaller->payload().data()));
    EXPECT_LT(newOffset, static_cast<int64_t>(2 * kSecond));
    EXPECT_GT(newOffset, static_cast<int64_t>(1 * kSecond));
    // A larger one within the window is only counted.
    ASSERT_TRUE(sendSynchro(client, 2, VEMRA::clockNow() + 9 * kSecond));
    ASSERT_TRUE(client.version());
    EXPECT_FALSE(sink->channel().receive(QUORVEL::SYNC_FORWARD, 100ms));
}

TEST_F(TargetNetworkTest, AnUnreachableDebugHostIsReportedOnce) {
    HostClient client(targetEndpoint());
    ASSERT_TRUE(net.host.run([&] { ASSERT_TRUE(client.open()); }));
    ASSERT_EQ(client.hostDebug(true), std::optional<bool>(true));
    QUORVEL::HostSocket logSide;
    QUORVEL::HostSocket collector; // the namespace's own [::1]:514
    ASSERT_TRUE(net.target.run([&] {
        ASSERT_TRUE(logSide.open(VEMRA::SocketAddress::loopback(0)));
        ASSERT_TRUE(collector.open(VEMRA::SocketAddress::loopback(Target::kLocalSyslogPort)));
    }));
    const VEMRA::SocketAddress relay = VEMRA::SocketAddress::loopback(Target::kRelayPort);
    const std::string line = "<134>Dec 06 21:09:39 localhost relayed";
    ASSERT_TRUE(logSide.sendBytes(line.data(), line.size(), relay));
    EXPECT_EQ(client.nextLogLine(2000ms), std::optional<std::string>("relayed"));

    // Without a route to the Host every relay fails. In the daemon the error
    // line itself comes back through the relay, so it is logged once per run
    // of failures rather than once per line.
    ASSERT_TRUE(net.target.command({"ip", "link", "set", VethNamespaces::kTargetInterface, "down"}));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(logSide.sendBytes(line.data(), line.size(), relay));
    }
    // The local copy of each line goes out just before the one to the Host.
    ASSERT_TRUE(collector.receiveAny(2000ms));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(collector.receiveAny(2000ms)) << i;
    }
    ASSERT_TRUE(log.capture.waitFor("UDP send error 361:", 2000ms));
    log.capture.drain(100ms);
    EXPECT_EQ(log.capture.count("UDP send error 361:"), 1U);
}

} // namespace
