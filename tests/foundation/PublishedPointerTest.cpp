// ctest-labels: threads
#include "foundation/PublishedPointer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

struct Object {
    explicit Object(int number) : number(number) {}
    const int number;
    std::atomic<bool> retired{false};
};

TEST(PublishedPointerTest, ReplaceWaitsForTheGuardHoldingThePreviousObject) {
    VEMRA::PublishedPointer<Object> published;
    EXPECT_EQ(published.replace(new Object(1)), nullptr);

    std::atomic<bool> replaced{false};
    std::unique_ptr<Object> previous;
    auto guard = std::make_unique<VEMRA::PublishedPointer<Object>::Guard>(published);
    ASSERT_TRUE(*guard);
    EXPECT_EQ((*guard)->number, 1);
    std::thread writer([&] {
        previous.reset(published.replace(new Object(2)));
        replaced.store(true);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(replaced.load()) << "previous object handed back while a guard still holds it";
    {
        // A guard opened after the replacement sees the new object at once.
        const VEMRA::PublishedPointer<Object>::Guard later(published);
        EXPECT_EQ(later->number, 2);
    }
    guard.reset();
    writer.join();
    EXPECT_TRUE(replaced.load());
    ASSERT_NE(previous, nullptr);
    EXPECT_EQ(previous->number, 1);
    EXPECT_EQ(published.peek()->number, 2);
}

TEST(PublishedPointerTest, NoGuardEverSeesARetiredObject) {
    VEMRA::PublishedPointer<Object> published;
    published.replace(new Object(0));
    std::atomic<bool> running{true};
    std::atomic<int> violations{0};
    std::atomic<long> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i) {
        readers.emplace_back([&] {
            while (running.load(std::memory_order_relaxed)) {
                const VEMRA::PublishedPointer<Object>::Guard guard(published);
                if (!guard) {
                    continue;
                }
                for (int spin = 0; spin < 50; ++spin) {
                    if (guard->retired.load(std::memory_order_relaxed)) {
                        violations.fetch_add(1);
                        break;
                    }
                }
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    while (reads.load() < 100) {
        std::this_thread::sleep_for(1ms);
    }
    std::vector<std::unique_ptr<Object>> retired;
    for (int round = 1; round <= 300; ++round) {
        retired.emplace_back(published.replace(new Object(round)));
        retired.back()->retired.store(true);
    }
    running.store(false);
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(published.peek()->number, 300);
    delete published.replace(nullptr);
    const VEMRA::PublishedPointer<Object>::Guard empty(published);
    EXPECT_FALSE(empty);
}

} // namespace
