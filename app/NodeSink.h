#pragma once

#include "app/NodeRun.h"

#include <atomic>
#include <cstdint>
#include <string>

class CertifiedSinkAlsa;

// The node serving one DAC. Its worker will build, probe and run the DAC's
// ALSA sink; the supervisor creates one per playback device file.
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
    const std::string& device() const { return deviceName; }
    uint16_t nodeIndex() const { return index.load(std::memory_order_relaxed); }
    // Closes the sink that `sinkRef` names, if any. Owner thread, only after
    // stop() has joined the node thread. True when no sink is left open.
    bool closeSink();

protected:
    bool worker(std::atomic<bool>& running) override;

private:
    // Published by the node thread while its sink exists; read by the owner
    // only after join. The ALSA sink arrives with the sink back end; until then
    // the worker publishes none and it stays null.
    std::atomic<CertifiedSinkAlsa*> sinkRef{nullptr};
    std::string deviceName;           // "hw:C,D"; set by the owner before start, read-only after
    std::atomic<uint16_t> index{0};   // 1 upward; set by the owner before start
};
