#include "app/SettingItem.h"

#include <gtest/gtest.h>

namespace {

std::vector<SettingItem> itemsFrom(const std::string& text, std::string& name) {
    SettingsStore store;
    EXPECT_TRUE(store.loadText(text));
    return buildSettingItems(store, name);
}

std::vector<SettingItem> itemsFrom(const std::string& text) {
    std::string name = "TargetApp";
    return itemsFrom(text, name);
}

uint16_t valueOf(const std::string& text, size_t index) {
    return itemsFrom(text).at(index).value;
}

} // namespace

TEST(SettingItemTest, DefaultsWithoutAFile) {
    std::string name = "TargetApp";
    const std::vector<SettingItem> items = buildSettingItems(SettingsStore(), name);
    ASSERT_EQ(items.size(), kSettingItemCount);
    EXPECT_EQ(name, "TargetApp");

    const char* names[] = {"TargetName", "DoPauto",  "DSDNativ",    "DSD48",     "PCM32bit",
                           "PCM24bit",   "PCM16bit", "AlsaLatency", "VolumeCtl", "AlsaMaxCh"};
    const uint16_t types[] = {4, 3, 3, 3, 3, 3, 3, 1, 5, 1};
    const uint16_t values[] = {0, 1, 1, 0, 1, 1, 1, 10, 0, 0};
    for (size_t i = 0; i < kSettingItemCount; ++i) {
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(items[i].name, names[i]);
        EXPECT_EQ(items[i].type, types[i]);
        EXPECT_EQ(items[i].value, values[i]);
        EXPECT_EQ(items[i].origin, 0U);
        // Switches carry no choice list: the Host reads them as enable/disable.
        EXPECT_EQ(items[i].choices.empty(), i != 8);
    }
    EXPECT_EQ(items[0].text, "TargetApp");
    EXPECT_EQ(items[7].min, 1);
    EXPECT_EQ(items[7].max, 1000);
    EXPECT_EQ(items[9].min, 0);
    EXPECT_EQ(items[9].max, 32);
    EXPECT_EQ(items[8].choices, (std::vector<std::string>{"disable", "0db", "-20db", "-40db", "mute"}));
}

TEST(SettingItemTest, TargetNameComesFromTheMisspeltKey) {
    std::string name = "TargetApp";
    std::vector<SettingItem> items = itemsFrom("TrgetName=Living Room\n", name);
    EXPECT_EQ(name, "Living Room");
    EXPECT_EQ(items[0].text, "Living Room");
    EXPECT_EQ(items[0].name, "TargetName");

    name = "TargetApp";
    items = itemsFrom("TargetName=Wrong Key\nTrgetName=\n", name);
    EXPECT_EQ(name, "TargetApp");
    EXPECT_EQ(items[0].text, "TargetApp");

    // Only "global" counts.
    items = itemsFrom("[dac]\nTrgetName=Other\nDSD48=enable\n", name);
    EXPECT_EQ(name, "TargetApp");
    EXPECT_EQ(items[3].value, 0);
}

TEST(SettingItemTest, SwitchRules) {
    EXPECT_EQ(valueOf("DoPauto=disable\n", 1), 0);
    EXPECT_EQ(valueOf("DoPauto=yes\n", 1), 1);
    EXPECT_EQ(valueOf("DoPauto=Disable\n", 1), 1);
    EXPECT_EQ(valueOf("DoPauto=\n", 1), 1);
    // DSD48 defaults off, and any text but "disable" switches it on.
    EXPECT_EQ(valueOf("", 3), 0);
    EXPECT_EQ(valueOf("DSD48=enable\n", 3), 1);
    EXPECT_EQ(valueOf("DSD48=on\n", 3), 1);
    EXPECT_EQ(valueOf("DSD48=enable\nDSD48=disable\n", 3), 0);
    const std::vector<SettingItem> items =
        itemsFrom("DSDNativ=disable\nPCM32bit=disable\nPCM24bit=enable\nPCM16bit=disable\n");
    EXPECT_EQ(items[2].value, 0);
    EXPECT_EQ(items[4].value, 0);
    EXPECT_EQ(items[5].value, 1);
    EXPECT_EQ(items[6].value, 0);
    EXPECT_EQ(items[1].value, 1);
}

TEST(SettingItemTest, NumbersAreReadWithoutRangeCheck) {
    EXPECT_EQ(valueOf("AlsaLatency=40\n", 7), 40);
    EXPECT_EQ(valueOf("AlsaLatency=5000\n", 7), 5000);
    EXPECT_EQ(valueOf("AlsaLatency=0\n", 7), 0);
    EXPECT_EQ(valueOf("AlsaLatency=70000\n", 7), 70000 & 0xFFFF);
    EXPECT_EQ(valueOf("AlsaLatency=-1\n", 7), 0xFFFF);
    EXPECT_EQ(valueOf("AlsaLatency=fast\n", 7), 0);
    EXPECT_EQ(valueOf("AlsaMaxCh=64\n", 9), 64);
    EXPECT_EQ(valueOf("AlsaMaxCh=8ch\n", 9), 8);
}

TEST(SettingItemTest, ChoiceTakesTheIndexOfAnExactMatch) {
    EXPECT_EQ(valueOf("VolumeCtl=-20db\n", 8), 2);
    EXPECT_EQ(valueOf("VolumeCtl=mute\n", 8), 4);
    EXPECT_EQ(valueOf("VolumeCtl=0db\n", 8), 1);
    EXPECT_EQ(valueOf("VolumeCtl=-10db\n", 8), 0);
    EXPECT_EQ(valueOf("VolumeCtl=-20dB\n", 8), 0);
    EXPECT_EQ(valueOf("VolumeCtl=3\n", 8), 0);
}
