#include "protocol/TransportStage.h"

#include "foundation/Clock.h"
#include "foundation/Completes.h"
#include "foundation/Log.h"
#include "foundation/MemoryLock.h"
#include "foundation/ThreadScheduling.h"
#include "protocol/SinkBuffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace QUORVEL {

namespace {

// How long a stopping sink waits for a drain the transport worker has begun.
constexpr uint64_t kStopDrainWait = 2 * VEMRA::kPicosecondsPerSecond;

} // namespace

TransportStage::TransportStage(PacketRing& packetRing, AudioOutput& audioOutput, SinkLink sinkLink)
    : ring(packetRing), output(audioOutput), link(std::move(sinkLink)) {}

TransportStage::~TransportStage() {
    join();
}

bool TransportStage::start(int scheduling) {
    if (worker.joinable()) {
        return false;
    }
    if (!VEMRA::completes([&] { worker = std::thread(&TransportStage::workerBody, this, scheduling); })) {
        return false;
    }
    workerStarted = true;
    return true;
}

void TransportStage::join() {
    if (worker.joinable()) {
        worker.join();
    }
}

void TransportStage::planConnection(const Prefill& plan, uint8_t silenceByte) {
    std::lock_guard<std::mutex> lock(mutex);
    pendingRingStart = ring.writePosition();
    pendingPrefill = plan;
    pendingSilenceByte = silenceByte;
    prefillPending = true;
}

bool TransportStage::commit(bool flush) {
    if (!ring.commit()) {
        return false;
    }
    if (flush) {
        flushRequested.store(true, std::memory_order_release);
    }
    return true;
}

void TransportStage::wake() {
    if (waiters.load() == 0) {
        return; // nobody waits: whoever waits next checks the state first
    }
    // Taken and released: a waiter between its check and its wait holds the
    // mutex, so the notification cannot fall in between.
    { std::lock_guard<std::mutex> lock(mutex); }
    changed.notify_all();
}

bool TransportStage::awaitDrain() {
    VEMRA::logLine(VEMRA::kLogDebug, "preDisconnect Start");
    if (!workerStarted.load()) {
        drainNow();
        return false;
    }
    uint64_t giveUpAt = 0; // set once the sink is stopping
    for (;;) {
        VEMRA::logLine(VEMRA::kLogDebug, "preDisconnect loop 1");
        std::unique_lock<std::mutex> lock(mutex);
        waitOnStage(lock, std::chrono::milliseconds(10), [this] {
            return drainStep.load() == DrainStep::Released || !link.connection.running.load();
        });
        DrainStep released = DrainStep::Released;
        if (drainStep.compare_exchange_strong(released, DrainStep::Acknowledged)) {
            lock.unlock();
            changed.notify_all();
            VEMRA::logLine(VEMRA::kLogDebug, "preDisconnect Exit");
            return true;
        }
        if (link.connection.running.load()) {
            continue;
        }
        // The transport worker is stopping and may never drain. Release the
        // device here unless it already began to; then give it a bounded
        // time to finish.
        DrainStep serving = DrainStep::Serving;
        if (drainStep.compare_exchange_strong(serving, DrainStep::Abandoned)) {
            return false;
        }
        const uint64_t now = VEMRA::clockNow();
        if (giveUpAt == 0) {
            giveUpAt = now + kStopDrainWait;
        } else if (VEMRA::clockCompare(now, giveUpAt) >= 0) {
            return true;
        }
    }
}

void TransportStage::drainNow() {
    while (!ring.empty() && moveToQueue(ring.readSlot())) {
        ring.release();
    }
    if (flushRequested.exchange(false)) {
        uint64_t bytes = 0;
        for (const PacketSlot& node : queue) {
            bytes += node.length;
        }
        postRate(bytes);
    }
    while (!queue.empty()) {
        const PacketSlot& node = queue.front();
        output.writeAudio(node.audio(), node.length);
        retireFront();
    }
}

void TransportStage::workerBody(int scheduling) {
    VEMRA::prefaultStack();
    VEMRA::enterRealtimeThread();
    // As for the stream worker: without real-time rights the audio still flows.
    if (!VEMRA::setThreadPriority(VEMRA::currentThreadId(), scheduling)) {
        VEMRA::logLine(VEMRA::kLogDetail, "ThreadPriority Err ") << scheduling;
    }
    while (link.connection.running.load()) {
        if (!servePass()) {
            VEMRA::logLine(VEMRA::kLogDetail, "errDisconnect");
            link.connection.running = false;
            VEMRA::logLine(VEMRA::kLogError, "worker_trans_m error");
            link.wakeSink();
            break;
        }
    }
}

// Waits until the stream worker has started the output of a connection this
// worker has not served yet, and the node thread has finished connecting it
// (the pre-fill is planned by then). Every such connection is served,
// whatever its state by now: one being disconnected needs a partner for its
// drain handshake, and one that already ended without a drain (a full ring,
// while this worker was kept off the processor) must still end the pass with
// "illegal Exit buffer", or the sink would keep the device and run on.
bool TransportStage::waitForConnection() {
    // Every change this waits for (a "do start", the end of connect, a stop)
    // is followed by wake, which takes the mutex before it notifies while
    // this worker is counted as waiting: checked under the mutex, no change
    // can slip between the check and the wait. The bound only limits what a
    // lost notification could cost.
    std::unique_lock<std::mutex> lock(mutex);
    bool served = false;
    while (!served && link.connection.running.load()) {
        waitOnStage(lock, std::chrono::seconds(1), [&] {
            const uint64_t serial = link.connection.connectionSerial.load();
            served = link.connection.running.load() && serial != servedSerial &&
                     link.connection.state.load() != Connecting;
            if (served) {
                servedSerial = serial;
            }
            return served || !link.connection.running.load();
        });
    }
    return served;
}

bool TransportStage::servePass() {
    // Datagrams left in the ring are dropped when the next connection is
    // served (below), not here: this worker may reach this point after a new
    // connection has begun to fill the ring. For the same reason a pending
    // flush request stays: it may be the new connection's first flush mark,
    // and one left from the last connection only measures the new queue once
    // more.
    //
    // The played connection's nodes go back to the spare pool, so the next
    // connection starts without allocating for its datagrams.
    while (!queue.empty()) {
        retireFront();
    }
    VEMRA::logLine(VEMRA::kLogDetail, "ts start");
    drainStep = DrainStep::Waiting;
    if (!waitForConnection()) {
        return true;
    }
    VEMRA::logLine(VEMRA::kLogDetail, "ts connect");
    drainStep = DrainStep::Serving;

    const AudioFormat current = link.connection.format.load();
    uint64_t prefillBytes = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (prefillPending) {
            prefillPending = false;
            ring.discardUpTo(pendingRingStart);
            appendPrefill(pendingPrefill, pendingSilenceByte);
            prefillBytes = pendingPrefill.total;
        }
    }
    reserveSpare(prefillBytes);
    // The underrun filler keeps its buffer across connections. Without the
    // memory for it an underrun pauses instead (below).
    if (!VEMRA::completes(
            [&] { silence.assign(SinkBuffer::underrunBytes(current), current.silenceByte()); })) {
        silence.clear();
    }
    // A Host catching up after a stall sends seconds of audio at once: the
    // queue takes kQueueAheadSeconds of it beyond the pre-fill, up to kQueueLimit
    // bytes. Past that the datagrams stay in the ring, and once the ring is
    // full the stream worker gives the connection up.
    const uint64_t queueLimit = SinkBuffer::queueLimitFor(current, link.latency.load());
    uint64_t queuedBytes = 0; // kept with every change of the queue: never counted by walking it
    for (const PacketSlot& node : queue) {
        queuedBytes += node.length;
    }
    const uint64_t bytesPerSecond = current.bytesPerSecond();
    uint64_t rateBytes = 0;
    uint64_t rateSince = VEMRA::clockNow();
    uint64_t nextRestLine = rateSince;
    uint64_t movedSinceLine = 0;
    uint64_t marksSinceLine = 0;

    while (link.connection.running.load()) {
        if (link.connection.state.load() != Disconnecting && !flushRequested.load() && ring.empty() &&
            queue.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // Taken before the ring is moved: once Disconnecting is seen, every
        // datagram that came before the disconnect is queued in this turn, so
        // the queue is empty only when it was played out in full.
        const uint32_t snapshot = link.connection.state.load();
        uint64_t moved = 0;
        while (!ring.empty() && queuedBytes < queueLimit) {
            const uint64_t length = ring.readSlot().length;
            if (!moveToQueue(ring.readSlot())) {
                break; // no memory for a node: the datagram waits in the ring
            }
            queuedBytes += length;
            ring.release();
            ++moved;
        }
        movedSinceLine += moved;
        if (flushRequested.exchange(false, std::memory_order_acquire)) {
            postRate(queuedBytes);
            ++marksSinceLine;
            // At most one line a second: a fast stream has hundreds of flush
            // marks a second, and each line would reach the journal.
            const uint64_t now = VEMRA::clockNow();
            if (VEMRA::clockCompare(now, nextRestLine) >= 0) {
                nextRestLine = now + VEMRA::kPicosecondsPerSecond;
                VEMRA::logLine(VEMRA::kLogInfo, "update Stream Rest ")
                    << queuedBytes << " " << static_cast<uint64_t>(queue.size()) << " " << movedSinceLine
                    << " " << marksSinceLine;
                movedSinceLine = 0;
                marksSinceLine = 0;
            }
        }
        uint64_t written = 0;
        if (queue.empty()) {
            VEMRA::logLine(VEMRA::kLogDetail, "empty sink buffer");
            if (silence.empty()) {
                std::this_thread::sleep_for(
                    std::chrono::milliseconds(10)); // no rate to fill: nothing to write
            } else if (!output.writeAudio(silence.data(), silence.size())) {
                return false;
            } else {
                written = silence.size();
            }
        } else {
            const PacketSlot& node = queue.front();
            if (node.length != 0 && !output.writeAudio(node.audio(), node.length)) {
                return false;
            }
            written = node.length;
            queuedBytes -= std::min<uint64_t>(queuedBytes, node.length);
            retireFront();
        }
        if (VEMRA::logEnabled(VEMRA::kLogDebug)) {
            rateBytes += written;
            const uint64_t now = VEMRA::clockNow();
            const uint64_t elapsed = now - rateSince;
            if (elapsed >= VEMRA::kPicosecondsPerSecond) {
                const uint64_t perSecond = rateBytes * VEMRA::kPicosecondsPerMillisecond / (elapsed / 1000);
                const uint64_t ratio = bytesPerSecond == 0 ? 0 : perSecond * 10000 / bytesPerSecond;
                VEMRA::logLine(VEMRA::kLogDebug, "i2s rate ") << perSecond << " " << ratio;
                rateBytes = 0;
                rateSince = now;
            }
        }
        if (snapshot == Disconnecting && queue.empty()) {
            drainHandshake();
            return true;
        }
        if (snapshot == Idle) {
            VEMRA::logLine(VEMRA::kLogError, "illegal Exit buffer");
            return false;
        }
    }
    return true;
}

void TransportStage::drainHandshake() {
    DrainStep serving = DrainStep::Serving;
    if (!drainStep.compare_exchange_strong(serving, DrainStep::Releasing)) {
        return; // the stream worker gave up waiting and releases the device itself
    }
    output.releaseOutput();
    {
        std::lock_guard<std::mutex> lock(mutex);
        drainStep = DrainStep::Released;
    }
    changed.notify_all();
    std::unique_lock<std::mutex> lock(mutex);
    while (!waitOnStage(lock, std::chrono::milliseconds(10), [this] {
        return drainStep.load() == DrainStep::Acknowledged || !link.connection.running.load();
    })) {
        VEMRA::logLine(VEMRA::kLogDebug, "preDisconnect loop 2");
    }
    lock.unlock();
    VEMRA::logLine(VEMRA::kLogDetail, "ts Flush Exit");
    VEMRA::logLine(VEMRA::kLogDebug, "ts exit");
}

bool TransportStage::appendNode(std::list<PacketSlot>& to, uint64_t bytes) {
    std::list<PacketSlot> made;
    if (!VEMRA::completes([&] {
            made.emplace_back();
            made.back().buffer.resize(bytes);
        })) {
        return false;
    }
    to.splice(to.end(), made);
    return true;
}

void TransportStage::reserveSpare(uint64_t prefillBytes) {
    // Half as much again as the latency holds in full datagrams, for the
    // jitter of the Host's bursts; small datagrams reach the limit.
    const uint64_t nodes = std::min<uint64_t>(kSpareLimit, prefillBytes * 3 / 2 / ring.slotBytes() + 64);
    while (spare.size() < nodes && appendNode(spare, ring.slotBytes())) {
    }
}

bool TransportStage::moveToQueue(PacketSlot& slot) {
    if (spare.empty()) {
        // The slot gets this node's buffer in exchange, so it must hold a datagram.
        if (!appendNode(queue, ring.slotBytes())) {
            return false;
        }
    } else {
        queue.splice(queue.end(), spare, spare.begin());
    }
    queue.back().swapWith(slot);
    return true;
}

void TransportStage::retireFront() {
    // A pre-fill chunk larger than a ring slot is freed once played: kept, it
    // would travel into a slot in exchange for a datagram and stay there, and
    // at the fastest formats the ring would end up holding hundreds of
    // megabytes.
    if (spare.size() < kSpareLimit && queue.front().buffer.size() <= ring.slotBytes()) {
        spare.splice(spare.begin(), queue, queue.begin());
    } else {
        queue.pop_front();
    }
}

void TransportStage::appendPrefill(const Prefill& plan, uint8_t silenceByte) {
    uint64_t total = plan.total;
    while (total > plan.frame) {
        uint64_t n = std::min(plan.chunk, total);
        n -= n % plan.frame;
        if (n == 0) {
            n = plan.frame; // a chunk smaller than a frame would never finish
        }
        // Pre-fill buffers of a ring slot's size or less later carry datagrams.
        if (!appendNode(queue, std::max<uint64_t>(n, ring.slotBytes()))) {
            VEMRA::logLine(VEMRA::kLogError, "prefill alloc error ") << total;
            return; // the connection starts with less silence
        }
        PacketSlot& node = queue.back();
        std::memset(node.buffer.data(), silenceByte, n);
        node.offset = 0;
        node.length = n;
        total -= n;
    }
}

void TransportStage::postRate(uint64_t queuedBytes) {
    uint16_t fill = 0;
    uint16_t target = 0;
    if (!link.bufferState(fill, target)) {
        VEMRA::logLine(VEMRA::kLogDetail, "er4 dissconect");
        return;
    }
    fill = SinkBuffer::fillFor(fill, queuedBytes, link.connection.format.load().bytesPerSecond());
    const uint16_t rate = SinkBuffer::rateFor(fill, target);
    link.connection.feedbackTarget.store(target, std::memory_order_relaxed);
    link.connection.feedbackFill.store(fill, std::memory_order_relaxed);
    link.connection.feedbackRate.store(rate, std::memory_order_release);
    VEMRA::logLine(VEMRA::kLogDebug, "RATE ") << rate << " = " << fill << " / " << target;
}

} // namespace QUORVEL
