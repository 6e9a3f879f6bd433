#include "host/StatusClient.h"
#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

namespace QUORVELHOST {

namespace {

void printVolume(const QUORVEL::SinkListing& sink, const QUORVEL::StatusControlInfo& control, int64_t value,
                 bool json, bool changed) {
    const bool muted = value <= control.low;
    if (json) {
        JsonWriter writer;
        writer.beginObject();
        writer.key("sink").value(static_cast<unsigned>(sink.key));
        writer.key("name").value(sink.name);
        writer.key("volume").value(value);
        writer.key("volume_db").value(static_cast<double>(value) / 100.0);
        writer.key("muted").value(muted);
        writer.key("low").value(static_cast<int>(control.low));
        writer.key("high").value(static_cast<int>(control.high));
        writer.key("changed").value(changed);
        writer.endObject();
        printLine(writer.text());
        return;
    }
    printLine("Sink " + std::to_string(sink.key) + " \"" + sink.name + "\" volume " + decibelText(value) +
              (muted ? " (mute)" : "") + "  (range " + decibelText(control.low) + " to " +
              decibelText(control.high) + ")");
}

} // namespace

int runVolume(const Arguments& arguments) {
    const auto& words = arguments.positionals;
    if (words.size() != 2 && words.size() != 3) {
        return fail(kExitUsage, "volume: expected TARGET SINK [DB|mute] (see quorvel_host volume --help)");
    }
    // The value is checked before anything goes to the target.
    std::optional<int64_t> wanted;
    if (words.size() == 3) {
        wanted = parseVolume(words[2], INT16_MIN);
        if (!wanted || *wanted < INT16_MIN || *wanted > INT16_MAX) {
            return fail(kExitUsage, "bad volume '" + words[2] + "' (decibels such as -20 or -20.5, or mute)");
        }
    }
    Failure failure;
    auto session = openSession(words[0], arguments, failure);
    const auto sink =
        session ? resolveSink(session->client, session->target, words[1], failure) : std::nullopt;
    if (!sink) {
        return fail(failure.code, failure.message);
    }
    const auto channel = session->client.status(sink->key);
    if (!channel) {
        return failNoAnswer(session->target);
    }
    if (!channel->found) {
        return fail(kExitFailure, "sink " + std::to_string(sink->key) + " has no status channel right now");
    }
    QUORVEL::StatusClient status(withPort(session->target.address, channel->port), session->timeout);
    const auto count = status.open() ? status.controlCount() : std::nullopt;
    if (!count) {
        return fail(kExitFailure,
                    "the status channel of sink " + std::to_string(sink->key) + " did not answer");
    }
    std::optional<QUORVEL::StatusControlInfo> volume;
    for (uint16_t number = 1; number <= *count && !volume; ++number) {
        const auto control = status.control(number);
        if (control && control->type == QUORVEL::StatusControlInfo::kVolume) {
            volume = control;
        }
    }
    if (!volume) {
        return fail(kExitFailure,
                    "sink " + std::to_string(sink->key) + " \"" + sink->name +
                        "\" offers no volume control (VolumeCtl is disable, or the DAC has no mixer "
                        "volume)");
    }
    if (wanted && *wanted == INT16_MIN) {
        wanted = volume->low; // mute: the bottom of the range
    }
    const auto answer = wanted ? status.setValue(volume->number, *wanted) : status.value(volume->number);
    if (!answer) {
        return fail(kExitFailure,
                    "the status channel of sink " + std::to_string(sink->key) + " did not answer");
    }
    if (!answer->accepted) {
        return fail(kExitFailure, "sink " + std::to_string(sink->key) + " refused the volume");
    }
    printVolume(*sink, *volume, answer->value, arguments.has("json"), wanted.has_value());
    return kExitOk;
}

} // namespace QUORVELHOST
