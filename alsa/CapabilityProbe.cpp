#include "alsa/CapabilityProbe.h"

#include "foundation/Log.h"
#include "protocol/AudioFormat.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace ALSAOUT {

using QUORVEL::AudioFormat;
using VEMRA::kLogDetail;
using VEMRA::kLogError;
using VEMRA::logLine;

int PcmHardwareQuery::reset() {
    return snd_pcm_hw_params_any(pcm, params);
}

int PcmHardwareQuery::setAccessInterleaved() {
    return snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
}

int PcmHardwareQuery::setFormat(snd_pcm_format_t format) {
    return snd_pcm_hw_params_set_format(pcm, params, format);
}

int PcmHardwareQuery::channelsMin(unsigned& value) {
    return snd_pcm_hw_params_get_channels_min(params, &value);
}

int PcmHardwareQuery::channelsMax(unsigned& value) {
    return snd_pcm_hw_params_get_channels_max(params, &value);
}

int PcmHardwareQuery::rateMin(unsigned& value) {
    int dir = 0;
    return snd_pcm_hw_params_get_rate_min(params, &value, &dir);
}

int PcmHardwareQuery::rateMax(unsigned& value) {
    int dir = 0;
    return snd_pcm_hw_params_get_rate_max(params, &value, &dir);
}

int PcmHardwareQuery::bufferSizeMin(snd_pcm_uframes_t& frames) {
    return snd_pcm_hw_params_get_buffer_size_min(params, &frames);
}

int PcmHardwareQuery::bufferSizeMax(snd_pcm_uframes_t& frames) {
    return snd_pcm_hw_params_get_buffer_size_max(params, &frames);
}

namespace {

constexpr uint32_t kPcmRates[] = {44100,  48000,  88200,  96000,  176400,  192000,
                                  352800, 384000, 705600, 768000, 1411200, 1536000};

struct DsdRate {
    uint32_t rate;
    bool family48;
};

constexpr DsdRate kDsdRates[] = {
    {2822400, false},  {3072000, true},   {5644800, false},   {6144000, true},   {11289600, false},
    {12288000, true},  {22579200, false}, {24576000, true},   {45158400, false}, {49152000, true},
    {90316800, false}, {98304000, true},  {180633600, false}, {196608000, true},
};

// Native DSD and DoP words: 1-bit DSD, MSB first, 4-byte words, with little-
// or big-endian words.
constexpr uint64_t kDsdLittleCaps =
    AudioFormat::kDsdWidth4 | AudioFormat::kDsdLittleEndian | AudioFormat::kDsdMsbFirst | AudioFormat::kDsd1;
constexpr uint64_t kDsdBigCaps =
    AudioFormat::kDsdWidth4 | AudioFormat::kDsdBigEndian | AudioFormat::kDsdMsbFirst | AudioFormat::kDsd1;
// No device latency above this without an explicit "AlsaLatency".
constexpr uint32_t kDefaultLatencyLimitUs = 10000;

// Each format test starts from everything the device offers, unless told to
// narrow the parameters left by the previous test.
bool accepts(HardwareQuery& query, snd_pcm_format_t format, bool resetFirst = true) {
    if (resetFirst) {
        query.reset();
    }
    return query.setFormat(format) == 0;
}

void probeEncodings(HardwareQuery& query, DeviceCapabilities& caps) {
    if (accepts(query, SND_PCM_FORMAT_S8)) {
        caps.pcmCaps |= AudioFormat::kPcm8;
        logLine(kLogDetail, "support SND_PCM_FORMAT_S8");
    }
    if (accepts(query, SND_PCM_FORMAT_S16_LE)) {
        caps.pcmCaps |= AudioFormat::kPcm16;
        logLine(kLogDetail, "support SND_PCM_FORMAT_S16_LE");
    } else {
        caps.convertMask |= AudioFormat::kPcm16;
    }
    if (accepts(query, SND_PCM_FORMAT_S24_3LE)) {
        caps.pcmCaps |= AudioFormat::kPcm24;
        logLine(kLogDetail, "support SND_PCM_FORMAT_S24_3LE");
    } else if (accepts(query, SND_PCM_FORMAT_S24_LE, false)) {
        caps.pcmCaps |= AudioFormat::kPcm24;
        caps.s24In32 = true;
        logLine(kLogDetail, "support SND_PCM_FORMAT_S24_LE");
    } else {
        caps.convertMask |= AudioFormat::kPcm24;
    }
    if (accepts(query, SND_PCM_FORMAT_S32_LE)) {
        caps.pcmCaps |= AudioFormat::kPcm32;
        logLine(kLogDetail, "support SND_PCM_FORMAT_S32_LE");
    } else {
        caps.convertMask = 0; // widening needs a 32-bit format
    }
    if (accepts(query, SND_PCM_FORMAT_FLOAT_LE)) {
        caps.pcmCaps |= AudioFormat::kFloat32;
        logLine(kLogDetail, "support FMT_PCM_FLOAT_32");
    }
    if (accepts(query, SND_PCM_FORMAT_FLOAT64_LE)) {
        caps.pcmCaps |= AudioFormat::kFloat64;
        logLine(kLogDetail, "support FMT_PCM_FLOAT_64");
    }
}

// Adds the DSD rates whose device frame rate (rate / bitsPerFrame) lies in
// [rateMin, rateMax]; raises `highestRate` to the fastest frame rate.
void addDsdRates(uint64_t& dsdCaps, unsigned rateMin, unsigned rateMax, uint32_t bitsPerFrame, bool skip48,
                 const char* text, uint32_t& highestRate) {
    for (const DsdRate& dsd : kDsdRates) {
        if (skip48 && dsd.family48) {
            continue;
        }
        const uint32_t frameRate = dsd.rate / bitsPerFrame;
        if (frameRate < rateMin || frameRate > rateMax) {
            continue;
        }
        dsdCaps |= AudioFormat::rateBits(dsd.rate);
        logLine(kLogDetail, text) << dsd.rate;
        highestRate = std::max(highestRate, frameRate);
    }
}

} // namespace

uint64_t channelClasses(unsigned min, unsigned max) {
    uint64_t classes = 0;
    for (size_t bit = 0; bit < std::size(kChannelClassCounts); ++bit) {
        const uint32_t count = kChannelClassCounts[bit];
        if (min <= count && count <= max) {
            classes |= 1ULL << bit;
        }
    }
    return classes;
}

uint64_t upmixClasses(unsigned min, unsigned max) {
    uint64_t classes = 0;
    for (size_t bit = 0; bit < std::size(kChannelClassCounts); ++bit) {
        const uint32_t count = kChannelClassCounts[bit];
        if (count >= min || max < count) {
            break;
        }
        classes |= 1ULL << bit;
    }
    return classes;
}

bool probeCapabilities(HardwareQuery& query, const ProbeSettings& settings, DeviceCapabilities& caps) {
    caps = DeviceCapabilities{};
    int code = query.reset();
    if (code < 0) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_any Err ") << code;
        return false;
    }
    code = query.setAccessInterleaved();
    if (code < 0) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_set_access Err ") << code;
        return false;
    }

    unsigned channelsMin = 0;
    unsigned channelsMax = 0;
    if ((code = query.channelsMin(channelsMin)) < 0) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_get_channels_min Err ") << code;
        return false;
    }
    if ((code = query.channelsMax(channelsMax)) < 0) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_get_channels_max Err ") << code;
        return false;
    }
    logLine(kLogDetail, "support ch_min ") << channelsMin;
    logLine(kLogDetail, "support ch max ") << channelsMax;
    if (settings.channelMax != 0 && static_cast<uint64_t>(settings.channelMax) < channelsMax) {
        channelsMax = static_cast<unsigned>(settings.channelMax);
        logLine(kLogDetail, "support ch chg ") << channelsMax;
    }

    unsigned rateMin = 0;
    unsigned rateMax = 0;
    if ((code = query.rateMin(rateMin)) < 0) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_get_rate_min Err ") << code;
        return false;
    }
    if ((code = query.rateMax(rateMax)) < 0) {
        logLine(kLogDetail, "alsa snd_pcm_hw_params_get_rate_max Err ") << code;
        return false;
    }
    logLine(kLogDetail, "support rate_min ") << rateMin;
    logLine(kLogDetail, "support rate max ") << rateMax;

    caps.channelsMin = channelsMin;
    caps.upmixMask = upmixClasses(channelsMin, channelsMax);
    const uint64_t classes = channelClasses(channelsMin, channelsMax);

    probeEncodings(query, caps);
    if ((caps.pcmCaps & AudioFormat::kPcmMask) == 0) {
        logLine(kLogError, "alsa format not match Err ") << 0;
        return false;
    }

    uint32_t highestRate = 0;
    for (const uint32_t rate : kPcmRates) {
        if (rate > rateMax) {
            break;
        }
        if (rate < rateMin) {
            continue;
        }
        caps.pcmCaps |= AudioFormat::rateBits(rate);
        logLine(kLogDetail, "support PCM ") << rate;
        highestRate = rate;
    }
    caps.pcmCaps |= classes;

    if (!settings.disableNATIV) {
        if (accepts(query, SND_PCM_FORMAT_DSD_U32_LE)) {
            caps.dsdCaps |= kDsdLittleCaps;
            logLine(kLogDetail, "support SND_PCM_FORMAT_DSD_U32_LE");
        }
        if (accepts(query, SND_PCM_FORMAT_DSD_U32_BE)) {
            caps.dsdCaps |= kDsdBigCaps;
            logLine(kLogDetail, "support SND_PCM_FORMAT_DSD_U32_BE");
        }
        if (caps.dsdCaps != 0) {
            addDsdRates(caps.dsdCaps, rateMin, rateMax, 32, settings.disable48DSD, "support DSD ",
                        highestRate);
            caps.dsdCaps |= classes;
        }
    }

    if (!settings.disableDOP && caps.dsdCaps == 0 &&
        (caps.pcmCaps & (AudioFormat::kPcm24 | AudioFormat::kPcm32)) != 0) {
        logLine(kLogDetail, "support DOP");
        caps.dopMode = true;
        caps.dsdCaps |= kDsdLittleCaps;
        addDsdRates(caps.dsdCaps, rateMin, rateMax, 16, settings.disable48DSD, "support DOP ", highestRate);
        caps.dsdCaps |= classes;
    }

    snd_pcm_uframes_t bufferMin = 0;
    snd_pcm_uframes_t bufferMax = 0;
    if ((code = query.bufferSizeMin(bufferMin)) < 0) {
        logLine(kLogError, "alsa snd_pcm_hw_params_get_buffer_size_min Err ") << code;
        return false;
    }
    if ((code = query.bufferSizeMax(bufferMax)) < 0) {
        logLine(kLogError, "alsa snd_pcm_hw_params_get_buffer_size_max Err ") << code;
        return false;
    }
    logLine(kLogDetail, "fs_min ") << static_cast<unsigned long long>(bufferMin);
    logLine(kLogDetail, "fs_max ") << static_cast<unsigned long long>(bufferMax);

    // A device that takes encodings but none of the known rates has no
    // frame rate to size its buffer by: it cannot be offered.
    if (highestRate == 0) {
        logLine(kLogError, "alsa rate not match Err ") << 0;
        return false;
    }
    const uint64_t frames = std::min<uint64_t>(bufferMax, std::numeric_limits<uint64_t>::max() / 1000000);
    uint64_t latency = frames * 1000000 / highestRate;
    if (caps.dopMode) {
        latency /= 2;
    }
    const uint64_t limit = settings.latencyLimitUs != 0 ? static_cast<uint64_t>(settings.latencyLimitUs)
                                                        : kDefaultLatencyLimitUs;
    latency = std::min(latency, limit);
    caps.latencyUs = static_cast<uint32_t>(std::min<uint64_t>(latency, std::numeric_limits<uint32_t>::max()));
    logLine(kLogDetail, "Alsa  Latency ") << caps.latencyUs << "usec";
    return true;
}

} // namespace ALSAOUT
