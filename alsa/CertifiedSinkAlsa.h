#pragma once

#include "alsa/AlsaPlayback.h"
#include "alsa/CapabilityProbe.h"
#include "alsa/DacSettings.h"
#include "foundation/SocketWaitSet.h"
#include "protocol/AudioOutput.h"
#include "protocol/SinkBuffer.h"
#include "protocol/Status.h"

#include <chrono>
#include <cstdint>
#include <string>

// What a deployment fixes and a test replaces; the defaults are the system's.
struct CertifiedSinkAlsaConfig {
    QUORVEL::SinkConfig sink;
    QUORVEL::StatusConfig status;
    // Ports asked of the Sink's open (0 = its default for the index).
    uint16_t controlPort = 0;
    uint16_t streamPort = 0;
    // Pause after a failed open in the probe, so that a node that gives the
    // device up does not come back at once.
    std::chrono::milliseconds openFailurePause{15000};
    int setParamsAttempts = 11;
    std::chrono::milliseconds setParamsPause{100};
    uint64_t controlWait = 100 * VEMRA::kPicosecondsPerMillisecond;
};

class CertifiedSinkAlsa;

// The status channel of an ALSA sink; routes volume changes to the mixer of
// the sink's card.
class CertifiedSinkAlsaStatus : public QUORVEL::Status {
public:
    CertifiedSinkAlsaStatus(const QUORVEL::StatusDescriptor& descriptor, VEMRA::SocketWaitSet& pollSet,
                            const QUORVEL::StatusConfig& config, const CertifiedSinkAlsa& sink);
    bool setVolume(uint16_t index, int16_t value) override; // slot 1

private:
    const CertifiedSinkAlsa& sink;
};

// What the sink's workers reach of the back end: the wait set the sink's
// sockets and the status socket share, the status channel and the device,
// driven as the sink's AudioOutput. A base of its own, so that it is built
// before, and destroyed after, the SinkBuffer that stops the workers.
struct CertifiedSinkAlsaParts : QUORVEL::AudioOutput {
    CertifiedSinkAlsaParts(const QUORVEL::StatusDescriptor& descriptor,
                           const QUORVEL::StatusConfig& statusConfig, const CertifiedSinkAlsa& sink,
                           const std::string& deviceName, const ALSAOUT::AlsaPlaybackConfig& playbackConfig);

    void startAudio(uint64_t startAt) override { playback.start(startAt); }
    bool writeAudio(const uint8_t* data, size_t bytes) override { return playback.write(data, bytes); }
    // The Host's status view goes back to "not connected" with the device.
    bool releaseOutput() override;

    VEMRA::SocketWaitSet ownedWaitSet;
    CertifiedSinkAlsaStatus statusChannel;
    ALSAOUT::AlsaPlayback playback;
};

// The sink back end for one ALSA playback device hw:C,D: capability probe,
// playback with format conversion, volume on the card's simple mixer.
//
// Threads: the per-DAC node thread constructs, probes and runs controlTurn
// (and so canFormat, setFormat, connect and the status channel); the sink's
// workers drive the device (see AlsaPlayback) through the parts, never
// through this class. The Sink's state word keeps them from overlapping on
// the device: setFormat runs while the sink is Idle, before the workers
// touch it, and the release runs after the last write of the stream.
class CertifiedSinkAlsa : private CertifiedSinkAlsaParts, public QUORVEL::SinkBuffer {
public:
    using Config = CertifiedSinkAlsaConfig;
    using CertifiedStatus = CertifiedSinkAlsaStatus;
    using WriteResult = ALSAOUT::AlsaPlayback::WriteResult;

    // Fills info.name with the display name of hw:C,D (the device's name, or
    // the card's when the card has fewer than two playback devices) and sets
    // the packet size and limit the back end reads with.
    static void lookupDacName(QUORVEL::SinkInfo& info, const std::string& deviceName);
    // The status channel's descriptor; offers a volume control when the
    // settings ask for one and the card's mixer has a playback volume.
    static QUORVEL::StatusDescriptor buildControlDescriptor(const QUORVEL::SinkInfo& info,
                                                            const std::string& deviceName,
                                                            const ALSAOUT::DacSettings& settings);
    // Sets every active playback-volume element of the card of `deviceName`
    // (hundredths of a dB; below -5999 = raw 0). Failures are silent.
    static void applyVolume(const std::string& deviceName, int16_t volume);

    // `settings` are the per-DAC settings the caller read from the settings
    // file (ALSAOUT::DacSettings::read); they stand for the file at `path`.
    CertifiedSinkAlsa(const QUORVEL::SinkInfo& info, const std::string& deviceName, bool closeAfterProbe,
                      const ALSAOUT::DacSettings& settings, const Config& config = Config());
    ~CertifiedSinkAlsa() override;
    CertifiedSinkAlsa(const CertifiedSinkAlsa&) = delete;
    CertifiedSinkAlsa& operator=(const CertifiedSinkAlsa&) = delete;

    // Node thread: the capability probe; true = the DAC is offered and the
    // Sink listens. `latencyArg` is the buffer latency in milliseconds.
    bool probe(uint16_t latencyArg);
    // Node thread: one turn of the control loop; false ends it.
    bool controlTurn();
    // Node thread: closes the Sink's sockets and workers, then the device.
    void closeDevice();

    // Sink slots. The workers drive the same device through the parts.
    void getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) override;      // 1
    bool canFormat(QUORVEL::AudioFormat& fmt) override;                                              // 2
    bool setFormat(const QUORVEL::AudioFormat& fmt) override;                                        // 4
    bool connect(const std::string& hostName) override;                                              // 5
    void play(const uint64_t& startAt) override { startAudio(startAt); }                             // 6
    bool disconnectStream() override { return releaseOutput(); }                                     // 7
    bool writeOutput(const uint8_t* data, size_t bytes) override { return writeAudio(data, bytes); } // 17

    // Closes and opens the device again (under the device's lock).
    bool reopen() { return playback.reopen(); }

    // Observers (any thread once the probe has returned).
    const std::string& device() const { return deviceName; }
    const std::string& name() const { return dacName; }
    const ALSAOUT::DeviceCapabilities& capabilities() const { return caps; }
    CertifiedStatus& status() { return statusChannel; }
    bool deviceOpen() const { return playback.isOpen(); }
    // The device buffer of the configured stream, in device frames.
    int64_t deviceBufferFrames() const { return playback.bufferFrames(); }

    // The write path, in calling order: up-mix, convert, write (see AlsaPlayback).
    WriteResult writeUpmixed(const uint8_t* data, size_t bytes) { return playback.writeUpmixed(data, bytes); }
    WriteResult writeConverted(const uint8_t* data, size_t bytes, size_t frames, uint32_t channels) {
        return playback.writeConverted(data, bytes, frames, channels);
    }
    WriteResult writeFrames(const uint8_t* data, size_t bytes, size_t frames) {
        return playback.writeFrames(data, bytes, frames);
    }

    static constexpr size_t kBlockFrames = ALSAOUT::AlsaPlayback::kBlockFrames;

private:
    // Settings and caps lines of the probe.
    void logSettings(const ALSAOUT::ProbeSettings& probeSettings) const;
    void applyDisableSettings(const ALSAOUT::ProbeSettings& probeSettings);

    // Fixed at construction.
    const std::string deviceName;
    const std::string dacName;
    const bool closeAfterProbe;
    const ALSAOUT::DacSettings settings;
    const Config sinkConfig;

    // Set by the probe (node thread) before the workers start; fixed after.
    ALSAOUT::DeviceCapabilities caps;
};
