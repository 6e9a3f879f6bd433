// ctest-labels: threads
#include "foundation/ThreadScheduling.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs `body` on a fresh thread so that the scheduling it changes dies with it.
template <typename Body> void onOwnThread(Body body) {
    std::thread worker(body);
    worker.join();
}

TEST(ThreadScheduling, CurrentThreadIdIsTheKernelThreadId) {
    EXPECT_EQ(VEMRA::currentThreadId(), getpid());
    pid_t other = 0;
    onOwnThread([&] { other = VEMRA::currentThreadId(); });
    EXPECT_NE(other, getpid());
    EXPECT_GT(other, 0);
}

TEST(ThreadScheduling, IdleAndNormalAlwaysSucceed) {
    onOwnThread([] {
        const pid_t self = VEMRA::currentThreadId();
        EXPECT_TRUE(VEMRA::setThreadPriority(self, VEMRA::Idle));
        EXPECT_EQ(sched_getscheduler(self), SCHED_IDLE);
        EXPECT_TRUE(VEMRA::setThreadPriority(self, VEMRA::Normal));
        EXPECT_EQ(sched_getscheduler(self), SCHED_OTHER);
    });
}

// Whether real-time classes are granted depends on the account and the
// machine; the result must tell the truth either way.
TEST(ThreadScheduling, RealtimeResultMatchesTheClassObtained) {
    onOwnThread([] {
        const pid_t self = VEMRA::currentThreadId();
        const int initial = sched_getscheduler(self);
        const bool fifo = VEMRA::setThreadPriority(self, VEMRA::RealtimeFifo);
        sched_param parameter{};
        if (fifo) {
            EXPECT_EQ(sched_getscheduler(self), SCHED_FIFO);
            ASSERT_EQ(sched_getparam(self, &parameter), 0);
            EXPECT_EQ(parameter.sched_priority, 99);
        } else {
            EXPECT_EQ(sched_getscheduler(self), initial);
        }
        const bool roundRobin = VEMRA::setThreadPriority(self, VEMRA::RealtimeRR);
        if (roundRobin) {
            EXPECT_EQ(sched_getscheduler(self), SCHED_RR);
            ASSERT_EQ(sched_getparam(self, &parameter), 0);
            EXPECT_EQ(parameter.sched_priority, 10);
        } else {
            EXPECT_NE(sched_getscheduler(self), SCHED_RR);
        }
        const int before = sched_getscheduler(self);
        // Round robin at priority 0 is refused by the kernel, for anyone.
        EXPECT_FALSE(VEMRA::setThreadPriority(self, 4));
        EXPECT_FALSE(VEMRA::setThreadPriority(self, 17));
        EXPECT_FALSE(VEMRA::setThreadPriority(self, -1));
        EXPECT_EQ(sched_getscheduler(self), before);
    });
}

TEST(ThreadScheduling, AffinityLimitsThreadToTheRanges) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    // (2, 2) where CPUs 2 and 3 may be used, else the first allowed CPU.
    uint16_t first = 2;
    uint16_t count = 2;
    if (!CPU_ISSET(2, &allowed) || !CPU_ISSET(3, &allowed)) {
        first = 0;
        while (!CPU_ISSET(first, &allowed)) {
            ++first;
        }
        count = 1;
    }
    onOwnThread([&] {
        const pid_t self = VEMRA::currentThreadId();
        // The range beyond CPU 1023 is ignored, not written past the mask.
        ASSERT_TRUE(VEMRA::setThreadAffinity(self, {{first, count}, {2000, 100}, {65535, 65535}}));
        cpu_set_t mask;
        CPU_ZERO(&mask);
        ASSERT_EQ(sched_getaffinity(self, sizeof(mask), &mask), 0);
        EXPECT_EQ(CPU_COUNT(&mask), count);
        for (int cpu = first; cpu < first + count; ++cpu) {
            EXPECT_TRUE(CPU_ISSET(cpu, &mask)) << cpu;
        }

        // No ranges: every configured CPU, which gives back all allowed ones.
        ASSERT_TRUE(VEMRA::setThreadAffinity(self, {}));
        CPU_ZERO(&mask);
        ASSERT_EQ(sched_getaffinity(self, sizeof(mask), &mask), 0);
        EXPECT_TRUE(CPU_EQUAL(&mask, &allowed));
    });
}

} // namespace
