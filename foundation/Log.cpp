#include "foundation/Log.h"

#include "foundation/SysLog.h"

#include <atomic>
#include <new>

namespace VEMRA {

namespace {

constexpr int kLevelMask = 7;

// Read by every thread that logs, written at start-up.
std::atomic<int> gThreshold{kLogInfo};

} // namespace

int logThreshold() {
    return gThreshold.load(std::memory_order_relaxed);
}

void setLogThreshold(int level) {
    gThreshold.store(level, std::memory_order_relaxed);
}

bool logEnabled(int level) {
    return (level & kLevelMask) <= gThreshold.load(std::memory_order_relaxed);
}

std::unique_ptr<LogRecord> newRecord(int level) {
    if (!logEnabled(level)) {
        return nullptr;
    }
    const uint32_t priority = logFacility() * 8U | static_cast<uint32_t>(level & kLevelMask);
    // Out of memory the line is lost, never the process.
    return std::unique_ptr<LogRecord>(new (std::nothrow) LogRecord(static_cast<uint8_t>(priority)));
}

void commit(LogRecord& record) {
    commitToProcessLogger(record);
}

LogLine::LogLine(std::unique_ptr<LogRecord> owned) : record(std::move(owned)), active(record != nullptr) {}

LogLine::LogLine(RealtimeLog::Entry* queued, uint64_t place)
    : entry(queued), position(place), active(queued != nullptr) {}

LogLine::~LogLine() {
    if (!active) {
        return;
    }
    if (record) {
        commit(*record);
    } else if (entry != nullptr) {
        RealtimeLog::process().publish(position);
    }
}

LogLine::LogLine(LogLine&& other) noexcept
    : record(std::move(other.record)), entry(other.entry), position(other.position), active(other.active) {
    other.active = false;
    other.entry = nullptr;
}

LogLine& LogLine::hex(uint64_t value) {
    if (record) {
        record->appendHex(value);
    } else if (entry != nullptr) {
        entry->addHex(value);
    }
    return *this;
}

LogLine& LogLine::bytes(const void* data, size_t count) {
    if (record) {
        record->appendBytes(data, count);
    } else if (entry != nullptr) {
        entry->addBytes(data, count);
    }
    return *this;
}

LogLine logLine(int level, const char* text) {
    if (inRealtimeThread()) {
        if (!logEnabled(level)) {
            return LogLine();
        }
        uint64_t position = 0;
        RealtimeLog::Entry* entry = RealtimeLog::process().record(level, position);
        if (entry != nullptr) {
            entry->add(text);
        }
        return LogLine(entry, position);
    }
    std::unique_ptr<LogRecord> record = newRecord(level);
    if (record) {
        record->append(text);
    }
    return LogLine(std::move(record));
}

} // namespace VEMRA
