#pragma once

#include "app/DacScanner.h"
#include "app/NodeRun.h"
#include "foundation/ServiceNotifier.h"
#include "foundation/SysLog.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

// What the supervisor needs from outside. The defaults are the daemon's own
// values; tests shorten the waits, point at their own directory and log port,
// and put their own host-facing node in place.
struct AppTargetConfig {
    std::string deviceDirectory = "/dev/snd/";
    uint16_t logPort = VEMRA::SysLog::kDefaultPort;
    std::chrono::milliseconds startWait{3000}; // after starting the host-facing node
    std::chrono::milliseconds scanWait{3000};  // between passes that found nothing
    std::chrono::milliseconds settleWait{1000};
    // Longest single sleep: how soon the supervisor sees the host-facing node end.
    std::chrono::milliseconds pollStep{50};
    // What every DAC node is started with.
    NodeSinkConfig sink;
    // Builds the host-facing node from the vendor word; empty means NodeTarget.
    std::function<std::unique_ptr<NodeRun>(uint64_t vendorWord)> makeTargetNode;
    // Called on the supervisor thread after every scan pass.
    std::function<void(const DacScanner&)> afterPass;
    // The service manager to notify (readiness, status, watchdog); none by default.
    VEMRA::ServiceManagerLink serviceManager;
    // Lock the process's memory in RAM (the real-time threads must not wait
    // for pages); a refusal is logged and the program runs on.
    bool lockMemory = true;
};

// Packs exactly 8 characters little-endian. Refuses a null pointer, a NUL among
// the first 8, a ninth character, and the all-ones value.
bool packVendorWord(const char* vendor, uint64_t& word);

// Opens the log, starts the host-facing node and keeps one NodeSink per
// playback device until that node ends; returns its result, or false at once
// for a malformed vendor word.
bool runAppTarget(const char* vendor, const AppTargetConfig& config = {});

// The program: exit status 0 when runAppTarget succeeds, otherwise the boot-up
// failure line on `errors` and status 255.
int runMain(const char* vendor, std::ostream& errors, const AppTargetConfig& config = {});
