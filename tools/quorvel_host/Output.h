#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace QUORVELHOST {

// Exit status of every command.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1, // the target did not answer, refused, or the work failed
    kExitUsage = 2,   // the command line is wrong
};

// Prints "quorvel_host: <message>" as one line on standard error and returns `code`.
int fail(int code, const std::string& message);

// Builds one JSON document. Values are written where the document stands:
// after key() inside an object, or as the next element of an array.
class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);
    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(int64_t number);
    JsonWriter& value(uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<uint64_t>(number)); }
    JsonWriter& value(double number);
    JsonWriter& value(bool flag);
    JsonWriter& null();
    // A whole array of strings or numbers.
    JsonWriter& values(const std::vector<std::string>& texts);
    JsonWriter& values(const std::vector<uint32_t>& numbers);

    const std::string& text() const { return out; }

private:
    void separate();

    std::string out;
    std::vector<bool> firstInLevel; // one per open object or array
    bool afterKey = false;
};

// JSON string escaping (quotes included).
std::string jsonString(std::string_view text);

// Writes `text` plus a newline to standard output and flushes it.
void printLine(const std::string& text);

// "%.1f"-style formatting without locale surprises.
std::string fixed(double value, int decimals);
// A format or capability word: "0x003e00000e03".
std::string hexWord(uint64_t word);
// A volume in hundredths of a dB: "-20.00 dB".
std::string decibelText(int64_t hundredths);

} // namespace QUORVELHOST
