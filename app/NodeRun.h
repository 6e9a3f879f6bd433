#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Base of every long-lived node: one thread running `worker` until the node is
// asked to stop or the worker returns on its own.
//
// Threads: start, stop and join are called by the owner's thread only (the
// supervisor). `running` is written by the owner (stop) and by the node thread
// (when worker returns); `result` is written by the node thread and read by the
// owner after join. Both are atomic.
class NodeRun {
public:
    NodeRun() = default;
    // Derived nodes must call stop() in their own destructor: a worker still
    // running here would run on a half-destroyed object.
    virtual ~NodeRun();
    NodeRun(const NodeRun&) = delete;
    NodeRun& operator=(const NodeRun&) = delete;
    NodeRun(NodeRun&&) = delete;
    NodeRun& operator=(NodeRun&&) = delete;

    // Stops a previous run, then runs threadMain on a new thread.
    void start();
    // Clears `running` and joins the thread.
    void stop();
    // Joins the thread when there is one; returns what worker last returned.
    bool join();
    bool isRunning() const { return running.load(); }

    // Waits up to `duration`, in steps of at most `step`, while the node runs,
    // calling `eachStep` (when given) after every step. Returns isRunning() at
    // the end, so false means the node ended early.
    bool waitWhileRunning(std::chrono::milliseconds duration, std::chrono::milliseconds step,
                          const std::function<void()>& eachStep = {}) const;

    // One loop the node runs and how often it has gone round.
    struct Heartbeat {
        std::string loop;
        uint64_t count = 0;
    };
    // The loops of this node, for the service watchdog: a count that stands
    // still means a stuck thread. The base reports the worker's own beats.
    // Any thread.
    virtual void heartbeats(std::vector<Heartbeat>& into) const;
    // Whether the node does its work yet (the base: while it runs). Any thread.
    virtual bool ready() const { return isRunning(); }

protected:
    // Runs on the node thread; must return soon after `running` turns false.
    virtual bool worker(std::atomic<bool>& running) = 0;
    // Node thread, once per pass of the worker's loop.
    void beat() { beats.fetch_add(1, std::memory_order_relaxed); }
    uint64_t beatCount() const { return beats.load(std::memory_order_relaxed); }

private:
    void threadMain();

    std::thread thread;               // owner thread only
    std::atomic<bool> running{false}; // owner (stop) and node thread (end of worker)
    std::atomic<bool> result{true};   // node thread writes, owner reads after join
    std::atomic<uint64_t> beats{0};   // node thread raises, any thread reads
};
