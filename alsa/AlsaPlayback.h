#pragma once

#include "alsa/AlsaHandles.h"
#include "alsa/CapabilityProbe.h"
#include "alsa/OutputFormat.h"
#include "protocol/AudioFormat.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ALSAOUT {

// What a deployment fixes and a test replaces; the defaults are the system's.
struct AlsaPlaybackConfig {
    bool closeAfterUse = false; // close the device at the end of each stream
    int setParamsAttempts = 11;
    std::chrono::milliseconds setParamsPause{100};
    uint64_t maxStartDelay = 0; // the furthest a synchronised start waits (picoseconds)
};

// The ALSA playback device hw:C,D of one sink: its handle, the write plan of
// the stream format, and the write path with its conversions.
//
// Threads: the node thread opens, probes, configures and checks the device;
// the stream worker starts it; the transport worker writes to it; whichever
// worker ends a stream releases it. The handle follows one rule: it is
// replaced (opened, closed) and the device configured, checked or started
// only under deviceLock. The write path (the priming in configure, the
// transport worker's writes, the drain in release) runs without it: the
// sink's state orders those so that none overlaps another or a replacement.
class AlsaPlayback {
public:
    // What a write stage did with its frames.
    enum class WriteResult : uint8_t {
        Written, // all frames reached the device
        Dropped, // an underrun was repaired; the rest of the chunk is lost
        Failed   // the device refused the write
    };

    // Frames handled per conversion step; the scratch buffers hold one step.
    static constexpr size_t kBlockFrames = 1024;

    AlsaPlayback(std::string deviceName, const AlsaPlaybackConfig& config);
    AlsaPlayback(const AlsaPlayback&) = delete;
    AlsaPlayback& operator=(const AlsaPlayback&) = delete;

    // Node thread, before the sink's workers run: opens the device (the
    // libasound code, negative, on failure) and reads what it can play.
    int open();
    bool probe(const ProbeSettings& settings, DeviceCapabilities& caps);
    // Node thread: the device while no stream plays. 0, or the libasound
    // code of a device that went away.
    int checkIdle();
    // Closes and opens the device again (under deviceLock).
    bool reopen();
    void close();
    bool isOpen() const;

    // Node thread, while the sink is Idle: configures the device for `fmt`
    // as `caps` allow, fixes the write plan and primes the device with a
    // buffer of silence, held from starting until start.
    bool configure(const QUORVEL::AudioFormat& fmt, const DeviceCapabilities& caps);
    // Stream worker: waits for `startAt` (0 = at once, at most the
    // configured delay) and starts the device.
    void start(uint64_t startAt);
    // Transport worker: `bytes` of the stream format. false = the device failed.
    bool write(const uint8_t* data, size_t bytes) { return writeUpmixed(data, bytes) != WriteResult::Failed; }
    // The end of a stream: pushes the last music out with silence and lets
    // the device go (closed, or opened again for the next stream).
    bool release();

    // The write path, in calling order: up-mix, convert, write.
    WriteResult writeUpmixed(const uint8_t* data, size_t bytes);
    WriteResult writeConverted(const uint8_t* data, size_t bytes, size_t frames, uint32_t channels);
    WriteResult writeFrames(const uint8_t* data, size_t bytes, size_t frames);

    // The device buffer of the configured stream, in device frames.
    int64_t bufferFrames() const { return deviceBufferFrames; }

private:
    bool configureDevice(uint32_t channels, uint32_t rate, snd_pcm_format_t alsaFormat, uint32_t latencyUs);
    // Writes `frames` stream frames of silence through the write path.
    WriteResult writeSilence(uint64_t frames);
    // The stream frames that fill `deviceFrames` frames of the device.
    uint64_t streamFramesIn(uint64_t deviceFrames) const;
    // configure: keeps the priming from starting the device. start and
    // release: start it, with the start threshold restored.
    void holdStart();
    void startDevice();

    // Fixed at construction.
    const std::string deviceName;
    const AlsaPlaybackConfig config;

    mutable std::mutex deviceLock;
    PcmHandle pcm;
    HwParamsHandle hwParams; // node thread (probe, checkIdle)
    // The start threshold set_params chose, while holdStart keeps the device
    // from starting; 0 otherwise. Guarded by deviceLock.
    snd_pcm_uframes_t heldStartThreshold = 0;

    // The stream's write plan, set by configure (node thread, sink Idle) and
    // read by the workers during the stream.
    QUORVEL::AudioFormat currentFormat;
    OutputFormat output;
    uint32_t streamSampleBytes = 0;
    uint32_t streamChannels = 0;
    uint32_t deviceChannels = 0;
    uint32_t extraChannels = 0;
    int64_t deviceBufferFrames = 0;
    // Sized by configure so that the write path allocates nothing: one
    // block of up-mixed frames, one block of converted frames, one block of
    // silence in the stream format.
    std::vector<uint8_t> upmixScratch;
    std::vector<uint8_t> convertScratch;
    std::vector<uint8_t> silenceBlock;
};

} // namespace ALSAOUT
