#pragma once

#include "foundation/SocketAddress.h"

#include <optional>
#include <string>
#include <string_view>

namespace VEMRA {

// IPv4-mapped addresses as dotted decimal; anything else as eight lower-case
// hexadecimal groups with the first run of two or more zero groups as "::".
std::string addressText(const SocketAddress& record);
// addressText + "," + port.
std::string addressPortText(const SocketAddress& record);
// addressText + "%" + (scope & 0xFFFF) + "," + port: the form log lines use.
std::string addressScopePortText(const SocketAddress& record);
// Parses the textual forms above: an address (any IPv6 text form, or dotted
// IPv4 for an IPv4-mapped record), optionally followed by "%" + scope and/or
// "," + port in decimal. Missing parts are 0. Nothing else is accepted.
std::optional<SocketAddress> parseAddress(std::string_view text);

} // namespace VEMRA
