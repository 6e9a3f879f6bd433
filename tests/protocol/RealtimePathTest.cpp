// ctest-labels: threads
#include "foundation/Log.h"
#include "foundation/RealtimeLog.h"
#include "host/StreamSender.h"
#include "protocol/SinkBuffer.h"
#include "support/LogCapture.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <pthread.h>
#include <thread>
#include <vector>

// What the sink's real-time threads (those that called enterRealtimeThread)
// lock and allocate while the counting window is open. The locks are counted
// through the linker's --wrap of the pthread calls (see tests/CMakeLists.txt),
// the allocations through this program's operator new.
namespace {

std::atomic<bool> gCounting{false};
std::atomic<uint64_t> gLocks{0};
std::atomic<uint64_t> gAllocations{0};

void countIf(std::atomic<uint64_t>& counter) {
    if (gCounting.load(std::memory_order_relaxed) && VEMRA::inRealtimeThread()) {
        counter.fetch_add(1, std::memory_order_relaxed);
    }
}

} // namespace

extern "C" {
int __real_pthread_mutex_lock(pthread_mutex_t* mutex);
int __real_pthread_mutex_trylock(pthread_mutex_t* mutex);
int __real_pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex);
int __real_pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* until);
int __real_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const timespec* until);

int __wrap_pthread_mutex_lock(pthread_mutex_t* mutex) {
    countIf(gLocks);
    return __real_pthread_mutex_lock(mutex);
}
int __wrap_pthread_mutex_trylock(pthread_mutex_t* mutex) {
    countIf(gLocks);
    return __real_pthread_mutex_trylock(mutex);
}
int __wrap_pthread_cond_wait(pthread_cond_t* cond, pthread_mutex_t* mutex) {
    countIf(gLocks);
    return __real_pthread_cond_wait(cond, mutex);
}
int __wrap_pthread_cond_timedwait(pthread_cond_t* cond, pthread_mutex_t* mutex, const timespec* until) {
    countIf(gLocks);
    return __real_pthread_cond_timedwait(cond, mutex, until);
}
int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const timespec* until) {
    countIf(gLocks);
    return __real_pthread_cond_clockwait(cond, mutex, clock, until);
}
}

[[gnu::noinline]] void* operator new(std::size_t size) {
    countIf(gAllocations);
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        std::abort();
    }
    return block;
}
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    countIf(gAllocations);
    return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace QUORVEL {
namespace {

// While a stream plays, the stream worker and the transport worker take no
// lock a lower-priority thread could hold and allocate nothing: not for
// datagrams, not for flush marks and rate feedback, not for their log lines.
TEST(RealtimePathTest, AStreamTakesNoLockAndAllocatesNothingInTheRealTimeThreads) {
    // The counters see a real-time thread's lock, wait and allocation.
    gCounting = true;
    std::thread probe([] {
        VEMRA::enterRealtimeThread();
        std::mutex mutex;
        std::lock_guard<std::mutex> lock(mutex);
        int* volatile kept = new int(1); // volatile: the pair may not be elided
        delete kept;
    });
    probe.join();
    gCounting = false;
    ASSERT_GE(gLocks.load(), 1U);
    ASSERT_GE(gAllocations.load(), 1U);
    gLocks = 0;
    gAllocations = 0;

    LogCapture log; // debug lines are built too
    SinkRig rig;
    TestBackEndOptions options;
    options.countOnly = true;
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options));
    const AudioFormat format = hiResFormat();
    const uint16_t port = rig.connect(format);
    ASSERT_NE(port, 0);

    const uint64_t second = format.bytesPerSecond();
    std::vector<uint8_t> audio(second / 4);
    for (size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    StreamConfig config;
    config.format = format;
    config.repeatTo = 5 * second;
    StreamSender sender(rig.client->socket(), rig.client->sinkAddress(port), config);
    bool streamed = false;
    std::thread host([&] { streamed = sender.stream(audio); });

    // The window opens once the connection's set-up (its pre-fill, its pool
    // of nodes) is behind the workers and closes before the Host's last
    // datagram, measured in what the device received, not in time.
    const uint64_t prefill = SinkBuffer::prefillFor(format, rig.sink().currentLatency()).total;
    const bool warm = rig.sink().waitForBytes(prefill + second, 60000);
    gCounting = true;
    const bool played = warm && rig.sink().waitForBytes(prefill + 4 * second, 60000);
    gCounting = false;
    host.join();
    ASSERT_TRUE(warm && played && streamed);

    EXPECT_EQ(gLocks.load(), 0U) << "locks or condition waits taken by the real-time threads";
    EXPECT_EQ(gAllocations.load(), 0U) << "allocations made by the real-time threads";
    // Their lines were logged meanwhile, through the real-time queue.
    EXPECT_GE(log.count("update Stream Rest "), 2U);
    EXPECT_GE(log.count("RATE "), 2U);
    EXPECT_EQ(VEMRA::RealtimeLog::process().lostLines(), 0U);
    ASSERT_TRUE(rig.client->disconnect(port));
}

} // namespace
} // namespace QUORVEL
