#include "app/NodeTarget.h"

#include "foundation/Log.h"

#include <chrono>
#include <thread>

NodeTarget::NodeTarget(uint64_t vendorWord) : vendorWord(vendorWord) {}

NodeTarget::~NodeTarget() {
    closeTarget();
    stop();
}

void NodeTarget::closeTarget() {
    // No Target is ever published yet (see worker), so there is nothing to close.
    target.store(nullptr);
}

// Interim body until the host-facing service exists: it announces itself and
// keeps the node alive until it is stopped, so the supervisor runs as it will.
bool NodeTarget::worker(std::atomic<bool>& running) {
    VEMRA::logLine(VEMRA::kLogInfo, "START target ").hex(vendorWord);
    while (running.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}
