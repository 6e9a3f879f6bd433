#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ALSAOUT {

// The per-DAC playback settings as texts of the settings file's "global"
// section. The ALSA layer sits below the application, which owns the settings
// file: the per-DAC node reads the file and hands the texts in through this
// plain record, and the interpretation (which text disables what) stays here.
struct DacSettings {
    bool loaded = false; // false: the file could not be read, every default applies
    std::string path;    // the file the texts came from, for the log
    // Raw values, empty when the key is missing.
    std::string alsaLatency; // "AlsaLatency", milliseconds
    std::string pcm16bit;    // "PCM16bit"
    std::string pcm24bit;    // "PCM24bit"
    std::string pcm32bit;    // "PCM32bit"
    std::string dopAuto;     // "DoPauto"
    std::string dsdNativ;    // "DSDNativ"
    std::string dsd48;       // "DSD48"
    std::string alsaMaxCh;   // "AlsaMaxCh"
    std::string volumeCtl;   // "VolumeCtl"

    // Fills the texts by calling `get` with each key (a store's lookup in its
    // "global" section), for a file at `path` that did or did not load.
    static DacSettings read(const std::string& path, bool loaded,
                            const std::function<std::string(const std::string& key)>& get);
};

// "VolumeCtl" as the probe uses it: the volume applied at start, and whether
// it is applied at all.
struct VolumeSetting {
    int16_t initialVolume = 0; // hundredths of a dB
    bool enableVolume = false;
};

VolumeSetting interpretVolume(const DacSettings& settings);

// Whether the Host is offered a volume control (the card must also have a
// usable mixer element): "VolumeCtl" present, not empty and not "disable".
bool volumeControlWanted(const DacSettings& settings);

// The settings as the capability probe applies them.
struct ProbeSettings {
    int64_t latencyLimitUs = 0; // upper limit for the device latency; 0 = none from settings
    bool disablePCM16 = false;
    bool disablePCM24 = false;
    bool disablePCM32 = false;
    bool disableDOP = false;
    bool disableNATIV = false;
    bool disable48DSD = false;
    int64_t channelMax = 0; // upper limit for the maximum channel count; 0 = none
    VolumeSetting volume;
};

ProbeSettings interpretProbeSettings(const DacSettings& settings);

} // namespace ALSAOUT
