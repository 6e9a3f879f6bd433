#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace QUORVELHOST {

namespace {

constexpr const char* kOverview = "usage: quorvel_host COMMAND [ARGUMENTS] [--json] [--help]\n"
                                  "\n"
                                  "Checks a network-audio target without a playback application: finds it,\n"
                                  "lists its DACs and what each plays, plays a test file or tone, and reads\n"
                                  "and changes its settings.\n"
                                  "\n"
                                  "commands:\n";

constexpr const char* kOverviewEnd =
    "\n"
    "TARGET is an IPv6 address (fe80::1%eth0, [fe80::1%eth0]:19642, ::1) or a\n"
    "target's name or 16-digit identifier, looked up by multicast discovery.\n"
    "SINK is a DAC's number as 'info' lists it, or its name.\n"
    "\n"
    "Every command takes --json (output for scripts) and --help.\n"
    "Exit status: 0 success, 1 the target did not answer, refused or the work\n"
    "failed, 2 a bad command line; every failure prints one line on stderr.\n";

constexpr const char* kTargetOptions = "  --timeout S      wait S seconds for each answer (default 1)\n"
                                       "  --interface IF   look a TARGET name up on IF only (default: every\n"
                                       "                   interface with a link-local address)\n"
                                       "  --json           machine-readable output\n";

std::string commandHelp(const Command& command) {
    std::string text = command.help;
    if (command.name != std::string("discover")) {
        text += kTargetOptions;
    }
    return text;
}

std::string overview() {
    std::string text = kOverview;
    for (const Command& command : commands()) {
        char line[160];
        std::snprintf(line, sizeof(line), "  %-9s %s\n", command.name, command.summary);
        text += line;
    }
    text += kOverviewEnd;
    return text;
}

} // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"discover",
         "list the targets that answer a multicast DISCOVER",
         "usage: quorvel_host discover [--interface IF] [--timeout S] [--json]\n"
         "\n"
         "Multicasts DISCOVER to ff02::1 and lists every target that answers:\n"
         "address, name, identifier, version and response time.\n"
         "\n"
         "  --interface IF   ask on IF only (default: every interface with a\n"
         "                   link-local address)\n"
         "  --timeout S      collect answers for S seconds (default 1)\n"
         "  --json           one JSON array of targets\n"
         "\n"
         "A target does not answer DISCOVER from its own machine: on the target\n"
         "itself, use its address ::1 with the other commands.\n",
         {kInterfaceOption, kTimeoutOption},
         runDiscover},
        {"info",
         "show a target's DACs, their formats and controls, and its settings",
         "usage: quorvel_host info TARGET [options]\n"
         "\n"
         "Shows the target's name, version and texts; every sink (DAC) with its\n"
         "ports, the encodings, rates and channel counts it plays, DSD (native\n"
         "or DoP) and its latency range; the status channels with their controls\n"
         "and values; and the setting items with their current values.\n"
         "\n",
         {kTimeoutOption, kInterfaceOption},
         runInfo},
        {"play",
         "play an audio file or a test tone on one DAC",
         "usage: quorvel_host play TARGET SINK FILE [options]\n"
         "       quorvel_host play TARGET SINK --tone FREQ [--rate R] [--bits B] [options]\n"
         "\n"
         "Streams FILE (WAV, FLAC, AIFF, ... or DSF) bit-exact to SINK, or a sine\n"
         "tone at -6 dBFS. A live line shows the position, the sink's buffer\n"
         "level, resends and level reports; Ctrl-C stops and disconnects cleanly.\n"
         "\n"
         "  --tone FREQ      a sine of FREQ Hz instead of a file\n"
         "  --rate R         tone sample rate in Hz (default 44100)\n"
         "  --bits B         tone sample size: 16, 24 or 32 (default 16)\n"
         "  --channels N     tone channel count (default 2)\n"
         "  --seconds S      tone length (default 5; 0 plays until Ctrl-C)\n"
         "  --latency MS     sink buffer latency in milliseconds (default: the sink's)\n"
         "  --ms             stream bare datagrams to the sink's MS port\n",
         {{"tone", true},
          {"rate", true},
          {"bits", true},
          {"channels", true},
          {"seconds", true},
          {"latency", true},
          {"ms", false},
          kTimeoutOption,
          kInterfaceOption},
         runPlay},
        {"config",
         "list, read and change the target's setting items",
         "usage: quorvel_host config TARGET                list every item and its value\n"
         "       quorvel_host config TARGET ITEM           read one item\n"
         "       quorvel_host config TARGET ITEM VALUE     change one item\n"
         "       quorvel_host config TARGET ITEM --reset   back to its default\n"
         "       quorvel_host config TARGET --save         save the changes; RESTARTS the target\n"
         "       quorvel_host config TARGET --reset        clear every setting; RESTARTS the target\n"
         "\n"
         "ITEM is the item's number or name (TargetName, DoPauto, AlsaLatency...).\n"
         "A change applies to the target's copy of its settings; the target uses\n"
         "it only after --save, which writes its settings file and restarts it.\n"
         "VALUE is a number for number items, enable/disable for switches, one of\n"
         "the listed choices for choice items, and any text for text items.\n"
         "\n"
         "  --save           save the settings and restart the target\n"
         "  --reset          reset ITEM, or (without ITEM) every setting\n",
         {{"save", false}, {"reset", false}, kTimeoutOption, kInterfaceOption},
         runConfig},
        {"volume",
         "read or set a DAC's volume",
         "usage: quorvel_host volume TARGET SINK [DB|mute] [options]\n"
         "\n"
         "Without a value, shows the volume of SINK's status channel; with one,\n"
         "sets it: DB in decibels (-20, -20.5, -20dB; the target clamps it to\n"
         "the control's range) or 'mute'. The sink offers a volume control only\n"
         "when the target's VolumeCtl setting is not 'disable' and the DAC has a\n"
         "mixer volume.\n"
         "\n",
         {kTimeoutOption, kInterfaceOption},
         runVolume},
        {"log",
         "print the target's log lines as they arrive",
         "usage: quorvel_host log TARGET [options]\n"
         "\n"
         "Switches on the target's relay of its log lines to this host and prints\n"
         "each line as it arrives, until Ctrl-C switches the relay off again.\n"
         "\n",
         {kTimeoutOption, kInterfaceOption},
         runLog},
        {"restart",
         "ask the target to restart",
         "usage: quorvel_host restart TARGET [options]\n"
         "\n"
         "Asks the target to restart (its service manager starts it again).\n"
         "\n",
         {kTimeoutOption, kInterfaceOption},
         runRestart},
    };
    return table;
}

int runTool(const std::vector<std::string>& words) {
    if (words.empty()) {
        std::fputs(overview().c_str(), stderr);
        return kExitUsage;
    }
    const std::string& word = words.front();
    if (word == "--help" || word == "-h" || word == "help") {
        std::fputs(overview().c_str(), stdout);
        return kExitOk;
    }
    const auto found = std::find_if(commands().begin(), commands().end(),
                                    [&](const Command& command) { return word == command.name; });
    if (found == commands().end()) {
        return fail(kExitUsage, "unknown command '" + word + "' (see quorvel_host --help)");
    }
    std::string error;
    const auto arguments =
        parseArguments(std::vector<std::string>(words.begin() + 1, words.end()), found->options, error);
    if (!arguments) {
        return fail(kExitUsage, found->name + std::string(": ") + error + " (see quorvel_host " +
                                    found->name + " --help)");
    }
    if (arguments->has("help")) {
        std::fputs(commandHelp(*found).c_str(), stdout);
        return kExitOk;
    }
    return found->run(*arguments);
}

} // namespace QUORVELHOST
