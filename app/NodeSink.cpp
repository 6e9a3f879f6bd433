#include "app/NodeSink.h"

#include "foundation/Log.h"

#include <chrono>
#include <thread>

NodeSink::~NodeSink() {
    stop();
}

void NodeSink::setDevice(const std::string& name, uint16_t nodeIndex) {
    deviceName = name;
    index.store(nodeIndex, std::memory_order_relaxed);
}

bool NodeSink::closeSink() {
    // The worker does not publish a sink yet, so a null sinkRef is the only
    // state this can see; the back end's close call belongs here.
    return sinkRef.load() == nullptr;
}

// Interim body until the ALSA sink exists: it announces the node as the real
// one will and stays alive until stopped, so the supervisor's detection,
// removal and shutdown paths run as they will.
bool NodeSink::worker(std::atomic<bool>& running) {
    VEMRA::logLine(VEMRA::kLogInfo, "START sinkAlsa ") << static_cast<unsigned>(nodeIndex()) << " "
                                                      << deviceName;
    while (running.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}
