// ctest-labels: threads
#include "foundation/RealtimeLog.h"
#include "foundation/Log.h"
#include "foundation/SysLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex gMutex;
std::vector<std::string> gBodies; // guarded by gMutex

void keep(const char* stampedLine) {
    std::lock_guard<std::mutex> lock(gMutex);
    gBodies.emplace_back(VEMRA::SysLog::SysLogSendStdC::bodyOf(stampedLine));
}

// Installs a process logger that keeps the bodies of the committed lines.
class KeptLines {
public:
    KeptLines() {
        gBodies.clear();
        auto* logger = new VEMRA::SysLog();
        logger->setOutput(&keep);
        previous = VEMRA::replaceProcessLogger(logger);
        VEMRA::setLogThreshold(VEMRA::kLogDebug);
    }
    ~KeptLines() {
        VEMRA::flushRealtimeLog();
        VEMRA::setLogThreshold(VEMRA::kLogInfo);
        delete VEMRA::replaceProcessLogger(previous);
    }
    std::vector<std::string> bodies() const {
        std::lock_guard<std::mutex> lock(gMutex);
        return gBodies;
    }

private:
    VEMRA::SysLog* previous = nullptr;
};

void logMixedLine(int serial) {
    VEMRA::SocketAddress address = VEMRA::SocketAddress::loopback(19643);
    VEMRA::logLine(VEMRA::kLogInfo, "mixed ")
        << serial << " " << -5 << ' ' << uint16_t{65535} << " " << uint64_t{1} << 40 << " " << 2.5 << " "
        << std::string("text") << " " << address << " " << static_cast<const char*>(nullptr) << "end";
    VEMRA::logLine(VEMRA::kLogInfo, "hex ").hex(0xABCDEF).bytes("raw", 3);
}

// A line from a real-time thread reads exactly as the same line from any other
// thread, and each real-time thread's lines keep their order.
TEST(RealtimeLogTest, RealtimeLinesReadAsUsualAndKeepTheirOrder) {
    KeptLines kept;
    logMixedLine(0);
    const std::vector<std::string> usual = kept.bodies();
    ASSERT_EQ(usual.size(), 2U);

    constexpr int kLinesPerThread = 40; // 2 x 40 x 3 lines: less than the queue, however late its sender
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([t] {
            VEMRA::enterRealtimeThread();
            for (int i = 0; i < kLinesPerThread; ++i) {
                logMixedLine(0);
                VEMRA::logLine(VEMRA::kLogInfo, "order ") << t << " " << i;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(VEMRA::flushRealtimeLog());
    const std::vector<std::string> all = kept.bodies();
    ASSERT_EQ(all.size(), 2U + 2U * kLinesPerThread * 3U);
    int next[2] = {0, 0};
    for (size_t i = 2; i < all.size(); ++i) {
        const std::string& body = all[i];
        if (body.starts_with("order ")) {
            const int thread = body[6] - '0';
            ASSERT_TRUE(thread == 0 || thread == 1) << body;
            EXPECT_EQ(body.substr(8), std::to_string(next[thread]++));
        } else {
            EXPECT_TRUE(body == usual[0] || body == usual[1]) << body;
        }
    }
    EXPECT_EQ(next[0], kLinesPerThread);
    EXPECT_EQ(next[1], kLinesPerThread);
    EXPECT_EQ(VEMRA::RealtimeLog::process().lostLines(), 0U);
}

// A full queue costs the producer nothing: the line is dropped and counted,
// and the sender says how many were lost once it catches up.
TEST(RealtimeLogTest, FullQueueDropsAndCountsWithoutWaiting) {
    KeptLines kept;
    VEMRA::RealtimeLog queue; // its sender not started yet: nothing is taken out
    constexpr size_t kOffered = VEMRA::RealtimeLog::kEntryCount + 44;
    size_t taken = 0;
    for (size_t i = 0; i < kOffered; ++i) {
        uint64_t position = 0;
        VEMRA::RealtimeLog::Entry* entry = queue.record(VEMRA::kLogInfo, position);
        if (entry != nullptr) {
            entry->add("line ");
            entry->add(static_cast<unsigned long>(i));
            queue.publish(position);
            ++taken;
        }
    }
    EXPECT_EQ(taken, VEMRA::RealtimeLog::kEntryCount);
    EXPECT_EQ(queue.lostLines(), 44U);
    queue.start();
    ASSERT_TRUE(queue.flush());
    queue.stop();
    const std::vector<std::string> bodies = kept.bodies();
    ASSERT_EQ(bodies.size(), VEMRA::RealtimeLog::kEntryCount + 1);
    EXPECT_EQ(bodies.front(), "line 0");
    EXPECT_EQ(bodies[VEMRA::RealtimeLog::kEntryCount - 1], "line 255");
    EXPECT_EQ(bodies.back(), "realtime log lines lost 44");
}

} // namespace
