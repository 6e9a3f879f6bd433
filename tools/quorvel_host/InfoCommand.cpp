#include "foundation/AddressText.h"
#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/ConfigItems.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/SinkReport.h"
#include "tools/quorvel_host/TargetAccess.h"

#include <cstdio>

namespace QUORVELHOST {

namespace {

// A target refuses DISCOVER over loopback; the name then comes from its settings.
constexpr auto kNameWait = std::chrono::milliseconds(500);

struct TargetReport {
    std::string name;
    std::optional<uint64_t> identifier;
    std::string version;
    std::string info;
    std::string url;
    std::vector<SinkReport> sinks;
    std::vector<SettingItem> settings;
};

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

void printHuman(const ResolvedTarget& target, const TargetReport& report) {
    printLine("Target " + endpointText(target.address) + "  \"" + report.name + "\"");
    if (report.identifier) {
        char id[20];
        std::snprintf(id, sizeof(id), "%016llx", static_cast<unsigned long long>(*report.identifier));
        printLine(std::string("  identifier ") + id);
    }
    printLine("  version    " + (report.version.empty() ? std::string("-") : report.version));
    if (!report.info.empty()) {
        printLine("  info       " + report.info);
    }
    if (!report.url.empty()) {
        printLine("  url        " + report.url);
    }
    if (report.sinks.empty()) {
        printLine("No sinks (no DAC is offered right now)");
    }
    for (const SinkReport& sink : report.sinks) {
        for (const std::string& line : sinkLines(sink)) {
            printLine(line);
        }
    }
    printLine("Settings");
    for (const SettingItem& item : report.settings) {
        const std::string range = item.rangeText();
        const std::string value =
            range.empty() ? item.valueText() : padded(item.valueText(), 16) + "(" + range + ")";
        printLine("  " + padded(std::to_string(item.number), 3) + padded(item.name, 13) +
                  padded(item.typeName(), 8) + value);
    }
}

void printJson(const ResolvedTarget& target, const TargetReport& report) {
    JsonWriter json;
    json.beginObject();
    json.key("target").beginObject();
    json.key("address").value(VEMRA::addressText(target.address));
    json.key("endpoint").value(endpointText(target.address, true));
    json.key("name").value(report.name);
    json.key("version").value(report.version);
    json.key("info").value(report.info);
    json.key("url").value(report.url);
    json.endObject();
    json.key("sinks").beginArray();
    for (const SinkReport& sink : report.sinks) {
        sinkJson(json, sink);
    }
    json.endArray();
    json.key("settings").beginArray();
    for (const SettingItem& item : report.settings) {
        settingItemJson(json, item);
    }
    json.endArray();
    json.endObject();
    printLine(json.text());
}

} // namespace

int runInfo(const Arguments& arguments) {
    if (arguments.positionals.size() != 1) {
        return fail(kExitUsage, "info: expected TARGET (see quorvel_host info --help)");
    }
    Failure failure;
    auto session = openSession(arguments.positionals[0], arguments, failure);
    if (!session) {
        return fail(failure.code, failure.message);
    }
    TargetReport report;
    const auto version = session->client.version();
    if (!version) {
        return failNoAnswer(session->target);
    }
    report.version = *version;
    report.info = session->client.info().value_or("");
    report.url = session->client.url().value_or("");
    const auto settings = readSettingItems(session->client);
    const auto sinks = QUORVEL::listSinks(session->client);
    const auto channels = QUORVEL::listStatusChannels(session->client);
    if (!settings || !sinks || !channels) {
        return failNoAnswer(session->target);
    }
    report.settings = *settings;
    QUORVEL::HostClient naming(session->target.address, std::min(session->timeout, kNameWait));
    const auto identity = naming.open() ? naming.discover() : std::nullopt;
    if (identity) {
        report.name = identity->name;
        report.identifier = identity->targetId;
    } else {
        for (const SettingItem& item : report.settings) {
            if (item.name == "TargetName") {
                report.name = item.valueText();
            }
        }
    }
    for (const QUORVEL::SinkListing& sink : *sinks) {
        report.sinks.push_back(surveySink(session->target.address, sink, *channels, session->timeout));
    }
    if (arguments.has("json")) {
        printJson(session->target, report);
    } else {
        printHuman(session->target, report);
    }
    return kExitOk;
}

} // namespace QUORVELHOST
