#pragma once

#include "app/NodeRun.h"

#include <atomic>
#include <cstdint>

namespace QUORVEL {
class CertifiedTarget;
}

// The host-facing node. Its worker will own the process's CertifiedTarget and
// serve the local Play/Stop service; when the worker returns, the process ends
// with its result.
class NodeTarget : public NodeRun {
public:
    explicit NodeTarget(uint64_t vendorWord);
    ~NodeTarget() override;
    NodeTarget(const NodeTarget&) = delete;
    NodeTarget& operator=(const NodeTarget&) = delete;
    NodeTarget(NodeTarget&&) = delete;
    NodeTarget& operator=(NodeTarget&&) = delete;

    uint64_t vendor() const { return vendorWord; }
    // Closes the Target that `target` names, if any. Owner thread, after the
    // worker has ended (the worker clears `target` before destroying it).
    void closeTarget();

protected:
    bool worker(std::atomic<bool>& running) override;

private:
    const uint64_t vendorWord; // the 8-character vendor word, little-endian; constant
    // Published by the node thread while its Target exists, read by the owner
    // after join. The Target itself arrives with the host-facing service; until
    // then it stays null.
    std::atomic<QUORVEL::CertifiedTarget*> target{nullptr};
};
