#include "tools/quorvel_host/Output.h"

#include <cmath>
#include <cstdio>

namespace QUORVELHOST {

int fail(int code, const std::string& message) {
    std::string line = message;
    // One line, whatever the message carries.
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::fprintf(stderr, "quorvel_host: %s\n", line.c_str());
    std::fflush(stderr);
    return code;
}

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
                quoted += escaped;
            } else {
                quoted += c;
            }
        }
    }
    quoted += '"';
    return quoted;
}

void JsonWriter::separate() {
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!firstInLevel.empty()) {
        if (!firstInLevel.back()) {
            out += ',';
        }
        firstInLevel.back() = false;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    out += '{';
    firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out += '}';
    firstInLevel.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    out += '[';
    firstInLevel.push_back(true);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out += ']';
    firstInLevel.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    out += jsonString(name);
    out += ':';
    afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    out += jsonString(text);
    return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
    separate();
    out += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(uint64_t number) {
    separate();
    out += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(double number) {
    separate();
    out += std::isfinite(number) ? fixed(number, 3) : "null";
    return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    out += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    out += "null";
    return *this;
}

JsonWriter& JsonWriter::values(const std::vector<std::string>& texts) {
    beginArray();
    for (const std::string& text : texts) {
        value(text);
    }
    return endArray();
}

JsonWriter& JsonWriter::values(const std::vector<uint32_t>& numbers) {
    beginArray();
    for (const uint32_t number : numbers) {
        value(static_cast<uint64_t>(number));
    }
    return endArray();
}

void printLine(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.*f", decimals, value);
    return text;
}

std::string hexWord(uint64_t word) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%012llx", static_cast<unsigned long long>(word));
    return text;
}

std::string decibelText(int64_t hundredths) {
    return fixed(static_cast<double>(hundredths) / 100.0, 2) + " dB";
}

} // namespace QUORVELHOST
