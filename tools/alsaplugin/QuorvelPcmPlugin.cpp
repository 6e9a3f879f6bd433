// The "quorvel" ALSA output: any program that plays to an ALSA device plays
// to a sink of a target over the network. It offers exactly the formats,
// rates and channel counts the sink plays (native DSD as DSD_U32_LE/BE
// included) and hands the program's bytes on unchanged: no conversion, no
// resampling, no volume. The stream goes out through the Host library's
// PushPlayer on a thread of its own, paced by the sink's level reports.
//
// Configuration node (see quorvel.conf):
//   target "TargetApp" | "fe80::1%eth0"   a target's name, identifier or address
//   sink "1" | "Desk DAC"                  a sink's number or name
//   latency N                              the sink's buffer in units of 100 us (0: its default)
//   interface "eth0"                       where a target's name is looked up (default: everywhere)
//
// Every failure is one line through ALSA's error handler and an error code:
// -EBUSY when another Host holds the sink, -EINVAL for a format it cannot
// play, -EIO when the target does not answer, -ENODEV when it vanishes, and
// -EPIPE (an underrun) when the sink ended a connection the player left
// without audio for too long.
//
// Concurrency: libasound runs some callbacks outside its own lock, so each
// takes the handle's mutex. The only other thread is the player's session
// thread, which touches the handle only through PushPlayer and the eventfd.

#include "foundation/Completes.h"
#include "host/CapabilityText.h"
#include "host/PushPlayer.h"
#include "host/SinkClient.h"
#include "host/TargetLookup.h"
#include "host/TargetSurvey.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <set>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace QUORVELPLUGIN {
namespace {

using QUORVEL::AudioFormat;
using namespace std::chrono_literals;

constexpr auto kLookupWait = 1000ms;  // discovery of a target by name
constexpr auto kAnswerWait = 500ms;   // each control request
constexpr auto kFeedbackWait = 800ms; // a sink silent this long while audio goes out is gone
// Datagrams go out in bursts of up to 4 ms of audio: a quarter of the
// wake-ups, far inside the sink's buffer.
constexpr auto kPacingSlack = std::chrono::microseconds(4000);
// A player that writes nothing this long has underrun: the sink would drop
// the connection after half a second of silence without a word.
constexpr auto kStallWait = 400ms;
// DSD_U32 frames carry 32 DSD bits per channel: the ALSA rate is the DSD rate / 32.
constexpr uint32_t kDsdBitsPerFrame = 32;

struct Settings {
    std::string target;
    std::string sink;
    std::string interface;
    long latency = 0;
};

// The eventfd a program polls: readable when it may write again or the
// stream ended.
class WakeDescriptor {
public:
    WakeDescriptor() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~WakeDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    WakeDescriptor(const WakeDescriptor&) = delete;
    WakeDescriptor& operator=(const WakeDescriptor&) = delete;

    int get() const { return fd; }
    void signal() const {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t done = ::write(fd, &one, sizeof(one));
    }
    void clear() const {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t done = ::read(fd, &count, sizeof(count));
    }

private:
    int fd;
};

struct QuorvelPcm {
    snd_pcm_ioplug_t io{};
    std::string label; // "sink 1 of TargetApp", for messages
    QUORVEL::SinkCapabilities caps;
    WakeDescriptor wake;
    std::unique_ptr<QUORVEL::PushPlayer> player;
    std::mutex lock;
    AudioFormat format; // of the configured stream
    size_t frameBytes = 1;
    uint64_t reported = 0;          // frames reported to libasound as played since prepare
    snd_pcm_uframes_t availMin = 1; // room at which a waiting program may write again
    bool failureLogged = false;
};

QuorvelPcm& pcmOf(snd_pcm_ioplug_t* io) {
    return *static_cast<QuorvelPcm*>(io->private_data);
}

// The stream format for ALSA's format, channels and rate; 0 when there is none.
AudioFormat streamFormat(snd_pcm_format_t format, unsigned int channels, unsigned int rate) {
    uint64_t encoding = 0;
    uint32_t streamRate = rate;
    switch (format) {
    case SND_PCM_FORMAT_S8:
        encoding = AudioFormat::kPcm8;
        break;
    case SND_PCM_FORMAT_S16_LE:
        encoding = AudioFormat::kPcm16;
        break;
    case SND_PCM_FORMAT_S24_3LE:
        encoding = AudioFormat::kPcm24;
        break;
    case SND_PCM_FORMAT_S32_LE:
        encoding = AudioFormat::kPcm32;
        break;
    case SND_PCM_FORMAT_FLOAT_LE:
        encoding = AudioFormat::kFloat32;
        break;
    case SND_PCM_FORMAT_FLOAT64_LE:
        encoding = AudioFormat::kFloat64;
        break;
    case SND_PCM_FORMAT_DSD_U32_LE:
    case SND_PCM_FORMAT_DSD_U32_BE:
        // The earliest bit in the most significant bit of the word's most
        // significant byte, as ALSA's DSD formats have it.
        encoding = AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst | AudioFormat::kDsdWidth4 |
                   (format == SND_PCM_FORMAT_DSD_U32_LE ? AudioFormat::kDsdLittleEndian
                                                        : AudioFormat::kDsdBigEndian);
        streamRate = rate > UINT32_MAX / kDsdBitsPerFrame ? 0 : rate * kDsdBitsPerFrame;
        break;
    default:
        return AudioFormat();
    }
    return AudioFormat(encoding | AudioFormat::channelBit(channels) | AudioFormat::rateBits(streamRate));
}

bool plays(const QUORVEL::SinkCapabilities& caps, AudioFormat format) {
    const uint64_t word = format.isDSD() ? caps.dsd.value() : caps.pcm.value();
    return format.isValid() && (word & format.value()) == format.value();
}

// What the sink plays, as ALSA parameter lists: every format any of its
// words takes, and the union of their rates and channel counts. A
// combination that only one of them takes is refused at hw_params.
int setConstraints(QuorvelPcm& pcm) {
    static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_MMAP_INTERLEAVED};
    static const snd_pcm_format_t kFormats[] = {SND_PCM_FORMAT_S8,         SND_PCM_FORMAT_S16_LE,
                                                SND_PCM_FORMAT_S24_3LE,    SND_PCM_FORMAT_S32_LE,
                                                SND_PCM_FORMAT_FLOAT_LE,   SND_PCM_FORMAT_FLOAT64_LE,
                                                SND_PCM_FORMAT_DSD_U32_LE, SND_PCM_FORMAT_DSD_U32_BE};
    std::vector<unsigned int> formats;
    std::set<unsigned int> rates;
    std::set<unsigned int> channels;
    for (const AudioFormat word : {pcm.caps.pcm, pcm.caps.dsd}) {
        const std::vector<uint32_t> wordRates = QUORVEL::capabilityRates(word);
        const std::vector<uint32_t> wordChannels = QUORVEL::capabilityChannels(word);
        if (wordRates.empty() || wordChannels.empty()) {
            continue;
        }
        bool any = false;
        for (const snd_pcm_format_t format : kFormats) {
            // Probe with a rate and channel count the word has, scaled as ALSA counts DSD frames.
            const bool dsd = format == SND_PCM_FORMAT_DSD_U32_LE || format == SND_PCM_FORMAT_DSD_U32_BE;
            const uint32_t rate = dsd ? wordRates.back() / kDsdBitsPerFrame : wordRates.back();
            const AudioFormat probe = streamFormat(format, wordChannels.front(), rate);
            if (probe.isValid() && (word.value() & probe.value()) == probe.value() &&
                std::find(formats.begin(), formats.end(), format) == formats.end()) {
                formats.push_back(static_cast<unsigned int>(format));
                any = true;
            }
        }
        if (!any) {
            continue;
        }
        const bool dsdWord = (word.value() & (AudioFormat::kDsd1 | AudioFormat::kDsd4)) != 0 &&
                             (word.value() & AudioFormat::kPcmMask) == 0;
        for (const uint32_t rate : wordRates) {
            if (!dsdWord) {
                rates.insert(rate);
            } else if (rate % kDsdBitsPerFrame == 0) {
                rates.insert(rate / kDsdBitsPerFrame);
            }
        }
        channels.insert(wordChannels.begin(), wordChannels.end());
    }
    if (formats.empty()) {
        SNDERR("quorvel: %s plays no format that ALSA has", pcm.label.c_str());
        return -ENODEV;
    }
    const std::vector<unsigned int> rateList(rates.begin(), rates.end());
    const std::vector<unsigned int> channelList(channels.begin(), channels.end());
    snd_pcm_ioplug_t* io = &pcm.io;
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT,
                                            static_cast<unsigned int>(formats.size()), formats.data());
    }
    if (err >= 0) {
        err =
            snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_CHANNELS,
                                          static_cast<unsigned int>(channelList.size()), channelList.data());
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE,
                                            static_cast<unsigned int>(rateList.size()), rateList.data());
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 256, 4 * 1024 * 1024);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 4096, 32 * 1024 * 1024);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
    }
    return err;
}

snd_pcm_uframes_t bufferFrames(const QuorvelPcm& pcm) {
    return pcm.io.buffer_size > 0 ? pcm.io.buffer_size : 1;
}

uint64_t sentFrames(const QuorvelPcm& pcm) {
    return pcm.player->sentBytes() / pcm.frameBytes;
}

// A failure of the running stream, logged once. A sink that vanished makes
// the handle unusable, as an unplugged card does (-ENODEV: the program
// reopens); any other failure is returned, and a prepare clears it.
int takeFailure(QuorvelPcm& pcm) {
    const int error = pcm.player->failure();
    if (error == 0) {
        return 0;
    }
    if (!pcm.failureLogged) {
        pcm.failureLogged = true;
        SNDERR("quorvel: %s: %s", pcm.label.c_str(), pcm.player->failureText().c_str());
    }
    if (error == -ENODEV) {
        snd_pcm_ioplug_set_state(&pcm.io, SND_PCM_STATE_DISCONNECTED);
    }
    return error;
}

// Connects (at a start, or when a pause ends); a refusal is logged once.
int connectSink(QuorvelPcm& pcm) {
    const int error = pcm.player->start();
    if (error != 0) {
        pcm.failureLogged = true;
        SNDERR("quorvel: %s: %s", pcm.label.c_str(), pcm.player->failureText().c_str());
    }
    return error;
}

int quorvelStart(snd_pcm_ioplug_t* io) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    return connectSink(pcm);
}

int quorvelStop(snd_pcm_ioplug_t* io) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    pcm.player->stop();
    pcm.wake.signal();
    return 0;
}

int quorvelDrain(snd_pcm_ioplug_t* io) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    const int error = pcm.player->drain();
    if (error != 0 && !pcm.failureLogged) {
        pcm.failureLogged = true;
        SNDERR("quorvel: %s: %s", pcm.label.c_str(), pcm.player->failureText().c_str());
    }
    return error;
}

int quorvelPause(snd_pcm_ioplug_t* io, int enable) {
    // A pause ends the connection without waiting for the sink's drain; the
    // queue keeps what was not sent, and resuming connects again.
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    if (enable != 0) {
        pcm.player->stop();
        return 0;
    }
    return connectSink(pcm);
}

snd_pcm_sframes_t quorvelPointer(snd_pcm_ioplug_t* io) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    const int error = takeFailure(pcm);
    if (error != 0) {
        return error;
    }
    // libasound sees the position modulo the buffer size, so a step of a whole
    // buffer would read as no progress; report at most one frame less.
    const snd_pcm_uframes_t size = bufferFrames(pcm);
    pcm.reported = std::min<uint64_t>(sentFrames(pcm), pcm.reported + size - 1);
    if (pcm.reported < sentFrames(pcm)) {
        pcm.wake.signal(); // the rest is reported at the next call
    }
    return static_cast<snd_pcm_sframes_t>(pcm.reported % size);
}

snd_pcm_sframes_t quorvelTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                  snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    const int error = takeFailure(pcm);
    if (error != 0) {
        return error;
    }
    // Interleaved access only: one area, frames back to back.
    const auto* start =
        static_cast<const uint8_t*>(areas[0].addr) + areas[0].first / 8 + offset * pcm.frameBytes;
    const size_t taken = pcm.player->push(std::span<const uint8_t>(start, size * pcm.frameBytes));
    return static_cast<snd_pcm_sframes_t>(taken / pcm.frameBytes);
}

int quorvelDelay(snd_pcm_ioplug_t* io, snd_pcm_sframes_t* delay) {
    // What the program wrote and the sink has not played: the queue here and
    // the sink's own buffer (its last level report, in units of 100 us).
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    const uint64_t queued = pcm.player->queuedBytes() / pcm.frameBytes;
    const uint64_t atSink = static_cast<uint64_t>(pcm.player->sinkQueue()) * io->rate / 10000;
    *delay = static_cast<snd_pcm_sframes_t>(queued + (pcm.player->running() ? atSink : 0));
    return 0;
}

int quorvelHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* /*params*/) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    const AudioFormat format = streamFormat(io->format, io->channels, io->rate);
    if (!plays(pcm.caps, format)) {
        SNDERR("quorvel: %s cannot play %s, %u channels at %u Hz", pcm.label.c_str(),
               snd_pcm_format_name(io->format), io->channels, io->rate);
        return -EINVAL;
    }
    pcm.format = format;
    pcm.frameBytes = format.frameBytes();
    if (!pcm.player->configure(format, static_cast<size_t>(bufferFrames(pcm)) * pcm.frameBytes)) {
        return -ENOMEM;
    }
    pcm.availMin = std::max<snd_pcm_uframes_t>(io->period_size, 1);
    pcm.player->setWakeRoom(pcm.availMin * pcm.frameBytes);
    return 0;
}

int quorvelSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    snd_pcm_uframes_t availMin = 0;
    if (snd_pcm_sw_params_get_avail_min(params, &availMin) == 0) {
        pcm.availMin = std::max<snd_pcm_uframes_t>(availMin, 1);
        pcm.player->setWakeRoom(pcm.availMin * pcm.frameBytes);
    }
    return 0;
}

int quorvelPrepare(snd_pcm_ioplug_t* io) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    if (pcm.player->failure() == -ENODEV) {
        return -ENODEV;
    }
    pcm.player->reset();
    pcm.reported = 0;
    pcm.failureLogged = false;
    pcm.wake.signal(); // an empty queue: the program may write
    return 0;
}

int quorvelPollRevents(snd_pcm_ioplug_t* io, struct pollfd* /*pfd*/, unsigned int /*nfds*/,
                       unsigned short* revents) {
    QuorvelPcm& pcm = pcmOf(io);
    std::lock_guard<std::mutex> guard(pcm.lock);
    // Cleared first: room that appears from here on signals again.
    pcm.wake.clear();
    if (takeFailure(pcm) != 0) {
        *revents = POLLOUT | POLLERR;
        return 0;
    }
    const uint64_t queued = io->appl_ptr >= pcm.reported ? io->appl_ptr - pcm.reported : 0;
    const uint64_t room = bufferFrames(pcm) - std::min<uint64_t>(queued, bufferFrames(pcm));
    const bool writable = room >= pcm.availMin || sentFrames(pcm) > pcm.reported;
    if (writable) {
        // Readable for as long as the program may write: a program that
        // wrote part of the room (before the start, say) polls again.
        pcm.wake.signal();
    }
    *revents = writable ? POLLOUT : 0;
    return 0;
}

int quorvelClose(snd_pcm_ioplug_t* io) {
    delete &pcmOf(io);
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t callbacks{};
    callbacks.start = quorvelStart;
    callbacks.stop = quorvelStop;
    callbacks.pointer = quorvelPointer;
    callbacks.transfer = quorvelTransfer;
    callbacks.close = quorvelClose;
    callbacks.hw_params = quorvelHwParams;
    callbacks.sw_params = quorvelSwParams;
    callbacks.prepare = quorvelPrepare;
    callbacks.drain = quorvelDrain;
    callbacks.pause = quorvelPause;
    callbacks.resume = nullptr;
    callbacks.delay = quorvelDelay;
    callbacks.poll_revents = quorvelPollRevents;
    return callbacks;
}();

bool readSettings(snd_config_t* conf, Settings& settings) {
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0) {
            continue;
        }
        const std::string key = id;
        if (key == "comment" || key == "type" || key == "hint") {
            continue;
        }
        const char* text = nullptr;
        long number = 0;
        bool good = true;
        if (key == "target" || key == "sink" || key == "interface") {
            // A number written without quotes is an integer node.
            if (snd_config_get_string(node, &text) == 0 && text != nullptr) {
                (key == "target" ? settings.target
                 : key == "sink" ? settings.sink
                                 : settings.interface) = text;
            } else if (snd_config_get_integer(node, &number) == 0) {
                (key == "target" ? settings.target
                 : key == "sink" ? settings.sink
                                 : settings.interface) = std::to_string(number);
            } else {
                good = false;
            }
        } else if (key == "latency") {
            good = snd_config_get_integer(node, &settings.latency) == 0 ||
                   (snd_config_get_string(node, &text) == 0 && text != nullptr &&
                    (settings.latency = std::strtol(text, nullptr, 10), true));
            good = good && settings.latency >= 0 && settings.latency <= 65535;
        } else {
            SNDERR("quorvel: unknown setting %s", id);
            return false;
        }
        if (!good) {
            SNDERR("quorvel: bad value for %s", id);
            return false;
        }
    }
    if (settings.target.empty() || settings.sink.empty()) {
        SNDERR("quorvel: give TARGET and SINK, e.g. quorvel:TARGET=TargetApp,SINK=1");
        return false;
    }
    return true;
}

// Finds the sink and asks what it plays. 0, or the error with one line logged.
int findSink(QuorvelPcm& pcm, const Settings& settings, VEMRA::SocketAddress& control) {
    QUORVEL::TargetLookupError lookupError;
    const std::vector<std::string> interfaces = settings.interface.empty()
                                                    ? std::vector<std::string>{}
                                                    : std::vector<std::string>{settings.interface};
    const auto target = QUORVEL::lookUpTarget(settings.target, interfaces, kLookupWait, lookupError);
    if (!target) {
        SNDERR("quorvel: %s", lookupError.text.c_str());
        return lookupError.usage ? -EINVAL : -ENODEV;
    }
    const std::string endpoint = QUORVEL::endpointText(*target);
    const std::string where =
        endpoint == settings.target ? endpoint : settings.target + " (" + endpoint + ")";
    QUORVEL::HostClient client(*target, kAnswerWait);
    if (!client.open()) {
        SNDERR("quorvel: cannot open a UDP socket");
        return -EIO;
    }
    const auto sinks = QUORVEL::listSinks(client);
    if (!sinks) {
        SNDERR("quorvel: no answer from %s", where.c_str());
        return -EIO;
    }
    const auto sink = QUORVEL::findSink(*sinks, settings.sink);
    if (!sink) {
        SNDERR("quorvel: no sink '%s' on %s (it offers %s)", settings.sink.c_str(), where.c_str(),
               QUORVEL::offeredSinksText(*sinks).c_str());
        return -ENODEV;
    }
    pcm.label = "sink " + std::to_string(sink->key) + " \"" + sink->name + "\" of " + settings.target;
    control = *target;
    control.setHostPort(sink->controlPort);
    QUORVEL::SinkClient sinkClient(control, kAnswerWait);
    const auto caps = sinkClient.open() ? QUORVEL::querySinkCapabilities(sinkClient) : std::nullopt;
    if (!caps) {
        SNDERR("quorvel: no answer from %s", pcm.label.c_str());
        return -EIO;
    }
    pcm.caps = *caps;
    return 0;
}

int openQuorvel(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode) {
    if (stream != SND_PCM_STREAM_PLAYBACK) {
        SNDERR("quorvel: a target's sink only plays");
        return -EINVAL;
    }
    Settings settings;
    if (!readSettings(conf, settings)) {
        return -EINVAL;
    }
    std::unique_ptr<QuorvelPcm> pcm(new (std::nothrow) QuorvelPcm);
    if (!pcm || pcm->wake.get() < 0) {
        return -ENOMEM;
    }
    VEMRA::SocketAddress control;
    int err = findSink(*pcm, settings, control);
    if (err < 0) {
        return err;
    }
    QUORVEL::PlayOptions options;
    options.latency = static_cast<uint16_t>(settings.latency);
    options.hostName = program_invocation_short_name;
    options.timeout = kAnswerWait;
    options.feedbackTimeout = kFeedbackWait;
    options.pacingSlack = kPacingSlack;
    options.stallTimeout = kStallWait;
    QuorvelPcm* raw = pcm.get();
    if (!VEMRA::completes([&] {
            pcm->player =
                std::make_unique<QUORVEL::PushPlayer>(control, options, [raw] { raw->wake.signal(); });
        })) {
        return -ENOMEM;
    }
    pcm->io.version = SND_PCM_IOPLUG_VERSION;
    pcm->io.name = "Quorvel network sink";
    pcm->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
    pcm->io.poll_fd = pcm->wake.get();
    pcm->io.poll_events = POLLIN;
    pcm->io.mmap_rw = 0;
    pcm->io.callback = &kCallbacks;
    pcm->io.private_data = raw;
    err = snd_pcm_ioplug_create(&pcm->io, name, stream, mode);
    if (err < 0) {
        return err;
    }
    pcm.release(); // the handle owns it now: its close callback frees it
    err = setConstraints(*raw);
    if (err < 0) {
        snd_pcm_ioplug_delete(&raw->io);
        return err;
    }
    *pcmp = raw->io.pcm;
    return 0;
}

} // namespace
} // namespace QUORVELPLUGIN

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(quorvel) {
    (void)root;
    return QUORVELPLUGIN::openQuorvel(pcmp, name, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(quorvel)
}
