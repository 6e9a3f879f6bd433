#include "support/TestSinkBackEnd.h"

#include <chrono>

namespace QUORVEL {

TestSinkBackEnd::TestSinkBackEnd(const SinkInfo& info, VEMRA::SocketWaitSet& pollSet,
                                 const SinkConfig& config, const TestBackEndOptions& backEndOptions)
    : TestSinkDevice(TestSinkDevice::Options{backEndOptions.paced, backEndOptions.record,
                                             backEndOptions.recordSilence, backEndOptions.countOnly}),
      SinkBuffer(info, pollSet, *this, config), options(backEndOptions) {
    attach(*this);
}

TestSinkBackEnd::~TestSinkBackEnd() {
    hold(false);
    holdConnect(false);
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
    startAudio(startAt);
}

bool TestSinkBackEnd::disconnectStream() {
    return releaseOutput();
}

bool TestSinkBackEnd::writeOutput(const uint8_t* data, size_t count) {
    return writeAudio(data, count);
}

void TestSinkBackEnd::holdConnect(bool held) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        holdingConnect = held;
    }
    holdChanged.notify_all();
}

std::vector<std::string> TestSinkBackEnd::hostNames() const {
    std::lock_guard<std::mutex> lock(mutex);
    return names;
}

} // namespace QUORVEL
