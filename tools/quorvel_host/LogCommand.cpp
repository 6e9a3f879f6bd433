#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/Interrupt.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

namespace QUORVELHOST {

namespace {

// How often the loop looks at the Ctrl-C flag.
constexpr auto kLineWait = std::chrono::milliseconds(200);

// The relay sends the syslog text without its header; a line may end in a newline.
std::string trimmed(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == '\0')) {
        line.pop_back();
    }
    return line;
}

} // namespace

int runLog(const Arguments& arguments) {
    if (arguments.positionals.size() != 1) {
        return fail(kExitUsage, "log: expected TARGET (see quorvel_host log --help)");
    }
    Failure failure;
    auto session = openSession(arguments.positionals[0], arguments, failure);
    if (!session) {
        return fail(failure.code, failure.message);
    }
    installInterruptHandler();
    const auto on = session->client.hostDebug(true);
    if (!on) {
        return failNoAnswer(session->target);
    }
    if (!*on) {
        return fail(kExitFailure, session->target.label + " refused to relay its log");
    }
    const bool json = arguments.has("json");
    if (!json) {
        printLine("Relaying the log of " + endpointText(session->target.address) + "; Ctrl-C ends.");
    }
    const auto& stop = interruptFlag();
    while (!stop.load(std::memory_order_relaxed)) {
        const auto line = session->client.nextLogLine(kLineWait);
        if (!line) {
            continue;
        }
        if (json) {
            printLine("{\"line\":" + jsonString(trimmed(*line)) + "}");
        } else {
            printLine(trimmed(*line));
        }
    }
    // Lines still arriving would hide the answer; the switch-off is retried once.
    auto off = session->client.hostDebug(false);
    if (!off) {
        off = session->client.hostDebug(false);
    }
    if (!off) {
        return fail(kExitFailure, "could not switch the log relay of " + session->target.label +
                                      " off (no answer); it stops relaying when the target restarts");
    }
    return kExitOk;
}

} // namespace QUORVELHOST
