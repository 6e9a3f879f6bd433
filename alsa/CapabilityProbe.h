#pragma once

#include "alsa/DacSettings.h"
#include "alsa/OutputFormat.h"

#include <alsa/asoundlib.h>
#include <cstdint>

namespace ALSAOUT {

// The hardware-parameter questions the capability probe asks of one open PCM
// device, through one parameter container. Results are ALSA error codes (0 =
// yes / done). Separate from the probe so that its decisions can be checked
// against devices no sound card offers.
class HardwareQuery {
public:
    virtual ~HardwareQuery() = default;
    // Resets the container to everything the device offers.
    virtual int reset() = 0;
    virtual int setAccessInterleaved() = 0;
    virtual int setFormat(snd_pcm_format_t format) = 0;
    virtual int channelsMin(unsigned& value) = 0;
    virtual int channelsMax(unsigned& value) = 0;
    virtual int rateMin(unsigned& value) = 0;
    virtual int rateMax(unsigned& value) = 0;
    virtual int bufferSizeMin(snd_pcm_uframes_t& frames) = 0;
    virtual int bufferSizeMax(snd_pcm_uframes_t& frames) = 0;
};

// HardwareQuery on a real PCM handle and parameter container (both owned by
// the caller).
class PcmHardwareQuery final : public HardwareQuery {
public:
    PcmHardwareQuery(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) : pcm(pcm), params(params) {}

    int reset() override;
    int setAccessInterleaved() override;
    int setFormat(snd_pcm_format_t format) override;
    int channelsMin(unsigned& value) override;
    int channelsMax(unsigned& value) override;
    int rateMin(unsigned& value) override;
    int rateMax(unsigned& value) override;
    int bufferSizeMin(snd_pcm_uframes_t& frames) override;
    int bufferSizeMax(snd_pcm_uframes_t& frames) override;

private:
    snd_pcm_t* pcm;
    snd_pcm_hw_params_t* params;
};

// What a device accepts, as AudioFormat capability words and device facts.
struct DeviceCapabilities {
    uint64_t pcmCaps = 0;     // channel, PCM encoding and rate bits accepted natively
    uint64_t dsdCaps = 0;     // DSD (native or DoP) encoding, rate and channel bits
    uint64_t convertMask = 0; // 16/24-bit encodings played by widening to 32 bits
    uint64_t upmixMask = 0;   // channel bits below the device's minimum channel count
    uint32_t channelsMin = 0;
    bool s24In32 = false; // 24-bit only in 4-byte containers
    bool dopMode = false; // DSD offered as DoP
    uint32_t latencyUs = 0;

    DeviceFacts facts() const {
        return DeviceFacts{pcmCaps, convertMask, upmixMask, channelsMin, s24In32, dopMode};
    }
};

// The channel classes (AudioFormat bits 0-5) whose count lies in [min, max].
uint64_t channelClasses(unsigned min, unsigned max);
// The channel classes below the minimum, counted upward while they stay
// within the maximum.
uint64_t upmixClasses(unsigned min, unsigned max);

// Asks the device which channel counts, rates and encodings it accepts,
// filters them through `settings` and derives the latency, logging each
// finding. False (after an error line) when the device cannot be used.
// Leaves the disable-PCM settings to the caller, which applies them later.
bool probeCapabilities(HardwareQuery& query, const ProbeSettings& settings, DeviceCapabilities& caps);

} // namespace ALSAOUT
