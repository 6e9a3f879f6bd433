#include "alsa/CertifiedSinkAlsa.h"

#include "foundation/Log.h"

#include <cstdlib>

using QUORVEL::AudioFormat;
using VEMRA::kLogDetail;
using VEMRA::kLogInfo;
using VEMRA::logLine;

namespace {

// The back end reads datagrams of up to 1500 bytes and accepts payloads up
// to the protocol's limit.
constexpr uint16_t kPacketSize = 1500;
constexpr uint16_t kPacketLimit = 65535;

} // namespace

void CertifiedSinkAlsa::lookupDacName(QUORVEL::SinkInfo& info, const std::string& deviceName) {
    info.packetSize = kPacketSize;
    info.packetLimit = kPacketLimit;
    const size_t comma = deviceName.find(',');
    const std::string control = deviceName.substr(0, comma);
    const long wanted =
        comma == std::string::npos ? 0 : std::strtol(deviceName.c_str() + comma + 1, nullptr, 10);

    snd_ctl_t* rawCtl = nullptr;
    if (snd_ctl_open(&rawCtl, control.c_str(), 0) < 0) {
        return;
    }
    const ALSAOUT::CtlHandle ctl(rawCtl);
    snd_ctl_card_info_t* rawCard = nullptr;
    snd_pcm_info_t* rawPcm = nullptr;
    if (snd_ctl_card_info_malloc(&rawCard) < 0) {
        return;
    }
    const ALSAOUT::CardInfoHandle card(rawCard);
    if (snd_pcm_info_malloc(&rawPcm) < 0) {
        return;
    }
    const ALSAOUT::PcmInfoHandle pcmInfo(rawPcm);
    if (snd_ctl_card_info(ctl.get(), card.get()) < 0) {
        return;
    }
    int device = -1;
    int playbackDevices = 0;
    while (snd_ctl_pcm_next_device(ctl.get(), &device) >= 0 && device >= 0) {
        snd_pcm_info_set_device(pcmInfo.get(), static_cast<unsigned>(device));
        snd_pcm_info_set_subdevice(pcmInfo.get(), 0);
        snd_pcm_info_set_stream(pcmInfo.get(), SND_PCM_STREAM_PLAYBACK);
        if (snd_ctl_pcm_info(ctl.get(), pcmInfo.get()) < 0) {
            continue;
        }
        ++playbackDevices;
        if (device == wanted) {
            info.name = snd_pcm_info_get_name(pcmInfo.get());
        }
    }
    // A card with one playback device is known by the card's name.
    if (playbackDevices < 2) {
        info.name = snd_ctl_card_info_get_name(card.get());
    }
}

CertifiedSinkAlsaParts::CertifiedSinkAlsaParts(const QUORVEL::StatusDescriptor& descriptor,
                                               const QUORVEL::StatusConfig& statusConfig,
                                               const CertifiedSinkAlsa& sink, const std::string& deviceName,
                                               const ALSAOUT::AlsaPlaybackConfig& playbackConfig)
    : statusChannel(descriptor, ownedWaitSet, statusConfig, sink), playback(deviceName, playbackConfig) {}

bool CertifiedSinkAlsaParts::releaseOutput() {
    const bool released = playback.release();
    statusChannel.setConnected(false);
    return released;
}

namespace {

ALSAOUT::AlsaPlaybackConfig playbackConfigFor(const CertifiedSinkAlsaConfig& config, bool closeAfterUse) {
    ALSAOUT::AlsaPlaybackConfig playback;
    playback.closeAfterUse = closeAfterUse;
    playback.setParamsAttempts = config.setParamsAttempts;
    playback.setParamsPause = config.setParamsPause;
    playback.maxStartDelay = config.sink.maxStartDelay;
    return playback;
}

} // namespace

CertifiedSinkAlsa::CertifiedSinkAlsa(const QUORVEL::SinkInfo& info, const std::string& device,
                                     bool closeAfter, const ALSAOUT::DacSettings& dacSettings,
                                     const Config& config)
    : CertifiedSinkAlsaParts(buildControlDescriptor(info, device, dacSettings), config.status, *this, device,
                             playbackConfigFor(config, closeAfter)),
      SinkBuffer(info, ownedWaitSet, *this, config.sink), deviceName(device), dacName(info.name),
      closeAfterProbe(closeAfter), settings(dacSettings), sinkConfig(config) {}

// The SinkBuffer stops the workers before the parts they drive go.
CertifiedSinkAlsa::~CertifiedSinkAlsa() = default;

void CertifiedSinkAlsa::closeDevice() {
    closeAll();
    playback.close();
}

void CertifiedSinkAlsa::getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) {
    deviceLatency = static_cast<uint16_t>(caps.latencyUs / 100);
    SinkBuffer::getLatency(maxLatency, deviceLatency, latency);
}

bool CertifiedSinkAlsa::canFormat(AudioFormat& fmt) {
    const uint64_t requested = fmt.value();
    const uint64_t candidates[] = {caps.pcmCaps | caps.convertMask | caps.upmixMask,
                                   caps.dsdCaps | caps.upmixMask};
    uint64_t reduced = 0;
    for (const uint64_t word : candidates) {
        if ((requested & word) == requested) {
            reduced |= word;
        }
    }
    fmt = AudioFormat(reduced);
    return true;
}

bool CertifiedSinkAlsa::connect(const std::string& hostName) {
    logLine(kLogInfo, "Connect [") << hostName << "]";
    statusChannel.setConnected(true);
    return SinkBuffer::connect(hostName);
}

bool CertifiedSinkAlsa::controlTurn() {
    if (ownedWaitSet.wait(sinkConfig.controlWait) == VEMRA::SocketWaitSet::Error) {
        return false;
    }
    if (!statusChannel.step()) {
        return false;
    }
    if (!closeAfterProbe && connState() == QUORVEL::Idle) {
        const int code = playback.checkIdle();
        if (code < 0) {
            logLine(kLogDetail, "alsa snd_pcm_hw_params_any Err disconnect ") << code;
            return false;
        }
    }
    return controlStep();
}

bool CertifiedSinkAlsa::setFormat(const AudioFormat& fmt) {
    if (!playback.configure(fmt, caps)) {
        return false;
    }
    statusChannel.setFormatValues(fmt);
    return true;
}

CertifiedSinkAlsaStatus::CertifiedSinkAlsaStatus(const QUORVEL::StatusDescriptor& descriptor,
                                                 VEMRA::SocketWaitSet& waitSet,
                                                 const QUORVEL::StatusConfig& config,
                                                 const CertifiedSinkAlsa& owner)
    : Status(descriptor, waitSet, config), sink(owner) {}

bool CertifiedSinkAlsaStatus::setVolume(uint16_t index, int16_t value) {
    CertifiedSinkAlsa::applyVolume(sink.device(), value);
    return Status::setVolume(index, value);
}
