#include "alsa/DacSettings.h"

#include <gtest/gtest.h>

#include <map>

namespace {

using ALSAOUT::DacSettings;

DacSettings loadedWith(const std::map<std::string, std::string>& keys) {
    return DacSettings::read("/x/quorvel_app_target_setting.inf", true, [&](const std::string& key) {
        const auto found = keys.find(key);
        return found == keys.end() ? std::string() : found->second;
    });
}

TEST(DacSettingsTest, VolumeSettingTexts) {
    struct Case {
        const char* text;
        int16_t volume;
        bool enabled;
        bool offered;
    };
    const Case cases[] = {
        {"mute", -6000, true, true},
        {"0", 0, true, true},
        {"0db", 0, true, true},
        {"enable", 0, true, true},
        {"-20db", -2000, true, true},
        {"-40db", -4000, true, true},
        {"6db", 600, true, true},
        {"-5", -500, true, true},
        {"disable", 0, false, false},
        {"", 0, false, false},
        {"loud", 0, false, true},
        {"-0db", 0, false, true},
        {"Mute", 0, false, true},
        {"-20dB", -2000, true, true},
        // Far outside the 16-bit range: saturates, so a huge cut mutes instead
        // of wrapping round to a large gain.
        {"-400db", -32768, true, true},
        {"99999999999999999999db", 32767, true, true},
    };
    for (const Case& c : cases) {
        const DacSettings settings = loadedWith({{"VolumeCtl", c.text}});
        const ALSAOUT::VolumeSetting volume = ALSAOUT::interpretVolume(settings);
        EXPECT_EQ(volume.initialVolume, c.volume) << c.text;
        EXPECT_EQ(volume.enableVolume, c.enabled) << c.text;
        EXPECT_EQ(ALSAOUT::volumeControlWanted(settings), c.offered) << c.text;
    }
    const DacSettings missing =
        DacSettings::read("/nowhere", false, [](const std::string&) { return "mute"; });
    EXPECT_FALSE(ALSAOUT::interpretVolume(missing).enableVolume);
    EXPECT_FALSE(ALSAOUT::volumeControlWanted(missing));
}

TEST(DacSettingsTest, ProbeSwitchesNeedTheirExactTexts) {
    const ALSAOUT::ProbeSettings on = ALSAOUT::interpretProbeSettings(loadedWith({
        {"AlsaLatency", "20"},
        {"PCM16bit", "disable"},
        {"PCM24bit", "disable"},
        {"PCM32bit", "disable"},
        {"DoPauto", "disable"},
        {"DSDNativ", "disable"},
        {"DSD48", "enable"},
        {"AlsaMaxCh", "2"},
        {"VolumeCtl", "-20db"},
    }));
    EXPECT_EQ(on.latencyLimitUs, 20000);
    EXPECT_TRUE(on.disablePCM16 && on.disablePCM24 && on.disablePCM32 && on.disableDOP && on.disableNATIV);
    EXPECT_FALSE(on.disable48DSD);
    EXPECT_EQ(on.channelMax, 2);
    EXPECT_EQ(on.volume.initialVolume, -2000);

    const ALSAOUT::ProbeSettings off = ALSAOUT::interpretProbeSettings(loadedWith({
        {"PCM16bit", "Disable"},
        {"PCM24bit", "disabled"},
        {"DoPauto", "enable"},
        {"DSD48", "Enable"},
        {"AlsaLatency", "-5"},
        {"AlsaMaxCh", "-1"},
    }));
    EXPECT_FALSE(off.disablePCM16 || off.disablePCM24 || off.disablePCM32 || off.disableDOP ||
                 off.disableNATIV);
    // DSD48 is switched on only by "enable".
    EXPECT_TRUE(off.disable48DSD);
    // Negative numbers set no limit.
    EXPECT_EQ(off.latencyLimitUs, 0);
    EXPECT_EQ(off.channelMax, 0);
}

TEST(DacSettingsTest, AnUnreadableFileKeepsTheDefaults) {
    int calls = 0;
    const DacSettings settings = DacSettings::read("/nowhere", false, [&](const std::string&) {
        ++calls;
        return std::string("disable");
    });
    EXPECT_EQ(calls, 0);
    const ALSAOUT::ProbeSettings probe = ALSAOUT::interpretProbeSettings(settings);
    EXPECT_EQ(probe.latencyLimitUs, 0);
    EXPECT_FALSE(probe.disablePCM16 || probe.disableDOP || probe.disableNATIV);
    // Without a file the 48 kHz DSD family stays on, unlike a file without the key.
    EXPECT_FALSE(probe.disable48DSD);
    EXPECT_TRUE(ALSAOUT::interpretProbeSettings(loadedWith({})).disable48DSD);
}

} // namespace
