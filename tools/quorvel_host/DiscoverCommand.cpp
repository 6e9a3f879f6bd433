#include "foundation/AddressText.h"
#include "host/HostClient.h"
#include "host/TargetLookup.h"
#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

#include <cstdio>

namespace QUORVELHOST {

namespace {

constexpr auto kDiscoverWait = std::chrono::milliseconds(1000);
constexpr auto kVersionWait = std::chrono::milliseconds(500);

std::string identifierText(uint64_t identifier) {
    char text[20];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(identifier));
    return text;
}

} // namespace

int runDiscover(const Arguments& arguments) {
    if (!arguments.positionals.empty()) {
        return fail(kExitUsage, "discover: unexpected argument '" + arguments.positionals.front() +
                                    "' (see quorvel_host discover --help)");
    }
    Failure failure;
    const auto wait = timeoutOption(arguments, kDiscoverWait, failure);
    if (!wait) {
        return fail(failure.code, failure.message);
    }
    const std::vector<std::string> interfaces = arguments.has("interface")
                                                    ? std::vector<std::string>{arguments.value("interface")}
                                                    : QUORVEL::discoveryInterfaces();
    if (interfaces.empty()) {
        return fail(kExitFailure, "no interface with a link-local address to discover on");
    }
    std::vector<std::string> unknown;
    const auto found = QUORVEL::discoverOn(interfaces, *wait, &unknown);
    if (arguments.has("interface") && !unknown.empty()) {
        return fail(kExitUsage, "no interface '" + unknown.front() + "'");
    }

    JsonWriter json;
    json.beginArray();
    for (const QUORVEL::FoundTarget& target : found) {
        QUORVEL::HostClient client(target.identity.endpoint, kVersionWait);
        const auto version = client.open() ? client.version() : std::nullopt;
        const std::string address = endpointText(target.identity.endpoint);
        const double milliseconds = static_cast<double>(target.responseTime.count()) / 1000.0;
        if (arguments.has("json")) {
            json.beginObject();
            json.key("address").value(VEMRA::addressText(target.identity.endpoint));
            json.key("interface").value(target.interfaceName);
            json.key("port").value(static_cast<unsigned>(target.identity.endpoint.hostPort()));
            json.key("name").value(target.identity.name);
            json.key("identifier").value(identifierText(target.identity.targetId));
            json.key("version");
            version ? json.value(*version) : json.null();
            json.key("response_ms").value(milliseconds);
            json.endObject();
        } else {
            printLine(address + "  \"" + target.identity.name + "\"  id " +
                      identifierText(target.identity.targetId) + "  version " +
                      (version ? *version : std::string("?")) + "  " + fixed(milliseconds, 1) + " ms");
        }
    }
    json.endArray();
    if (found.empty()) {
        std::string where;
        for (const std::string& name : interfaces) {
            where += (where.empty() ? "" : ", ") + name;
        }
        return fail(kExitFailure,
                    "no target answered on " + where + " (on the target's own machine use ::1 as TARGET)");
    }
    if (arguments.has("json")) {
        printLine(json.text());
    }
    return kExitOk;
}

} // namespace QUORVELHOST
