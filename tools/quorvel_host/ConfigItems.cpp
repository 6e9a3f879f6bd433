#include "tools/quorvel_host/ConfigItems.h"

#include "tools/quorvel_host/Arguments.h"

#include <algorithm>
#include <strings.h>

namespace QUORVELHOST {

namespace {

bool hasChoices(uint16_t type) {
    return type == SettingItem::Choice || type == SettingItem::ReadOnlyChoice;
}

} // namespace

std::string SettingItem::typeName() const {
    switch (type) {
    case Number:
    case Number2:
    case Number7:
        return "number";
    case Switch:
        return "switch";
    case Text:
        return "text";
    case Choice:
        return "choice";
    case ReadOnlyChoice:
        return "read-only choice";
    default:
        return "type " + std::to_string(type);
    }
}

std::string SettingItem::valueText() const {
    if (type == Text) {
        return text;
    }
    if (type == Switch && choices.empty()) {
        return value != 0 ? "enable" : "disable";
    }
    if (hasChoices(type)) {
        return value < choices.size() ? choices[value] : "unknown (" + std::to_string(value) + ")";
    }
    return std::to_string(value);
}

std::string SettingItem::rangeText() const {
    if (type == Switch && choices.empty()) {
        return "enable|disable";
    }
    if (!choices.empty()) {
        std::string joined;
        for (const std::string& choice : choices) {
            joined += (joined.empty() ? "" : "|") + choice;
        }
        return joined;
    }
    if (isNumber()) {
        return std::to_string(low) + "-" + std::to_string(high);
    }
    return std::string();
}

void settingItemJson(JsonWriter& json, const SettingItem& item) {
    json.beginObject();
    json.key("number").value(static_cast<unsigned>(item.number));
    json.key("name").value(item.name);
    json.key("type").value(item.typeName());
    json.key("value").value(item.valueText());
    json.key("range").value(item.rangeText());
    json.key("choices").values(item.choices);
    json.endObject();
}

bool refreshValue(QUORVEL::HostClient& client, SettingItem& item) {
    const auto current = client.configValue(item.number, QUORVEL::HostClient::Read);
    if (!current) {
        return false;
    }
    item.value = current->value;
    item.reference = current->reference;
    item.text = current->text;
    return true;
}

std::optional<SettingItem> readSettingItem(QUORVEL::HostClient& client, uint16_t number, bool& exists) {
    exists = false;
    const auto described = client.configItem(number);
    if (!described) {
        return std::nullopt;
    }
    SettingItem item;
    item.number = number;
    if (!described->accepted || number == 0) {
        return item;
    }
    exists = true;
    item.type = described->type;
    item.name = described->name;
    item.low = static_cast<int16_t>(described->low);
    item.high = described->high;
    if (hasChoices(item.type)) {
        for (uint32_t index = 0; index <= item.high; ++index) {
            const auto choice =
                client.configValue(number, QUORVEL::HostClient::ChoiceText, static_cast<uint16_t>(index));
            if (!choice) {
                return std::nullopt;
            }
            item.choices.push_back(choice->text);
        }
    }
    if (!refreshValue(client, item)) {
        return std::nullopt;
    }
    return item;
}

std::optional<std::vector<SettingItem>> readSettingItems(QUORVEL::HostClient& client) {
    const auto count = client.configItem(0);
    if (!count) {
        return std::nullopt;
    }
    std::vector<SettingItem> items;
    for (uint32_t number = 1; number <= count->number; ++number) {
        bool exists = false;
        const auto item = readSettingItem(client, static_cast<uint16_t>(number), exists);
        if (!item) {
            return std::nullopt;
        }
        if (exists) {
            items.push_back(*item);
        }
    }
    return items;
}

std::optional<SetArgument> setArgumentFor(const SettingItem& item, const std::string& text,
                                          std::string& error) {
    SetArgument argument;
    if (item.type == SettingItem::Text) {
        argument.text = text;
        return argument;
    }
    if (item.type == SettingItem::Switch && item.choices.empty()) {
        for (const auto& [word, state] : {std::pair{"enable", 1}, std::pair{"on", 1}, std::pair{"1", 1},
                                          std::pair{"disable", 0}, std::pair{"off", 0}, std::pair{"0", 0}}) {
            if (strcasecmp(text.c_str(), word) == 0) {
                argument.number = static_cast<uint16_t>(state);
                return argument;
            }
        }
        error = item.name + " is a switch: enable or disable, not '" + text + "'";
        return std::nullopt;
    }
    if (item.type == SettingItem::Choice) {
        const auto exact = std::find(item.choices.begin(), item.choices.end(), text);
        if (exact != item.choices.end()) {
            argument.number = static_cast<uint16_t>(exact - item.choices.begin());
            return argument;
        }
        error = item.name + " is one of " + item.rangeText() + ", not '" + text + "'";
        return std::nullopt;
    }
    if (item.isNumber()) {
        const auto number = parseUnsigned(text, 65535);
        if (!number || static_cast<int32_t>(*number) < item.low || *number > item.high) {
            error = item.name + " is a number in " + item.rangeText() + ", not '" + text + "'";
            return std::nullopt;
        }
        argument.number = static_cast<uint16_t>(*number);
        return argument;
    }
    error = item.name + " cannot be changed (" + item.typeName() + ")";
    return std::nullopt;
}

} // namespace QUORVELHOST
