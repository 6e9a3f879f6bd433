#pragma once

// Small readers for the ALSA configuration nodes of the fake plugins. Both
// plugins take their whole behaviour from their configuration node, so a value
// of the wrong type is an error the test author must see, never a silent default.

#include <alsa/asoundlib.h>

#include <cstring>
#include <string>

namespace FAKEALSA {

// Integer keys accept integers, 64-bit integers and decimal strings, since the
// configuration parser keeps quoted numbers as strings.
inline bool readInteger(snd_config_t* node, long long& value) {
    long small = 0;
    if (snd_config_get_integer(node, &small) == 0) {
        value = small;
        return true;
    }
    long long big = 0;
    if (snd_config_get_integer64(node, &big) == 0) {
        value = big;
        return true;
    }
    const char* text = nullptr;
    if (snd_config_get_string(node, &text) == 0 && text != nullptr && *text != '\0') {
        char* end = nullptr;
        value = strtoll(text, &end, 10);
        return end != nullptr && *end == '\0';
    }
    return false;
}

inline bool readString(snd_config_t* node, std::string& value) {
    const char* text = nullptr;
    if (snd_config_get_string(node, &text) < 0 || text == nullptr) {
        return false;
    }
    value = text;
    return true;
}

inline bool readBool(snd_config_t* node, bool& value) {
    int flag = snd_config_get_bool(node);
    if (flag < 0) {
        return false;
    }
    value = flag != 0;
    return true;
}

// Keys every plugin node may carry that are not plugin parameters.
inline bool isGenericKey(const char* id) {
    return strcmp(id, "comment") == 0 || strcmp(id, "type") == 0 || strcmp(id, "hint") == 0;
}

// Copies text into one of the fixed-size name fields of the plugin SDK.
template <size_t N> void copyName(char (&field)[N], const std::string& text) {
    size_t length = text.size() < N - 1 ? text.size() : N - 1;
    memcpy(field, text.data(), length);
    field[length] = '\0';
}

} // namespace FAKEALSA
