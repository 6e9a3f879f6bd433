#pragma once

#include "tools/quorvel_host/Arguments.h"

#include <vector>

namespace QUORVELHOST {

// One command of the tool: its word, its one-line summary for the overview,
// its full help text and the options it takes besides --help and --json.
struct Command {
    const char* name;
    const char* summary;
    const char* help;
    std::vector<OptionRule> options;
    int (*run)(const Arguments& arguments);
};

int runDiscover(const Arguments& arguments);
int runInfo(const Arguments& arguments);
int runPlay(const Arguments& arguments);
int runConfig(const Arguments& arguments);
int runVolume(const Arguments& arguments);
int runLog(const Arguments& arguments);
int runRestart(const Arguments& arguments);

// Every command, in the order the overview lists them.
const std::vector<Command>& commands();

// The whole tool: argv without the program name; the exit status.
int runTool(const std::vector<std::string>& words);

} // namespace QUORVELHOST
