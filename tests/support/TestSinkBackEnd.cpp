#include "support/TestSinkBackEnd.h"

#include "foundation/Clock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

namespace QUORVEL {

namespace {

// A device that fell this far behind its clock restarts it, as after an xrun.
constexpr uint64_t kResyncLag = 200 * VEMRA::kPicosecondsPerMillisecond;

void sleepUntil(uint64_t wakeAt) {
    for (;;) {
        const uint64_t now = VEMRA::clockNow();
        if (VEMRA::clockCompare(now, wakeAt) >= 0) {
            return;
        }
        const uint64_t left = wakeAt - now;
        timespec duration{static_cast<time_t>(left / VEMRA::kPicosecondsPerSecond),
                          static_cast<long>(left % VEMRA::kPicosecondsPerSecond / 1000)};
        nanosleep(&duration, nullptr);
    }
}

} // namespace

TestSinkBackEnd::TestSinkBackEnd(const SinkInfo& info, VEMRA::SocketWaitSet& pollSet,
                                 const SinkConfig& config, const TestBackEndOptions& backEndOptions)
    : SinkBuffer(info, pollSet, config), options(backEndOptions) {}

TestSinkBackEnd::~TestSinkBackEnd() {
    hold(false);
    holdConnect(false);
    closeAll(); // the transport worker calls writeOutput until it is joined
}

void TestSinkBackEnd::getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) {
    deviceLatency = options.deviceLatency;
    SinkBuffer::getLatency(maxLatency, deviceLatency, latency);
}

bool TestSinkBackEnd::canFormat(AudioFormat& fmt) {
    fmt = AudioFormat(fmt.value() & options.capabilities);
    return true;
}

bool TestSinkBackEnd::setFormat(const AudioFormat&) {
    ++formatCalls;
    if (options.failSetFormat) {
        return false;
    }
    if (options.replaceFormatWith) {
        replaceStreamFormat(*options.replaceFormatWith);
    }
    return true;
}

bool TestSinkBackEnd::connect(const std::string& hostName) {
    ++connectsEntered;
    {
        std::unique_lock<std::mutex> lock(mutex);
        names.push_back(hostName);
        while (holdingConnect && isRunning()) {
            holdChanged.wait_for(lock, std::chrono::milliseconds(10));
        }
    }
    return SinkBuffer::connect(hostName);
}

void TestSinkBackEnd::play(const uint64_t& startAt) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        starts.push_back(startAt);
    }
    waitForStart(startAt, 5 * VEMRA::kPicosecondsPerSecond);
    restartClock = true;
}

bool TestSinkBackEnd::disconnectStream() {
    restartClock = true;
    ++disconnects;
    return true;
}

bool TestSinkBackEnd::writeOutput(const uint8_t* data, size_t count) {
    if (!options.countOnly) {
        std::unique_lock<std::mutex> lock(mutex);
        while (holding && isRunning()) {
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
    const uint64_t bytesPerSecond = streamFormat().bytesPerSecond();
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

void TestSinkBackEnd::hold(bool held) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        holding = held;
    }
    holdChanged.notify_all();
}

void TestSinkBackEnd::holdConnect(bool held) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        holdingConnect = held;
    }
    holdChanged.notify_all();
}

std::vector<uint8_t> TestSinkBackEnd::recorded() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}

std::vector<size_t> TestSinkBackEnd::writeSizes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return sizes;
}

std::vector<uint64_t> TestSinkBackEnd::startTimes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return starts;
}

std::vector<std::string> TestSinkBackEnd::hostNames() const {
    std::lock_guard<std::mutex> lock(mutex);
    return names;
}

bool TestSinkBackEnd::waitForBytes(uint64_t count, uint64_t timeoutMilliseconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (written.load() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool TestSinkBackEnd::waitForDisconnects(int count, uint64_t timeoutMilliseconds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (disconnects.load() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace QUORVEL
