// The capability probe of CertifiedSinkAlsa: what the device accepts, as
// capability words filtered by the per-DAC settings, and the start of the
// sink's channels.
#include "alsa/CertifiedSinkAlsa.h"

#include "foundation/Log.h"

#include <thread>

using QUORVEL::AudioFormat;
using VEMRA::kLogDetail;
using VEMRA::logLine;

namespace {

const char* yesNo(bool value) {
    return value ? "true" : "false";
}

} // namespace

void CertifiedSinkAlsa::logSettings(const ALSAOUT::ProbeSettings& probeSettings) const {
    logLine(kLogDetail, "load config : ") << settings.path;
    logLine(kLogDetail, "AlsaLatency : ") << static_cast<long long>(probeSettings.latencyLimitUs);
    logLine(kLogDetail, "disablePCM16 : ") << yesNo(probeSettings.disablePCM16);
    logLine(kLogDetail, "disablePCM24 : ") << yesNo(probeSettings.disablePCM24);
    logLine(kLogDetail, "disablePCM32 : ") << yesNo(probeSettings.disablePCM32);
    logLine(kLogDetail, "disableDOP : ") << yesNo(probeSettings.disableDOP);
    logLine(kLogDetail, "disableNATIV : ") << yesNo(probeSettings.disableNATIV);
    logLine(kLogDetail, "disable48DSD : ") << yesNo(probeSettings.disable48DSD);
    logLine(kLogDetail, "enableVolume : ") << yesNo(probeSettings.volume.enableVolume);
    logLine(kLogDetail, "channnelMax : ") << static_cast<long long>(probeSettings.channelMax);
}

void CertifiedSinkAlsa::applyDisableSettings(const ALSAOUT::ProbeSettings& probeSettings) {
    const struct {
        bool disabled;
        const char* text;
        uint64_t bit;
    } switches[] = {
        {probeSettings.disablePCM16, "Disable PCM16", AudioFormat::kPcm16},
        {probeSettings.disablePCM24, "Disable PCM24", AudioFormat::kPcm24},
        {probeSettings.disablePCM32, "Disable PCM32", AudioFormat::kPcm32},
    };
    for (const auto& s : switches) {
        if (s.disabled) {
            logLine(kLogDetail, s.text);
            caps.pcmCaps &= ~s.bit;
            caps.convertMask &= ~s.bit;
        }
    }
}

bool CertifiedSinkAlsa::probe(uint16_t latencyArg) {
    logLine(kLogDetail, "DAC Name : ") << '"' << dacName << '"';
    const ALSAOUT::ProbeSettings probeSettings = ALSAOUT::interpretProbeSettings(settings);
    if (settings.loaded) {
        logSettings(probeSettings);
    }

    const int code = playback.open();
    if (code < 0) {
        logLine(kLogDetail, "alsa snd_pcm_open Err ") << code;
        // The node gives the device up after this; the pause keeps a device
        // that keeps failing from being retried at once.
        std::this_thread::sleep_for(sinkConfig.openFailurePause);
        return false;
    }
    if (!playback.probe(probeSettings, caps)) {
        return false;
    }

    setLatencyDefault(static_cast<uint16_t>(latencyArg * 10U));
    if (!statusChannel.start()) {
        return false;
    }
    uint16_t controlPort = sinkConfig.controlPort;
    uint16_t streamPort = sinkConfig.streamPort;
    if (!openAll(controlPort, streamPort)) {
        return false;
    }
    logLine(kLogDetail, "Control port:") << controlPort;
    logLine(kLogDetail, "Stream port:") << streamPort;

    applyDisableSettings(probeSettings);
    if (probeSettings.volume.enableVolume) {
        applyVolume(deviceName, probeSettings.volume.initialVolume);
        statusChannel.setVolumeValues(probeSettings.volume.initialVolume);
    }
    if (closeAfterProbe) {
        playback.close();
    }
    return true;
}
