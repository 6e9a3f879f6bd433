// Fake DAC for tests: an ALSA I/O plugin (pcm type "quorvelfake") that accepts
// the formats, rates, channel counts and buffer geometry its configuration
// node names, appends every byte written to it to a file, and consumes frames
// either at once or at the configured rate from the monotonic clock, so that a
// blocking snd_pcm_writei waits exactly as it does on a device. It can report
// one underrun after a number of frames, and it can vanish after a number of
// frames like an unplugged DAC.
//
// Configuration keys (all optional):
//   formats [ "S16_LE" "S32_LE" "DSD_U32_LE" ... ]   accepted sample formats
//   channels_min, channels_max                        channel count range
//   rate_min, rate_max | rates [ 44100 48000 ... ]    rate range or exact list
//   period_bytes_min/max, buffer_bytes_min/max, periods_min/max
//   output "/path"          file every written byte is appended to
//   paced true|false        consume at the configured rate (default false)
//   underrun_after N        report one xrun once N frames were consumed
//   xrun_when_empty true    paced only: running dry is an xrun, as on a device;
//                           otherwise a dry device waits for the writer
//   fail_after N            vanish after N frames were written
//   open_error E            snd_pcm_open fails with -E (device missing)
//
// Concurrency: libasound serialises the callbacks of one handle only partly
// (several run outside its lock), so every callback takes the handle's own
// mutex. Nothing here calls back into libasound with that mutex held.

#include "PluginConfig.h"

#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace FAKEALSA {
namespace {

constexpr long long kNone = -1;
constexpr uint64_t kNanosPerSecond = 1000000000ULL;

struct PcmConfig {
    std::vector<unsigned int> formats;
    unsigned int channelsMin = 2;
    unsigned int channelsMax = 2;
    unsigned int rateMin = 44100;
    unsigned int rateMax = 192000;
    std::vector<unsigned int> rates; // when not empty, replaces rateMin..rateMax
    unsigned int periodBytesMin = 64;
    unsigned int periodBytesMax = 512 * 1024;
    unsigned int bufferBytesMin = 128;
    unsigned int bufferBytesMax = 2 * 1024 * 1024;
    unsigned int periodsMin = 2;
    unsigned int periodsMax = 32;
    std::string output;
    bool paced = false;
    long long underrunAfter = kNone;
    bool xrunWhenEmpty = false;
    long long failAfter = kNone;
    long long openError = 0;
};

// The plugin's own view of the stream; libasound's state lags it in the start
// and stop callbacks, where the new state is set only after they return.
enum class Phase { Setup, Prepared, Running, Xrun, Gone };

struct FakePcm {
    snd_pcm_ioplug_t io{};
    PcmConfig config;
    std::mutex lock;
    int outputFd = -1;
    int timerFd = -1; // the poll descriptor: armed to fire when the writer may go on
    Phase phase = Phase::Setup;
    snd_pcm_uframes_t availMin = 1;
    // Frames since the last prepare: handed to the device, consumed by it, and
    // the consumed position last reported to libasound.
    uint64_t written = 0;
    uint64_t consumed = 0;
    uint64_t reported = 0;
    // Totals since open, for underrun_after and fail_after.
    uint64_t consumedBefore = 0;
    uint64_t totalWritten = 0;
    bool underrunDone = false;
    bool xrunPending = false;
    // Clock origin of paced consumption: baseFrames were consumed at baseNs.
    uint64_t baseNs = 0;
    uint64_t baseFrames = 0;
};

uint64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * kNanosPerSecond + static_cast<uint64_t>(now.tv_nsec);
}

FakePcm& fakeOf(snd_pcm_ioplug_t* io) {
    return *static_cast<FakePcm*>(io->private_data);
}

snd_pcm_uframes_t bufferFrames(const FakePcm& fake) {
    return fake.io.buffer_size > 0 ? fake.io.buffer_size : 1;
}

uint64_t avail(const FakePcm& fake) {
    uint64_t queued = fake.written - fake.consumed;
    uint64_t size = bufferFrames(fake);
    return queued >= size ? 0 : size - queued;
}

bool draining(const FakePcm& fake) {
    return fake.io.state == SND_PCM_STATE_DRAINING;
}

// Frames free in the buffer at which a waiting writer (or drain) may go on.
uint64_t wakeThreshold(const FakePcm& fake) {
    return draining(fake) ? bufferFrames(fake) : fake.availMin;
}

// value * numerator / denominator, rounded down or up, without the 128-bit
// product that 32-bit targets lack: the whole multiples of the denominator
// are scaled apart from the rest, so only (value % denominator) * numerator
// must fit 64 bits, and with a rate and a billion as the two factors it does.
uint64_t scaledDown(uint64_t value, uint64_t numerator, uint64_t denominator) {
    return value / denominator * numerator + value % denominator * numerator / denominator;
}

uint64_t scaledUp(uint64_t value, uint64_t numerator, uint64_t denominator) {
    return value / denominator * numerator +
           (value % denominator * numerator + denominator - 1) / denominator;
}

uint64_t pacedFramesAt(const FakePcm& fake, uint64_t ns) {
    const uint64_t elapsed = ns > fake.baseNs ? ns - fake.baseNs : 0;
    return fake.baseFrames + scaledDown(elapsed, fake.io.rate, kNanosPerSecond);
}

// Moves the consumed position to what the device has played by `ns`. A device
// that has played everything waits for more instead of running ahead; the
// clock origin then restarts from the moment it caught up.
void advance(FakePcm& fake, uint64_t ns) {
    if (fake.phase != Phase::Running || fake.xrunPending) {
        return;
    }
    uint64_t target = fake.config.paced ? pacedFramesAt(fake, ns) : fake.written;
    if (target >= fake.written) {
        if (fake.config.paced && fake.config.xrunWhenEmpty && !draining(fake)) {
            fake.consumed = fake.written;
            fake.xrunPending = true;
            return;
        }
        target = fake.written;
        fake.baseNs = ns;
        fake.baseFrames = fake.written;
    }
    if (fake.config.underrunAfter != kNone && !fake.underrunDone) {
        uint64_t limit = static_cast<uint64_t>(fake.config.underrunAfter);
        uint64_t point = limit > fake.consumedBefore ? limit - fake.consumedBefore : 0;
        if (target >= point) {
            target = std::max(point, fake.consumed);
            fake.underrunDone = true;
            fake.xrunPending = true;
        }
    }
    fake.consumed = std::max(fake.consumed, target);
}

// Arms the poll timer so that the descriptor becomes readable when a writer
// waiting for room may continue: at once when it already may, at the computed
// moment while paced frames drain, never while a prepared buffer stays full.
void armPoll(FakePcm& fake) {
    itimerspec timer{};
    int flags = 0;
    bool immediate = true;
    bool disarm = false;
    if (fake.phase == Phase::Prepared) {
        immediate = avail(fake) >= fake.availMin;
        disarm = !immediate;
    } else if (fake.phase == Phase::Running && fake.config.paced && !fake.xrunPending) {
        uint64_t threshold = wakeThreshold(fake);
        uint64_t free = avail(fake);
        if (free < threshold) {
            immediate = false;
            uint64_t target = fake.consumed + (threshold - free);
            if (fake.config.underrunAfter != kNone && !fake.underrunDone) {
                uint64_t limit = static_cast<uint64_t>(fake.config.underrunAfter);
                uint64_t point = limit > fake.consumedBefore ? limit - fake.consumedBefore : 0;
                target = std::min(target, std::max(point, fake.consumed + 1));
            }
            uint64_t frames = target - fake.baseFrames;
            uint64_t rate = fake.io.rate > 0 ? fake.io.rate : 1;
            uint64_t delay = scaledUp(frames, kNanosPerSecond, rate);
            uint64_t when = fake.baseNs + delay;
            timer.it_value.tv_sec = static_cast<time_t>(when / kNanosPerSecond);
            timer.it_value.tv_nsec = static_cast<long>(when % kNanosPerSecond);
            flags = TFD_TIMER_ABSTIME;
        }
    }
    if (immediate) {
        timer.it_value.tv_nsec = 1; // relative 1 ns: readable right away
    } else if (disarm) {
        timer.it_value = timespec{};
    }
    // Re-arming also clears an expiry that nobody read.
    timerfd_settime(fake.timerFd, flags, &timer, nullptr);
}

bool writeAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t done = ::write(fd, bytes, length);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += done;
        length -= static_cast<size_t>(done);
    }
    return true;
}

void vanish(FakePcm& fake) {
    fake.phase = Phase::Gone;
    snd_pcm_ioplug_set_state(&fake.io, SND_PCM_STATE_DISCONNECTED);
    // An unplugged device answers no parameter query either: an empty rate
    // range makes every later snd_pcm_hw_params_any fail.
    snd_pcm_ioplug_set_param_minmax(&fake.io, SND_PCM_IOPLUG_HW_RATE, 1, 0);
    armPoll(fake);
}

int fakeStart(snd_pcm_ioplug_t* io) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    if (fake.phase == Phase::Gone) {
        return -ENODEV;
    }
    fake.phase = Phase::Running;
    fake.baseNs = nowNs();
    fake.baseFrames = fake.consumed;
    armPoll(fake);
    return 0;
}

int fakeStop(snd_pcm_ioplug_t* io) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    if (fake.phase != Phase::Gone) {
        fake.phase = Phase::Setup;
        fake.xrunPending = false;
    }
    armPoll(fake);
    return 0;
}

snd_pcm_sframes_t fakePointer(snd_pcm_ioplug_t* io) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    snd_pcm_uframes_t size = bufferFrames(fake);
    if (fake.phase == Phase::Gone) {
        return static_cast<snd_pcm_sframes_t>(fake.reported % size);
    }
    advance(fake, nowNs());
    if (fake.xrunPending) {
        fake.xrunPending = false;
        fake.phase = Phase::Xrun;
        armPoll(fake);
        return -EPIPE;
    }
    // libasound sees the position modulo the buffer size, so a step of a whole
    // buffer would read as no progress; report at most one frame less.
    fake.reported = std::min<uint64_t>(fake.consumed, fake.reported + size - 1);
    armPoll(fake);
    return static_cast<snd_pcm_sframes_t>(fake.reported % size);
}

snd_pcm_sframes_t fakeTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                               snd_pcm_uframes_t offset, snd_pcm_uframes_t size) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    if (fake.phase == Phase::Gone) {
        return -ENODEV;
    }
    uint64_t frames = size;
    if (fake.config.failAfter != kNone) {
        uint64_t limit = static_cast<uint64_t>(fake.config.failAfter);
        frames = std::min<uint64_t>(frames, limit > fake.totalWritten ? limit - fake.totalWritten : 0);
    }
    if (frames > 0 && fake.outputFd >= 0) {
        // Only interleaved access is offered: one area, frames back to back.
        size_t frameBytes = static_cast<size_t>(areas[0].step / 8);
        const char* start =
            static_cast<const char*>(areas[0].addr) + areas[0].first / 8 + offset * frameBytes;
        if (!writeAll(fake.outputFd, start, frames * frameBytes)) {
            return -EIO;
        }
    }
    fake.written += frames;
    fake.totalWritten += frames;
    if (fake.config.failAfter != kNone && fake.totalWritten >= static_cast<uint64_t>(fake.config.failAfter)) {
        vanish(fake);
    } else {
        armPoll(fake);
    }
    return frames > 0 ? static_cast<snd_pcm_sframes_t>(frames) : -ENODEV;
}

int fakeClose(snd_pcm_ioplug_t* io) {
    FakePcm* fake = &fakeOf(io);
    if (fake->outputFd >= 0) {
        ::close(fake->outputFd);
    }
    if (fake->timerFd >= 0) {
        ::close(fake->timerFd);
    }
    delete fake;
    return 0;
}

int fakeHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t* /*params*/) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    if (fake.phase == Phase::Gone) {
        return -ENODEV;
    }
    fake.phase = Phase::Setup;
    fake.availMin = io->period_size > 0 ? io->period_size : 1;
    return 0;
}

int fakeSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    snd_pcm_uframes_t value = 0;
    if (snd_pcm_sw_params_get_avail_min(params, &value) == 0) {
        fake.availMin = value > 0 ? value : 1;
    }
    armPoll(fake);
    return 0;
}

int fakePrepare(snd_pcm_ioplug_t* io) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    if (fake.phase == Phase::Gone) {
        return -ENODEV;
    }
    fake.consumedBefore += fake.consumed;
    fake.written = 0;
    fake.consumed = 0;
    fake.reported = 0;
    fake.xrunPending = false;
    fake.phase = Phase::Prepared;
    armPoll(fake);
    return 0;
}

int fakePollRevents(snd_pcm_ioplug_t* io, struct pollfd* /*pfd*/, unsigned int /*nfds*/,
                    unsigned short* revents) {
    FakePcm& fake = fakeOf(io);
    std::lock_guard<std::mutex> guard(fake.lock);
    advance(fake, nowNs());
    unsigned short events = 0;
    switch (fake.phase) {
    case Phase::Prepared:
        events = avail(fake) >= fake.availMin ? POLLOUT : 0;
        break;
    case Phase::Running:
        // A pending xrun is reported by the pointer callback the writer runs next.
        events = fake.xrunPending || avail(fake) >= wakeThreshold(fake) ? POLLOUT : 0;
        break;
    case Phase::Setup:
    case Phase::Xrun:
    case Phase::Gone:
        events = POLLOUT | POLLERR;
        break;
    }
    armPoll(fake);
    *revents = events;
    return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = [] {
    snd_pcm_ioplug_callback_t callbacks{};
    callbacks.start = fakeStart;
    callbacks.stop = fakeStop;
    callbacks.pointer = fakePointer;
    callbacks.transfer = fakeTransfer;
    callbacks.close = fakeClose;
    callbacks.hw_params = fakeHwParams;
    callbacks.sw_params = fakeSwParams;
    callbacks.prepare = fakePrepare;
    callbacks.poll_revents = fakePollRevents;
    return callbacks;
}();

bool readUnsigned(snd_config_t* node, const char* key, unsigned int& value) {
    long long number = 0;
    if (!readInteger(node, number) || number < 0 || number > 0xFFFFFFFFLL) {
        SNDERR("quorvelfake: %s needs a non-negative integer", key);
        return false;
    }
    value = static_cast<unsigned int>(number);
    return true;
}

bool readUnsignedList(snd_config_t* node, const char* key, std::vector<unsigned int>& values) {
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND) {
        SNDERR("quorvelfake: %s needs a list", key);
        return false;
    }
    snd_config_for_each(i, next, node) {
        unsigned int value = 0;
        if (!readUnsigned(snd_config_iterator_entry(i), key, value)) {
            return false;
        }
        values.push_back(value);
    }
    return true;
}

bool readFormats(snd_config_t* node, std::vector<unsigned int>& formats) {
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND) {
        SNDERR("quorvelfake: formats needs a list of format names");
        return false;
    }
    snd_config_for_each(i, next, node) {
        std::string name;
        if (!readString(snd_config_iterator_entry(i), name)) {
            SNDERR("quorvelfake: formats needs format names");
            return false;
        }
        snd_pcm_format_t format = snd_pcm_format_value(name.c_str());
        if (format == SND_PCM_FORMAT_UNKNOWN) {
            SNDERR("quorvelfake: unknown format %s", name.c_str());
            return false;
        }
        formats.push_back(static_cast<unsigned int>(format));
    }
    return !formats.empty();
}

bool readConfig(snd_config_t* conf, PcmConfig& config) {
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf) {
        snd_config_t* node = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(node, &id) < 0 || isGenericKey(id)) {
            continue;
        }
        std::string key = id;
        bool good = true;
        if (key == "formats") {
            good = readFormats(node, config.formats);
        } else if (key == "channels_min") {
            good = readUnsigned(node, id, config.channelsMin);
        } else if (key == "channels_max") {
            good = readUnsigned(node, id, config.channelsMax);
        } else if (key == "rate_min") {
            good = readUnsigned(node, id, config.rateMin);
        } else if (key == "rate_max") {
            good = readUnsigned(node, id, config.rateMax);
        } else if (key == "rates") {
            good = readUnsignedList(node, id, config.rates) && !config.rates.empty();
        } else if (key == "period_bytes_min") {
            good = readUnsigned(node, id, config.periodBytesMin);
        } else if (key == "period_bytes_max") {
            good = readUnsigned(node, id, config.periodBytesMax);
        } else if (key == "buffer_bytes_min") {
            good = readUnsigned(node, id, config.bufferBytesMin);
        } else if (key == "buffer_bytes_max") {
            good = readUnsigned(node, id, config.bufferBytesMax);
        } else if (key == "periods_min") {
            good = readUnsigned(node, id, config.periodsMin);
        } else if (key == "periods_max") {
            good = readUnsigned(node, id, config.periodsMax);
        } else if (key == "output") {
            good = readString(node, config.output);
        } else if (key == "paced") {
            good = readBool(node, config.paced);
        } else if (key == "underrun_after") {
            good = readInteger(node, config.underrunAfter) && config.underrunAfter >= 0;
        } else if (key == "xrun_when_empty") {
            good = readBool(node, config.xrunWhenEmpty);
        } else if (key == "fail_after") {
            good = readInteger(node, config.failAfter) && config.failAfter >= 0;
        } else if (key == "open_error") {
            good = readInteger(node, config.openError) && config.openError >= 0;
        } else {
            SNDERR("quorvelfake: unknown key %s", id);
            return false;
        }
        if (!good) {
            SNDERR("quorvelfake: bad value for %s", id);
            return false;
        }
    }
    if (config.formats.empty()) {
        config.formats = {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S32_LE};
    }
    return true;
}

int setConstraints(FakePcm& fake) {
    static const unsigned int kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    const PcmConfig& config = fake.config;
    snd_pcm_ioplug_t* io = &fake.io;
    int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 1, kAccess);
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT,
                                            static_cast<unsigned int>(config.formats.size()),
                                            config.formats.data());
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, config.channelsMin,
                                              config.channelsMax);
    }
    if (err >= 0) {
        if (config.rates.empty()) {
            err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, config.rateMin, config.rateMax);
        } else {
            err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_RATE,
                                                static_cast<unsigned int>(config.rates.size()),
                                                config.rates.data());
        }
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, config.periodBytesMin,
                                              config.periodBytesMax);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, config.bufferBytesMin,
                                              config.bufferBytesMax);
    }
    if (err >= 0) {
        err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, config.periodsMin,
                                              config.periodsMax);
    }
    return err;
}

int openFake(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode) {
    if (stream != SND_PCM_STREAM_PLAYBACK) {
        SNDERR("quorvelfake: the fake DAC only plays");
        return -EINVAL;
    }
    PcmConfig config;
    if (!readConfig(conf, config)) {
        return -EINVAL;
    }
    if (config.openError > 0) {
        return -static_cast<int>(config.openError);
    }
    auto* fake = new (std::nothrow) FakePcm;
    if (fake == nullptr) {
        return -ENOMEM;
    }
    fake->config = std::move(config);
    fake->io.private_data = fake;
    if (!fake->config.output.empty()) {
        fake->outputFd = ::open(fake->config.output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }
    fake->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if ((!fake->config.output.empty() && fake->outputFd < 0) || fake->timerFd < 0) {
        int err = -errno;
        fakeClose(&fake->io);
        return err;
    }
    fake->io.version = SND_PCM_IOPLUG_VERSION;
    fake->io.name = "Quorvel fake DAC";
    fake->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
    fake->io.poll_fd = fake->timerFd;
    fake->io.poll_events = POLLIN;
    fake->io.mmap_rw = 0;
    fake->io.callback = &kCallbacks;
    int err = snd_pcm_ioplug_create(&fake->io, name, stream, mode);
    if (err < 0) {
        fakeClose(&fake->io);
        return err;
    }
    err = setConstraints(*fake);
    if (err < 0) {
        // Deleting the handle runs the close callback, which frees `fake`.
        snd_pcm_ioplug_delete(&fake->io);
        return err;
    }
    *pcmp = fake->io.pcm;
    return 0;
}

} // namespace
} // namespace FAKEALSA

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(quorvelfake) {
    (void)root;
    return FAKEALSA::openFake(pcmp, name, conf, stream, mode);
}

SND_PCM_PLUGIN_SYMBOL(quorvelfake)
}
