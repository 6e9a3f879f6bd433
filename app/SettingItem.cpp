#include "app/SettingItem.h"

#include "protocol/HostText.h"

#include <cstdlib>

namespace {

SettingItem makeItem(uint16_t type, const char* name, uint16_t value) {
    SettingItem item;
    item.type = type;
    item.name = name;
    item.value = value;
    return item;
}

SettingItem makeRange(const char* name, uint16_t value, uint16_t min, uint16_t max) {
    SettingItem item = makeItem(SettingItem::kRange, name, value);
    item.min = min;
    item.max = max;
    return item;
}

// Items are always read from "global", whatever the store has selected.
std::string globalValue(const SettingsStore& settings, const std::string& key) {
    const auto section = settings.sections().find("global");
    if (section == settings.sections().end()) {
        return {};
    }
    const auto entry = section->second.find(key);
    return entry == section->second.end() ? std::string() : entry->second.value;
}

void takeValue(SettingItem& item, const std::string& text) {
    switch (item.type) {
    case SettingItem::kText:
    case SettingItem::kName:
        item.text = text;
        break;
    case SettingItem::kRange:
    case SettingItem::kInteger:
        // Cut to 16 bits as the item carries it; the range is the Host's to enforce.
        item.value = static_cast<uint16_t>(std::strtoll(text.c_str(), nullptr, 10));
        break;
    case SettingItem::kSwitch:
        item.value = text == "disable" ? 0 : 1;
        break;
    case SettingItem::kChoice:
        for (size_t index = 0; index < item.choices.size(); ++index) {
            if (item.choices[index] == text) {
                item.value = static_cast<uint16_t>(index);
                break;
            }
        }
        break;
    default:
        break;
    }
}

} // namespace

std::vector<SettingItem> defaultSettingItems(const std::string& targetName) {
    std::vector<SettingItem> items;
    items.reserve(kSettingItemCount);
    SettingItem name = makeItem(SettingItem::kName, "TargetName", 0);
    name.text = targetName;
    items.push_back(std::move(name));
    items.push_back(makeItem(SettingItem::kSwitch, "DoPauto", 1));
    items.push_back(makeItem(SettingItem::kSwitch, "DSDNativ", 1));
    items.push_back(makeItem(SettingItem::kSwitch, "DSD48", 0));
    items.push_back(makeItem(SettingItem::kSwitch, "PCM32bit", 1));
    items.push_back(makeItem(SettingItem::kSwitch, "PCM24bit", 1));
    items.push_back(makeItem(SettingItem::kSwitch, "PCM16bit", 1));
    items.push_back(makeRange("AlsaLatency", 10, 1, 1000));
    SettingItem volume = makeItem(SettingItem::kChoice, "VolumeCtl", 0);
    volume.choices = {"disable", "0db", "-20db", "-40db", "mute"};
    items.push_back(std::move(volume));
    items.push_back(makeRange("AlsaMaxCh", 0, 0, 32));
    return items;
}

std::vector<SettingItem> buildSettingItems(const SettingsStore& settings, std::string& targetName) {
    // A name longer than a Host may set (a file written before the bound, or
    // by hand) is cut to it: every DISCOVER_ANS carries the name.
    const std::string storedName(QUORVEL::cutHostText(globalValue(settings, kTargetNameKey)));
    if (!storedName.empty() && storedName != targetName) {
        targetName = storedName;
    }
    std::vector<SettingItem> items = defaultSettingItems(targetName);
    for (size_t index = 1; index < items.size(); ++index) {
        const std::string text = globalValue(settings, items[index].name);
        if (!text.empty()) {
            takeValue(items[index], text);
        }
    }
    return items;
}
