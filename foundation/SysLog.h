#pragma once

#include "foundation/LogRecord.h"
#include "foundation/PriorityInheritanceMutex.h"
#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <netinet/in.h>
#include <thread>

namespace VEMRA {

// The process logger: a UDP socket that ships every committed line to the
// loopback log port, plus an optional standard-output function.
//
// Any thread may commit through it at any time, so everything a committing
// thread reads is either atomic or written once before `udpReady` is
// published (release) and read after it is seen (acquire).
class SysLog : public Socket {
public:
    using Output = void (*)(const char* stampedLine);

    static constexpr uint16_t kDefaultPort = 19641;

    // Prints record bodies to standard output from one idle-class thread so
    // that no producer ever blocks on the terminal.
    class SysLogSendStdC {
    public:
        static constexpr size_t kSlotCount = 120;
        static constexpr size_t kSlotSize = 1500;
        // Rechecks for room in a full ring before a body is dropped.
        static constexpr int kFullRetries = 10;

        // `stream` receives the bodies and the overflow notices; the program
        // uses standard output, tests a stream of their own.
        explicit SysLogSendStdC(std::FILE* stream = stdout);
        ~SysLogSendStdC();
        SysLogSendStdC(const SysLogSendStdC&) = delete;
        SysLogSendStdC& operator=(const SysLogSendStdC&) = delete;

        // Called by the owner (configuring thread).
        void start();
        void stop();
        // Called on any producing thread with the stamped line. Takes the
        // mutex; waits about 9 ms at most when the ring is full.
        void enqueue(const char* stampedLine);

        // The message behind the header of a stamped line, whatever the
        // number of priority digits.
        static const char* bodyOf(const char* stampedLine);
        // One slot's bytes, for inspection while the sender thread is not running.
        const char* slot(size_t index) const { return slots[index % kSlotCount]; }

    private:
        void run(); // the sender thread

        std::FILE* const stream;
        std::thread thread;                // started and joined by the owner
        std::atomic<bool> stopping{false}; // set by the owner, read by everyone
        // Producers fill slot `writeIndex` under `mutex`; the sender prints
        // slot `readIndex + 1` without the lock while the ring is not empty.
        char slots[kSlotCount][kSlotSize] = {};
        std::atomic<uint64_t> writeIndex{0};             // advanced by producers under `mutex`
        std::atomic<uint64_t> readIndex{kSlotCount - 1}; // advanced by the sender thread only
        // Real-time workers log through this ring and the sender is idle
        // class: the mutex lends a waiting worker's priority to the sender.
        PriorityInheritanceMutex mutex;
        std::condition_variable_any wake;
    };

    SysLog() = default;

    uint32_t getFacility() const { return facility.load(std::memory_order_relaxed); }
    void setFacility(uint32_t value) { facility.store(value, std::memory_order_relaxed); }
    Output getOutput() const { return output.load(std::memory_order_acquire); }
    void setOutput(Output value) { output.store(value, std::memory_order_release); }
    // [::1]:port once the UDP side is open; zero before.
    SocketAddress getDestination() const;

    // Opens the UDP side towards [::1]:port (true when it is already open).
    // Configuring thread only; committing threads may run meanwhile.
    bool openUdp(uint16_t port);
    bool udpOpen() const { return udpReady.load(std::memory_order_acquire); }
    // Stamps the header with the wall-clock time, sends the line and hands
    // it to the output function. Any thread.
    void commit(LogRecord& record) const;
    // One datagram, no retry; failures are ignored. Any thread.
    void sendLine(const char* line, size_t length) const;

private:
    std::atomic<uint32_t> facility{0};
    std::atomic<Output> output{nullptr};
    // Written by openUdp before `udpReady` is released, read-only after.
    SocketAddress destination;
    sockaddr_in6 destinationAddress{};
    std::atomic<bool> udpReady{false};
};

// Start-up: creates the process logger and configures it. `stream` is where
// the standard-output sender prints (standard output in the program).
bool openLog(uint32_t facility, uint16_t port = SysLog::kDefaultPort, bool toStdout = true,
             std::FILE* stream = stdout);
// With output == enqueueStdout a new sender printing to `stream` replaces the
// process-wide one, which is stopped; any other non-null output ends here;
// otherwise the UDP side is opened.
bool configureLog(SysLog& logger, uint32_t facility, SysLog::Output output,
                  uint16_t port = SysLog::kDefaultPort, std::FILE* stream = stdout);
// Opens the process logger's UDP side towards [::1]:port; true when already open.
bool openLogSocket(uint16_t port = SysLog::kDefaultPort);
bool setLogLevel(int level, uint16_t port = SysLog::kDefaultPort);

// The standard-output sender's enqueue, usable as SysLog::Output.
void enqueueStdout(const char* stampedLine);
// Stops and releases the process-wide standard-output sender; bodies not yet
// printed are dropped.
void stopStdoutSender();

// Commits through the process logger while holding it; false without one.
bool commitToProcessLogger(LogRecord& record);

uint32_t logFacility();
SysLog::Output logOutput();
// The process logger, for configuring code; valid until that code replaces
// or destroys it.
SysLog* processLogger();
// Installs `logger` (owned by the logging module from now on) and returns the
// previous one, owned by the caller, once no committing thread uses it.
SysLog* replaceProcessLogger(SysLog* logger);
void destroyProcessLogger();
void setLogFacility(uint32_t facility);

} // namespace VEMRA
