// ctest-labels: threads e2e
// The installed program itself (watching /dev/snd/) in a network namespace
// of its own, found and queried by a Host in another namespace.
#include "support/EndToEndRig.h"
#include "support/PngWriter.h"

#include <gtest/gtest.h>

namespace {

using namespace E2E;

class EndToEndDiscovery : public Rig {
protected:
    void SetUp() override {
        // No fake DAC: whatever /dev/snd/ holds on this machine, its devices
        // open nothing real while ALSA_CONFIG_PATH names the fake configuration.
        setUpRig("quorvel_app_target");
    }
};

TEST_F(EndToEndDiscovery, HostFindsAndQueriesTheRunningProgram) {
    const auto logo = patternPixels(24, 10, 7);
    const auto logoMono = patternPixels(9, 4, 8);
    ASSERT_TRUE(writePngFile(daemon->directory() + "logo.png", logo, 24));
    ASSERT_TRUE(writePngFile(daemon->directory() + "logo_s.png", patternPixels(6, 3, 9), 6));
    ASSERT_TRUE(writePngFile(daemon->directory() + "logo_m.png", logoMono, 9));
    ASSERT_TRUE(daemon->writeFile(Daemon::kSettingsFile, "# the living room\r\nTrgetName=Wohnzimmer\r\n"
                                                         "DoPauto=disable\r\nVolumeCtl=-20db\r\n"));
    startDaemon();

    const auto found = discover();
    ASSERT_TRUE(found) << daemon->output() << daemon->errors();
    EXPECT_EQ(found->name, "Wohnzimmer");
    EXPECT_EQ(found->targetId, kVendorWord);
    EXPECT_EQ(VEMRA::addressText(found->endpoint), VethNamespaces::kTargetAddress);

    const auto client = hostClient();
    EXPECT_EQ(client->version(), std::optional<std::string>("142_1"));

    // The ten setting items, with the values of the settings file.
    const auto count = client->configItem(0);
    ASSERT_TRUE(count && count->accepted);
    EXPECT_EQ(count->number, 10);
    const char* names[] = {"TargetName", "DoPauto",  "DSDNativ",    "DSD48",     "PCM32bit",
                           "PCM24bit",   "PCM16bit", "AlsaLatency", "VolumeCtl", "AlsaMaxCh"};
    const uint16_t types[] = {4, 3, 3, 3, 3, 3, 3, 1, 5, 1};
    for (uint16_t number = 1; number <= 10; ++number) {
        const auto item = client->configItem(number);
        ASSERT_TRUE(item && item->accepted) << number;
        EXPECT_EQ(item->name, names[number - 1]) << number;
        EXPECT_EQ(item->type, types[number - 1]) << number;
    }
    EXPECT_FALSE(client->configItem(11)->accepted);
    const auto name = client->configValue(1, QUORVEL::HostClient::Read);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->text, "Wohnzimmer");
    const auto dop = client->configValue(2, QUORVEL::HostClient::Read);
    ASSERT_TRUE(dop);
    EXPECT_EQ(dop->value, 0);
    const auto volume = client->configValue(9, QUORVEL::HostClient::Read);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->value, 2);

    // logo.png, pixel by pixel, four bytes per pixel, row by row.
    const auto size = client->iconSize(1);
    ASSERT_TRUE(size && size->accepted);
    EXPECT_EQ(size->column, 24);
    EXPECT_EQ(size->row, 10);
    EXPECT_EQ(size->count, 1) << "four bytes per pixel";
    std::vector<uint32_t> served;
    for (uint16_t row = 1; row <= 10; ++row) {
        const auto run = client->iconRun(1, 1, row, 0);
        ASSERT_TRUE(run && run->accepted) << row;
        ASSERT_EQ(run->bytes.size(), 24U * 4) << row;
        for (size_t i = 0; i < run->bytes.size(); i += 4) {
            served.push_back(static_cast<uint32_t>(run->bytes[i]) |
                             static_cast<uint32_t>(run->bytes[i + 1]) << 8 |
                             static_cast<uint32_t>(run->bytes[i + 2]) << 16 |
                             static_cast<uint32_t>(run->bytes[i + 3]) << 24);
        }
    }
    EXPECT_EQ(served, logo);
    // logo_m.png is served one byte per pixel: the top byte of each.
    const auto mono = client->iconRun(3, 1, 1, 37);
    ASSERT_TRUE(mono && mono->accepted);
    ASSERT_EQ(mono->bytes.size(), 36U);
    for (size_t i = 0; i < 36; ++i) {
        EXPECT_EQ(mono->bytes[i], logoMono[i] >> 24) << i;
    }
    const auto missing = client->iconSize(4);
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->accepted) << "logo_m_s.png is not there";

    const auto playStop = playStopClient();
    EXPECT_EQ(playStop->read(6, kReady), "Stop\r\n");

    restartRequest();
    EXPECT_EQ(daemon->errors(), "");
}

} // namespace
