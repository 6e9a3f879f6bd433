#pragma once

#include "protocol/AudioFormat.h"

#include <cstdint>
#include <string>
#include <vector>

namespace QUORVEL {

// How a sink plays DSD. A sink that packs DSD into PCM frames (DoP) offers
// the same DSD bits as one taking 1-bit DSD in little-endian 32-bit words
// natively; only its DSD rate ceiling tells them apart (see dsdTransport).
enum class DsdTransport { None, Native, DoP };

// A capability word in words a person reads. A capability word holds sets:
// every rate is a member of the family set times a member of the multiplier
// set (8000 Hz stands alone), every channel bit one channel count.
struct CapabilityText {
    std::vector<std::string> encodings;  // "16-bit integer", "32-bit float", "1-bit DSD", ...
    std::vector<uint32_t> rates;         // Hz, ascending
    std::vector<uint32_t> channels;      // ascending
    std::vector<std::string> dsdOptions; // "MSB first", "little-endian words", "4-byte words", ...
};

CapabilityText describeCapability(AudioFormat word);

// Every rate the word's rate bits stand for, ascending.
std::vector<uint32_t> capabilityRates(AudioFormat word);
// Channel counts of the channel set, ascending.
std::vector<uint32_t> capabilityChannels(AudioFormat word);

// "44.1 kHz", "192 kHz", "8 kHz".
std::string pcmRateText(uint32_t rate);
// "DSD64 (2.8224 MHz)", "DSD128 (6.144 MHz)".
std::string dsdRateText(uint32_t rate);
// One stream format: "16-bit integer, 44.1 kHz, 2 channels" or
// "DSD64 (2.8224 MHz), 1-bit MSB first, 2 channels".
std::string streamFormatText(AudioFormat format);

// A sink's capability split the way it decides: `pcm` is the word it
// answers to a PCM query, `dsd` the word it answers to a DSD query (0 when
// it takes no DSD). Big-endian words or both word orders mean native DSD.
// Otherwise the ratio of the highest DSD rate to the highest PCM rate of
// one family decides: a native sink carries 32 DSD bits per device frame
// and reaches 32 times its PCM rate, DoP carries 16 and stays at 16 times.
DsdTransport dsdTransport(AudioFormat pcm, AudioFormat dsd);
const char* dsdTransportName(DsdTransport transport); // "none", "native", "DoP"

// Latency values of the protocol are in units of 100 microseconds: "10.0 ms".
std::string latencyText(uint16_t units);

} // namespace QUORVEL
