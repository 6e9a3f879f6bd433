#include "alsa/DacSettings.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace ALSAOUT {

namespace {

// Every switch is turned by one exact, case-sensitive text.
constexpr const char* kDisable = "disable";
constexpr const char* kEnable = "enable";

int64_t toInteger(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

// Hundredths of a dB from a number of dB. Saturates at the 16-bit range
// instead of wrapping, so that a far-too-low setting such as "-400db" mutes
// rather than turning into a large positive gain.
int16_t hundredths(long decibels) {
    constexpr long kLow = std::numeric_limits<int16_t>::min();
    constexpr long kHigh = std::numeric_limits<int16_t>::max();
    // Clamped first so that the product cannot overflow.
    const long bounded = std::clamp(decibels, kLow / 100 - 1, kHigh / 100 + 1);
    return static_cast<int16_t>(std::clamp(bounded * 100, kLow, kHigh));
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

DacSettings DacSettings::read(const std::string& path, bool loaded,
                              const std::function<std::string(const std::string& key)>& get) {
    DacSettings settings;
    settings.path = path;
    settings.loaded = loaded;
    if (!loaded) {
        return settings;
    }
    settings.alsaLatency = get("AlsaLatency");
    settings.pcm16bit = get("PCM16bit");
    settings.pcm24bit = get("PCM24bit");
    settings.pcm32bit = get("PCM32bit");
    settings.dopAuto = get("DoPauto");
    settings.dsdNativ = get("DSDNativ");
    settings.dsd48 = get("DSD48");
    settings.alsaMaxCh = get("AlsaMaxCh");
    settings.volumeCtl = get("VolumeCtl");
    return settings;
}

VolumeSetting interpretVolume(const DacSettings& settings) {
    VolumeSetting volume;
    if (!settings.loaded) {
        return volume;
    }
    const std::string& text = settings.volumeCtl;
    if (text == "mute") {
        volume.initialVolume = -6000;
        volume.enableVolume = true;
        return volume;
    }
    if (text == "0" || text == "0db" || text == kEnable) {
        volume.initialVolume = 0;
        volume.enableVolume = true;
        return volume;
    }
    const std::string number = endsWith(text, "db") ? text.substr(0, text.size() - 2) : text;
    volume.initialVolume = hundredths(std::strtol(number.c_str(), nullptr, 10));
    volume.enableVolume = volume.initialVolume != 0;
    return volume;
}

bool volumeControlWanted(const DacSettings& settings) {
    return settings.loaded && !settings.volumeCtl.empty() && settings.volumeCtl != kDisable;
}

ProbeSettings interpretProbeSettings(const DacSettings& settings) {
    ProbeSettings probe;
    if (!settings.loaded) {
        // Without a file the 48 kHz DSD family stays on.
        return probe;
    }
    // A negative number is as meaningless as none: no limit.
    const int64_t latencyMs = toInteger(settings.alsaLatency);
    constexpr int64_t kLargestMs = std::numeric_limits<int64_t>::max() / 1000;
    probe.latencyLimitUs = latencyMs <= 0 ? 0 : (latencyMs > kLargestMs ? kLargestMs : latencyMs) * 1000;
    probe.disablePCM16 = settings.pcm16bit == kDisable;
    probe.disablePCM24 = settings.pcm24bit == kDisable;
    probe.disablePCM32 = settings.pcm32bit == kDisable;
    probe.disableDOP = settings.dopAuto == kDisable;
    probe.disableNATIV = settings.dsdNativ == kDisable;
    probe.disable48DSD = settings.dsd48 != kEnable;
    const int64_t channelMax = toInteger(settings.alsaMaxCh);
    probe.channelMax = channelMax < 0 ? 0 : channelMax;
    probe.volume = interpretVolume(settings);
    return probe;
}

} // namespace ALSAOUT
