#pragma once

#include "host/HostClient.h"
#include "tools/quorvel_host/Output.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QUORVELHOST {

// One setting item of a target as the Host sees it: its description
// (CONFIG_ITEM_ANS), its choices and its current value (CONFIG_VALUE_ANS).
struct SettingItem {
    enum Type : uint16_t {
        Number = 1,
        Number2 = 2,
        Switch = 3,
        Text = 4,
        Choice = 5,
        ReadOnlyChoice = 6,
        Number7 = 7
    };

    uint16_t number = 0; // 1-based
    uint16_t type = 0;
    std::string name;
    int16_t low = 0; // a number item's range, signed minimum and unsigned maximum
    uint16_t high = 0;
    std::vector<std::string> choices; // choice items only
    uint16_t value = 0;               // the number, switch state or choice index
    std::string text;                 // a text item's text
    uint16_t reference = 0;           // the item's default number

    bool isNumber() const { return type == Number || type == Number2 || type == Number7; }
    // "number", "switch", "text", "choice", "read-only choice", "type N".
    std::string typeName() const;
    // The value as a person reads it: "Kitchen", "enable", "-20db", "10".
    std::string valueText() const;
    // "1-1000", "enable|disable", "disable|0db|-20db"; empty for text items.
    std::string rangeText() const;
};

// {"number", "name", "type", "value", "range", "choices"}.
void settingItemJson(JsonWriter& json, const SettingItem& item);

// Every item with its value; nothing when the target stopped answering.
std::optional<std::vector<SettingItem>> readSettingItems(QUORVEL::HostClient& client);
// One item (1-based); nothing when no answer came. `exists` is false for a
// number beyond the list.
std::optional<SettingItem> readSettingItem(QUORVEL::HostClient& client, uint16_t number, bool& exists);
// The item's current value again (after a change).
bool refreshValue(QUORVEL::HostClient& client, SettingItem& item);

// The argument of CONFIG_VALUE_REQ operation 1 for `text` on `item`: a
// number within the range, enable/disable (on/off, 1/0) for a switch, a
// choice's name or index. Nothing, with the reason, when it does not fit.
struct SetArgument {
    uint16_t number = 0;
    std::string text; // text items only
};
std::optional<SetArgument> setArgumentFor(const SettingItem& item, const std::string& text,
                                          std::string& error);

} // namespace QUORVELHOST
