#pragma once

#include "foundation/SysLog.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace QUORVEL {

// Collects every committed log line of the process while it lives: it
// installs a process logger whose output keeps the lines, and lowers the
// threshold so debug lines are built too. One at a time per process.
class LogCapture {
public:
    struct Line {
        uint64_t time = 0; // clockNow when committed
        std::string text;  // the body, behind the syslog header
    };

    explicit LogCapture(int threshold = 7);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const;
    // Lines that start with `prefix`.
    size_t count(std::string_view prefix) const;
    bool contains(std::string_view prefix) const { return count(prefix) != 0; }
    bool waitFor(std::string_view prefix, std::chrono::milliseconds timeout) const;
    // Times of the lines that start with `prefix`.
    std::vector<uint64_t> times(std::string_view prefix) const;
    void clear();

private:
    VEMRA::SysLog* previous = nullptr; // the logger in place before, restored at the end
    int previousThreshold = 6;
};

} // namespace QUORVEL
