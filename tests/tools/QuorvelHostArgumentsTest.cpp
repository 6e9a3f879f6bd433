// The command-line Host's hand-written parts: its argument parser, the values
// it accepts for volumes and setting items, and the JSON it writes.
#include "tools/quorvel_host/Arguments.h"
#include "tools/quorvel_host/ConfigItems.h"
#include "tools/quorvel_host/Output.h"

#include <gtest/gtest.h>

namespace {

using namespace QUORVELHOST;

const std::vector<OptionRule> kRules = {{"timeout", true}, {"save", false}};

TEST(QuorvelHostArguments, PositionalsOptionsAndNegativeNumbers) {
    std::string error;
    const auto parsed = parseArguments(
        {"fe80::a%qh", "--timeout", "0.5", "1", "-20", "--save", "--json", "-0.5"}, kRules, error);
    ASSERT_TRUE(parsed) << error;
    EXPECT_EQ(parsed->positionals, (std::vector<std::string>{"fe80::a%qh", "1", "-20", "-0.5"}));
    EXPECT_EQ(parsed->value("timeout"), "0.5");
    EXPECT_TRUE(parsed->has("save"));
    EXPECT_TRUE(parsed->has("json"));
    EXPECT_FALSE(parsed->has("help"));

    const auto joined = parseArguments({"--timeout=3", "--", "--save", "-"}, kRules, error);
    ASSERT_TRUE(joined) << error;
    EXPECT_EQ(joined->value("timeout"), "3");
    EXPECT_EQ(joined->positionals, (std::vector<std::string>{"--save", "-"})) << "-- ends the options";
    EXPECT_FALSE(joined->has("save"));
}

TEST(QuorvelHostArguments, MistakesAreNamed) {
    struct Case {
        std::vector<std::string> words;
        const char* says;
    };
    for (const Case& mistake :
         {Case{{"--colour"}, "unknown option '--colour'"}, Case{{"-x"}, "unknown option '-x'"},
          Case{{"1", "--timeout"}, "'--timeout' needs a value"},
          Case{{"--save=yes"}, "'--save' takes no value"}, Case{{"--json=1"}, "'--json' takes no value"}}) {
        std::string error;
        EXPECT_FALSE(parseArguments(mistake.words, kRules, error)) << mistake.says;
        EXPECT_NE(error.find(mistake.says), std::string::npos) << error;
    }
}

TEST(QuorvelHostArguments, VolumesAndNumbers) {
    EXPECT_EQ(parseVolume("-20", -32768), -2000);
    EXPECT_EQ(parseVolume("-20.5dB", -32768), -2050);
    EXPECT_EQ(parseVolume("-0.126", -32768), -13);
    EXPECT_EQ(parseVolume("+3", -32768), 300);
    EXPECT_EQ(parseVolume("MUTE", -32768), -32768);
    for (const char* bad :
         {"", "-", "db", "loud", "1e3", "--20", "-20 dB", "- 20", "0x10", ".", "-.", "1.2.3"}) {
        EXPECT_FALSE(parseVolume(bad, -32768)) << "'" << bad << "'";
    }
    EXPECT_EQ(parseDecimal(".5"), 0.5);
    EXPECT_EQ(parseUnsigned("65535", 65535), 65535U);
    EXPECT_FALSE(parseUnsigned("65536", 65535));
    EXPECT_FALSE(parseUnsigned("+1", 65535));
    EXPECT_FALSE(parseUnsigned("99999999999", UINT32_MAX)) << "no wrap-around";
}

SettingItem item(uint16_t type, int16_t low, uint16_t high, std::vector<std::string> choices = {}) {
    SettingItem made;
    made.number = 1;
    made.type = type;
    made.name = "Item";
    made.low = low;
    made.high = high;
    made.choices = std::move(choices);
    return made;
}

TEST(QuorvelHostArguments, SettingValuesFitTheirItem) {
    std::string error;
    const SettingItem latency = item(SettingItem::Number, 1, 1000);
    EXPECT_EQ(setArgumentFor(latency, "1000", error)->number, 1000);
    EXPECT_FALSE(setArgumentFor(latency, "0", error)) << "below the range";
    EXPECT_FALSE(setArgumentFor(latency, "1001", error));
    EXPECT_FALSE(setArgumentFor(latency, "ten", error));
    EXPECT_NE(error.find("1-1000"), std::string::npos) << error;

    const SettingItem dop = item(SettingItem::Switch, 0, 1);
    EXPECT_EQ(setArgumentFor(dop, "DISABLE", error)->number, 0);
    EXPECT_EQ(setArgumentFor(dop, "on", error)->number, 1);
    EXPECT_FALSE(setArgumentFor(dop, "maybe", error));

    const SettingItem volume = item(SettingItem::Choice, 0, 4, {"disable", "0db", "-20db", "-40db", "mute"});
    EXPECT_EQ(setArgumentFor(volume, "-40db", error)->number, 3);
    EXPECT_FALSE(setArgumentFor(volume, "-30db", error));
    EXPECT_FALSE(setArgumentFor(volume, "3", error)) << "a choice goes by its name";
    EXPECT_FALSE(setArgumentFor(item(SettingItem::ReadOnlyChoice, 0, 1, {"a", "b"}), "a", error));
    EXPECT_EQ(setArgumentFor(item(SettingItem::Text, 0, 0), "Living room", error)->text, "Living room");

    SettingItem chosen = volume;
    chosen.value = 2;
    EXPECT_EQ(chosen.valueText(), "-20db");
    chosen.value = 9;
    EXPECT_EQ(chosen.valueText(), "unknown (9)") << "an index beyond the list";
}

TEST(QuorvelHostArguments, JsonIsEscapedAndNested) {
    JsonWriter json;
    json.beginObject();
    json.key("name").value("say \"hi\"\\\n\x01");
    json.key("list").beginArray().value(int64_t{-1}).value(true).null().endArray();
    json.key("empty").beginObject().endObject();
    json.key("rates").values(std::vector<uint32_t>{44100, 48000});
    json.endObject();
    EXPECT_EQ(json.text(), "{\"name\":\"say \\\"hi\\\"\\\\\\n\\u0001\",\"list\":[-1,true,null],\"empty\":{},"
                           "\"rates\":[44100,48000]}");
}

} // namespace
