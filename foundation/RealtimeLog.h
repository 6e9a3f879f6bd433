#pragma once

#include "foundation/LogRecord.h"
#include "foundation/SocketAddress.h"
#include "foundation/WakeEvent.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>
#include <thread>

namespace VEMRA {

// Log lines of the real-time threads. Building a line the usual way costs a
// 2 KiB allocation, number formatting, the time zone (which takes glibc's
// lock) and a datagram; none of that may happen on the audio path. A
// real-time thread only records the line's level, a wall-clock reading and
// its fields into a preallocated entry of a lock-free queue; the log sender
// thread formats and commits it through the process logger, so the line reads
// exactly as one built the usual way. A full queue drops the line and counts
// it; the producer never waits.
//
// Threads: any number of producers (record/publish); one sender thread,
// started by start and joined by stop or the destructor.
class RealtimeLog {
public:
    static constexpr size_t kEntryCount = 256; // a power of two
    static constexpr size_t kFieldLimit = 16;
    static constexpr size_t kTextBytes = 200;

    // One line under construction: the fields in order, strings copied into
    // `text`. The line is cut at the first field that does not fit, as a
    // full record is.
    class Entry {
    public:
        void reset(int level);
        void add(char character);
        void add(int value) { addSigned(value); }
        void add(long value) { addSigned(value); }
        void add(long long value) { addSigned(value); }
        void add(unsigned value) { addUnsigned(value); }
        void add(unsigned long value) { addUnsigned(value); }
        void add(unsigned long long value) { addUnsigned(value); }
        void add(float value) { add(static_cast<double>(value)); }
        void add(double value);
        void add(const char* cString);
        void add(std::string_view piece);
        void add(const SocketAddress& address);
        void addBytes(const void* bytes, size_t count);
        void addHex(uint64_t value);
        // Replays the fields into `record`: the sender's formatting.
        void formatInto(LogRecord& record) const;
        int level() const { return lineLevel; }
        std::time_t wallClock() const { return stamp; }

    private:
        enum class Kind : uint8_t { Text, Signed, Unsigned, Float, Hex, Address };
        struct Field {
            Kind kind = Kind::Text;
            uint16_t offset = 0; // Text: where in `text`
            uint16_t length = 0;
            union {
                int64_t signedValue;
                uint64_t unsignedValue;
                double floatValue;
                uint32_t addressIndex; // into `addresses`
            };
        };
        void addSigned(long long value);
        void addUnsigned(unsigned long long value);
        Field* next();

        int lineLevel = 0;
        std::time_t stamp = 0;
        uint8_t fieldCount = 0;
        uint16_t textUsed = 0;
        uint8_t addressCount = 0;
        bool full = false; // a field was left out: so is everything after it
        std::array<Field, kFieldLimit> fields{};
        std::array<SocketAddress, 2> addresses{};
        char text[kTextBytes];
    };

    RealtimeLog();
    ~RealtimeLog();
    RealtimeLog(const RealtimeLog&) = delete;
    RealtimeLog& operator=(const RealtimeLog&) = delete;

    // The process's queue, its sender started on first use.
    static RealtimeLog& process();

    // Owner: the sender thread, which runs in the normal class (a real-time
    // thread may start it, and its class is inherited otherwise).
    void start();
    void stop();

    // Producer: an entry for a line at `level` and its place in the queue,
    // or null when the queue is full (the line is counted as lost). Hand the
    // place back with publish once the entry is filled.
    Entry* record(int level, uint64_t& position);
    void publish(uint64_t position);

    // Any thread but the sender: returns once every line published before
    // the call is committed, or after `limit`; false on time-out.
    bool flush(std::chrono::milliseconds limit = std::chrono::milliseconds(2000));

    uint64_t lostLines() const { return lost.load(std::memory_order_relaxed); }

private:
    struct Cell {
        std::atomic<uint64_t> sequence{0};
        Entry entry;
    };
    void run();
    // Sender: commits every published entry in order; returns how many.
    size_t drain();

    std::array<Cell, kEntryCount> cells;
    std::atomic<uint64_t> enqueuePosition{0}; // producers
    std::atomic<uint64_t> dequeuePosition{0}; // written by the sender, read by flush
    std::atomic<uint64_t> lost{0};            // producers add, the sender reports
    uint64_t lostReported = 0;                // sender
    std::atomic<bool> senderSleeps{false};    // sender: set before it checks the queue and waits
    std::atomic<bool> running{false};
    WakeEvent wake;
    std::thread sender;
};

// Marks the calling thread as a real-time one: from now on its log lines go
// through RealtimeLog::process(). Call once, at the thread's start.
void enterRealtimeThread();
bool inRealtimeThread();
// Returns once every real-time line logged before the call is committed
// (at once when no real-time thread ever logged); false after 2 s.
bool flushRealtimeLog();

} // namespace VEMRA
