#pragma once

#include "app/SettingsStore.h"

#include <cstdint>
#include <string>
#include <vector>

// One setting the target offers to the Host.
struct SettingItem {
    enum Type : uint16_t {
        kText = 0,
        kRange = 1, // integer with min..max
        kInteger = 2,
        kSwitch = 3, // 1 = enable, 0 = disable
        kName = 4,   // name text
        kChoice = 5, // value = index into choices
    };

    uint16_t type = kText;
    std::string name;
    std::string text;
    uint16_t min = 0;
    uint16_t max = 0;
    uint16_t value = 0;
    std::vector<std::string> choices;
    uint64_t origin = 0;
};

// Settings keys shared by the items, the target's configuration access and
// the DAC probe. The target name's key is spelt "TrgetName" in every
// settings file ever written, so it stays that way.
inline constexpr const char* kTargetNameKey = "TrgetName";
inline constexpr size_t kSettingItemCount = 10;

// The ten items with their defaults, item 0 carrying `targetName`.
std::vector<SettingItem> defaultSettingItems(const std::string& targetName);

// The ten items with their values taken from the section "global" of
// `settings`. A non-empty "TrgetName" that differs from `targetName`
// replaces it (and so item 0's text). Ranges are not enforced here.
std::vector<SettingItem> buildSettingItems(const SettingsStore& settings, std::string& targetName);
