#include "app/SettingItem.h"
#include "app/SettingsStore.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

const std::string kExample =
    std::string(QUORVEL_SOURCE_DIR) + "/packaging/quorvel_app_target_setting.inf.example";

// The installed example seeds the settings file, so it must load, name
// every key the Host can change, and change nothing.
TEST(SettingsExampleTest, ExampleLoadsAndHoldsEveryKeyAtItsDefault) {
    SettingsStore store;
    ASSERT_TRUE(store.load(kExample)) << "a TAB or control byte would make it unreadable";
    std::string name = "TargetApp";
    const auto items = buildSettingItems(store, name);
    const auto defaults = defaultSettingItems("TargetApp");
    ASSERT_EQ(items.size(), defaults.size());
    EXPECT_EQ(name, "TargetApp");
    EXPECT_EQ(store.get(kTargetNameKey), "TargetApp");
    for (size_t i = 1; i < items.size(); ++i) {
        EXPECT_FALSE(store.get(items[i].name).empty()) << items[i].name << " is not in the example";
        EXPECT_EQ(items[i].value, defaults[i].value) << items[i].name;
    }
    EXPECT_EQ(store.get("DSD48"), "disable") << "the probe's default when the file loads";
    EXPECT_EQ(store.sections().size(), 1U) << "the per-DAC example stays commented out";

    // Every key comes right after its explanation (the three PCM switches
    // share one).
    std::ifstream file(kExample);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const auto& item : items) {
        const std::string key = (item.name == "TargetName" ? std::string(kTargetNameKey) : item.name) + "=";
        const size_t at = text.find("\n" + key);
        ASSERT_NE(at, std::string::npos) << key;
        const size_t previous = text.rfind('\n', at - 1);
        ASSERT_NE(previous, std::string::npos) << key;
        const std::string line = text.substr(previous + 1, at - previous - 1);
        EXPECT_TRUE(line.rfind("# ", 0) == 0 || line.rfind("PCM", 0) == 0) << key << " follows: " << line;
    }
    EXPECT_NE(text.find("# Skip=enable"), std::string::npos);
}

} // namespace
