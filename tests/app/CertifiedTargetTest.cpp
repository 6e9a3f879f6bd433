// ctest-labels: threads
#include "app/CertifiedTarget.h"
#include "app/SettingsStore.h"
#include "support/LogCapture.h"
#include "support/ScratchDir.h"
#include "support/TargetHarness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>

namespace {

using QUORVEL::CertifiedTarget;
using QUORVEL::ConfigItem;
using QUORVEL::TargetInfo;
using namespace std::chrono_literals;

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class CertifiedTargetFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.path.empty()); }

    void writeSettings(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::unique_ptr<CertifiedTarget> make() {
        TargetInfo info;
        info.targetName = "TargetApp";
        return std::make_unique<CertifiedTarget>(info, path, loopbackConfig());
    }

    QUORVEL::LogCapture log{7};
    ScratchDir dir{"certified"};
    std::string path = dir.path + "quorvel_app_target_setting.inf";
};

TEST_F(CertifiedTargetFile, ItemsAndNameComeFromTheSettingsFile) {
    writeSettings("TrgetName=Salon\nDoPauto=disable\nDSD48=enable\nAlsaLatency=20\nVolumeCtl=-20db\n"
                  "AlsaMaxCh=2\n[USB Audio]\nSkip=enable\n");
    const auto target = make();
    const TargetInfo& info = target->targetInfo();
    EXPECT_EQ(info.targetName, "Salon");
    EXPECT_TRUE(info.rebootAllowed);
    EXPECT_TRUE(info.syslogToLocal);
    ASSERT_EQ(info.configItems.size(), 10U);

    const char* names[] = {"TargetName", "DoPauto",  "DSDNativ",    "DSD48",     "PCM32bit",
                           "PCM24bit",   "PCM16bit", "AlsaLatency", "VolumeCtl", "AlsaMaxCh"};
    const uint16_t types[] = {4, 3, 3, 3, 3, 3, 3, 1, 5, 1};
    const uint16_t values[] = {0, 0, 1, 1, 1, 1, 1, 20, 2, 2};
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(info.configItems[i].name, names[i]) << i;
        EXPECT_EQ(info.configItems[i].type, types[i]) << i;
        EXPECT_EQ(info.configItems[i].value, values[i]) << i;
    }
    EXPECT_EQ(info.configItems[0].text, "Salon");
    EXPECT_EQ(info.configItems[7].minimum, 1);
    EXPECT_EQ(info.configItems[7].maximum, 1000);
    EXPECT_EQ(info.configItems[9].maximum, 32);
    EXPECT_EQ(info.configItems[8].choices.size(), 5U);
    EXPECT_EQ(target->settingsStateValue(), 1);
}

TEST_F(CertifiedTargetFile, WithoutAFileEveryItemKeepsItsDefault) {
    const auto target = make();
    const TargetInfo& info = target->targetInfo();
    EXPECT_EQ(info.targetName, "TargetApp");
    ASSERT_EQ(info.configItems.size(), 10U);
    EXPECT_EQ(info.configItems[0].text, "TargetApp");
    EXPECT_EQ(info.configItems[3].value, 0) << "DSD48 is off by default";
    EXPECT_EQ(info.configItems[7].value, 10);
    std::string text;
    uint16_t number = 0;
    for (uint16_t item = 0; item < 10; ++item) {
        EXPECT_FALSE(target->configGet(item, text, number)) << "nothing stored for " << item;
    }
}

TEST_F(CertifiedTargetFile, ConfigGetReadsTheStoredTexts) {
    writeSettings("TrgetName=Salon\nDoPauto=disable\nDSDNativ=yes\nDSD48=yes\nPCM32bit=enable\n"
                  "AlsaLatency=20\nVolumeCtl=mute\nAlsaMaxCh=0\n");
    const auto target = make();
    struct Case {
        uint16_t item;
        bool found;
        std::string text;
        uint16_t number;
    };
    const Case cases[] = {
        {0, true, "Salon", 99}, {1, true, "", 0},    {2, true, "", 1},  {3, true, "", 0},
        {4, true, "", 1},       {5, false, "", 99},  {7, true, "", 20}, {8, true, "mute", 99},
        {9, false, "", 99},     {10, false, "", 99},
    };
    for (const Case& c : cases) {
        std::string text;
        uint16_t number = 99;
        EXPECT_EQ(target->configGet(c.item, text, number), c.found) << c.item;
        EXPECT_EQ(text, c.text) << c.item;
        EXPECT_EQ(number, c.number) << c.item;
    }
}

TEST_F(CertifiedTargetFile, SetAndSaveWriteExactlyTheStoreAndKeepOtherSections) {
    writeSettings("# comment\r\nAlsaLatency=20\r\nPCM16bit=disable\r\n[USB Audio]\r\nSkip=enable\r\n");
    const auto target = make();
    EXPECT_TRUE(target->configSet(3, "enable", 1, false));
    EXPECT_TRUE(target->configSet(7, "", 0, true)) << "reset: back to the default";
    EXPECT_TRUE(target->configSet(0, "Salon", 0, false));
    EXPECT_TRUE(target->configSet(6, "", 1, false));
    EXPECT_TRUE(target->configSet(9, "", 4, false));
    EXPECT_TRUE(target->configSet(8, "-40db", 3, false));
    EXPECT_FALSE(target->configSet(10, "x", 1, false));
    EXPECT_EQ(readFile(path).substr(0, 9), "# comment") << "nothing is written before the save";

    EXPECT_TRUE(target->configSave(true));
    EXPECT_EQ(readFile(path),
              "[USB Audio]\r\nSkip=enable\r\n\r\n"
              "[global]\r\nAlsaMaxCh=4\r\nDSD48=enable\r\nPCM16bit=enable\r\nTrgetName=Salon\r\n"
              "VolumeCtl=-40db\r\n\r\n");
    EXPECT_EQ(target->settingsStateValue(), 4);
    EXPECT_TRUE(log.contains("save : setting"));

    std::string text;
    uint16_t number = 0;
    EXPECT_TRUE(target->configGet(3, text, number));
    EXPECT_EQ(number, 1);
    EXPECT_FALSE(target->configGet(7, text, number)) << "AlsaLatency is gone";
}

TEST_F(CertifiedTargetFile, TextsThatWouldBreakTheFileAreRefused) {
    writeSettings("TrgetName=Salon\n");
    const auto target = make();
    EXPECT_FALSE(target->configSet(0, "Evil\r\n[global]\r\nAlsaLatency=1", 0, false));
    EXPECT_FALSE(target->configSet(0, "Tab\tName", 0, false));
    EXPECT_FALSE(target->configSet(8, "0db\n", 1, false));
    EXPECT_TRUE(target->configSave(true));
    SettingsStore reread;
    ASSERT_TRUE(reread.load(path)) << "the saved file must load again";
    EXPECT_EQ(reread.get("TrgetName"), "Salon");
    EXPECT_EQ(reread.get("AlsaLatency"), "");
}

TEST_F(CertifiedTargetFile, ClearAndSaveLeavesNoKeys) {
    writeSettings("DSD48=enable\n[USB Audio]\nSkip=enable\n");
    const auto target = make();
    EXPECT_TRUE(target->configSave(false));
    EXPECT_EQ(readFile(path), "");
    EXPECT_TRUE(log.contains("clear : setting"));
    EXPECT_EQ(target->settingsStateValue(), 5);
    EXPECT_EQ(target->clearedValue(), 1);
    EXPECT_TRUE(target->configSet(3, "enable", 1, false));
    EXPECT_TRUE(target->configSave(true));
    EXPECT_EQ(target->settingsStateValue(), 5) << "a save after a clear stays at 5";
    EXPECT_EQ(readFile(path), "[global]\r\nDSD48=enable\r\n\r\n");
}

TEST_F(CertifiedTargetFile, AFailedSaveIsReportedAndLeavesTheStateAlone) {
    path = dir.path + "missing/quorvel_app_target_setting.inf";
    const auto target = make();
    EXPECT_TRUE(target->configSet(3, "enable", 1, false));
    EXPECT_FALSE(target->configSave(true));
    EXPECT_TRUE(log.contains("save Error: " + path));
    EXPECT_EQ(target->settingsStateValue(), 1);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(CertifiedTargetFile, TransferCheckPhases) {
    const auto target = make();
    uint16_t check = 0;
    uint16_t phase = 0;
    EXPECT_TRUE(target->transferCheck(2, check, phase));
    EXPECT_EQ(phase, 0) << "no bytes: zero whole mebibytes";
    EXPECT_EQ(target->transferAreaValue(), 2);
    EXPECT_EQ(target->transferByteCount(), 0U);
    phase = 0;
    EXPECT_TRUE(target->transferCheck(2, check, phase)) << "a second start after the first finished";

    phase = 7;
    EXPECT_FALSE(target->transferCheck(2, check, phase));
    phase = 0xFFFE;
    EXPECT_FALSE(target->transferCheck(2, check, phase));

    // The final phase is the Target's CRC check: nothing was received, so
    // the check value is the complement of the initial 0xFFFF.
    phase = 0xFFFF;
    check = 0x1234;
    EXPECT_FALSE(target->transferCheck(2, check, phase));
    check = 0x0000;
    phase = 0xFFFF;
    EXPECT_TRUE(target->transferCheck(2, check, phase));
}

// The overrides behind the Host's requests, through the Target's own loop.
TEST_F(CertifiedTargetFile, HostChangesAndSavesTheSettingsWhichEndsTheTarget) {
    writeSettings("TrgetName=Salon\n");
    const auto target = make();
    ASSERT_TRUE(target->start(false));
    QUORVEL::HostClient client = loopbackClient(*target);

    const auto count = client.configItem(0);
    ASSERT_TRUE(count);
    EXPECT_EQ(count->number, 10);
    const auto name = client.configValue(1, QUORVEL::HostClient::Read);
    ASSERT_TRUE(name && name->accepted);
    EXPECT_EQ(name->text, "Salon");
    const auto dsd48 = client.configValue(4, QUORVEL::HostClient::Set, 1);
    ASSERT_TRUE(dsd48 && dsd48->accepted);
    EXPECT_EQ(dsd48->value, 1);
    const auto renamed = client.configValue(1, QUORVEL::HostClient::Set, 0, "Kitchen");
    ASSERT_TRUE(renamed && renamed->accepted);
    EXPECT_EQ(renamed->text, "Kitchen");
    const auto volume = client.configValue(9, QUORVEL::HostClient::Set, 1);
    ASSERT_TRUE(volume && volume->accepted);
    EXPECT_EQ(volume->value, 1);

    const auto saved = client.configValue(0, QUORVEL::HostClient::Set);
    ASSERT_TRUE(saved && saved->accepted);
    EXPECT_TRUE(eventually([&] { return target->result() == QUORVEL::Target::RebootRequested; }));
    EXPECT_EQ(target->rebootMode(), 1);
    target->stop();
    EXPECT_EQ(readFile(path), "[global]\r\nDSD48=enable\r\nTrgetName=Kitchen\r\nVolumeCtl=0db\r\n\r\n");
}

} // namespace
