#pragma once

#include "host/StatusClient.h"
#include "host/TargetSurvey.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

#include <optional>
#include <string>
#include <vector>

namespace QUORVELHOST {

// A status channel's control and its value.
struct ControlReport {
    QUORVEL::StatusControlInfo info;
    std::optional<QUORVEL::StatusValue> value;
};

struct StatusReport {
    QUORVEL::StatusListing listing;
    bool answered = false;
    std::vector<ControlReport> controls;
};

// Everything the tool learns about one sink.
struct SinkReport {
    QUORVEL::SinkListing listing;
    std::optional<QUORVEL::SinkCapabilities> capabilities; // nothing when the sink did not answer
    std::optional<QUORVEL::SinkLatency> latency;
    std::optional<StatusReport> status; // nothing when the target lists no status channel for it
};

// Asks the sink's control port and its status channel.
SinkReport surveySink(const VEMRA::SocketAddress& target, const QUORVEL::SinkListing& sink,
                      const std::vector<QUORVEL::StatusListing>& channels, std::chrono::milliseconds timeout);
StatusReport surveyStatus(const VEMRA::SocketAddress& target, const QUORVEL::StatusListing& channel,
                          std::chrono::milliseconds timeout);

// The value of a stream-format control as text: "16-bit integer, 44.1 kHz,
// 2 channels"; "none yet" before the first stream.
std::string formatControlText(int64_t value);
// "format", "volume" or "type N".
std::string controlTypeName(uint16_t type);

// Human-readable lines, indented by two blanks.
std::vector<std::string> sinkLines(const SinkReport& report);
void sinkJson(JsonWriter& json, const SinkReport& report);

} // namespace QUORVELHOST
