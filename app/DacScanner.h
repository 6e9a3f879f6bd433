#pragma once

#include "app/NodeSink.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>

class NodeRun;

// "pcmC<card>D<device>p" (the file name after the last '/') gives "hw:<card>,<device>"
// in `deviceName`; any other name, capture devices included, gives false.
bool playbackDeviceName(const std::string& path, std::string& deviceName);

// Watches the ALSA device directory and keeps one NodeSink per playback
// device file. Everything here runs on the supervisor thread; no lock.
class DacScanner {
public:
    using DacNodes = std::map<std::string, NodeSink>; // device name -> node, built in place

    struct Config {
        std::string deviceDirectory = "/dev/snd/";
        // Time a new or vanished device file is given to settle before acting on it.
        std::chrono::milliseconds settleWait{1000};
        // Longest single sleep, so that the end of `watched` is seen promptly.
        std::chrono::milliseconds pollStep{50};
    };

    // While `watched` (the host-facing node) is given and stops, the settle
    // wait is cut short and no node is created or removed.
    // Every node is started with `sinkConfig`.
    explicit DacScanner(Config config, const NodeRun* watched = nullptr, NodeSinkConfig sinkConfig = {});
    // Tears every node down as closeAll().
    ~DacScanner();
    DacScanner(const DacScanner&) = delete;
    DacScanner& operator=(const DacScanner&) = delete;
    DacScanner(DacScanner&&) = delete;
    DacScanner& operator=(DacScanner&&) = delete;

    // One pass: takes at most one added or vanished entry, logs it and, for a
    // playback device, starts or removes its node after the settle wait.
    // Returns whether an entry changed (the next pass should follow at once).
    bool scanOnce();
    // Stops and destroys every node and forgets every entry.
    void closeAll();
    // Called after every step of the settle wait (the supervisor's watchdog).
    void setWhileWaiting(std::function<void()> callback) { whileWaiting = std::move(callback); }

    const DacNodes& nodes() const { return dacNodes; }
    const std::set<std::string>& entries() const { return knownEntries; }
    // Smallest index from 1 upward that no node uses; 0 when all are taken.
    uint16_t freeIndex() const;

private:
    bool findChange(std::string& changed);
    bool waitToSettle();
    void removeNode(DacNodes::iterator node);

    Config config;
    const NodeRun* watched;
    const NodeSinkConfig sinkConfig;
    std::function<void()> whileWaiting; // supervisor thread
    DacNodes dacNodes;
    std::set<std::string> knownEntries; // full paths of every entry seen, of any kind
};
