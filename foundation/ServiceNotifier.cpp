#include "foundation/ServiceNotifier.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace VEMRA {

namespace {

// A positive decimal number, all of `text`; 0 otherwise.
unsigned long long positiveNumber(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return errno == 0 && end != nullptr && *end == '\0' ? value : 0;
}

} // namespace

ServiceManagerLink ServiceManagerLink::fromEnvironment() {
    ServiceManagerLink link;
    if (const char* socket = std::getenv("NOTIFY_SOCKET")) {
        link.socketPath = socket;
    }
    // The manager names the process the watchdog is meant for; a child that
    // inherited the variables is not it.
    const char* pid = std::getenv("WATCHDOG_PID");
    if (pid == nullptr || positiveNumber(pid) == static_cast<unsigned long long>(::getpid())) {
        link.watchdogInterval = std::chrono::microseconds(positiveNumber(std::getenv("WATCHDOG_USEC")));
    }
    return link;
}

ServiceNotifier::ServiceNotifier(const std::string& socketPath) {
    // A path, or an abstract name after '@'; the name must leave room for the
    // terminating NUL of a path.
    if (socketPath.size() < 2 || (socketPath[0] != '/' && socketPath[0] != '@') ||
        socketPath.size() >= sizeof(address.sun_path)) {
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    if (socketPath[0] == '@') {
        address.sun_path[0] = '\0';
    }
    addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());
    descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

ServiceNotifier::~ServiceNotifier() {
    if (descriptor != -1) {
        ::close(descriptor);
    }
}

bool ServiceNotifier::notify(std::string_view state) {
    if (descriptor == -1) {
        return false;
    }
    const ssize_t sent = ::sendto(descriptor, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), addressLength);
    return sent == static_cast<ssize_t>(state.size());
}

} // namespace VEMRA
