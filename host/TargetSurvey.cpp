#include "host/TargetSurvey.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

namespace QUORVEL {

std::optional<SinkListing> findSink(const std::vector<SinkListing>& sinks, const std::string& text) {
    const bool number =
        !text.empty() && text.size() <= 5 &&
        std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    const unsigned long key = number ? std::stoul(text) : 0;
    auto found = std::find_if(sinks.begin(), sinks.end(), [&](const SinkListing& sink) {
        return number ? sink.key == key : sink.name == text;
    });
    if (found == sinks.end() && !number) {
        found = std::find_if(sinks.begin(), sinks.end(), [&](const SinkListing& sink) {
            return strcasecmp(sink.name.c_str(), text.c_str()) == 0;
        });
    }
    return found == sinks.end() ? std::nullopt : std::optional<SinkListing>(*found);
}

std::string offeredSinksText(const std::vector<SinkListing>& sinks) {
    std::string offered;
    for (const SinkListing& sink : sinks) {
        offered += (offered.empty() ? "" : ", ") + std::to_string(sink.key) + " \"" + sink.name + "\"";
    }
    return offered.empty() ? "none" : offered;
}

std::optional<std::vector<SinkListing>> listSinks(HostClient& client) {
    const auto keys = client.portBitmaps();
    if (!keys) {
        return std::nullopt;
    }
    std::vector<SinkListing> sinks;
    // The bitmap marks every key up to the largest, present or not.
    for (uint32_t key = 1; key <= keys->largestKey1; ++key) {
        const auto entry = client.port(static_cast<uint16_t>(key));
        if (!entry) {
            return std::nullopt;
        }
        if (entry->found) {
            sinks.push_back(SinkListing{static_cast<uint16_t>(key), entry->port, entry->name});
        }
    }
    return sinks;
}

std::optional<std::vector<StatusListing>> listStatusChannels(HostClient& client) {
    const auto largest = client.statusCount();
    if (!largest) {
        return std::nullopt;
    }
    std::vector<StatusListing> channels;
    for (uint32_t key = 1; key <= *largest; ++key) {
        const auto entry = client.status(static_cast<uint16_t>(key));
        if (!entry) {
            return std::nullopt;
        }
        if (entry->found) {
            channels.push_back(
                StatusListing{static_cast<uint16_t>(key), entry->port, entry->kindWord, entry->name});
        }
    }
    return channels;
}

std::optional<SinkCapabilities> querySinkCapabilities(SinkClient& sink) {
    // A query is answered with the union of the sink's words that hold every
    // bit asked for, so one encoding bit selects the PCM or the DSD word.
    SinkCapabilities caps;
    const auto dsd = sink.formatQuery(AudioFormat(AudioFormat::kDsd1));
    if (!dsd) {
        return std::nullopt;
    }
    caps.dsd = *dsd;
    for (const uint64_t encoding :
         {AudioFormat::kPcm16, AudioFormat::kPcm32, AudioFormat::kPcm24, AudioFormat::kPcm8,
          AudioFormat::kFloat32, AudioFormat::kFloat64, AudioFormat::kPcm64}) {
        const auto pcm = sink.formatQuery(AudioFormat(encoding));
        if (!pcm) {
            return std::nullopt;
        }
        if (pcm->value() != 0) {
            caps.pcm = *pcm;
            break;
        }
    }
    caps.transport = dsdTransport(caps.pcm, caps.dsd);
    return caps;
}

std::optional<SinkLatency> querySinkLatency(SinkClient& sink) {
    const auto byDefault = sink.latencyQuery(0);
    const auto smallest = byDefault ? sink.latencyQuery(1) : std::nullopt;
    if (!byDefault || !smallest) {
        return std::nullopt;
    }
    SinkLatency latency;
    latency.defaultLatency = byDefault->param0();
    latency.device = byDefault->param1();
    latency.maximum = byDefault->param2();
    latency.minimum = smallest->param0();
    return latency;
}

} // namespace QUORVEL
