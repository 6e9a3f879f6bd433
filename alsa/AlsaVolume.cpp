// Volume on the card's simple mixer, and the status descriptor that offers
// it to the Host.
#include "alsa/CertifiedSinkAlsa.h"

#include "foundation/Log.h"

#include <functional>

using VEMRA::kLogInfo;
using VEMRA::logLine;

namespace {

// The range offered to the Host, hundredths of a dB; anything below the
// lowest step above it mutes.
constexpr int16_t kVolumeLow = -6000;
constexpr int16_t kVolumeHigh = 0;
constexpr int16_t kMuteBelow = -5999;

// Opens and loads the simple mixer of the card of `deviceName`. A fresh
// handle per call: the object keeps none between calls.
ALSAOUT::MixerHandle openMixer(const std::string& deviceName) {
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0) {
        return nullptr;
    }
    ALSAOUT::MixerHandle mixer(raw);
    const std::string card = ALSAOUT::controlDeviceName(deviceName);
    if (snd_mixer_attach(mixer.get(), card.c_str()) < 0 ||
        snd_mixer_selem_register(mixer.get(), nullptr, nullptr) < 0 || snd_mixer_load(mixer.get()) < 0) {
        return nullptr;
    }
    return mixer;
}

// Calls `visit` for every active element with a playback volume.
void forEachPlaybackVolume(snd_mixer_t* mixer, const std::function<void(snd_mixer_elem_t*)>& visit) {
    for (snd_mixer_elem_t* elem = snd_mixer_first_elem(mixer); elem != nullptr;
         elem = snd_mixer_elem_next(elem)) {
        if (snd_mixer_selem_is_active(elem) != 0 && snd_mixer_selem_has_playback_volume(elem) != 0) {
            visit(elem);
        }
    }
}

bool hasPlaybackVolume(const std::string& deviceName) {
    const ALSAOUT::MixerHandle mixer = openMixer(deviceName);
    if (mixer == nullptr) {
        return false;
    }
    bool found = false;
    forEachPlaybackVolume(mixer.get(), [&](snd_mixer_elem_t*) { found = true; });
    return found;
}

} // namespace

void CertifiedSinkAlsa::applyVolume(const std::string& deviceName, int16_t volume) {
    const ALSAOUT::MixerHandle mixer = openMixer(deviceName);
    if (mixer == nullptr) {
        return;
    }
    forEachPlaybackVolume(mixer.get(), [&](snd_mixer_elem_t* elem) {
        const char* name = snd_mixer_selem_get_name(elem);
        if (volume < kMuteBelow) {
            snd_mixer_selem_set_playback_volume_all(elem, 0);
            logLine(kLogInfo, name) << 0;
        } else {
            snd_mixer_selem_set_playback_dB_all(elem, volume, 0);
            logLine(kLogInfo, name) << " " << static_cast<long long>(volume) << "db";
        }
    });
}

QUORVEL::StatusDescriptor CertifiedSinkAlsa::buildControlDescriptor(const QUORVEL::SinkInfo& info,
                                                                    const std::string& deviceName,
                                                                    const ALSAOUT::DacSettings& settings) {
    QUORVEL::StatusDescriptor descriptor;
    descriptor.kind = 1;
    descriptor.sinkId = info.index;
    descriptor.name = info.name + " Control";
    descriptor.addressBlock = QUORVEL::StatusDescriptor::loopbackBlock(info.index);
    descriptor.controls.push_back({QUORVEL::StatusControl::kFormat, 0, 0});
    if (ALSAOUT::volumeControlWanted(settings) && hasPlaybackVolume(deviceName)) {
        descriptor.controls.push_back({QUORVEL::StatusControl::kVolume, kVolumeLow, kVolumeHigh});
        logLine(kLogInfo, "VOLUME ENABLE");
    }
    // No icons of its own; the last two would be served one byte per pixel.
    descriptor.icons[2].oneBytePerPixel = true;
    descriptor.icons[3].oneBytePerPixel = true;
    return descriptor;
}
