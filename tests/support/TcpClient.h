#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// A plain TCP client of a service on [::1], for tests of the Play/Stop
// service. The connection belongs to the network namespace of the thread
// that opened it. Belongs to one thread at a time.
class TcpClient {
public:
    TcpClient() = default;
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;

    // Connects to [::1]:port; false when refused.
    bool connect(uint16_t port);
    bool isOpen() const { return fd != -1; }
    // What arrives until `count` bytes are there, the peer closes or
    // `timeout` passes.
    std::string read(size_t count, std::chrono::milliseconds timeout);
    // Whatever arrives within `quiet`.
    std::string drain(std::chrono::milliseconds quiet);
    bool send(const std::string& bytes);
    void close();

private:
    int fd = -1;
};
