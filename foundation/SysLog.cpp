#include "foundation/SysLog.h"

#include "foundation/Log.h"
#include "foundation/PublishedPointer.h"
#include "foundation/ThreadScheduling.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <sys/socket.h>

namespace VEMRA {

namespace {

constexpr int kBindBacklog = 1000;
constexpr auto kSenderWait = std::chrono::milliseconds(100);
constexpr auto kFullRetrySleep = std::chrono::milliseconds(1);
// "MMM DD hh:mm:ss localhost " behind the priority's '>'.
constexpr size_t kHeaderTail = 26;

// Any thread uses these through a guard; a replacement waits until no guard
// holds the previous object before it is stopped and destroyed.
PublishedPointer<SysLog> gLogger;
PublishedPointer<SysLog::SysLogSendStdC> gSender;
// Serialises the set-up operations (configureLog, openUdp); committing
// threads never take it.
std::mutex gConfigMutex;

// One locked sequence per line: during a sender replacement the old and the
// new sender may both print for a moment, and lines must not interleave.
void printLine(std::FILE* stream, const char* line) {
    flockfile(stream);
    std::fputs(line, stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    funlockfile(stream);
}

} // namespace

// ---- SysLogSendStdC -------------------------------------------------------

SysLog::SysLogSendStdC::SysLogSendStdC(std::FILE* outputStream) : stream(outputStream) {}

SysLog::SysLogSendStdC::~SysLogSendStdC() {
    stop();
}

void SysLog::SysLogSendStdC::start() {
    if (thread.joinable()) {
        return;
    }
    stopping.store(false, std::memory_order_relaxed);
    thread = std::thread(&SysLogSendStdC::run, this);
}

void SysLog::SysLogSendStdC::stop() {
    stopping.store(true, std::memory_order_release);
    {
        // Taking the mutex orders the flag before the sender's next predicate
        // check, so the notification below cannot fall between check and wait.
        std::lock_guard<PriorityInheritanceMutex> lock(mutex);
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

const char* SysLog::SysLogSendStdC::bodyOf(const char* stampedLine) {
    if (stampedLine[0] != '<') {
        return stampedLine;
    }
    // Priorities have one to three digits, so '>' is at character 2 to 4 of
    // the line; the fixed tail of the header follows it.
    for (size_t i = 1; i <= 4 && stampedLine[i] != '\0'; ++i) {
        if (stampedLine[i] == '>') {
            const char* tail = stampedLine + i + 1;
            return tail + strnlen(tail, kHeaderTail);
        }
    }
    return stampedLine;
}

void SysLog::SysLogSendStdC::enqueue(const char* stampedLine) {
    const char* body = bodyOf(stampedLine);
    if (body[0] == '\0') {
        return;
    }
    // A body too long for its slot is cut to the slot, terminator included.
    const size_t count = strnlen(body, kSlotSize - 1);

    std::unique_lock<PriorityInheritanceMutex> lock(mutex);
    for (int attempt = 0;; ++attempt) {
        const uint64_t write = writeIndex.load(std::memory_order_relaxed);
        // acquire: the sender has finished printing the slot it released.
        if (write != readIndex.load(std::memory_order_acquire)) {
            std::memcpy(slots[write], body, count);
            slots[write][count] = '\0';
            // release: the sender reads the slot after it sees the new index.
            writeIndex.store((write + 1) % kSlotCount, std::memory_order_release);
            return;
        }
        lock.unlock();
        if (attempt == kFullRetries || stopping.load(std::memory_order_acquire)) {
            break;
        }
        wake.notify_all();
        if (attempt == 0) {
            printLine(stream, "wait debug out");
        } else {
            std::this_thread::sleep_for(kFullRetrySleep);
        }
        lock.lock();
    }
    printLine(stream, "timeout debug out");
}

void SysLog::SysLogSendStdC::run() {
    setThreadPriority(currentThreadId(), Idle);
    while (!stopping.load(std::memory_order_acquire)) {
        const uint64_t next = (readIndex.load(std::memory_order_relaxed) + 1) % kSlotCount;
        if (next == writeIndex.load(std::memory_order_acquire)) {
            std::unique_lock<PriorityInheritanceMutex> lock(mutex);
            wake.wait_until(lock, std::chrono::steady_clock::now() + kSenderWait, [&] {
                return stopping.load(std::memory_order_acquire) ||
                       next != writeIndex.load(std::memory_order_acquire);
            });
            continue;
        }
        printLine(stream, slots[next]);
        readIndex.store(next, std::memory_order_release);
    }
    // The lines committed just before a stop (at exit: why the process ends)
    // still reach the terminal or journal. Bounded by one ring's worth, so a
    // producer that keeps logging cannot hold the stop up.
    for (size_t printed = 0; printed < kSlotCount; ++printed) {
        const uint64_t next = (readIndex.load(std::memory_order_relaxed) + 1) % kSlotCount;
        if (next == writeIndex.load(std::memory_order_acquire)) {
            break;
        }
        printLine(stream, slots[next]);
        readIndex.store(next, std::memory_order_release);
    }
}

// ---- SysLog ---------------------------------------------------------------

SocketAddress SysLog::getDestination() const {
    return udpOpen() ? destination : SocketAddress{};
}

bool SysLog::openUdp(uint16_t port) {
    std::lock_guard<std::mutex> lock(gConfigMutex);
    if (udpReady.load(std::memory_order_acquire)) {
        return true;
    }
    SocketAddress local = SocketAddress::loopback(0);
    if (!open(UdpV6Only) || !bind(local, kBindBacklog) || !setBlocking(false)) {
        close();
        return false;
    }
    destination = SocketAddress::loopback(port);
    destination.toSockaddr(destinationAddress);
    udpReady.store(true, std::memory_order_release);
    return true;
}

void SysLog::commit(LogRecord& record) const {
    const std::time_t now = record.stamp != 0 ? record.stamp : std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const size_t start = record.stampHeader(local);
    sendLine(record.text + start, record.length - start);
    const Output current = getOutput();
    if (current != nullptr) {
        current(record.text + start);
    }
}

void SysLog::sendLine(const char* line, size_t length) const {
    if (!udpOpen()) {
        return;
    }
    // A plain sendto on the shared descriptor: the socket object's own send
    // path stores the peer and the last error in the object, which would be a
    // race between committing threads. Failures are ignored by design.
    const ssize_t sent =
        ::sendto(descriptor(), line, length, MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&destinationAddress), sizeof(destinationAddress));
    static_cast<void>(sent);
}

// ---- Process-wide set-up --------------------------------------------------

bool openLog(uint32_t facility, uint16_t port, bool toStdout, std::FILE* stream) {
    auto* logger = new SysLog();
    delete gLogger.replace(logger);
    return configureLog(*logger, facility, toStdout ? &enqueueStdout : nullptr, port, stream);
}

bool configureLog(SysLog& logger, uint32_t facility, SysLog::Output output, uint16_t port,
                  std::FILE* stream) {
    logger.setFacility(facility);
    if (output == &enqueueStdout) {
        auto* sender = new SysLog::SysLogSendStdC(stream);
        sender->start();
        // Producers still inside the previous sender's enqueue finish there
        // (its thread still drains the ring) before it is stopped and freed.
        delete gSender.replace(sender);
    }
    logger.setOutput(output);
    if (output != nullptr && output != &enqueueStdout) {
        return true;
    }
    return logger.openUdp(port);
}

bool openLogSocket(uint16_t port) {
    const PublishedPointer<SysLog>::Guard logger(gLogger);
    return logger && logger->openUdp(port);
}

bool setLogLevel(int level, uint16_t port) {
    setLogThreshold(level);
    return openLogSocket(port);
}

void enqueueStdout(const char* stampedLine) {
    const PublishedPointer<SysLog::SysLogSendStdC>::Guard sender(gSender);
    if (sender) {
        sender->enqueue(stampedLine);
    }
}

void stopStdoutSender() {
    delete gSender.replace(nullptr);
}

uint32_t logFacility() {
    const PublishedPointer<SysLog>::Guard logger(gLogger);
    return logger ? logger->getFacility() : 0;
}

SysLog::Output logOutput() {
    const PublishedPointer<SysLog>::Guard logger(gLogger);
    return logger ? logger->getOutput() : nullptr;
}

SysLog* processLogger() {
    return gLogger.peek();
}

SysLog* replaceProcessLogger(SysLog* logger) {
    return gLogger.replace(logger);
}

void destroyProcessLogger() {
    delete gLogger.replace(nullptr);
}

void setLogFacility(uint32_t facility) {
    const PublishedPointer<SysLog>::Guard logger(gLogger);
    if (logger) {
        logger->setFacility(facility);
    }
}

bool commitToProcessLogger(LogRecord& record) {
    const PublishedPointer<SysLog>::Guard logger(gLogger);
    if (!logger) {
        return false;
    }
    logger->commit(record);
    return true;
}

} // namespace VEMRA
