#include "host/CapabilityText.h"

#include "host/AudioSource.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace QUORVEL {

namespace {

struct NamedBit {
    uint64_t bit;
    const char* name;
};

constexpr std::array<NamedBit, 9> kEncodings{{
    {AudioFormat::kPcm8, "8-bit integer"},
    {AudioFormat::kPcm16, "16-bit integer"},
    {AudioFormat::kPcm24, "24-bit integer"},
    {AudioFormat::kPcm32, "32-bit integer"},
    {AudioFormat::kPcm64, "64-bit integer"},
    {AudioFormat::kFloat32, "32-bit float"},
    {AudioFormat::kFloat64, "64-bit float"},
    {AudioFormat::kDsd1, "1-bit DSD"},
    {AudioFormat::kDsd4, "4-bit DSD"},
}};

constexpr std::array<NamedBit, 4> kDsdOptions{{
    {AudioFormat::kDsdLsbFirst, "LSB first"},
    {AudioFormat::kDsdMsbFirst, "MSB first"},
    {AudioFormat::kDsdLittleEndian, "little-endian words"},
    {AudioFormat::kDsdBigEndian, "big-endian words"},
}};

constexpr std::array<uint32_t, 6> kChannelCounts{1, 2, 4, 6, 8, 16};

constexpr uint32_t kDsdBitsPerNativeFrame = 32;

// value / divisor with up to four decimals and no trailing zeros.
std::string decimal(uint64_t value, uint64_t divisor) {
    const uint64_t whole = value / divisor;
    uint64_t fraction = (value % divisor) * 10000 / divisor;
    int digits = 4;
    while (digits > 0 && fraction % 10 == 0) {
        fraction /= 10;
        --digits;
    }
    char text[48];
    if (digits == 0) {
        std::snprintf(text, sizeof(text), "%llu", static_cast<unsigned long long>(whole));
    } else {
        std::snprintf(text, sizeof(text), "%llu.%0*llu", static_cast<unsigned long long>(whole), digits,
                      static_cast<unsigned long long>(fraction));
    }
    return text;
}

bool hasDsdRates(AudioFormat word) {
    return (word.value() & AudioFormat::kMultiplierMask) != 0 &&
           (word.value() & (AudioFormat::kFamily44100 | AudioFormat::kFamily48000)) != 0;
}

} // namespace

std::vector<uint32_t> capabilityRates(AudioFormat word) {
    std::vector<uint32_t> rates;
    const uint64_t bits = word.value();
    if ((bits & AudioFormat::kFamily8000) != 0) {
        rates.push_back(8000);
    }
    for (const auto& [family, base] :
         {std::pair{AudioFormat::kFamily44100, 44100U}, std::pair{AudioFormat::kFamily48000, 48000U}}) {
        if ((bits & family) == 0) {
            continue;
        }
        for (int k = 0; k < AudioFormat::kMultiplierCount; ++k) {
            if ((bits >> (AudioFormat::kMultiplierShift + k) & 1) != 0) {
                rates.push_back(base << k);
            }
        }
    }
    std::sort(rates.begin(), rates.end());
    return rates;
}

std::vector<uint32_t> capabilityChannels(AudioFormat word) {
    std::vector<uint32_t> channels;
    for (size_t i = 0; i < kChannelCounts.size(); ++i) {
        if ((word.value() >> i & 1) != 0) {
            channels.push_back(kChannelCounts[i]);
        }
    }
    return channels;
}

CapabilityText describeCapability(AudioFormat word) {
    CapabilityText text;
    for (const NamedBit& encoding : kEncodings) {
        if ((word.value() & encoding.bit) != 0) {
            text.encodings.emplace_back(encoding.name);
        }
    }
    if (word.isDSD()) {
        for (const NamedBit& option : kDsdOptions) {
            if ((word.value() & option.bit) != 0) {
                text.dsdOptions.emplace_back(option.name);
            }
        }
        text.dsdOptions.emplace_back((word.value() & AudioFormat::kDsdWidthMask) == AudioFormat::kDsdWidth4
                                         ? "4-byte words"
                                         : "2-byte words");
    }
    text.rates = capabilityRates(word);
    text.channels = capabilityChannels(word);
    return text;
}

std::string pcmRateText(uint32_t rate) {
    return decimal(rate, 1000) + " kHz";
}

std::string dsdRateText(uint32_t rate) {
    const uint32_t base = rate % 44100 == 0 ? 44100 : 48000;
    return "DSD" + std::to_string(rate / base) + " (" + decimal(rate, 1000000) + " MHz)";
}

std::string streamFormatText(AudioFormat format) {
    const CapabilityText text = describeCapability(format);
    const std::string encoding = text.encodings.empty() ? "unknown encoding" : text.encodings.front();
    const uint32_t rate = format.rate();
    const uint32_t channels = format.channels();
    const std::string channelText = std::to_string(channels) + (channels == 1 ? " channel" : " channels");
    if (format.isDSD()) {
        return dsdRateText(rate) + ", " + encoding + ", " + channelText;
    }
    return encoding + ", " + pcmRateText(rate) + ", " + channelText;
}

DsdTransport dsdTransport(AudioFormat pcm, AudioFormat dsd) {
    if (!dsd.isDSD()) {
        return DsdTransport::None;
    }
    if ((dsd.value() & AudioFormat::kDsdBigEndian) != 0) {
        return DsdTransport::Native; // DoP frames are always little-endian
    }
    const bool pcmCarriesDop = (pcm.value() & (AudioFormat::kPcm24 | AudioFormat::kPcm32)) != 0;
    const uint64_t families = AudioFormat::kFamily44100 | AudioFormat::kFamily48000;
    const bool sharedFamily = (pcm.value() & dsd.value() & families) != 0;
    if (!pcmCarriesDop) {
        return DsdTransport::Native;
    }
    if (!sharedFamily || !hasDsdRates(dsd) || pcm.highestMultiplier() == 0) {
        // Nothing to compare: a sink able to carry DoP most likely does.
        return DsdTransport::DoP;
    }
    // Both words share one multiplier set across their families.
    return dsd.highestMultiplier() >= kDsdBitsPerNativeFrame * pcm.highestMultiplier() ? DsdTransport::Native
                                                                                       : DsdTransport::DoP;
}

const char* dsdTransportName(DsdTransport transport) {
    switch (transport) {
    case DsdTransport::Native:
        return "native";
    case DsdTransport::DoP:
        return "DoP";
    case DsdTransport::None:
        break;
    }
    return "none";
}

std::string latencyText(uint16_t units) {
    return decimal(units, 10) + " ms";
}

// Declared with AudioSource; defined here so that a user of the Host library
// that reads no files (the ALSA plugin) does not link the file readers.
std::string describeFormat(AudioFormat format) {
    const std::string channels =
        std::to_string(format.channels()) + (format.channels() == 1 ? " channel" : " channels");
    const std::string rate = std::to_string(format.rate()) + " Hz";
    if (format.isDSD()) {
        return "DSD " + rate + " (DSD" + std::to_string(format.rate() / 44100) + "), " + channels;
    }
    const std::string kind = format.isFloat() ? "-bit float" : "-bit integer";
    return std::to_string(format.bitsPerSample()) + kind + ", " + rate + ", " + channels;
}

} // namespace QUORVEL
