#include "support/TestSinkDevice.h"

#include "foundation/Clock.h"
#include "protocol/SinkBuffer.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace QUORVEL {

namespace {

// A device that fell this far behind its clock restarts it, as after an xrun.
constexpr uint64_t kResyncLag = 200 * VEMRA::kPicosecondsPerMillisecond;

void sleepUntil(uint64_t wakeAt) {
    const uint64_t now = VEMRA::clockNow();
    if (VEMRA::clockCompare(now, wakeAt) < 0) {
        VEMRA::sleepPicoseconds(wakeAt - now);
    }
}

bool waitUntil(const auto& done, uint64_t timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

void TestSinkDevice::startAudio(uint64_t startAt) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        starts.push_back(startAt);
    }
    SinkBuffer::waitForStart(startAt, 5 * VEMRA::kPicosecondsPerSecond);
    restartClock = true;
}

bool TestSinkDevice::releaseOutput() {
    restartClock = true;
    ++disconnects;
    return true;
}

bool TestSinkDevice::writeAudio(const uint8_t* data, size_t count) {
    if (!options.countOnly) {
        std::unique_lock<std::mutex> lock(mutex);
        while (holding && sink->isRunning()) {
            holdChanged.wait_for(lock, std::chrono::milliseconds(10));
        }
        const bool silent =
            !options.recordSilence && std::all_of(data, data + count, [](uint8_t b) { return b == 0; });
        if (options.record && !silent) {
            bytes.insert(bytes.end(), data, data + count);
        }
        sizes.push_back(count);
    }
    written += count;
    ++writes;
    const uint64_t bytesPerSecond = sink->streamFormat().bytesPerSecond();
    if (!options.paced || bytesPerSecond == 0) {
        return true;
    }
    // The device clock: when the bytes written so far have finished playing.
    auto playedBy = [&] {
        return deviceStart + devicePosition * 1'000'000'000ULL / bytesPerSecond * 1000ULL;
    };
    const uint64_t now = VEMRA::clockNow();
    if (restartClock.exchange(false) || VEMRA::clockCompare(now, playedBy() + kResyncLag) > 0) {
        deviceStart = now;
        devicePosition = 0;
    }
    devicePosition += count;
    sleepUntil(playedBy());
    return true;
}

void TestSinkDevice::hold(bool held) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = held;
    }
    holdChanged.notify_all();
}

std::vector<uint8_t> TestSinkDevice::recorded() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

std::vector<size_t> TestSinkDevice::writeSizes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sizes;
}

std::vector<uint64_t> TestSinkDevice::startTimes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return starts;
}

bool TestSinkDevice::waitForBytes(uint64_t count, uint64_t timeoutMilliseconds) const {
    return waitUntil([&] { return written.load() >= count; }, timeoutMilliseconds);
}

bool TestSinkDevice::waitForDisconnects(int count, uint64_t timeoutMilliseconds) const {
    return waitUntil([&] { return disconnects.load() >= count; }, timeoutMilliseconds);
}

} // namespace QUORVEL
