#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

namespace QUORVELHOST {

namespace {

constexpr uint16_t kRestartMode = 1;

} // namespace

int runRestart(const Arguments& arguments) {
    if (arguments.positionals.size() != 1) {
        return fail(kExitUsage, "restart: expected TARGET (see quorvel_host restart --help)");
    }
    Failure failure;
    auto session = openSession(arguments.positionals[0], arguments, failure);
    if (!session) {
        return fail(failure.code, failure.message);
    }
    const auto accepted = session->client.reboot(kRestartMode);
    if (!accepted) {
        return failNoAnswer(session->target);
    }
    if (!*accepted) {
        return fail(kExitFailure, session->target.label + " does not allow a restart");
    }
    if (arguments.has("json")) {
        printLine("{\"restarting\":true}");
    } else {
        printLine("The target restarts now; it answers again in a few seconds.");
    }
    return kExitOk;
}

} // namespace QUORVELHOST
