#pragma once

#include "app/DacScanner.h"
#include "foundation/ServiceNotifier.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

class NodeRun;

// The supervisor's side of the service manager: READY=1 once the host-facing
// node answers Hosts, STATUS= with the number of DACs offered, and WATCHDOG=1
// only while every loop of the host-facing node and of every running DAC node
// goes round. A loop that stands still for half the manager's watchdog
// interval withholds WATCHDOG=1 and is named in STATUS= instead, so that the
// manager restarts a target that has gone silent. Without a notification
// socket it does nothing at all.
//
// Threads: the supervisor's only; the nodes' counts are atomics it reads.
class ServiceWatchdog {
public:
    explicit ServiceWatchdog(const VEMRA::ServiceManagerLink& link);

    // Called at every step of the supervisor's waits: notices are sent when due.
    void poll(const NodeRun& target, const DacScanner::DacNodes& dacs);
    // STOPPING=1: the program ends on purpose (a Host's restart, an error).
    void stopping();

private:
    struct Progress {
        uint64_t count = 0;
        std::chrono::steady_clock::time_point since; // when `count` last changed
    };

    void sendStatus(const std::string& text);

    VEMRA::ServiceNotifier notifier;
    const std::chrono::microseconds watchdogInterval; // zero: the manager wants no WATCHDOG=1
    const std::chrono::microseconds checkInterval;
    const std::chrono::microseconds stallLimit;
    bool readySent = false;
    std::chrono::steady_clock::time_point lastCheck;
    std::map<std::string, Progress> loops; // by loop name
    std::string lastStatus;
};
