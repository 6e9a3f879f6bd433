#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// Receives the process log's datagrams on its own [::1] port, so a test can
// point the logger there and read back the lines the code under test wrote.
// Unlike LogCapture it keeps working when the code under test opens the
// process log itself (as the supervisor does). Belongs to the test thread.
class LogReceiver {
public:
    LogReceiver();
    ~LogReceiver();
    LogReceiver(const LogReceiver&) = delete;
    LogReceiver& operator=(const LogReceiver&) = delete;
    LogReceiver(LogReceiver&&) = delete;
    LogReceiver& operator=(LogReceiver&&) = delete;

    bool isOpen() const { return fd != -1; }
    // Host order; 0 when the socket could not be bound.
    uint16_t port() const { return boundPort; }

    // Receives until a line containing `text` arrives (true) or `timeout`
    // passes (false). Every line received is kept in lines().
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout);
    // Receives whatever arrives within `quiet`.
    void drain(std::chrono::milliseconds quiet);
    // Message texts (the syslog header removed), in arrival order.
    const std::vector<std::string>& lines() const { return received; }
    // Lines containing `text`.
    size_t count(const std::string& text) const;
    // Position of the first line at or after `from` containing `text`, or -1.
    long find(const std::string& text, long from = 0) const;
    void clear() { received.clear(); }

private:
    bool receiveOne(std::chrono::milliseconds timeout);

    int fd = -1;
    uint16_t boundPort = 0;
    std::vector<std::string> received;
};
