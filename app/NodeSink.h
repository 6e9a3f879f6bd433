#pragma once

#include "alsa/CertifiedSinkAlsa.h"
#include "app/NodeRun.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What a DAC node needs from outside; the defaults are the daemon's own.
// Tests point it at their own settings file and give the sink their ports.
struct NodeSinkConfig {
    // The settings file; empty: the one beside the executable, found anew at
    // every start of the sink.
    std::string settingsPath;
    CertifiedSinkAlsaConfig sink;
    // Test seam: runs on the node thread before every control turn, with the
    // device name; a test holds the thread here to play a stuck node.
    std::function<void(const std::string& deviceName)> beforeTurn;
};

// The node serving one DAC: its worker builds the DAC's ALSA sink with
// freshly read settings, probes it and runs its control loop; a sink that
// gives up is closed and built again, a probe that fails or a DAC the
// settings skip ends the node. The supervisor creates one per playback
// device file.
class NodeSink : public NodeRun {
public:
    NodeSink() = default;
    ~NodeSink() override;
    NodeSink(const NodeSink&) = delete;
    NodeSink& operator=(const NodeSink&) = delete;
    NodeSink(NodeSink&&) = delete;
    NodeSink& operator=(NodeSink&&) = delete;

    // Owner thread, before start.
    void setDevice(const std::string& name, uint16_t nodeIndex);
    void setConfig(const NodeSinkConfig& nodeConfig) { config = nodeConfig; }
    const std::string& device() const { return deviceName; }
    uint16_t nodeIndex() const { return index.load(std::memory_order_relaxed); }
    // Closes the sink that `sinkRef` names, if any. Owner thread, only after
    // stop() has joined the node thread. True when no sink is left open.
    bool closeSink();
    // Whether the node's sink is probed and serves Hosts. Any thread.
    bool offered() const { return serving.load(); }
    // The control loop's heartbeat, as "DAC node hw:C,D".
    void heartbeats(std::vector<Heartbeat>& into) const override;

    // The SinkInfo every sink of the node starts from (its name is filled by
    // the DAC name lookup).
    static QUORVEL::SinkInfo defaultSinkInfo(uint16_t index);

protected:
    bool worker(std::atomic<bool>& running) override;

private:
    // One build-probe-run cycle; false ends the node (skipped DAC or failed probe).
    bool runSink(std::atomic<bool>& running, QUORVEL::SinkInfo& info);

    // Published by the node thread while its sink exists and cleared before
    // the sink is destroyed on every path; read by the owner after join.
    std::atomic<CertifiedSinkAlsa*> sinkRef{nullptr};
    std::string deviceName;           // "hw:C,D"; set by the owner before start, read-only after
    std::atomic<uint16_t> index{0};   // 1 upward; set by the owner before start
    std::atomic<bool> serving{false}; // node thread writes, any thread reads
    NodeSinkConfig config;            // set by the owner before start, read-only after
};
