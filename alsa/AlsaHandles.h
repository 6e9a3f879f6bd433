#pragma once

#include <alsa/asoundlib.h>

#include <memory>
#include <string>

// Owners for the ALSA handles and containers, so that no early return leaks
// a device, a mixer or a control handle.
namespace ALSAOUT {

struct PcmClose {
    void operator()(snd_pcm_t* pcm) const { snd_pcm_close(pcm); }
};
struct HwParamsFree {
    void operator()(snd_pcm_hw_params_t* params) const { snd_pcm_hw_params_free(params); }
};
struct MixerClose {
    void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
struct CtlClose {
    void operator()(snd_ctl_t* ctl) const { snd_ctl_close(ctl); }
};
struct CardInfoFree {
    void operator()(snd_ctl_card_info_t* info) const { snd_ctl_card_info_free(info); }
};
struct PcmInfoFree {
    void operator()(snd_pcm_info_t* info) const { snd_pcm_info_free(info); }
};

using PcmHandle = std::unique_ptr<snd_pcm_t, PcmClose>;
using HwParamsHandle = std::unique_ptr<snd_pcm_hw_params_t, HwParamsFree>;
using MixerHandle = std::unique_ptr<snd_mixer_t, MixerClose>;
using CtlHandle = std::unique_ptr<snd_ctl_t, CtlClose>;
using CardInfoHandle = std::unique_ptr<snd_ctl_card_info_t, CardInfoFree>;
using PcmInfoHandle = std::unique_ptr<snd_pcm_info_t, PcmInfoFree>;

// Opens `name` for blocking playback into `pcm` (reset on failure); returns
// the ALSA result.
inline int openPlayback(const std::string& name, PcmHandle& pcm) {
    snd_pcm_t* raw = nullptr;
    const int code = snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
    pcm.reset(code < 0 ? nullptr : raw);
    return code;
}

inline HwParamsHandle newHwParams() {
    snd_pcm_hw_params_t* raw = nullptr;
    return HwParamsHandle(snd_pcm_hw_params_malloc(&raw) < 0 ? nullptr : raw);
}

// The control device of a PCM device name: "hw:1" of "hw:1,0".
inline std::string controlDeviceName(const std::string& deviceName) {
    return deviceName.substr(0, deviceName.find(','));
}

} // namespace ALSAOUT
