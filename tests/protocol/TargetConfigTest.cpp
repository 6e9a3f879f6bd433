// ctest-labels: threads
#include "protocol/MessageCode.h"
#include "protocol/Target.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

#include <mutex>

using QUORVEL::ConfigItem;
using QUORVEL::HostClient;
using QUORVEL::Target;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

namespace {

// Items 1-7 in wire numbering.
enum WireItem : uint16_t {
    NumberItem = 1,
    SwitchItem,
    TextItem,
    ChoiceItem,
    ReadOnlyItem,
    WideItem,
    OddItem
};

TargetInfo configInfo() {
    TargetInfo info = sampleInfo();
    ConfigItem number;
    number.type = ConfigItem::Number;
    number.name = "Latency";
    number.minimum = -5;
    number.maximum = 1000;
    number.value = 10;
    ConfigItem toggle;
    toggle.type = ConfigItem::Switch;
    toggle.name = "DoPauto";
    toggle.value = 1;
    ConfigItem text;
    text.type = ConfigItem::Text;
    text.name = "TargetName";
    text.text = "Reference";
    ConfigItem choice;
    choice.type = ConfigItem::Choice;
    choice.name = "VolumeCtl";
    choice.value = 1;
    choice.choices = {"disable", "0db", "-20db"};
    ConfigItem readOnly;
    readOnly.type = ConfigItem::ChoiceReadOnly;
    readOnly.name = "Mode";
    readOnly.value = 0;
    readOnly.choices = {"auto", "manual"};
    ConfigItem wide;
    wide.type = ConfigItem::NumberWide;
    wide.name = "Wide";
    wide.minimum = 1;
    wide.maximum = 65534;
    wide.value = 3;
    ConfigItem odd;
    odd.type = 9;
    odd.name = "Odd";
    odd.value = 4;
    info.configItems = {number, toggle, text, choice, readOnly, wide, odd};
    return info;
}

struct SetCall {
    uint16_t item;
    std::string text;
    uint16_t number;
    bool reset;
    bool operator==(const SetCall&) const = default;
};

// Settings behind the slots: a text and a number per item, recorded calls.
// The slots run on the Target's thread, the test reads from its own.
class SettingsTarget : public Target {
public:
    SettingsTarget(const TargetInfo& info, Config config) : Target(info, std::move(config)) {}
    ~SettingsTarget() override { stop(); }

    bool configGet(uint16_t item, std::string& text, uint16_t& number) override {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = values.find(item);
        if (found == values.end()) {
            return false;
        }
        text = found->second.first;
        number = found->second.second;
        return true;
    }

    bool configSet(uint16_t item, const std::string& text, uint16_t number, bool reset) override {
        std::lock_guard<std::mutex> lock(mutex);
        sets.push_back({item, text, number, reset});
        values[item] = {text, number};
        return acceptSets;
    }

    bool configSave(bool restart) override {
        std::lock_guard<std::mutex> lock(mutex);
        saves.push_back(restart);
        return acceptSave;
    }

    void setValue(uint16_t item, const std::string& text, uint16_t number) {
        std::lock_guard<std::mutex> lock(mutex);
        values[item] = {text, number};
    }
    std::vector<SetCall> setCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return sets;
    }
    std::vector<bool> saveCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return saves;
    }
    void setAcceptSave(bool value) {
        std::lock_guard<std::mutex> lock(mutex);
        acceptSave = value;
    }

private:
    std::mutex mutex;
    std::map<uint16_t, std::pair<std::string, uint16_t>> values;
    std::vector<SetCall> sets;
    std::vector<bool> saves;
    bool acceptSets = true;
    bool acceptSave = true;
};

class TargetConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        target = std::make_unique<SettingsTarget>(configInfo(), loopbackConfig());
        ASSERT_TRUE(target->start(false));
        client = std::make_unique<HostClient>(loopbackClient(*target));
    }

    QUORVEL::ConfigValueReply value(uint16_t item, uint16_t operation, uint16_t argument = 0,
                                    const std::string& text = std::string()) {
        const auto reply = client->configValue(item, operation, argument, text);
        EXPECT_TRUE(reply);
        return reply.value_or(QUORVEL::ConfigValueReply{});
    }

    CapturedLog log;
    std::unique_ptr<SettingsTarget> target;
    std::unique_ptr<HostClient> client;
};

TEST_F(TargetConfigTest, ItemDescriptions) {
    const auto count = client->configItem(0, 7);
    ASSERT_TRUE(count);
    EXPECT_TRUE(count->accepted);
    EXPECT_EQ(count->number, 7);
    EXPECT_EQ(count->type, 7) << "item 0 echoes the request's param1";

    struct Expected {
        uint16_t item;
        uint16_t type;
        uint16_t low;
        uint16_t high;
        const char* name;
    };
    const Expected expected[] = {
        {NumberItem, 1, 0xFFFB, 1000, "Latency"},
        {SwitchItem, 3, 0, 1, "DoPauto"},
        {TextItem, 4, 0, 0, "TargetName"},
        {ChoiceItem, 5, 0, 2, "VolumeCtl"},
        {ReadOnlyItem, 6, 0, 1, "Mode"},
        {WideItem, 7, 1, 65534, "Wide"},
        {OddItem, 9, 0, 0, "Odd"},
    };
    for (const Expected& entry : expected) {
        const auto reply = client->configItem(entry.item);
        ASSERT_TRUE(reply);
        EXPECT_TRUE(reply->accepted) << entry.item;
        EXPECT_EQ(reply->number, entry.item);
        EXPECT_EQ(reply->type, entry.type) << entry.item;
        EXPECT_EQ(reply->low, entry.low) << entry.item;
        EXPECT_EQ(reply->high, entry.high) << entry.item;
        EXPECT_EQ(reply->name, entry.name);
    }
    const auto beyond = client->configItem(8, 3);
    ASSERT_TRUE(beyond);
    EXPECT_FALSE(beyond->accepted);
    EXPECT_EQ(beyond->number, 8);
    EXPECT_EQ(beyond->type, 3);
    EXPECT_TRUE(beyond->name.empty());
}

TEST_F(TargetConfigTest, ChoiceTextsNeedNoSlot) {
    EXPECT_EQ(value(SwitchItem, HostClient::ChoiceText, 0).text, "disable");
    EXPECT_EQ(value(SwitchItem, HostClient::ChoiceText, 5).text, "enable");
    const auto choice = value(ChoiceItem, HostClient::ChoiceText, 2);
    EXPECT_TRUE(choice.accepted);
    EXPECT_EQ(choice.text, "-20db");
    EXPECT_EQ(value(ChoiceItem, HostClient::ChoiceText, 3).text, "unknown");
    EXPECT_EQ(value(ReadOnlyItem, HostClient::ChoiceText, 1).text, "manual");
    const auto number = value(NumberItem, HostClient::ChoiceText, 1);
    EXPECT_TRUE(number.accepted);
    EXPECT_TRUE(number.text.empty());
    EXPECT_TRUE(target->setCalls().empty());
}

TEST_F(TargetConfigTest, SetCallsTheSlotPerItemType) {
    const auto number = value(NumberItem, HostClient::Set, 250);
    EXPECT_TRUE(number.accepted);
    EXPECT_EQ(number.value, 250) << "read back through configGet";
    EXPECT_EQ(number.reference, 10);
    const auto wide = value(WideItem, HostClient::Set, 4000);
    EXPECT_EQ(wide.value, 4000);
    const auto toggle = value(SwitchItem, HostClient::Set, 0);
    EXPECT_TRUE(toggle.accepted);
    EXPECT_EQ(toggle.value, 0);
    const auto text = value(TextItem, HostClient::Set, 0, "New name");
    EXPECT_TRUE(text.accepted);
    EXPECT_EQ(text.text, "New name");
    const auto choice = value(ChoiceItem, HostClient::Set, 2);
    EXPECT_TRUE(choice.accepted);
    EXPECT_EQ(choice.value, 2) << "the index of the text read back";
    EXPECT_TRUE(choice.text.empty()) << "a settable choice reports only its index";
    const auto beyond = value(ChoiceItem, HostClient::Set, 7);
    EXPECT_EQ(beyond.value, 1) << "an unknown text leaves the reference index";

    const std::vector<SetCall> expected = {
        {0, "", 250, false},       {5, "", 4000, false},   {1, "disable", 0, false},
        {2, "New name", 0, false}, {3, "-20db", 2, false}, {3, "unknown", 7, false},
    };
    EXPECT_EQ(target->setCalls(), expected);
}

TEST_F(TargetConfigTest, TextsBeyondTheBoundAreRefused) {
    // The name comes back in every later answer that carries it: 64 bytes of
    // UTF-8 at most, and a longer set is refused like any bad set.
    const std::string longest(64, 'n');
    const auto fits = value(TextItem, HostClient::Set, 0, longest);
    EXPECT_TRUE(fits.accepted);
    EXPECT_EQ(fits.text, longest);
    const std::string umlauts = "Wohnzimmer \xc3\xa4\xc3\xb6\xc3\xbc"; // 17 bytes
    EXPECT_TRUE(value(TextItem, HostClient::Set, 0, umlauts).accepted);

    const auto tooLong = value(TextItem, HostClient::Set, 0, std::string(65, 'x'));
    EXPECT_FALSE(tooLong.accepted);
    EXPECT_EQ(tooLong.text, umlauts) << "the answer shows the name that holds";
    const auto huge = value(TextItem, HostClient::Set, 0, std::string(1480, 'x'));
    EXPECT_FALSE(huge.accepted);
    EXPECT_LE(huge.text.size(), 64U);

    const std::vector<SetCall> expected = {{2, longest, 0, false}, {2, umlauts, 0, false}};
    EXPECT_EQ(target->setCalls(), expected) << "a refused text never reaches the slot";
}

TEST_F(TargetConfigTest, ReadOnlyAndUnknownItemsCannotBeSet) {
    const auto readOnly = value(ReadOnlyItem, HostClient::Set, 1);
    EXPECT_FALSE(readOnly.accepted);
    EXPECT_EQ(readOnly.value, 0);
    EXPECT_EQ(readOnly.text, "auto");
    EXPECT_FALSE(value(OddItem, HostClient::Set, 1).accepted);
    EXPECT_FALSE(value(ReadOnlyItem, HostClient::Reset).accepted);
    EXPECT_FALSE(value(OddItem, HostClient::Reset).accepted);
    const auto beyond = value(8, HostClient::Set, 1);
    EXPECT_FALSE(beyond.accepted);
    EXPECT_EQ(beyond.number, 8);
    EXPECT_TRUE(target->setCalls().empty());
}

TEST_F(TargetConfigTest, ResetRestoresTheReference) {
    EXPECT_TRUE(value(TextItem, HostClient::Reset).accepted);
    EXPECT_TRUE(value(NumberItem, HostClient::Reset).accepted);
    EXPECT_TRUE(value(SwitchItem, HostClient::Reset).accepted);
    EXPECT_TRUE(value(ChoiceItem, HostClient::Reset).accepted);
    const std::vector<SetCall> expected = {
        {2, "Reference", 0, true}, {0, "", 10, true}, {1, "", 1, true}, {3, "", 1, true}};
    EXPECT_EQ(target->setCalls(), expected);
}

TEST_F(TargetConfigTest, ReadsTakeTheApplicationsValues) {
    target->setValue(1, "disable", 1);
    target->setValue(3, "0db", 9);
    target->setValue(4, "manual", 0);
    target->setValue(2, "Stored name", 0);
    target->setValue(0, "", 77);

    const auto toggle = value(SwitchItem, HostClient::Read);
    EXPECT_TRUE(toggle.accepted);
    EXPECT_EQ(toggle.value, 0) << "the text decides for a switch";
    EXPECT_EQ(toggle.text, "enable") << "the text from the reference value";
    const auto choice = value(ChoiceItem, HostClient::Read);
    EXPECT_EQ(choice.value, 1);
    EXPECT_TRUE(choice.text.empty());
    const auto readOnly = value(ReadOnlyItem, HostClient::Read);
    EXPECT_EQ(readOnly.value, 1);
    EXPECT_EQ(readOnly.text, "manual");
    EXPECT_EQ(value(TextItem, HostClient::Read).text, "Stored name");
    EXPECT_EQ(value(NumberItem, HostClient::Read).value, 77);
    target->setValue(3, "", 2);
    EXPECT_EQ(value(ChoiceItem, HostClient::Read).value, 2) << "an empty text gives the number";
}

TEST_F(TargetConfigTest, SaveEndsTheLoopForARestart) {
    target->setAcceptSave(false);
    const auto refused = value(0, 1);
    EXPECT_FALSE(refused.accepted);
    EXPECT_FALSE(value(0, 7).accepted) << "an unknown save operation";
    EXPECT_EQ(target->saveCalls(), std::vector<bool>{true});
    EXPECT_EQ(target->result(), Target::Running);

    target->setAcceptSave(true);
    const auto cleared = value(0, 2);
    EXPECT_TRUE(cleared.accepted);
    EXPECT_EQ(cleared.number, 0);
    ASSERT_TRUE(eventually([&] { return target->result() != Target::Running; }));
    EXPECT_EQ(target->result(), Target::RebootRequested);
    EXPECT_EQ(target->rebootMode(), 1);
    EXPECT_EQ(target->saveCalls(), (std::vector<bool>{true, false}));
}

// The base Target offers no settings: reads keep the reference values, writes fail.
TEST(TargetConfigBase, MissingSlotsMeanNotSupported) {
    CapturedLog log;
    Target target(configInfo(), loopbackConfig());
    ASSERT_TRUE(target.start(false));
    HostClient client = loopbackClient(target);

    const auto toggle = client.configValue(SwitchItem, HostClient::Read);
    ASSERT_TRUE(toggle);
    EXPECT_TRUE(toggle->accepted);
    EXPECT_EQ(toggle->value, 1);
    EXPECT_EQ(toggle->text, "enable");
    const auto choice = client.configValue(ChoiceItem, HostClient::Read);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->value, 1);
    EXPECT_EQ(choice->text, "0db");
    const auto text = client.configValue(TextItem, HostClient::Read);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, "Reference");

    const auto set = client.configValue(NumberItem, HostClient::Set, 5);
    ASSERT_TRUE(set);
    EXPECT_FALSE(set->accepted);
    EXPECT_EQ(set->value, 10);
    const auto reset = client.configValue(TextItem, HostClient::Reset);
    ASSERT_TRUE(reset);
    EXPECT_FALSE(reset->accepted);
    const auto save = client.configValue(0, 1);
    ASSERT_TRUE(save);
    EXPECT_FALSE(save->accepted);
    EXPECT_EQ(target.result(), Target::Running);
    target.stop();
}

} // namespace
