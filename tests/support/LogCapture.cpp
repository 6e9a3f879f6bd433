#include "support/LogCapture.h"

#include "foundation/Clock.h"
#include "foundation/Log.h"

#include <mutex>
#include <thread>

namespace QUORVEL {

namespace {

std::mutex gMutex;
std::vector<LogCapture::Line> gLines; // guarded by gMutex

void keep(const char* stampedLine) {
    const char* body = VEMRA::SysLog::SysLogSendStdC::bodyOf(stampedLine);
    const uint64_t now = VEMRA::clockNow();
    std::lock_guard<std::mutex> lock(gMutex);
    gLines.push_back(LogCapture::Line{now, body});
}

} // namespace

LogCapture::LogCapture(int threshold) {
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gLines.clear();
    }
    auto* logger = new VEMRA::SysLog(); // owned by the logging module once installed
    logger->setOutput(&keep);
    previous = VEMRA::replaceProcessLogger(logger);
    previousThreshold = VEMRA::logThreshold();
    VEMRA::setLogThreshold(threshold);
}

LogCapture::~LogCapture() {
    VEMRA::flushRealtimeLog();
    VEMRA::setLogThreshold(previousThreshold);
    delete VEMRA::replaceProcessLogger(previous);
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    VEMRA::flushRealtimeLog(); // lines of the real-time threads are committed by their sender
    std::lock_guard<std::mutex> lock(gMutex);
    return gLines;
}

size_t LogCapture::count(std::string_view prefix) const {
    VEMRA::flushRealtimeLog(); // lines of the real-time threads are committed by their sender
    std::lock_guard<std::mutex> lock(gMutex);
    size_t found = 0;
    for (const Line& line : gLines) {
        if (std::string_view(line.text).substr(0, prefix.size()) == prefix) {
            ++found;
        }
    }
    return found;
}

std::vector<uint64_t> LogCapture::times(std::string_view prefix) const {
    VEMRA::flushRealtimeLog(); // lines of the real-time threads are committed by their sender
    std::lock_guard<std::mutex> lock(gMutex);
    std::vector<uint64_t> found;
    for (const Line& line : gLines) {
        if (std::string_view(line.text).substr(0, prefix.size()) == prefix) {
            found.push_back(line.time);
        }
    }
    return found;
}

bool LogCapture::waitFor(std::string_view prefix, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!contains(prefix)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void LogCapture::clear() {
    VEMRA::flushRealtimeLog(); // lines of the real-time threads are committed by their sender
    std::lock_guard<std::mutex> lock(gMutex);
    gLines.clear();
}

} // namespace QUORVEL
