#pragma once

#include "app/NodeRun.h"
#include "protocol/Target.h"
#include "protocol/TargetInfo.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace QUORVEL {
class CertifiedTarget;
}
namespace VEMRA {
class SocketWaitSet;
class TCPV6Server;
} // namespace VEMRA

// What the host-facing node needs from outside; the defaults are the
// daemon's own. Tests point it at their own directory and ports.
struct NodeTargetConfig {
    // Where the settings file and the icons are; empty: the executable's directory.
    std::string directory;
    QUORVEL::Target::Config target;
    // The local Play/Stop service on [::1]; 0 lets the system choose.
    uint16_t playStopPort = 19641;
    // Longest wait of the service loop, and so how soon the end of the
    // Target or a change of the playing state is seen.
    std::chrono::milliseconds pollWait{1000};
};

// The host-facing node. Its worker owns the process's CertifiedTarget and
// serves the local Play/Stop service ("Play\r\n" / "Stop\r\n" to every TCP
// client of [::1]:19641); when the Target's loop ends the worker returns, and
// the process ends with its result: true after a Host's restart request of a
// non-zero mode (or a settings save), false otherwise.
class NodeTarget : public NodeRun {
public:
    explicit NodeTarget(uint64_t vendorWord, NodeTargetConfig config = NodeTargetConfig());
    ~NodeTarget() override;
    NodeTarget(const NodeTarget&) = delete;
    NodeTarget& operator=(const NodeTarget&) = delete;
    NodeTarget(NodeTarget&&) = delete;
    NodeTarget& operator=(NodeTarget&&) = delete;

    uint64_t vendor() const { return vendorWord; }
    // Closes the Target that `target` names, if any. Owner thread, after the
    // worker has ended (the worker clears `target` before destroying it).
    void closeTarget();
    // The Play/Stop service's port once it and the Target are up (0
    // before); any thread.
    uint16_t playStopPort() const { return boundPlayStopPort.load(); }

    // Ready once the Target's loop has started (it answers Hosts) and the
    // Play/Stop service is bound. Any thread.
    bool ready() const override;
    // The node's own loop and the Target's message loop.
    void heartbeats(std::vector<Heartbeat>& into) const override;

    // The Target's construction input before the settings file is applied:
    // identity, name, version "142_1", and the four icons read from
    // `directory` ("logo.png", "logo_s.png" four bytes per pixel,
    // "logo_m.png", "logo_m_s.png" one byte per pixel; a missing or
    // unreadable file leaves its record empty).
    static QUORVEL::TargetInfo buildTargetInfo(uint64_t vendorWord, const std::string& directory);

protected:
    bool worker(std::atomic<bool>& running) override;

private:
    bool serve(std::atomic<bool>& running, QUORVEL::CertifiedTarget& certified, VEMRA::SocketWaitSet& waitSet,
               VEMRA::TCPV6Server& server);

    const uint64_t vendorWord; // the 8-character vendor word, little-endian; constant
    const NodeTargetConfig config;
    // Published by the node thread while its Target exists, read by the owner
    // after join.
    std::atomic<QUORVEL::CertifiedTarget*> target{nullptr};
    std::atomic<uint16_t> boundPlayStopPort{0}; // node thread writes
    // Passes of the Target's loop: the Target's thread raises it, any thread
    // reads. It lives here, not in the Target, so that it outlives every Target.
    std::atomic<uint64_t> targetPasses{0};
};
