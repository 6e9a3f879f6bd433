#pragma once

#include <cstddef>
#include <string_view>

namespace QUORVEL {

// The longest text a Host may set: the target's name and the other setting
// texts, a sink's host name and synchro group name, a synchro name. Any such
// text may come back in later answers (the name in every DISCOVER_ANS), so
// it must not be able to make them large. 64 bytes of UTF-8 hold any name a
// person gives a machine (and HOST_NAME_MAX).
inline constexpr size_t kMaxHostTextBytes = 64;

inline bool fitsHostText(std::string_view text) {
    return text.size() <= kMaxHostTextBytes;
}

// `text` cut to at most kMaxHostTextBytes, never inside a UTF-8 sequence.
inline std::string_view cutHostText(std::string_view text) {
    if (text.size() <= kMaxHostTextBytes) {
        return text;
    }
    size_t length = kMaxHostTextBytes;
    // Back over continuation bytes (10xxxxxx) to the start of the cut sequence.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        --length;
    }
    return text.substr(0, length);
}

} // namespace QUORVEL
