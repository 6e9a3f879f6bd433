#include "app/NodeRun.h"

#include "foundation/Completes.h"

#include <algorithm>

NodeRun::~NodeRun() {
    stop();
}

void NodeRun::start() {
    stop();
    running.store(true);
    result.store(true);
    // A thread the system cannot start (no memory for its stack) leaves the
    // node ended with a false result, as a worker that failed at once.
    if (!VEMRA::completes([this] { thread = std::thread(&NodeRun::threadMain, this); })) {
        result.store(false);
        running.store(false);
    }
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
