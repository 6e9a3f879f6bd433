#pragma once

#include "foundation/LogRecord.h"
#include "foundation/RealtimeLog.h"

#include <cstdint>
#include <memory>

namespace VEMRA {

// The process-wide level threshold: records whose level (low 3 bits) is above
// it are never created. 6 until set otherwise (setLogLevel).
int logThreshold();
void setLogThreshold(int level);
bool logEnabled(int level);

// Heap record for `level` stamped with the logger's facility, or null when
// the level is filtered out.
std::unique_ptr<LogRecord> newRecord(int level);
// Stamps the header and ships the line (UDP datagram and standard output).
// Does nothing without a process logger.
void commit(LogRecord& record);

// Owner of one record for a one-shot line; commits when it goes out of scope.
//   VEMRA::logLine(VEMRA::kLogInfo, "Detect Dev: ") << path;
// On a real-time thread (enterRealtimeThread) the line is an entry of the
// real-time queue instead, formatted and committed by its sender.
class LogLine {
public:
    LogLine() = default;
    explicit LogLine(std::unique_ptr<LogRecord> record);
    LogLine(RealtimeLog::Entry* entry, uint64_t position);
    ~LogLine();
    LogLine(LogLine&& other) noexcept;
    LogLine& operator=(LogLine&&) = delete;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    template <typename T> LogLine& operator<<(const T& value) {
        if (record) {
            record->append(value);
        } else if (entry != nullptr) {
            entry->add(value);
        }
        return *this;
    }
    LogLine& hex(uint64_t value);
    LogLine& bytes(const void* data, size_t count);
    LogRecord* get() const { return record.get(); }

private:
    std::unique_ptr<LogRecord> record;
    RealtimeLog::Entry* entry = nullptr; // the real-time queue's entry, published on destruction
    uint64_t position = 0;               // the entry's place in the queue
    bool active = false;                 // commit on destruction; cleared in a moved-from line
};

LogLine logLine(int level, const char* text);

} // namespace VEMRA
