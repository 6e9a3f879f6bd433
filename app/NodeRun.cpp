#include "app/NodeRun.h"

#include <algorithm>

NodeRun::~NodeRun() {
    stop();
}

void NodeRun::start() {
    stop();
    running.store(true);
    result.store(true);
    thread = std::thread(&NodeRun::threadMain, this);
}

void NodeRun::stop() {
    running.store(false);
    join();
}

bool NodeRun::join() {
    if (thread.joinable()) {
        thread.join();
    }
    return result.load();
}

bool NodeRun::waitWhileRunning(std::chrono::milliseconds duration, std::chrono::milliseconds step,
                               const std::function<void()>& eachStep) const {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    step = std::max(step, std::chrono::milliseconds(1));
    while (isRunning()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        // sleep_for resumes after signals, so each step is slept in full.
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(step, deadline - now));
        if (eachStep) {
            eachStep();
        }
    }
    return isRunning();
}

void NodeRun::heartbeats(std::vector<Heartbeat>& into) const {
    into.push_back({"node", beatCount()});
}

void NodeRun::threadMain() {
    result.store(worker(running));
    running.store(false);
}
