#include "tools/quorvel_host/SinkReport.h"

#include "host/CapabilityText.h"
#include "protocol/PrepareFormat.h"

namespace QUORVELHOST {

namespace {

using QUORVEL::AudioFormat;
using QUORVEL::CapabilityText;
using QUORVEL::StatusControlInfo;

constexpr uint64_t kPrepareRateShift = 16; // the control value keeps the format's bits 32-63 from bit 16

std::string joined(const std::vector<std::string>& parts, const std::string& separator = ", ") {
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

std::string numberList(const std::vector<uint32_t>& numbers) {
    std::vector<std::string> parts;
    for (const uint32_t number : numbers) {
        parts.push_back(std::to_string(number));
    }
    return joined(parts);
}

std::string rateList(const std::vector<uint32_t>& rates, bool dsd) {
    std::vector<std::string> parts;
    for (const uint32_t rate : rates) {
        parts.push_back(dsd ? QUORVEL::dsdRateText(rate) : QUORVEL::pcmRateText(rate));
    }
    return parts.empty() ? std::string("none") : joined(parts);
}

double latencyMs(uint16_t units) {
    return static_cast<double>(units) / 10.0;
}

void capabilityJson(JsonWriter& json, AudioFormat word, bool dsd) {
    const CapabilityText text = QUORVEL::describeCapability(word);
    json.beginObject();
    json.key("word").value(hexWord(word.value()));
    json.key("encodings").values(text.encodings);
    if (dsd) {
        json.key("options").values(text.dsdOptions);
    }
    json.key("rates").values(text.rates);
    json.key("channels").values(text.channels);
    json.endObject();
}

} // namespace

std::string controlTypeName(uint16_t type) {
    switch (type) {
    case StatusControlInfo::kFormat:
        return "format";
    case StatusControlInfo::kVolume:
        return "volume";
    default:
        return "type " + std::to_string(type);
    }
}

std::string formatControlText(int64_t value) {
    const auto word = static_cast<uint64_t>(value);
    if (word == 0) {
        return "none yet";
    }
    const uint64_t classCode = word & 0xFF00;
    const AudioFormat format((word & AudioFormat::kChannelMask) | (word >> kPrepareRateShift) << 32);
    const uint32_t channels = format.channels();
    const std::string channelText = std::to_string(channels) + (channels == 1 ? " channel" : " channels");
    if (classCode == QUORVEL::PrepareFormat::kClassDsd) {
        return "DSD " + QUORVEL::dsdRateText(format.rate()) + ", " + channelText;
    }
    const char* kind = classCode == QUORVEL::PrepareFormat::kClassInteger ? "integer PCM"
                       : classCode == QUORVEL::PrepareFormat::kClassFloat ? "float PCM"
                                                                          : "other";
    return std::string(kind) + ", " + QUORVEL::pcmRateText(format.rate()) + ", " + channelText;
}

StatusReport surveyStatus(const VEMRA::SocketAddress& target, const QUORVEL::StatusListing& channel,
                          std::chrono::milliseconds timeout) {
    StatusReport report;
    report.listing = channel;
    QUORVEL::StatusClient client(withPort(target, channel.port), timeout);
    if (!client.open()) {
        return report;
    }
    const auto count = client.controlCount();
    if (!count) {
        return report;
    }
    report.answered = true;
    for (uint16_t number = 1; number <= *count; ++number) {
        const auto info = client.control(number);
        if (!info) {
            report.answered = false;
            return report;
        }
        report.controls.push_back(ControlReport{*info, client.value(number)});
    }
    return report;
}

SinkReport surveySink(const VEMRA::SocketAddress& target, const QUORVEL::SinkListing& sink,
                      const std::vector<QUORVEL::StatusListing>& channels,
                      std::chrono::milliseconds timeout) {
    SinkReport report;
    report.listing = sink;
    QUORVEL::SinkClient client(withPort(target, sink.controlPort));
    if (client.open()) {
        report.capabilities = QUORVEL::querySinkCapabilities(client);
        if (report.capabilities) {
            report.latency = QUORVEL::querySinkLatency(client);
        }
    }
    for (const QUORVEL::StatusListing& channel : channels) {
        if (channel.key == sink.key) {
            report.status = surveyStatus(target, channel, timeout);
        }
    }
    return report;
}

std::vector<std::string> sinkLines(const SinkReport& report) {
    std::vector<std::string> lines;
    lines.push_back("Sink " + std::to_string(report.listing.key) + "  \"" + report.listing.name +
                    "\"  control port " + std::to_string(report.listing.controlPort));
    if (!report.capabilities) {
        lines.emplace_back("  (its control port did not answer)");
    } else {
        const auto& caps = *report.capabilities;
        const CapabilityText pcm = QUORVEL::describeCapability(caps.pcm);
        lines.push_back("  PCM       " +
                        (pcm.encodings.empty() ? std::string("none") : joined(pcm.encodings)) + "   [" +
                        hexWord(caps.pcm.value()) + "]");
        if (!pcm.encodings.empty()) {
            lines.push_back("            rates " + rateList(pcm.rates, false));
            lines.push_back("            channels " + numberList(pcm.channels));
        }
        if (caps.transport == QUORVEL::DsdTransport::None) {
            lines.emplace_back("  DSD       none");
        } else {
            const CapabilityText dsd = QUORVEL::describeCapability(caps.dsd);
            lines.push_back(
                std::string("  DSD       ") +
                (caps.transport == QUORVEL::DsdTransport::DoP ? "DoP (DSD over 24/32-bit PCM)" : "native") +
                ": " + joined(dsd.encodings) + ", " + joined(dsd.dsdOptions) + "   [" +
                hexWord(caps.dsd.value()) + "]");
            lines.push_back("            rates " + rateList(dsd.rates, true));
            lines.push_back("            channels " + numberList(dsd.channels));
        }
    }
    if (report.latency) {
        const auto& latency = *report.latency;
        lines.push_back("  latency   default " + QUORVEL::latencyText(latency.defaultLatency) + ", range " +
                        QUORVEL::latencyText(latency.minimum) + " to " +
                        QUORVEL::latencyText(latency.maximum) + "; device buffer " +
                        QUORVEL::latencyText(latency.device));
    }
    if (!report.status) {
        lines.emplace_back("  status    no status channel listed");
        return lines;
    }
    const StatusReport& status = *report.status;
    lines.push_back("  status    port " + std::to_string(status.listing.port) + "  \"" + status.listing.name +
                    "\"" + (status.answered ? "" : "  (did not answer)"));
    for (const ControlReport& control : status.controls) {
        std::string line = "            " + controlTypeName(control.info.type) + ": ";
        if (!control.value) {
            line += "?";
        } else if (control.info.type == StatusControlInfo::kVolume) {
            line += decibelText(control.value->value) + " (range " + decibelText(control.info.low) + " to " +
                    decibelText(control.info.high) + ")";
        } else if (control.info.type == StatusControlInfo::kFormat) {
            line += formatControlText(control.value->value) +
                    (control.value->connected ? "  (a Host is connected)" : "");
        } else {
            line += std::to_string(control.value->value);
        }
        lines.push_back(line);
    }
    return lines;
}

void sinkJson(JsonWriter& json, const SinkReport& report) {
    json.beginObject();
    json.key("number").value(static_cast<unsigned>(report.listing.key));
    json.key("name").value(report.listing.name);
    json.key("control_port").value(static_cast<unsigned>(report.listing.controlPort));
    json.key("answered").value(report.capabilities.has_value());
    if (report.capabilities) {
        const auto& caps = *report.capabilities;
        json.key("pcm");
        capabilityJson(json, caps.pcm, false);
        json.key("dsd_transport").value(QUORVEL::dsdTransportName(caps.transport));
        json.key("dsd");
        if (caps.transport == QUORVEL::DsdTransport::None) {
            json.null();
        } else {
            capabilityJson(json, caps.dsd, true);
        }
    }
    if (report.latency) {
        json.key("latency_ms").beginObject();
        json.key("default").value(latencyMs(report.latency->defaultLatency));
        json.key("minimum").value(latencyMs(report.latency->minimum));
        json.key("maximum").value(latencyMs(report.latency->maximum));
        json.key("device").value(latencyMs(report.latency->device));
        json.endObject();
    }
    json.key("status");
    if (!report.status) {
        json.null();
    } else {
        json.beginObject();
        json.key("port").value(static_cast<unsigned>(report.status->listing.port));
        json.key("name").value(report.status->listing.name);
        json.key("answered").value(report.status->answered);
        json.key("controls").beginArray();
        for (const ControlReport& control : report.status->controls) {
            json.beginObject();
            json.key("number").value(static_cast<unsigned>(control.info.number));
            json.key("type").value(controlTypeName(control.info.type));
            json.key("low").value(static_cast<int>(control.info.low));
            json.key("high").value(static_cast<int>(control.info.high));
            json.key("value");
            control.value ? json.value(control.value->value) : json.null();
            if (control.value && control.info.type == StatusControlInfo::kFormat) {
                json.key("text").value(formatControlText(control.value->value));
                json.key("connected").value(control.value->connected);
            }
            json.endObject();
        }
        json.endArray();
        json.endObject();
    }
    json.endObject();
}

} // namespace QUORVELHOST
