// ctest-labels: threads
#include "foundation/Log.h"
#include "foundation/SysLog.h"
#include "protocol/MessageCode.h"
#include "protocol/Target.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

#include <string>

using QUORVEL::HostClient;
using QUORVEL::HostSocket;
using QUORVEL::Target;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

namespace {

constexpr size_t kHeader = 31;

std::vector<uint8_t> syslogLine(const std::string& body) {
    const std::string line = "<134>Dec 06 21:09:39 localhost " + body;
    return std::vector<uint8_t>(line.begin(), line.end());
}

// The relay's neighbours: a local collector standing in for [::1]:514 and the
// process logger's side, a socket that sends lines to the relay port.
class TargetRelayTest : public ::testing::Test {
protected:
    void startTarget(bool syslogToLocal, ManualClock* manualClock = nullptr) {
        ASSERT_TRUE(collector.open(VEMRA::SocketAddress::loopback(0)));
        ASSERT_TRUE(logSide.open(VEMRA::SocketAddress::loopback(0)));
        TargetInfo info = sampleInfo();
        info.syslogToLocal = syslogToLocal;
        Target::Config config = loopbackConfig(manualClock);
        config.localSyslogPort = collector.localPort();
        target = std::make_unique<Target>(info, config);
        ASSERT_TRUE(target->start(true));
        relay = VEMRA::SocketAddress::loopback(target->boundRelayPort());
    }

    void TearDown() override {
        if (target) {
            target->stop();
        }
    }

    void sendLine(const std::vector<uint8_t>& line) {
        ASSERT_TRUE(logSide.sendBytes(line.data(), line.size(), relay));
    }

    CapturedLog log;
    ManualClock clock; // outlives the Target, which stops in TearDown
    HostSocket collector;
    HostSocket logSide;
    VEMRA::SocketAddress relay;
    std::unique_ptr<Target> target;
};

TEST_F(TargetRelayTest, LinesReachTheLocalCollectorUnchangedAndTheHostWithoutHeader) {
    startTarget(true);
    HostClient client = loopbackClient(*target);
    EXPECT_EQ(client.hostDebug(true), std::optional<bool>(true));
    ASSERT_TRUE(log.capture.waitFor("Host Debug : ::1%", 2000ms));

    const std::vector<uint8_t> line = syslogLine("hello relay");
    sendLine(line);
    const auto local = collector.receiveAny(2000ms);
    ASSERT_TRUE(local);
    EXPECT_EQ(local->bytes, line);
    EXPECT_EQ(client.nextLogLine(2000ms), std::optional<std::string>("hello relay"));

    // A datagram is received in at most 1500 bytes; the Host gets it without the header.
    std::string body(1600, 'x');
    for (size_t i = 0; i < body.size(); ++i) {
        body[i] = static_cast<char>('a' + i % 26);
    }
    const std::vector<uint8_t> longLine = syslogLine(body);
    sendLine(longLine);
    const auto cut = collector.receiveAny(2000ms);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->bytes, std::vector<uint8_t>(longLine.begin(), longLine.begin() + 1500));
    const auto forwarded = client.nextLogLine(2000ms);
    ASSERT_TRUE(forwarded);
    EXPECT_EQ(forwarded->size(), 1469U);
    EXPECT_EQ(*forwarded, body.substr(0, 1469));

    const std::vector<uint8_t> headerOnly(line.begin(), line.begin() + kHeader);
    sendLine(headerOnly);
    EXPECT_EQ(client.nextLogLine(2000ms), std::optional<std::string>(""));

    EXPECT_EQ(client.hostDebug(false), std::optional<bool>(true));
    ASSERT_TRUE(log.capture.waitFor("Host Debug : disable", 2000ms));
    collector.drain();
    sendLine(line);
    ASSERT_TRUE(collector.receiveAny(2000ms));
    EXPECT_FALSE(client.nextLogLine(100ms)) << "relaying to the Host is off";
}

TEST_F(TargetRelayTest, WithoutLocalSyslogOnlyTheHostGetsLines) {
    startTarget(false);
    HostClient client = loopbackClient(*target);
    ASSERT_EQ(client.hostDebug(true), std::optional<bool>(true));
    sendLine(syslogLine("only host"));
    EXPECT_EQ(client.nextLogLine(2000ms), std::optional<std::string>("only host"));
    EXPECT_FALSE(collector.receiveAny(50ms));
}

TEST_F(TargetRelayTest, TheRelayToAHostIsBoundedInLinesPerSecond) {
    // Whoever sends HOST_DEBUG chooses where the lines go (any address and
    // port: the protocol has no authentication), so the relay must not turn
    // into a steady stream at somebody else. The Target's time stands still
    // unless the test moves it; the local collector gets every line, which
    // shows when the Target has taken them all.
    startTarget(true, &clock);
    HostClient client = loopbackClient(*target);
    ASSERT_EQ(client.hostDebug(true), std::optional<bool>(true));
    const auto relayedUntil = [&](const std::string& last) {
        for (;;) {
            const auto line = collector.receiveAny(10000ms);
            if (!line || std::string(line->bytes.begin(), line->bytes.end()).ends_with(last)) {
                break;
            }
        }
        std::vector<std::string> lines;
        while (const auto line = client.nextLogLine(200ms)) {
            lines.push_back(*line);
        }
        return lines;
    };

    // Few enough that the relay socket's receive buffer holds them all, even
    // while the Target's idle-class thread waits for a busy machine.
    constexpr int kLines = 200;
    for (int i = 0; i < kLines; ++i) {
        sendLine(syslogLine("line " + std::to_string(i)));
    }
    sendLine(syslogLine("end of flood"));
    const auto burst = relayedUntil("end of flood");
    ASSERT_EQ(burst.size(), Target::kRelayBurst) << "a burst, then nothing while no time passes";
    EXPECT_EQ(burst.front(), "line 0");
    EXPECT_EQ(burst.back(), "line " + std::to_string(Target::kRelayBurst - 1));

    // A second later the relay has room for kRelayLinesPerSecond lines: first
    // a note of what the Host missed, then the lines.
    clock.advance(VEMRA::kPicosecondsPerSecond);
    for (int i = 0; i < 30; ++i) {
        sendLine(syslogLine("later " + std::to_string(i)));
    }
    const auto later = relayedUntil("later 29");
    ASSERT_EQ(later.size(), Target::kRelayLinesPerSecond);
    EXPECT_EQ(later.front(),
              "Host Debug : " + std::to_string(kLines - Target::kRelayBurst + 1) + " lines not relayed");
    EXPECT_EQ(later[1], "later 0");
    EXPECT_EQ(later.back(), "later " + std::to_string(Target::kRelayLinesPerSecond - 2));
}

TEST(TargetRelayLogger, TheProcessLoggerFeedsTheRelay) {
    LogListener collector;
    TargetInfo info = sampleInfo();
    info.syslogToLocal = true;
    Target::Config config = loopbackConfig();
    config.localSyslogPort = collector.port();
    Target target(info, config);
    ASSERT_TRUE(target.start(true));
    VEMRA::openLog(16, target.boundRelayPort(), false);
    VEMRA::setLogLevel(VEMRA::kLogInfo, target.boundRelayPort());

    HostClient client = loopbackClient(target);
    ASSERT_EQ(client.hostDebug(true), std::optional<bool>(true));
    VEMRA::logLine(VEMRA::kLogInfo, "relay me ") << 42;
    EXPECT_TRUE(collector.waitFor("relay me 42", 2000ms));
    bool seen = false;
    while (const auto line = client.nextLogLine(2000ms)) {
        if (*line == "relay me 42") {
            seen = true;
            break;
        }
    }
    EXPECT_TRUE(seen);
    target.stop();
    VEMRA::destroyProcessLogger();
}

} // namespace
