// ctest-labels: threads
#include "protocol/AnswerPolicy.h"

#include "foundation/Socket.h"
#include "host/HostSocket.h"
#include "protocol/MessageCode.h"
#include "protocol/OwnPort.h"
#include "support/LogCapture.h"
#include "support/NetNamespace.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace QUORVEL {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kSecond = VEMRA::kPicosecondsPerSecond;
constexpr uint64_t kMillisecond = VEMRA::kPicosecondsPerMillisecond;

VEMRA::SocketAddress address(const char* text, uint16_t port, uint32_t scope = 0) {
    return *hostEndpoint(text, port, scope);
}

AnswerPolicy::Config manualConfig(ManualClock& clock) {
    AnswerPolicy::Config config;
    config.clock = clock.function();
    return config;
}

TEST(AnswerPolicyTest, AdmitsRequestsOnly) {
    ManualClock clock;
    AnswerPolicy policy(manualConfig(clock));
    const auto host = address("fe80::b", 40000, 2);
    EXPECT_TRUE(policy.admits(host, VERSION_REQ));
    EXPECT_FALSE(policy.admits(host, VERSION_ANS)) << "an answer is never answered";
    EXPECT_TRUE(policy.admits(VEMRA::SocketAddress::loopback(40000), STATUS_REGIST)) << "internal codes pass";
    EXPECT_FALSE(policy.admits(address("fe80::b", 0, 2), VERSION_REQ)) << "no answer can reach port 0";
    EXPECT_FALSE(policy.admits(VEMRA::SocketAddress::loopback(0), PORT_REGIST));
}

TEST(AnswerPolicyTest, RefusesTheProcesssOwnSockets) {
    ManualClock clock;
    AnswerPolicy policy(manualConfig(clock));
    HostSocket channel;
    ASSERT_TRUE(channel.open(VEMRA::SocketAddress::loopback(0)));
    const uint16_t port = channel.localPort();
    const auto self = VEMRA::SocketAddress::loopback(port);
    EXPECT_TRUE(policy.admits(self, VERSION_REQ));
    {
        OwnPort own;
        own.set(port);
        EXPECT_TRUE(OwnPort::isOwn(port));
        EXPECT_FALSE(policy.admits(self, VERSION_REQ)) << "a forged datagram from one of the channels";
        EXPECT_TRUE(policy.admits(self, PORT_REGIST)) << "the channels' own registrations";
        EXPECT_TRUE(policy.admits(address("fe80::dead:beef", port, 2), VERSION_REQ))
            << "the same port on another machine";
        own.clear();
        EXPECT_FALSE(OwnPort::isOwn(port));
        EXPECT_TRUE(policy.admits(self, VERSION_REQ));
        own.set(port);
    }
    EXPECT_FALSE(OwnPort::isOwn(port)) << "the holder lets go when it goes";
}

TEST(AnswerPolicyTest, EchoesPerSourceAddressRefillWithTime) {
    ManualClock clock;
    AnswerPolicy::Config config = manualConfig(clock);
    config.echoBurst = 3;
    AnswerPolicy policy(config);
    const auto first = address("fe80::1", 19642, 2);
    const auto firstOtherPort = address("fe80::1", 19644, 2);
    const auto second = address("fe80::2", 19642, 2);
    EXPECT_TRUE(policy.mayEcho(first));
    EXPECT_TRUE(policy.mayEcho(firstOtherPort)) << "per address: the ports share";
    EXPECT_TRUE(policy.mayEcho(first));
    EXPECT_FALSE(policy.mayEcho(first));
    EXPECT_TRUE(policy.mayEcho(second));
    clock.advance(kSecond / 2);
    EXPECT_FALSE(policy.mayEcho(first));
    clock.advance(kSecond / 2);
    EXPECT_TRUE(policy.mayEcho(first));
    EXPECT_FALSE(policy.mayEcho(first));
    clock.advance(60 * kSecond);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(policy.mayEcho(first)) << i;
    }
    EXPECT_FALSE(policy.mayEcho(first)) << "never more than the burst";
}

TEST(AnswerPolicyTest, TheSourceTableStaysFixedWhenSourcesChurn) {
    ManualClock clock;
    AnswerPolicy::Config config = manualConfig(clock);
    config.echoBurst = 1;
    AnswerPolicy policy(config);
    const auto kept = address("fe80::1", 19642, 2);
    EXPECT_TRUE(policy.mayEcho(kept));
    EXPECT_FALSE(policy.mayEcho(kept));
    // Fewer newcomers than the table holds: the old entry stays.
    for (uint32_t i = 0; i < AnswerPolicy::kSourceTableSize - 1; ++i) {
        VEMRA::SocketAddress other = address("fe80::", 19642, 2);
        other.address[12] = static_cast<uint8_t>(i >> 8);
        other.address[13] = static_cast<uint8_t>(i);
        clock.advance(kMillisecond);
        EXPECT_TRUE(policy.mayEcho(other));
    }
    EXPECT_FALSE(policy.mayEcho(kept));
    // Many more: the table replaces its oldest entries and never grows.
    for (uint32_t i = 0; i < 20000; ++i) {
        VEMRA::SocketAddress other = address("fe80::", 19642, 2);
        other.address[11] = 1;
        other.address[12] = static_cast<uint8_t>(i >> 8);
        other.address[13] = static_cast<uint8_t>(i);
        clock.advance(1);
        EXPECT_TRUE(policy.mayEcho(other));
    }
    EXPECT_TRUE(policy.mayEcho(kept)) << "forgotten and met again";
}

// Two sockets in a namespace of the test with two addresses on its loopback
// interface that are not ::1 (so the byte budgets apply), or with a veth pair
// on which nobody answers neighbour solicitations.
class AnswerPolicyNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        if (!runningAsRoot()) {
            GTEST_SKIP() << "network namespaces need root";
        }
        ASSERT_TRUE(space.isValid());
        for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
                 {"ip", "link", "set", "lo", "up"},
                 {"ip", "-6", "addr", "add", "fd00::1/128", "dev", "lo", "nodad"},
                 {"ip", "-6", "addr", "add", "fd00::2/128", "dev", "lo", "nodad"},
                 {"ip", "link", "add", "qa", "type", "veth", "peer", "name", "qb"},
                 {"ip", "link", "set", "qa", "addrgenmode", "none"},
                 {"ip", "link", "set", "qb", "addrgenmode", "none"},
                 {"ip", "-6", "addr", "add", "fe80::a/64", "dev", "qa", "nodad"},
                 {"ip", "link", "set", "qa", "up"},
                 {"ip", "link", "set", "qb", "up"}}) {
            ASSERT_TRUE(space.command(step)) << step[3];
        }
        vethIndex = space.interfaceIndex("qa");
        ASSERT_NE(vethIndex, 0U);
        space.run([&] {
            VEMRA::SocketAddress any;
            opened =
                sender.open(VEMRA::Socket::UdpV6Only) && sender.bind(any, 0) && sender.setBlocking(false);
            opened = opened && first.open(address("fd00::1", 0)) && second.open(address("fd00::2", 0));
        });
        ASSERT_TRUE(opened);
    }

    AnswerPolicy::Outcome sendFrom(AnswerPolicy& policy, size_t bytes, const VEMRA::SocketAddress& to) {
        const std::vector<uint8_t> datagram(bytes, 0x5A);
        return policy.send(sender, datagram, to, "UDP send error ", 1);
    }

    CapturedLog log;
    NetNamespace space;
    VEMRA::Socket sender;
    HostSocket first;
    HostSocket second;
    uint32_t vethIndex = 0;
    bool opened = false;
};

TEST_F(AnswerPolicyNetwork, AnswerBytesAreBudgetedPerSourceAndInTotal) {
    ManualClock clock;
    AnswerPolicy::Config config = manualConfig(clock);
    config.sourceStart = 1000;
    config.sourceBurst = 3000;
    config.sourceRate = 10000;
    config.totalBurst = 3600;
    config.totalRate = 20000;
    AnswerPolicy policy(config);
    const auto toFirst = address("fd00::1", first.localPort());
    const auto toSecond = address("fd00::2", second.localPort());
    using Outcome = AnswerPolicy::Outcome;

    // A new source starts small.
    EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Sent);
    EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Dropped);
    // 0.1 s at 10 000 bytes a second: 1000 more.
    clock.advance(100 * kMillisecond);
    EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Sent);
    EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Sent);
    EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Dropped);
    // At most the burst, however long the pause.
    clock.advance(10 * kSecond);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Sent) << i;
    }
    EXPECT_EQ(sendFrom(policy, 600, toFirst), Outcome::Dropped);
    // The total: 3600 after the pause, 3000 of them taken above.
    EXPECT_EQ(sendFrom(policy, 600, toSecond), Outcome::Sent);
    EXPECT_EQ(sendFrom(policy, 300, toSecond), Outcome::Dropped) << "the total is spent";
    EXPECT_EQ(policy.droppedAnswers(), 4U);

    int received = 0;
    while (first.receiveAny(50ms)) {
        ++received;
    }
    EXPECT_EQ(received, 8);
    EXPECT_TRUE(second.receiveAny(50ms));
    EXPECT_TRUE(log.capture.waitFor("Answer limit : fd00::1%0,", 2000ms));

    // ::1 is the machine itself: no budget.
    space.run([&] {
        HostSocket local;
        ASSERT_TRUE(local.open(VEMRA::SocketAddress::loopback(0)));
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(sendFrom(policy, 1000, VEMRA::SocketAddress::loopback(local.localPort())),
                      Outcome::Sent);
        }
    });
}

TEST_F(AnswerPolicyNetwork, AnswersWaitingForANeighbourNeverFillTheBuffer) {
    ManualClock clock;
    AnswerPolicy::Config config = manualConfig(clock);
    config.sendBufferBytes = 64 * 1024; // the kernel grants twice that
    config.sourceStart = 1 << 20;
    config.sourceBurst = 1 << 20;
    config.totalBurst = 1 << 30;
    AnswerPolicy policy(config);
    policy.attach(sender);
    using Outcome = AnswerPolicy::Outcome;

    // Answers to addresses nobody owns wait three seconds for the neighbour.
    int sent = 0;
    int dropped = 0;
    for (uint32_t i = 1; i <= 200; ++i) {
        VEMRA::SocketAddress stranger = address("fe80::", 4000, vethIndex);
        stranger.address[14] = static_cast<uint8_t>(i >> 8);
        stranger.address[15] = static_cast<uint8_t>(i);
        const Outcome outcome = sendFrom(policy, 1000, stranger);
        ASSERT_NE(outcome, Outcome::Broken);
        (outcome == Outcome::Sent ? sent : dropped) += 1;
    }
    EXPECT_GT(sent, 10);
    EXPECT_GT(dropped, 0) << "the answers stopped at their share of the buffer";
    const int queued = sender.queuedBytes();
    EXPECT_GT(queued, 0);
    EXPECT_LE(queued, 64 * 1024 + 4096) << "half the buffer at most (plus one answer)";

    // The other half stays free: a message that must go (a registration) goes at once.
    space.run([&] {
        HostSocket local;
        ASSERT_TRUE(local.open(VEMRA::SocketAddress::loopback(0)));
        const std::vector<uint8_t> registration(200, 1);
        EXPECT_TRUE(sender.sendToNow(registration.data(), registration.size(),
                                     VEMRA::SocketAddress::loopback(local.localPort())));
        EXPECT_TRUE(local.receiveAny(1000ms));
    });
}

TEST_F(AnswerPolicyNetwork, OnlyABrokenSocketIsReportedAsSuch) {
    ManualClock clock;
    AnswerPolicy policy(manualConfig(clock));
    using Outcome = AnswerPolicy::Outcome;
    // Destinations the kernel refuses: dropped, the socket is fine.
    EXPECT_EQ(sendFrom(policy, 16, address("fd00::1", 0)), Outcome::Dropped);
    EXPECT_EQ(policy.lastError(), EINVAL);
    EXPECT_EQ(sendFrom(policy, 16, address("fe80::1", 4000, 999)), Outcome::Dropped) << "no such interface";
    EXPECT_EQ(sendFrom(policy, 16, address("2001:db8::1", 4000)), Outcome::Dropped) << "no route";
    EXPECT_EQ(policy.lastError(), ENETUNREACH);
    VEMRA::SocketAddress mapped;
    mapped.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    mapped.setHostPort(4000);
    EXPECT_EQ(sendFrom(policy, 16, mapped), Outcome::Dropped) << "IPv4 on an IPv6-only socket";
    // A closed socket is broken.
    VEMRA::Socket closed;
    ASSERT_TRUE(closed.open(VEMRA::Socket::UdpV6Only));
    closed.close();
    const std::vector<uint8_t> datagram(16, 0);
    EXPECT_EQ(policy.send(closed, datagram, address("fd00::1", first.localPort()), "UDP send error ", 2),
              Outcome::Broken);
    EXPECT_EQ(policy.lastError(), EBADF);
    EXPECT_TRUE(AnswerPolicy::isSocketBroken(ENOTSOCK));
    for (const int error :
         {EINVAL, EHOSTUNREACH, ENETUNREACH, EACCES, EPERM, EAGAIN, ENOBUFS, EADDRNOTAVAIL}) {
        EXPECT_FALSE(AnswerPolicy::isSocketBroken(error)) << error;
    }
}

TEST(AnswerPolicyLines, FailureLinesAreBoundedPerSecond) {
    AnswerPolicy::LineBudget budget(5);
    const uint64_t start = 1000 * kSecond;
    int allowed = 0;
    for (int i = 0; i < 100; ++i) {
        allowed += budget.allow(start + static_cast<uint64_t>(i) * kMillisecond) ? 1 : 0;
    }
    EXPECT_EQ(allowed, 5);
    CapturedLog log;
    EXPECT_TRUE(budget.allow(start + 2 * kSecond));
    EXPECT_TRUE(log.capture.waitFor("Answer log lines skipped : 95", 2000ms));
}

} // namespace
} // namespace QUORVEL
