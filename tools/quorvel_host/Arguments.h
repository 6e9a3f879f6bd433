#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace QUORVELHOST {

// An option a command takes: "--name" alone, or "--name VALUE" / "--name=VALUE".
struct OptionRule {
    const char* name; // without the dashes
    bool takesValue;
};

// A command line after its command word: positional words in order and the
// options given (a repeated option keeps its last value).
struct Arguments {
    std::vector<std::string> positionals;
    std::map<std::string, std::string> options;

    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = std::string()) const;
};

// Splits `words` by `rules`; "--help" and "--json" are always known. A word
// starting with "-" and a digit (a negative number such as a volume of -20)
// is a positional word; "--" makes every later word positional. Nothing,
// with the reason in `error`, for an unknown option, a missing value or a
// value given to an option without one.
std::optional<Arguments> parseArguments(const std::vector<std::string>& words,
                                        const std::vector<OptionRule>& rules, std::string& error);

// Decimal numbers as users type them; nothing for anything else (signs,
// blanks, trailing text, out of range).
std::optional<uint32_t> parseUnsigned(const std::string& text, uint32_t largest);
// A decimal fraction such as "-20", "-20.5", "0.25" or "+3".
std::optional<double> parseDecimal(const std::string& text);
// A volume in hundredths of a dB from "-20", "-20.5", "-20dB" or "mute"
// (which is `muteValue`); rounded to the nearest hundredth.
std::optional<int64_t> parseVolume(const std::string& text, int64_t muteValue);

} // namespace QUORVELHOST
