// quorvel_host: a command-line Host for checking a target's set-up.
#include "tools/quorvel_host/Commands.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A closed pipe on standard output must not kill a session mid-stream.
    std::signal(SIGPIPE, SIG_IGN);
    return QUORVELHOST::runTool(std::vector<std::string>(argv + 1, argv + argc));
}
