#pragma once

#include "alsa/AlsaHandles.h"
#include "alsa/CapabilityProbe.h"
#include "alsa/DacSettings.h"
#include "alsa/OutputFormat.h"
#include "foundation/SocketWaitSet.h"
#include "protocol/SinkBuffer.h"
#include "protocol/Status.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

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

// The wait set the sink's sockets and its status socket share. A base of its
// own so that it is built before, and destroyed after, the Sink that keeps a
// reference to it.
struct CertifiedSinkAlsaWaitSet {
    VEMRA::SocketWaitSet ownedWaitSet;
};

// The sink back end for one ALSA playback device hw:C,D: capability probe,
// playback with format conversion, volume on the card's simple mixer.
//
// Threads: the per-DAC node thread constructs, probes and runs controlTurn
// (and so canFormat, setFormat, connect and the status channel); the stream
// worker calls play; the transport worker calls writeOutput; whichever worker
// ends a stream calls disconnectStream. The Sink's state word keeps these
// from overlapping on the device: setFormat runs while the sink is Idle,
// before the workers touch `pcm`, and disconnectStream runs after the last
// writeOutput of the stream.
class CertifiedSinkAlsa : private CertifiedSinkAlsaWaitSet,
                          private QUORVEL::AudioOutput,
                          public QUORVEL::SinkBuffer {
public:
    using Config = CertifiedSinkAlsaConfig;

    // The status channel of the sink; routes volume changes to the mixer.
    class CertifiedStatus : public QUORVEL::Status {
    public:
        CertifiedStatus(const QUORVEL::StatusDescriptor& descriptor, VEMRA::SocketWaitSet& pollSet,
                        const QUORVEL::StatusConfig& config, const CertifiedSinkAlsa& sink);
        bool setVolume(uint16_t index, int16_t value) override; // slot 1

    private:
        const CertifiedSinkAlsa& sink;
    };

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

    // Sink slots.
    void getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) override; // 1
    bool canFormat(QUORVEL::AudioFormat& fmt) override;                                         // 2
    bool setFormat(const QUORVEL::AudioFormat& fmt) override;                                   // 4
    bool connect(const std::string& hostName) override;                                         // 5
    void play(const uint64_t& startAt) override;                                                // 6
    bool disconnectStream() override;                                                           // 7
    bool writeOutput(const uint8_t* data, size_t bytes) override;                               // 17

    // Closes and opens the device again (under deviceLock).
    bool reopen();

    // Observers (any thread once the probe has returned).
    const std::string& device() const { return deviceName; }
    const std::string& name() const { return dacName; }
    const ALSAOUT::DeviceCapabilities& capabilities() const { return caps; }
    CertifiedStatus& status() { return statusChannel; }
    bool deviceOpen() const;
    // The device buffer of the configured stream, in device frames.
    int64_t deviceBufferFrames() const { return bufferFrames; }

    // What a write stage did with its frames.
    enum class WriteResult : uint8_t {
        Written, // all frames reached the device
        Dropped, // an underrun was repaired; the rest of the chunk is lost
        Failed   // the device refused the write
    };

    // The write path, in calling order: up-mix, convert, write. Transport
    // worker (and setFormat / disconnectStream for silence).
    WriteResult writeUpmixed(const uint8_t* data, size_t bytes);
    WriteResult writeConverted(const uint8_t* data, size_t bytes, size_t frames, uint32_t channels);
    WriteResult writeFrames(const uint8_t* data, size_t bytes, size_t frames);

    // Frames handled per conversion step; the scratch buffers hold one step.
    static constexpr size_t kBlockFrames = 1024;

private:
    // The output the sink's workers drive: slots 6, 17 and 7. They reach
    // this object's members, so its destructor closes the sink first.
    void startAudio(uint64_t startAt) override { play(startAt); }
    bool writeAudio(const uint8_t* data, size_t bytes) override { return writeOutput(data, bytes); }
    bool releaseOutput() override { return disconnectStream(); }

    // Settings and caps lines of the probe.
    void logSettings(const ALSAOUT::ProbeSettings& probeSettings) const;
    void applyDisableSettings(const ALSAOUT::ProbeSettings& probeSettings);
    bool configureDevice(uint32_t channels, uint32_t rate, snd_pcm_format_t alsaFormat);
    // Writes `frames` stream frames of silence through the write path.
    WriteResult writeSilence(uint64_t frames);
    // The stream frames that fill `deviceFrames` frames of the device.
    uint64_t streamFramesIn(uint64_t deviceFrames) const;
    // setFormat: keeps the priming from starting the device. play and
    // disconnectStream: start it, with the start threshold restored.
    void holdStart();
    void startDevice();

    // Fixed at construction.
    const std::string deviceName;
    const std::string dacName;
    const bool closeAfterProbe;
    const ALSAOUT::DacSettings settings;
    const Config sinkConfig;

    // The device, under one rule: the handle is replaced (opened, closed)
    // and the device configured, checked or started only under deviceLock.
    // The write path (the priming in setFormat, the transport worker's
    // writes, the drain in disconnectStream) runs without it: the Sink's
    // state orders those so that none overlaps another or a replacement.
    mutable std::mutex deviceLock;
    ALSAOUT::PcmHandle pcm;
    ALSAOUT::HwParamsHandle hwParams; // node thread (probe, controlTurn)
    // The start threshold set_params chose, while holdStart keeps the device
    // from starting; 0 otherwise. Guarded by deviceLock.
    snd_pcm_uframes_t heldStartThreshold = 0;

    // Set by the probe (node thread) before the workers start; fixed after.
    ALSAOUT::DeviceCapabilities caps;

    // The stream's write plan, set by setFormat (node thread, sink Idle) and
    // read by the workers during the stream.
    QUORVEL::AudioFormat currentFormat;
    ALSAOUT::OutputFormat output;
    uint32_t streamSampleBytes = 0;
    uint32_t streamChannels = 0;
    uint32_t deviceChannels = 0;
    uint32_t extraChannels = 0;
    int64_t bufferFrames = 0;
    // Sized by setFormat so that the write path allocates nothing: one block
    // of up-mixed frames, one block of converted frames, one block of
    // silence in the stream format.
    std::vector<uint8_t> upmixScratch;
    std::vector<uint8_t> convertScratch;
    std::vector<uint8_t> silenceBlock;

    CertifiedStatus statusChannel;
};
