#include "support/TcpClient.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TcpClient::~TcpClient() {
    close();
}

bool TcpClient::connect(uint16_t port) {
    close();
    fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        return false;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close();
        return false;
    }
    return true;
}

std::string TcpClient::read(size_t count, std::chrono::milliseconds timeout) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd != -1 && received.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd waited{fd, POLLIN, 0};
        if (::poll(&waited, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = ::recv(fd, buffer, std::min(sizeof(buffer), count - received.size()), 0);
        if (got <= 0) {
            break;
        }
        received.append(buffer, static_cast<size_t>(got));
    }
    return received;
}

std::string TcpClient::drain(std::chrono::milliseconds quiet) {
    return read(SIZE_MAX, quiet);
}

bool TcpClient::send(const std::string& bytes) {
    return fd != -1 &&
           ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void TcpClient::close() {
    if (fd != -1) {
        ::close(fd);
        fd = -1;
    }
}
