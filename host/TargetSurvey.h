#pragma once

#include "host/CapabilityText.h"
#include "host/HostClient.h"
#include "host/SinkClient.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QUORVEL {

// A sink (DAC) the target offers: its key (the DAC's index), control port and name.
struct SinkListing {
    uint16_t key = 0;
    uint16_t controlPort = 0;
    std::string name;
};

// A status channel the target lists; its key is the index of its sink.
struct StatusListing {
    uint16_t key = 0;
    uint16_t port = 0;
    uint16_t kindWord = 0;
    std::string name;
};

// What a sink accepts, split as it decides: the word it answers to a PCM
// query and the one it answers to a DSD query (0 without DSD).
struct SinkCapabilities {
    AudioFormat pcm;
    AudioFormat dsd;
    DsdTransport transport = DsdTransport::None;
};

// LATENCY_QUERY answers, in units of 100 microseconds.
struct SinkLatency {
    uint16_t defaultLatency = 0; // what a prepare with latency 0 gets
    uint16_t minimum = 0;        // the smallest non-zero latency it grants
    uint16_t maximum = 0;
    uint16_t device = 0; // the device's own buffer latency
};

// Every sink the target lists (PORT_REQ bitmaps, then one lookup per key).
// Nothing when the target did not answer.
std::optional<std::vector<SinkListing>> listSinks(HostClient& client);
// Every status channel the target lists.
std::optional<std::vector<StatusListing>> listStatusChannels(HostClient& client);

// SINK as a user writes it: its number (the key the target lists) or its
// name (exactly, else ignoring case). Nothing when none of `sinks` is meant.
std::optional<SinkListing> findSink(const std::vector<SinkListing>& sinks, const std::string& text);
// "1 \"Desk DAC\", 2 \"USB DAC\"", or "none".
std::string offeredSinksText(const std::vector<SinkListing>& sinks);

std::optional<SinkCapabilities> querySinkCapabilities(SinkClient& sink);
std::optional<SinkLatency> querySinkLatency(SinkClient& sink);

} // namespace QUORVEL
