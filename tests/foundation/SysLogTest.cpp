// ctest-labels: threads
#include "foundation/SysLog.h"
#include "foundation/Log.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Sender = VEMRA::SysLog::SysLogSendStdC;
using namespace std::chrono_literals;

// A datagram receiver on [::1] with a port of the system's choice.
class LoopbackReceiver {
public:
    LoopbackReceiver() {
        fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_addr = in6addr_loopback;
        socklen_t size = sizeof(local);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
            return;
        }
        port = ntohs(local.sin6_port);
    }
    ~LoopbackReceiver() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    LoopbackReceiver(const LoopbackReceiver&) = delete;
    LoopbackReceiver& operator=(const LoopbackReceiver&) = delete;

    std::optional<std::string> receive(int timeoutMs) const {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
        if (got < 0) {
            return std::nullopt;
        }
        return std::string(buffer, static_cast<size_t>(got));
    }

    uint16_t port = 0;

private:
    int fd = -1;
};

// Everything written to a temporary stream so far, read without moving the
// stream's own position.
std::string contents(std::FILE* stream) {
    std::string text;
    char buffer[8192];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fileno(stream), buffer, sizeof(buffer), offset);
        if (got <= 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
}

bool waitForText(std::FILE* stream, const std::string& wanted, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (contents(stream).find(wanted) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// "worker W line N" with W in 0..2 and N a decimal number.
bool isWorkerLine(const std::string& line) {
    const std::string_view prefix = "worker ";
    const std::string_view middle = " line ";
    if (line.size() <= prefix.size() + 1 + middle.size() || line.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const char worker = line[prefix.size()];
    if (worker < '0' || worker > '2' || line.compare(prefix.size() + 1, middle.size(), middle) != 0) {
        return false;
    }
    const std::string number = line.substr(prefix.size() + 1 + middle.size());
    return number.find_first_not_of("0123456789") == std::string::npos;
}

// A line as commit would hand it to the sender.
std::string stampedLine(const std::string& body, uint8_t priority = 134) {
    VEMRA::LogRecord record(priority);
    record.append(std::string_view(body));
    const std::tm time{};
    const size_t start = record.stampHeader(time);
    return std::string(record.text + start, record.length - start);
}

std::string headerTime(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[32];
    std::strftime(text, sizeof(text), "%b %d %H:%M:%S", &local);
    return text;
}

class SysLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(receiver.port, 0);
        ASSERT_NE(stream, nullptr);
        VEMRA::setLogThreshold(VEMRA::kLogInfo);
    }
    void TearDown() override {
        VEMRA::stopStdoutSender();
        VEMRA::destroyProcessLogger();
        if (stream != nullptr) {
            std::fclose(stream);
        }
    }

    LoopbackReceiver receiver;
    std::FILE* stream = std::tmpfile();
};

TEST_F(SysLogTest, EachLevelReachesTheLoopbackPortAndStandardOutputAsConfigured) {
    setenv("TZ", "UTC", 1);
    tzset();
    ASSERT_TRUE(VEMRA::openLog(16, receiver.port, true, stream));
    ASSERT_TRUE(VEMRA::setLogLevel(6, receiver.port));
    EXPECT_EQ(VEMRA::logFacility(), 16U);
    EXPECT_EQ(VEMRA::processLogger()->getDestination(), VEMRA::SocketAddress::loopback(receiver.port));

    // Filtered out: no record at all.
    EXPECT_EQ(VEMRA::logLine(VEMRA::kLogDebug, "hidden debug").get(), nullptr);

    // Template only: a bare header datagram and nothing on standard output.
    {
        auto record = VEMRA::newRecord(VEMRA::kLogInfo);
        ASSERT_NE(record, nullptr);
        VEMRA::commit(*record);
    }
    const std::time_t before = std::time(nullptr);
    VEMRA::logLine(VEMRA::kLogInfo, "Detect Dev: ") << std::string("/dev/snd/pcmC1D0p");
    const std::time_t after = std::time(nullptr);

    // Loopback datagrams arrive in order: the first one is the bare header,
    // so the debug request sent nothing.
    const auto bare = receiver.receive(2000);
    ASSERT_TRUE(bare.has_value());
    EXPECT_EQ(bare->size(), 31U);
    EXPECT_EQ(bare->substr(0, 5), "<134>");
    EXPECT_EQ(bare->substr(20), " localhost ");

    const auto info = receiver.receive(2000);
    ASSERT_TRUE(info.has_value());
    const std::string header = info->substr(0, 31);
    EXPECT_EQ(info->substr(31), "Detect Dev: /dev/snd/pcmC1D0p");
    EXPECT_EQ(header.substr(0, 5), "<134>");
    EXPECT_EQ(header.substr(20), " localhost ");
    const std::string stampedTime = header.substr(5, 15);
    EXPECT_TRUE(stampedTime == headerTime(before) || stampedTime == headerTime(after)) << stampedTime;
    EXPECT_FALSE(receiver.receive(50).has_value());

    ASSERT_TRUE(waitForText(stream, "Detect Dev: /dev/snd/pcmC1D0p\n"));
    VEMRA::stopStdoutSender();
    EXPECT_EQ(contents(stream), "Detect Dev: /dev/snd/pcmC1D0p\n");
}

TEST_F(SysLogTest, ShortPrioritiesShortenTheDatagramButNotTheBody) {
    ASSERT_TRUE(VEMRA::openLog(0, receiver.port, true, stream));
    VEMRA::logLine(VEMRA::kLogInfo, "abcdef");
    VEMRA::setLogFacility(1);
    VEMRA::logLine(VEMRA::kLogError, "three");

    const auto one = receiver.receive(2000);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->size(), 31U - 2 + 6);
    EXPECT_EQ(one->substr(0, 3), "<6>");
    EXPECT_EQ(one->substr(18), " localhost abcdef");

    const auto two = receiver.receive(2000);
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(two->size(), 31U - 1 + 5);
    EXPECT_EQ(two->substr(0, 4), "<11>");

    // Standard output carries the whole message behind the shorter header.
    ASSERT_TRUE(waitForText(stream, "three\n"));
    VEMRA::stopStdoutSender();
    EXPECT_EQ(contents(stream), "abcdef\nthree\n");
}

TEST_F(SysLogTest, WithoutStandardOutputOnlyDatagramsAreSent) {
    ASSERT_TRUE(VEMRA::openLog(16, receiver.port, false, stream));
    EXPECT_EQ(VEMRA::logOutput(), nullptr);
    VEMRA::logLine(VEMRA::kLogError, "socket open6 fail");
    const auto line = receiver.receive(2000);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->substr(0, 5), "<131>");
    EXPECT_EQ(line->substr(31), "socket open6 fail");

    // Without a process logger a commit goes nowhere.
    VEMRA::destroyProcessLogger();
    EXPECT_EQ(VEMRA::logFacility(), 0U);
    VEMRA::logLine(VEMRA::kLogError, "lost");
    EXPECT_FALSE(receiver.receive(50).has_value());
    EXPECT_EQ(contents(stream), "");
}

TEST_F(SysLogTest, FullRingMakesTheProducerWaitThenDrop) {
    // Not started: nothing drains the ring.
    Sender sender(stream);
    for (int i = 0; i < 119; ++i) {
        sender.enqueue(stampedLine("body " + std::to_string(i)).c_str());
    }
    EXPECT_EQ(contents(stream), "");
    sender.enqueue(stampedLine("dropped").c_str());
    EXPECT_EQ(contents(stream), "wait debug out\ntimeout debug out\n");

    // Once the sender runs, the waiting bodies come out in order.
    sender.start();
    ASSERT_TRUE(waitForText(stream, "body 118\n"));
    sender.stop();
    const std::vector<std::string> lines = linesOf(contents(stream));
    ASSERT_EQ(lines.size(), 121U);
    for (int i = 0; i < 119; ++i) {
        EXPECT_EQ(lines[static_cast<size_t>(i) + 2], "body " + std::to_string(i));
    }
}

TEST_F(SysLogTest, StoppingTheSenderPrintsTheBodiesStillWaiting) {
    Sender sender(stream);
    sender.start();
    // Give the sender time to go to sleep on an empty ring; producers below
    // the full mark do not wake it.
    std::this_thread::sleep_for(20ms);
    for (int i = 0; i < 50; ++i) {
        sender.enqueue(stampedLine("last " + std::to_string(i)).c_str());
    }
    sender.stop();
    const std::vector<std::string> lines = linesOf(contents(stream));
    ASSERT_EQ(lines.size(), 50U);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(lines[static_cast<size_t>(i)], "last " + std::to_string(i));
    }
}

TEST_F(SysLogTest, FullRingOfAStoppedSenderDropsAtOnce) {
    Sender sender(stream);
    for (int i = 0; i < 119; ++i) {
        sender.enqueue(stampedLine("body").c_str());
    }
    sender.stop();
    sender.enqueue(stampedLine("dropped").c_str());
    EXPECT_EQ(contents(stream), "timeout debug out\n");
}

TEST_F(SysLogTest, LongBodyIsCutToItsSlot) {
    Sender sender(stream);
    const std::string longBody(1600, 'L');
    sender.enqueue(stampedLine(longBody).c_str());
    EXPECT_EQ(std::string(sender.slot(0)), longBody.substr(0, Sender::kSlotSize - 1));
    for (size_t i = 0; i < Sender::kSlotSize; ++i) {
        ASSERT_EQ(sender.slot(1)[i], '\0') << "byte " << i << " of the next slot";
    }
    sender.enqueue(stampedLine("next").c_str());
    EXPECT_STREQ(sender.slot(1), "next");
    EXPECT_EQ(std::strlen(sender.slot(0)), Sender::kSlotSize - 1);

    // A bare header is not queued at all.
    sender.enqueue(stampedLine("").c_str());
    EXPECT_EQ(sender.slot(2)[0], '\0');
    sender.enqueue(stampedLine("after").c_str());
    EXPECT_STREQ(sender.slot(2), "after");
}

TEST_F(SysLogTest, ReplacingSenderAndLoggerWhileOthersLogIsSafe) {
    ASSERT_TRUE(VEMRA::openLog(16, receiver.port, true, stream));
    std::atomic<bool> go{true};
    std::vector<std::thread> producers;
    for (int worker = 0; worker < 3; ++worker) {
        producers.emplace_back([worker, &go] {
            for (int line = 0; go.load(std::memory_order_relaxed) && line < 400; ++line) {
                VEMRA::logLine(VEMRA::kLogInfo, "worker ") << worker << " line " << line;
            }
        });
    }
    for (int round = 0; round < 6; ++round) {
        if (round % 2 == 0) {
            VEMRA::SysLog* logger = VEMRA::processLogger();
            ASSERT_NE(logger, nullptr);
            EXPECT_TRUE(VEMRA::configureLog(*logger, 16, &VEMRA::enqueueStdout, receiver.port, stream));
        } else {
            EXPECT_TRUE(VEMRA::openLog(16, receiver.port, true, stream));
        }
        std::this_thread::sleep_for(2ms);
    }
    go.store(false);
    for (std::thread& producer : producers) {
        producer.join();
    }
    VEMRA::logLine(VEMRA::kLogInfo, "final marker");
    ASSERT_TRUE(waitForText(stream, "final marker\n"));
    VEMRA::stopStdoutSender();

    // Bodies may be dropped while senders change, but never torn or mixed.
    const std::vector<std::string> lines = linesOf(contents(stream));
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_TRUE(isWorkerLine(line) || line == "final marker" || line == "wait debug out" ||
                    line == "timeout debug out")
            << line;
    }
}

} // namespace
