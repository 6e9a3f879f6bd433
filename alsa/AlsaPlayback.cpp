#include "alsa/AlsaPlayback.h"

#include "foundation/Log.h"
#include "protocol/SinkBuffer.h"

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

using QUORVEL::AudioFormat;
using VEMRA::kLogDetail;
using VEMRA::kLogError;
using VEMRA::kLogInfo;
using VEMRA::logLine;

namespace {

// The device's start threshold: it starts by itself once that many frames
// are queued. Returns 0 or the negative error code of libasound.
int readStartThreshold(snd_pcm_t* pcm, snd_pcm_uframes_t& threshold, snd_pcm_uframes_t& boundary) {
    snd_pcm_sw_params_t* params = nullptr;
    snd_pcm_sw_params_alloca(&params);
    int code = snd_pcm_sw_params_current(pcm, params);
    if (code == 0) {
        code = snd_pcm_sw_params_get_start_threshold(params, &threshold);
    }
    if (code == 0) {
        code = snd_pcm_sw_params_get_boundary(params, &boundary);
    }
    return code;
}

int writeStartThreshold(snd_pcm_t* pcm, snd_pcm_uframes_t threshold) {
    snd_pcm_sw_params_t* params = nullptr;
    snd_pcm_sw_params_alloca(&params);
    int code = snd_pcm_sw_params_current(pcm, params);
    if (code == 0) {
        code = snd_pcm_sw_params_set_start_threshold(pcm, params, threshold);
    }
    if (code == 0) {
        code = snd_pcm_sw_params(pcm, params);
    }
    return code;
}

} // namespace

namespace ALSAOUT {

AlsaPlayback::AlsaPlayback(std::string device, const AlsaPlaybackConfig& playbackConfig)
    : deviceName(std::move(device)), config(playbackConfig), hwParams(newHwParams()) {}

int AlsaPlayback::open() {
    const std::lock_guard<std::mutex> lock(deviceLock);
    return openPlayback(deviceName, pcm);
}

bool AlsaPlayback::probe(const ProbeSettings& settings, DeviceCapabilities& caps) {
    if (hwParams == nullptr) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_any Err ") << -ENOMEM;
        return false;
    }
    const std::lock_guard<std::mutex> lock(deviceLock);
    if (pcm == nullptr) {
        return false;
    }
    PcmHardwareQuery query(pcm.get(), hwParams.get());
    return probeCapabilities(query, settings, caps);
}

int AlsaPlayback::checkIdle() {
    const std::lock_guard<std::mutex> lock(deviceLock);
    // After a failed reopen there is no handle to check; the next configure
    // opens the device first.
    if (pcm == nullptr || hwParams == nullptr) {
        return 0;
    }
    const int code = snd_pcm_hw_params_any(pcm.get(), hwParams.get());
    return code < 0 ? code : 0;
}

bool AlsaPlayback::reopen() {
    const std::lock_guard<std::mutex> lock(deviceLock);
    pcm.reset();
    const int code = openPlayback(deviceName, pcm);
    if (code < 0) {
        logLine(kLogDetail, "alsa snd_pcm_open Err ") << code;
        return false;
    }
    return true;
}

void AlsaPlayback::close() {
    const std::lock_guard<std::mutex> lock(deviceLock);
    pcm.reset();
}

bool AlsaPlayback::isOpen() const {
    const std::lock_guard<std::mutex> lock(deviceLock);
    return pcm != nullptr;
}

bool AlsaPlayback::configureDevice(uint32_t channels, uint32_t rate, snd_pcm_format_t alsaFormat,
                                   uint32_t latencyUs) {
    const int attempts = std::max(1, config.setParamsAttempts);
    int code = 0;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        {
            const std::lock_guard<std::mutex> lock(deviceLock);
            // A failed reopen left no handle: open before configuring.
            code = pcm != nullptr ? 0 : openPlayback(deviceName, pcm);
            if (code >= 0) {
                code = snd_pcm_set_params(pcm.get(), alsaFormat, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                          rate, 0, latencyUs);
            }
        }
        if (code == 0) {
            return true;
        }
        if (attempt == attempts) {
            break;
        }
        logLine(kLogInfo, "alsa snd_pcm_set_params Retry ") << code;
        std::this_thread::sleep_for(config.setParamsPause);
        if (!reopen()) {
            logLine(kLogError, "alsa reopen Err ");
        }
    }
    logLine(kLogError, "alsa snd_pcm_set_params Err ") << code;
    return false;
}

bool AlsaPlayback::configure(const AudioFormat& fmt, const DeviceCapabilities& caps) {
    logLine(kLogDetail, "changeFormat ");
    currentFormat = fmt;
    {
        const std::lock_guard<std::mutex> lock(deviceLock);
        if (pcm == nullptr) {
            const int code = openPlayback(deviceName, pcm);
            if (code < 0) {
                logLine(kLogError, "alsa snd_pcm_open re Err ") << code;
                return false;
            }
        }
    }

    OutputFormat chosen;
    if (!chooseOutputFormat(fmt, caps.facts(), chosen)) {
        return false;
    }
    switch (chosen.log) {
    case FormatLog::Pcm:
        logLine(kLogDetail, "set PCM ") << fmt.bitsPerSample();
        break;
    case FormatLog::Float:
        logLine(kLogDetail, "set FLOAT ") << fmt.bitsPerSample();
        break;
    case FormatLog::Dsd:
        logLine(kLogDetail, "set DSD msb  ") << fmt.bytesPerSample();
        break;
    case FormatLog::None:
        break;
    }

    const uint32_t channels = fmt.channels();
    uint32_t onDevice = channels;
    if ((fmt.value() & caps.upmixMask & AudioFormat::kChannelMask) != 0) {
        logLine(kLogDetail, "fmt UpChEnable  ")
            << (fmt.isValid() ? 1ULL : 0ULL) << " " << static_cast<unsigned long long>(caps.upmixMask);
        onDevice = smallestChannelClass(caps.pcmCaps);
        if (onDevice == 0) {
            return false;
        }
        logLine(kLogDetail, "UP ch mode  ") << channels << " " << static_cast<int>(onDevice);
        if (caps.channelsMin > onDevice) {
            logLine(kLogDetail, "UP ch  change limit ") << static_cast<int>(caps.channelsMin);
            onDevice = caps.channelsMin;
        }
    }
    const uint32_t deviceRate = fmt.rate() / chosen.divisor;
    logLine(kLogDetail, "set CH ") << channels << " - " << static_cast<int>(onDevice);
    logLine(kLogDetail, "set HZ ") << deviceRate;
    logLine(kLogDetail, "set LATENCY ") << caps.latencyUs / 1000 << "msec";

    if (!configureDevice(onDevice, deviceRate, chosen.alsaFormat, caps.latencyUs)) {
        return false;
    }
    snd_pcm_sframes_t avail = 0;
    {
        const std::lock_guard<std::mutex> lock(deviceLock);
        avail = snd_pcm_avail_update(pcm.get());
    }
    // The buffer size sizes the priming and the drain; without it neither
    // can be written.
    if (avail <= 0) {
        logLine(kLogError, "alsa snd_pcm_avail_update Err ") << static_cast<long long>(avail);
        return false;
    }

    // The write plan, fixed until the next setFormat.
    output = chosen;
    deviceBufferFrames = avail;
    streamSampleBytes = fmt.bytesPerSample();
    streamChannels = channels;
    deviceChannels = onDevice;
    extraChannels = onDevice - channels;
    const size_t streamFrameBytes = static_cast<size_t>(streamSampleBytes) * streamChannels;
    upmixScratch.resize(extraChannels == 0 ? 0 : kBlockFrames * streamSampleBytes * deviceChannels);
    size_t convertedFrameBytes = 0;
    switch (output.conversion) {
    case Conversion::Widen:
    case Conversion::In32:
        convertedFrameBytes = 4U * deviceChannels;
        break;
    case Conversion::Dop:
        convertedFrameBytes = 2U * dopSampleBytes(output.dopContainer) * deviceChannels;
        break;
    case Conversion::None:
        break;
    }
    convertScratch.resize(kBlockFrames * convertedFrameBytes);
    silenceBlock.assign(kBlockFrames * streamFrameBytes, fmt.silenceByte());

    // The device starts from a full buffer of silence, but only at play: a
    // device that started as the priming filled its buffer would play it out
    // while the Host gets ready, run dry before the first audio, and start
    // at no chosen moment.
    holdStart();
    if (writeSilence(streamFramesIn(static_cast<uint64_t>(deviceBufferFrames))) == WriteResult::Failed) {
        return false;
    }
    logLine(kLogDetail, "setFormat done ") << static_cast<long long>(deviceBufferFrames);
    return true;
}

void AlsaPlayback::start(uint64_t startAt) {
    QUORVEL::SinkBuffer::waitForStart(startAt, config.maxStartDelay);
    startDevice();
}

void AlsaPlayback::holdStart() {
    const std::lock_guard<std::mutex> lock(deviceLock);
    heldStartThreshold = 0;
    if (pcm == nullptr) {
        return;
    }
    snd_pcm_uframes_t threshold = 0;
    snd_pcm_uframes_t boundary = 0;
    int code = readStartThreshold(pcm.get(), threshold, boundary);
    if (code == 0) {
        code = writeStartThreshold(pcm.get(), boundary);
    }
    if (code != 0) {
        // The device then starts as the priming fills it, as it would without this.
        logLine(kLogError, "alsa snd_pcm_sw_params Err ") << code;
        return;
    }
    heldStartThreshold = threshold;
}

void AlsaPlayback::startDevice() {
    const std::lock_guard<std::mutex> lock(deviceLock);
    if (pcm == nullptr) {
        return;
    }
    // After an underrun the device is prepared again and must restart by
    // itself once the writes have refilled it, as set_params arranged.
    if (heldStartThreshold != 0) {
        const int code = writeStartThreshold(pcm.get(), heldStartThreshold);
        if (code != 0) {
            logLine(kLogError, "alsa snd_pcm_sw_params Err ") << code;
        }
        heldStartThreshold = 0;
    }
    if (snd_pcm_state(pcm.get()) == SND_PCM_STATE_PREPARED) {
        const int code = snd_pcm_start(pcm.get());
        if (code < 0) {
            logLine(kLogError, "alsa snd_pcm_start Err ") << code;
        }
    }
}

AlsaPlayback::WriteResult AlsaPlayback::writeUpmixed(const uint8_t* data, size_t bytes) {
    const size_t frameBytes = static_cast<size_t>(streamSampleBytes) * streamChannels;
    if (frameBytes == 0) {
        return WriteResult::Failed; // no format set
    }
    // A trailing partial frame cannot be played.
    const size_t frames = bytes / frameBytes;
    if (extraChannels == 0) {
        return writeConverted(data, frames * frameBytes, frames, streamChannels);
    }
    const size_t deviceFrameBytes = static_cast<size_t>(streamSampleBytes) * deviceChannels;
    for (size_t done = 0; done < frames;) {
        const size_t n = std::min(kBlockFrames, frames - done);
        upmixFrames(data + done * frameBytes, n, streamSampleBytes, streamChannels, deviceChannels,
                    currentFormat.silenceByte(), upmixScratch.data());
        const WriteResult result =
            writeConverted(upmixScratch.data(), n * deviceFrameBytes, n, deviceChannels);
        if (result != WriteResult::Written) {
            return result;
        }
        done += n;
    }
    return WriteResult::Written;
}

AlsaPlayback::WriteResult AlsaPlayback::writeConverted(const uint8_t* data, size_t bytes, size_t frames,
                                                       uint32_t channels) {
    if (output.conversion == Conversion::None) {
        return writeFrames(data, bytes, frames);
    }
    if (frames == 0) {
        return WriteResult::Written;
    }
    const size_t inFrameBytes = bytes / frames;
    for (size_t done = 0; done < frames;) {
        const size_t n = std::min(kBlockFrames, frames - done);
        const uint8_t* in = data + done * inFrameBytes;
        const size_t samples = n * channels;
        size_t outBytes = 0;
        size_t outFrames = n;
        switch (output.conversion) {
        case Conversion::Widen:
            outBytes = widenTo32(in, samples, output.padBytes, convertScratch.data());
            break;
        case Conversion::In32:
            outBytes = place24In32(in, samples, convertScratch.data());
            break;
        case Conversion::Dop:
            outBytes = packDop(in, n, channels, output.dopContainer, convertScratch.data());
            outFrames = 2 * n;
            break;
        case Conversion::None:
            break;
        }
        const WriteResult result = writeFrames(convertScratch.data(), outBytes, outFrames);
        if (result != WriteResult::Written) {
            return result;
        }
        done += n;
    }
    return WriteResult::Written;
}

AlsaPlayback::WriteResult AlsaPlayback::writeFrames(const uint8_t* data, size_t bytes, size_t frames) {
    if (frames == 0) {
        return WriteResult::Written;
    }
    if (pcm == nullptr) {
        return WriteResult::Failed;
    }
    const size_t frameBytes = bytes / frames;
    size_t written = 0;
    while (written < frames) {
        const snd_pcm_sframes_t result = snd_pcm_writei(pcm.get(), data + written * frameBytes,
                                                        static_cast<snd_pcm_uframes_t>(frames - written));
        if (result == -EPIPE) {
            logLine(kLogError, "snd_pcm_writei EPIPE recover");
            snd_pcm_recover(pcm.get(), -EPIPE, 0);
            return WriteResult::Dropped;
        }
        // A blocking write that moves nothing would loop for ever.
        if (result <= 0) {
            logLine(kLogError, "snd_pcm_writei error ")
                << static_cast<unsigned long long>(frames - written) << "  " << static_cast<int>(result);
            return WriteResult::Failed;
        }
        written += static_cast<size_t>(result);
    }
    return WriteResult::Written;
}

uint64_t AlsaPlayback::streamFramesIn(uint64_t deviceFrames) const {
    // DoP carries 16 of a frame's 32 DSD bits per channel in each device frame.
    return output.conversion == Conversion::Dop ? deviceFrames / 2 : deviceFrames;
}

AlsaPlayback::WriteResult AlsaPlayback::writeSilence(uint64_t frames) {
    const size_t frameBytes = static_cast<size_t>(streamSampleBytes) * streamChannels;
    while (frames > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlockFrames, frames));
        const WriteResult result = writeUpmixed(silenceBlock.data(), n * frameBytes);
        if (result != WriteResult::Written) {
            return result;
        }
        frames -= n;
    }
    return WriteResult::Written;
}

bool AlsaPlayback::release() {
    // A connection that ended before its start leaves the device held with
    // a full buffer: started here, it takes the drain's silence.
    startDevice();
    if (pcm != nullptr) {
        logLine(kLogInfo, "disconnectStream ") << static_cast<long long>(snd_pcm_avail_update(pcm.get()));
        // Two buffers of silence push the last music out of the device
        // before closing it drops what the buffer holds.
        writeSilence(streamFramesIn(2 * static_cast<uint64_t>(deviceBufferFrames)));
    }
    if (config.closeAfterUse) {
        close();
    } else {
        reopen();
    }
    logLine(kLogInfo, "disconnectStream end");
    return true;
}

} // namespace ALSAOUT
