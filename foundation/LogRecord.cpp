#include "foundation/LogRecord.h"

#include "foundation/AddressText.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace VEMRA {

namespace {

constexpr size_t kCapacity = LogRecord::kMaxLength + 1; // characters plus terminator
constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// snprintf never writes past the room left; a result longer than the room is
// cut, and `length` follows what was actually stored.
template <typename T> void appendFormatted(LogRecord& record, const char* format, T value) {
    const size_t room = kCapacity - record.length;
    const int written = std::snprintf(record.text + record.length, room, format, value);
    if (written > 0) {
        const auto wanted = static_cast<size_t>(written);
        record.length += wanted < room ? wanted : room - 1;
    }
}

void putTwoDigits(char* at, int value) {
    const int clamped = ((value % 100) + 100) % 100;
    at[0] = static_cast<char>('0' + clamped / 10);
    at[1] = static_cast<char>('0' + clamped % 10);
}

} // namespace

LogRecord::LogRecord(uint8_t priorityValue) : priority(priorityValue) {
    std::memcpy(text, kTemplate, sizeof(kTemplate));
}

void LogRecord::append(char character) {
    appendBytes(&character, 1);
}
void LogRecord::append(int value) {
    appendFormatted(*this, "%d", value);
}
void LogRecord::append(unsigned value) {
    appendFormatted(*this, "%u", value);
}
void LogRecord::append(long value) {
    appendFormatted(*this, "%ld", value);
}
void LogRecord::append(unsigned long value) {
    appendFormatted(*this, "%lu", value);
}
void LogRecord::append(long long value) {
    appendFormatted(*this, "%lld", value);
}
void LogRecord::append(unsigned long long value) {
    appendFormatted(*this, "%llu", value);
}
void LogRecord::append(float value) {
    appendFormatted(*this, "%lf", static_cast<double>(value));
}
void LogRecord::append(double value) {
    appendFormatted(*this, "%lf", value);
}

void LogRecord::append(const char* cString) {
    if (cString == nullptr) {
        return;
    }
    // Copy what fits; the record is never left without its terminator.
    const size_t room = kCapacity - length;
    const size_t count = strnlen(cString, room - 1);
    std::memcpy(text + length, cString, count);
    length += count;
    text[length] = '\0';
}

void LogRecord::append(std::string_view piece) {
    appendBytes(piece.data(), piece.size());
}

void LogRecord::appendBytes(const void* bytes, size_t count) {
    if (count > kMaxLength || length + count + 1 > kMaxLength) {
        return;
    }
    std::memcpy(text + length, bytes, count);
    length += count;
    text[length] = '\0';
}

void LogRecord::appendHex(uint64_t value) {
    if (length + 17 >= kCapacity) {
        return;
    }
    for (int digit = 15; digit >= 0; --digit) {
        text[length + static_cast<size_t>(15 - digit)] = kHexDigits[(value >> (digit * 4)) & 0xFU];
    }
    length += 16;
    text[length] = '\0';
}

void LogRecord::append(const SocketAddress& address) {
    append(std::string_view(addressScopePortText(address)));
}

size_t LogRecord::stampHeader(const std::tm& localTime) {
    size_t start = 0;
    text[4] = '>';
    if (priority >= 100) {
        text[0] = '<';
        text[1] = static_cast<char>('0' + priority / 100);
        putTwoDigits(text + 2, priority);
    } else if (priority >= 10) {
        start = 1;
        text[1] = '<';
        putTwoDigits(text + 2, priority);
    } else {
        start = 2;
        text[2] = '<';
        text[3] = static_cast<char>('0' + priority);
    }
    std::memcpy(text + 5, kMonths[((localTime.tm_mon % 12) + 12) % 12], 3);
    text[8] = ' ';
    putTwoDigits(text + 9, localTime.tm_mday);
    text[11] = ' ';
    putTwoDigits(text + 12, localTime.tm_hour);
    text[14] = ':';
    putTwoDigits(text + 15, localTime.tm_min);
    text[17] = ':';
    putTwoDigits(text + 18, localTime.tm_sec);
    text[20] = ' ';
    return start;
}

} // namespace VEMRA
