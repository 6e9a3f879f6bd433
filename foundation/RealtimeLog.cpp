#include "foundation/RealtimeLog.h"

#include "foundation/Clock.h"
#include "foundation/Log.h"
#include "foundation/SysLog.h"
#include "foundation/ThreadScheduling.h"

#include <cstring>
#include <mutex>
#include <time.h>

namespace VEMRA {

namespace {

constexpr uint64_t kSenderWait = kPicosecondsPerSecond; // bounds a lost wake-up
constexpr auto kFlushPoll = std::chrono::milliseconds(1);

thread_local bool tRealtime = false;
std::atomic<bool> gRealtimeUsed{false}; // a thread has entered: the process queue exists

std::time_t wallClockNow() {
    // clock_gettime reads the vDSO: no system call, no lock; std::time may
    // be either, depending on the C library.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}

} // namespace

// ---- Entry ----------------------------------------------------------------

void RealtimeLog::Entry::reset(int level) {
    lineLevel = level;
    stamp = wallClockNow();
    fieldCount = 0;
    textUsed = 0;
    addressCount = 0;
    full = false;
}

RealtimeLog::Entry::Field* RealtimeLog::Entry::next() {
    if (full || fieldCount == kFieldLimit) {
        full = true;
        return nullptr;
    }
    return &fields[fieldCount++];
}

void RealtimeLog::Entry::addSigned(long long value) {
    if (Field* field = next()) {
        field->kind = Kind::Signed;
        field->signedValue = value;
    }
}

void RealtimeLog::Entry::addUnsigned(unsigned long long value) {
    if (Field* field = next()) {
        field->kind = Kind::Unsigned;
        field->unsignedValue = value;
    }
}

void RealtimeLog::Entry::add(double value) {
    if (Field* field = next()) {
        field->kind = Kind::Float;
        field->floatValue = value;
    }
}

void RealtimeLog::Entry::addHex(uint64_t value) {
    if (Field* field = next()) {
        field->kind = Kind::Hex;
        field->unsignedValue = value;
    }
}

void RealtimeLog::Entry::add(const SocketAddress& address) {
    if (addressCount == addresses.size()) {
        full = true;
        return;
    }
    if (Field* field = next()) {
        field->kind = Kind::Address;
        field->addressIndex = addressCount;
        addresses[addressCount++] = address;
    }
}

void RealtimeLog::Entry::add(char character) {
    addBytes(&character, 1);
}

void RealtimeLog::Entry::add(const char* cString) {
    if (cString != nullptr) {
        addBytes(cString, strnlen(cString, kTextBytes));
    }
}

void RealtimeLog::Entry::add(std::string_view piece) {
    addBytes(piece.data(), piece.size());
}

void RealtimeLog::Entry::addBytes(const void* bytes, size_t count) {
    // Cut at the room left; the sender's record cuts the same way.
    const size_t room = kTextBytes - textUsed;
    const bool cut = count > room;
    if (cut) {
        count = room;
    }
    if (count == 0 || full) {
        full = full || cut;
        return;
    }
    // Adjacent pieces of text share one field.
    if (fieldCount != 0 && fields[fieldCount - 1].kind == Kind::Text &&
        fields[fieldCount - 1].offset + fields[fieldCount - 1].length == textUsed) {
        fields[fieldCount - 1].length = static_cast<uint16_t>(fields[fieldCount - 1].length + count);
    } else if (Field* field = next()) {
        field->kind = Kind::Text;
        field->offset = textUsed;
        field->length = static_cast<uint16_t>(count);
    } else {
        return;
    }
    std::memcpy(text + textUsed, bytes, count);
    textUsed = static_cast<uint16_t>(textUsed + count);
    full = cut;
}

void RealtimeLog::Entry::formatInto(LogRecord& record) const {
    for (uint8_t i = 0; i < fieldCount; ++i) {
        const Field& field = fields[i];
        switch (field.kind) {
        case Kind::Text:
            record.append(std::string_view(text + field.offset, field.length));
            break;
        case Kind::Signed:
            record.append(static_cast<long long>(field.signedValue));
            break;
        case Kind::Unsigned:
            record.append(static_cast<unsigned long long>(field.unsignedValue));
            break;
        case Kind::Float:
            record.append(field.floatValue);
            break;
        case Kind::Hex:
            record.appendHex(field.unsignedValue);
            break;
        case Kind::Address:
            record.append(addresses[field.addressIndex]);
            break;
        }
    }
    record.stamp = stamp;
}

// ---- Queue ----------------------------------------------------------------
//
// A bounded queue after Dmitry Vyukov's: each cell's sequence tells whose
// turn it is. A producer owns cell p when its sequence is p, and hands it to
// the sender by storing p + 1; the sender gives it back for the next round
// by storing p + kEntryCount.

RealtimeLog::RealtimeLog() {
    for (size_t i = 0; i < kEntryCount; ++i) {
        cells[i].sequence.store(i, std::memory_order_relaxed);
    }
}

RealtimeLog::~RealtimeLog() {
    stop();
}

RealtimeLog& RealtimeLog::process() {
    static RealtimeLog queue;
    static std::once_flag started;
    std::call_once(started, [] { queue.start(); });
    return queue;
}

void RealtimeLog::start() {
    if (sender.joinable()) {
        return;
    }
    running.store(true);
    sender = std::thread(&RealtimeLog::run, this);
}

void RealtimeLog::stop() {
    running.store(false);
    wake.signal();
    if (sender.joinable()) {
        sender.join();
    }
}

RealtimeLog::Entry* RealtimeLog::record(int level, uint64_t& taken) {
    uint64_t position = enqueuePosition.load(std::memory_order_relaxed);
    for (;;) {
        Cell& cell = cells[position % kEntryCount];
        const uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<int64_t>(sequence - position);
        if (difference == 0) {
            if (enqueuePosition.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
                cell.entry.reset(level);
                taken = position;
                return &cell.entry;
            }
        } else if (difference < 0) {
            lost.fetch_add(1, std::memory_order_relaxed);
            return nullptr; // the sender has not freed this cell yet: the queue is full
        } else {
            position = enqueuePosition.load(std::memory_order_relaxed);
        }
    }
}

void RealtimeLog::publish(uint64_t position) {
    // seq_cst with the sleep flag below: either the sender sees this entry
    // when it checks the queue, or this thread sees that it sleeps.
    cells[position % kEntryCount].sequence.store(position + 1, std::memory_order_seq_cst);
    if (senderSleeps.load(std::memory_order_seq_cst)) {
        wake.signal();
    }
}

size_t RealtimeLog::drain() {
    size_t committed = 0;
    for (;;) {
        const uint64_t position = dequeuePosition.load(std::memory_order_relaxed);
        Cell& cell = cells[position % kEntryCount];
        if (cell.sequence.load(std::memory_order_seq_cst) != position + 1) {
            break; // not published yet (or nothing there)
        }
        if (logEnabled(cell.entry.level())) {
            const uint32_t priority = logFacility() * 8U | static_cast<uint32_t>(cell.entry.level() & 7);
            LogRecord line(static_cast<uint8_t>(priority));
            cell.entry.formatInto(line);
            commit(line);
        }
        cell.sequence.store(position + kEntryCount, std::memory_order_release);
        dequeuePosition.store(position + 1, std::memory_order_release);
        ++committed;
    }
    const uint64_t lostNow = lost.load(std::memory_order_relaxed);
    if (lostNow != lostReported) {
        logLine(kLogError, "realtime log lines lost ") << lostNow - lostReported;
        lostReported = lostNow;
    }
    return committed;
}

void RealtimeLog::run() {
    setThreadPriority(currentThreadId(), Normal);
    while (running.load()) {
        drain();
        senderSleeps.store(true, std::memory_order_seq_cst);
        wake.clear();
        const uint64_t position = dequeuePosition.load(std::memory_order_relaxed);
        if (cells[position % kEntryCount].sequence.load(std::memory_order_seq_cst) != position + 1 &&
            running.load()) {
            wake.wait(kSenderWait);
        }
        senderSleeps.store(false, std::memory_order_relaxed);
    }
    drain(); // what was logged before the stop still goes out
}

bool RealtimeLog::flush(std::chrono::milliseconds limit) {
    const uint64_t target = enqueuePosition.load(std::memory_order_seq_cst);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    wake.signal();
    while (dequeuePosition.load(std::memory_order_acquire) < target) {
        if (!sender.joinable() || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kFlushPoll);
    }
    return true;
}

// ---- Threads --------------------------------------------------------------

void enterRealtimeThread() {
    RealtimeLog::process(); // the sender starts here, not at a line on the audio path
    gRealtimeUsed.store(true);
    tRealtime = true;
}

bool inRealtimeThread() {
    return tRealtime;
}

bool flushRealtimeLog() {
    return !gRealtimeUsed.load() || RealtimeLog::process().flush();
}

} // namespace VEMRA
