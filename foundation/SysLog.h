#pragma once

#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace VEMRA {

// The process logger: a UDP socket that ships every committed line to the
// loopback log port, plus an optional standard-output function.
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

        SysLogSendStdC();
        ~SysLogSendStdC();
        void start();
        void stop();
        // Called on the producing thread with the stamped line.
        void enqueue(const char* stampedLine);

    private:
        void run();

        std::thread thread;
        std::atomic<bool> stopping{false};
        char slots[kSlotCount][kSlotSize] = {};
        std::atomic<uint64_t> writeIndex{0};           // advanced by producers under `mutex`
        std::atomic<uint64_t> readIndex{kSlotCount - 1}; // advanced by the sender thread only
        std::mutex mutex;
        std::condition_variable wake;
    };

    uint32_t facility = 0;
    Output output = nullptr;
    SocketAddress destination;
};

// Start-up: creates the process logger and configures it.
bool openLog(uint32_t facility, uint16_t port = SysLog::kDefaultPort, bool toStdout = true);
bool configureLog(SysLog& logger, uint32_t facility, SysLog::Output output, uint16_t port = SysLog::kDefaultPort);
// Opens the logger's UDP side towards [::1]:port; true when already open.
bool openLogSocket(uint16_t port = SysLog::kDefaultPort);
bool setLogLevel(int level, uint16_t port = SysLog::kDefaultPort);

// The standard-output sender's enqueue, usable as SysLog::Output.
void enqueueStdout(const char* stampedLine);

uint32_t logFacility();
SysLog::Output logOutput();
SysLog* processLogger();
// Installs `logger` as the process logger and returns the previous one.
SysLog* replaceProcessLogger(SysLog* logger);
void destroyProcessLogger();
void setLogFacility(uint32_t facility);

} // namespace VEMRA
