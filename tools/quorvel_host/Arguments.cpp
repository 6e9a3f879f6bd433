#include "tools/quorvel_host/Arguments.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <strings.h>

namespace QUORVELHOST {

namespace {

bool looksNegativeNumber(const std::string& word) {
    return word.size() >= 2 && word[0] == '-' &&
           (std::isdigit(static_cast<unsigned char>(word[1])) != 0 || (word[1] == '.' && word.size() >= 3));
}

bool allDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

} // namespace

std::string Arguments::value(const std::string& name, const std::string& fallback) const {
    const auto found = options.find(name);
    return found == options.end() ? fallback : found->second;
}

std::optional<Arguments> parseArguments(const std::vector<std::string>& words,
                                        const std::vector<OptionRule>& rules, std::string& error) {
    std::vector<OptionRule> known = rules;
    known.push_back({"help", false});
    known.push_back({"json", false});
    Arguments parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.empty() || word[0] != '-' || word == "-" || looksNegativeNumber(word)) {
            parsed.positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        if (word.size() < 3 || word[1] != '-') {
            error = "unknown option '" + word + "' (options are written --name)";
            return std::nullopt;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        const auto rule = std::find_if(known.begin(), known.end(),
                                       [&](const OptionRule& candidate) { return name == candidate.name; });
        if (rule == known.end()) {
            error = "unknown option '--" + name + "'";
            return std::nullopt;
        }
        if (!rule->takesValue) {
            if (equals != std::string::npos) {
                error = "option '--" + name + "' takes no value";
                return std::nullopt;
            }
            parsed.options[name] = "";
            continue;
        }
        if (equals != std::string::npos) {
            parsed.options[name] = word.substr(equals + 1);
        } else if (i + 1 < words.size()) {
            parsed.options[name] = words[++i];
        } else {
            error = "option '--" + name + "' needs a value";
            return std::nullopt;
        }
    }
    return parsed;
}

std::optional<uint32_t> parseUnsigned(const std::string& text, uint32_t largest) {
    if (!allDigits(text) || text.size() > 10) {
        return std::nullopt;
    }
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (value > largest) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<double> parseDecimal(const std::string& text) {
    size_t at = 0;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        at = 1;
    }
    const std::string body = text.substr(at);
    const size_t point = body.find('.');
    const std::string whole = body.substr(0, point);
    const std::string fraction = point == std::string::npos ? std::string() : body.substr(point + 1);
    const bool wholeOk = whole.empty() || allDigits(whole);
    const bool fractionOk = point == std::string::npos ? true : allDigits(fraction);
    if (body.empty() || !wholeOk || !fractionOk || (whole.empty() && fraction.empty()) || whole.size() > 9) {
        return std::nullopt;
    }
    return std::strtod(text.c_str(), nullptr);
}

std::optional<int64_t> parseVolume(const std::string& text, int64_t muteValue) {
    if (strcasecmp(text.c_str(), "mute") == 0) {
        return muteValue;
    }
    std::string number = text;
    if (number.size() > 2 && strcasecmp(number.c_str() + number.size() - 2, "db") == 0) {
        number.resize(number.size() - 2);
    }
    const auto decibels = parseDecimal(number);
    if (!decibels) {
        return std::nullopt;
    }
    return static_cast<int64_t>(std::llround(*decibels * 100.0));
}

} // namespace QUORVELHOST
