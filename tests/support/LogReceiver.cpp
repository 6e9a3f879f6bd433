#include "support/LogReceiver.h"

#include <algorithm>
#include <array>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LogReceiver::LogReceiver() {
    fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        return;
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    socklen_t length = sizeof(address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        fd = -1;
        return;
    }
    boundPort = ntohs(address.sin6_port);
}

LogReceiver::~LogReceiver() {
    if (fd != -1) {
        ::close(fd);
    }
}

bool LogReceiver::receiveOne(std::chrono::milliseconds timeout) {
    if (fd == -1) {
        return false;
    }
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1) {
        return false;
    }
    std::array<char, 4096> buffer{};
    const ssize_t length = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (length < 0) {
        return false;
    }
    std::string line(buffer.data(), static_cast<size_t>(length));
    // The syslog header ends with the host name.
    static const std::string kHeaderEnd = "localhost ";
    const size_t header = line.find(kHeaderEnd);
    if (line.rfind('<', 0) == 0 && header != std::string::npos) {
        line.erase(0, header + kHeaderEnd.size());
    }
    received.push_back(std::move(line));
    return true;
}

bool LogReceiver::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !receiveOne(left)) {
            return false;
        }
        if (received.back().find(text) != std::string::npos) {
            return true;
        }
    }
}

void LogReceiver::drain(std::chrono::milliseconds quiet) {
    while (receiveOne(quiet)) {
    }
}

size_t LogReceiver::count(const std::string& text) const {
    size_t total = 0;
    for (const std::string& line : received) {
        total += line.find(text) != std::string::npos ? 1 : 0;
    }
    return total;
}

long LogReceiver::find(const std::string& text, long from) const {
    for (size_t i = static_cast<size_t>(std::max(from, 0L)); i < received.size(); ++i) {
        if (received[i].find(text) != std::string::npos) {
            return static_cast<long>(i);
        }
    }
    return -1;
}
