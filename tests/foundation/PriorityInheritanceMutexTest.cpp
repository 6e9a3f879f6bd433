// ctest-labels: threads
// The log ring's mutex must lend a blocked real-time worker's priority to an
// idle-class holder; otherwise ordinary load can hold the audio path up.
#include "foundation/PriorityInheritanceMutex.h"
#include "foundation/ThreadScheduling.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The kernel's effective priority of a thread of this process (field 18 of
// its stat line): 20 + nice for time-shared classes, -1 - rt_priority while
// it runs at a real-time priority, lent or its own.
int effectivePriority(pid_t threadId) {
    std::ifstream file("/proc/self/task/" + std::to_string(threadId) + "/stat");
    std::string line;
    std::getline(file, line);
    // The command name may hold spaces; the fields follow its closing ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 18 && fields >> field; ++index) {
    }
    return std::stoi(field);
}

TEST(PriorityInheritanceMutex, ExcludesAndWorksWithStandardLocks) {
    VEMRA::PriorityInheritanceMutex mutex;
    EXPECT_TRUE(mutex.inherits());
    uint64_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<VEMRA::PriorityInheritanceMutex> lock(mutex);
                ++counter;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 80000U);
    ASSERT_TRUE(mutex.try_lock());
    std::thread other([&] { EXPECT_FALSE(mutex.try_lock()); });
    other.join();
    mutex.unlock();
}

TEST(PriorityInheritanceMutex, IdleHolderRunsAtTheBlockedWorkersPriority) {
    VEMRA::PriorityInheritanceMutex mutex;
    std::atomic<pid_t> holderId{0};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        VEMRA::setThreadPriority(VEMRA::currentThreadId(), VEMRA::Idle);
        std::lock_guard<VEMRA::PriorityInheritanceMutex> lock(mutex);
        holderId = VEMRA::currentThreadId();
        while (!release.load()) {
            std::this_thread::sleep_for(1ms);
        }
    });
    while (holderId.load() == 0) {
        std::this_thread::sleep_for(1ms);
    }
    const int before = effectivePriority(holderId.load());

    std::atomic<bool> realtime{false};
    std::atomic<bool> tried{false};
    std::atomic<bool> acquired{false};
    std::thread worker([&] {
        realtime = VEMRA::setThreadPriority(VEMRA::currentThreadId(), VEMRA::RealtimeFifo);
        tried = true;
        if (!realtime.load()) {
            return;
        }
        std::lock_guard<VEMRA::PriorityInheritanceMutex> lock(mutex);
        acquired = true;
    });
    while (!tried.load()) {
        std::this_thread::sleep_for(1ms);
    }
    int lent = before;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (realtime.load() && lent >= 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
        lent = effectivePriority(holderId.load());
    }
    release = true;
    holder.join();
    worker.join();
    if (!realtime.load()) {
        GTEST_SKIP() << "real-time scheduling refused (not root?)";
    }
    EXPECT_GE(before, 20); // time-shared while nobody waits
    EXPECT_EQ(lent, -100); // first-in-first-out 99, lent by the waiting worker
    EXPECT_TRUE(acquired.load());
}

} // namespace
