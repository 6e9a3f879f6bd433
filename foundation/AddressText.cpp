#include "foundation/AddressText.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <limits>
#include <netinet/in.h>

namespace VEMRA {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void appendHexGroup(std::string& text, unsigned group) {
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        const unsigned digit = (group >> shift) & 0xFu;
        if (digit != 0 || started || shift == 0) {
            text += kHexDigits[digit];
            started = true;
        }
    }
}

template <typename T> bool parseDecimal(std::string_view text, T& value) {
    if (text.empty()) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc{} && end == text.data() + text.size();
}

} // namespace

std::string addressText(const SocketAddress& record) {
    const auto& bytes = record.address;
    std::string text;
    if (record.isV4Mapped()) {
        for (int i = 12; i < 16; ++i) {
            if (i != 12) {
                text += '.';
            }
            text += std::to_string(bytes[i]);
        }
        return text;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = (static_cast<unsigned>(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    }
    // The first run of at least two zero groups becomes "::".
    int runStart = -1;
    int runLength = 0;
    for (int i = 0; i < 8 && runStart < 0; ++i) {
        int length = 0;
        while (i + length < 8 && groups[i + length] == 0) {
            ++length;
        }
        if (length >= 2) {
            runStart = i;
            runLength = length;
        }
        i += length;
    }
    for (int i = 0; i < 8; ++i) {
        if (i == runStart) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (i != 0 && text.back() != ':') {
            text += ':';
        }
        appendHexGroup(text, groups[i]);
    }
    return text;
}

std::string addressPortText(const SocketAddress& record) {
    return addressText(record) + "," + std::to_string(record.hostPort());
}

std::string addressScopePortText(const SocketAddress& record) {
    return addressText(record) + "%" + std::to_string(record.scope & 0xFFFFu) + "," +
           std::to_string(record.hostPort());
}

std::optional<SocketAddress> parseAddress(std::string_view text) {
    SocketAddress record;
    const size_t comma = text.find(',');
    if (comma != std::string_view::npos) {
        uint16_t port = 0;
        if (!parseDecimal(text.substr(comma + 1), port)) {
            return std::nullopt;
        }
        record.setHostPort(port);
        text = text.substr(0, comma);
    }
    const size_t percent = text.find('%');
    if (percent != std::string_view::npos) {
        if (!parseDecimal(text.substr(percent + 1), record.scope)) {
            return std::nullopt;
        }
        text = text.substr(0, percent);
    }
    // inet_pton wants a terminated string; the longest IPv6 text is 45 characters.
    char terminated[INET6_ADDRSTRLEN + 1] = {};
    if (text.empty() || text.size() >= sizeof(terminated)) {
        return std::nullopt;
    }
    std::memcpy(terminated, text.data(), text.size());
    in6_addr v6{};
    in_addr v4{};
    if (inet_pton(AF_INET6, terminated, &v6) == 1) {
        std::memcpy(record.address.data(), &v6, record.address.size());
    } else if (inet_pton(AF_INET, terminated, &v4) == 1) {
        record.address[10] = 0xff;
        record.address[11] = 0xff;
        std::memcpy(record.address.data() + 12, &v4, 4);
    } else {
        return std::nullopt;
    }
    return record;
}

} // namespace VEMRA
