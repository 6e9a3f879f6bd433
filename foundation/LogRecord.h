#pragma once

#include "foundation/SocketAddress.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

namespace VEMRA {

// Severity levels used by the system (syslog severities).
constexpr int kLogError = 3;
constexpr int kLogDetail = 5;
constexpr int kLogInfo = 6;
constexpr int kLogDebug = 7;

// One syslog-format line under construction. Lives on one thread from
// creation to commit.
struct LogRecord {
    static constexpr size_t kMaxLength = 2047;
    static constexpr size_t kHeaderLength = 31;
    static constexpr char kTemplate[] = "<000>MMM DD hh mm ss localhost ";

    uint8_t priority = 0; // facility * 8 + level
    // Header template, then the message; always NUL-terminated at `length`.
    // Left uninitialised beyond the terminator: a record is built for every
    // line, and clearing 2 KiB each time would cost more than the formatting.
    char text[kMaxLength + 1];
    uint64_t length = kHeaderLength; // characters in text
    std::time_t stamp = 0;           // when the line was logged; 0 = when it is committed

    explicit LogRecord(uint8_t priority);

    // Numbers and C strings are formatted into the room left and cut there.
    // A char is a character (one-byte string object), not a number.
    void append(char character);
    void append(int value);
    void append(unsigned value);
    void append(long value);
    void append(unsigned long value);
    void append(long long value);
    void append(unsigned long long value);
    void append(float value);
    void append(double value);
    void append(const char* cString);
    // String objects and byte ranges go in whole or not at all.
    void append(std::string_view text);
    void appendBytes(const void* bytes, size_t count);
    // Exactly 16 upper-case hexadecimal digits, or nothing when they do not fit.
    void appendHex(uint64_t value);
    // The address in its scope-and-port text form.
    void append(const SocketAddress& address);

    // Fills the header in place: the priority right-aligned against the '>'
    // at character 4, then month, day and time of `localTime`. Returns where
    // the line starts in `text` (0 for three priority digits, 1 for two, 2
    // for one); the line runs from there to `length`.
    size_t stampHeader(const std::tm& localTime);
};

} // namespace VEMRA
