#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

namespace VEMRA {

// What a service manager that started this process told it in its
// environment (the sd_notify(3) and sd_watchdog_enabled(3) interface).
struct ServiceManagerLink {
    // NOTIFY_SOCKET: a Unix datagram socket path, or "@name" for an abstract
    // one; empty: no service manager listens.
    std::string socketPath;
    // WATCHDOG_USEC, when WATCHDOG_PID is unset or names this process: the
    // longest the manager waits between two WATCHDOG=1; zero: no watchdog.
    std::chrono::microseconds watchdogInterval{0};

    // The only place the program reads its environment.
    static ServiceManagerLink fromEnvironment();
};

// Tells the service manager how the program is doing: one datagram per
// notice, of "KEY=value" lines (READY=1, STATUS=..., WATCHDOG=1, STOPPING=1),
// sent without waiting: a manager that does not read its socket never holds
// the caller up. Without a socket path every notice is dropped and the
// program runs as it does without a service manager.
//
// Threads: one thread (the supervisor's) uses an object.
class ServiceNotifier {
public:
    explicit ServiceNotifier(const std::string& socketPath = {});
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;
    ServiceNotifier(ServiceNotifier&&) = delete;
    ServiceNotifier& operator=(ServiceNotifier&&) = delete;

    // False without a usable socket path, or when the socket cannot be made.
    bool enabled() const { return descriptor != -1; }
    // Sends `state` (one or more lines) as one datagram; false when it was not sent.
    bool notify(std::string_view state);

private:
    int descriptor = -1;
    sockaddr_un address{};
    socklen_t addressLength = 0;
};

} // namespace VEMRA
