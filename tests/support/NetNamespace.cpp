#include "support/NetNamespace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

constexpr auto kCommandLimit = std::chrono::seconds(10);

// Waits for the child by its pid; kills it (by that pid) if it hangs.
bool waitChild(pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + kCommandLimit;
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (done < 0 && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace

NetNamespace::NetNamespace() {
    // unshare moves only the calling thread, so a helper thread creates the
    // namespace and hands back a descriptor that keeps it alive.
    std::thread maker([this] {
        if (::unshare(CLONE_NEWNET) == 0) {
            fd = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        }
    });
    maker.join();
}

NetNamespace::~NetNamespace() {
    if (fd != -1) {
        ::close(fd);
    }
}

bool NetNamespace::run(const std::function<void()>& body) const {
    bool entered = false;
    std::thread runner([&] {
        if (fd != -1 && ::setns(fd, CLONE_NEWNET) == 0) {
            entered = true;
            body();
        }
    });
    runner.join();
    return entered;
}

bool NetNamespace::command(const std::vector<std::string>& arguments) const {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    bool ok = false;
    // The child inherits the namespace of the thread that spawns it.
    const bool entered = run([&] {
        pid_t child = -1;
        if (::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
            ok = waitChild(child);
        }
    });
    return entered && ok;
}

std::string NetNamespace::path() const {
    return "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(fd);
}

uint32_t NetNamespace::interfaceIndex(const std::string& name) const {
    uint32_t index = 0;
    run([&] { index = ::if_nametoindex(name.c_str()); });
    return index;
}

bool VethNamespaces::setUp(std::string& failure) {
    if (!target.isValid() || !host.isValid()) {
        failure = "cannot create a network namespace";
        return false;
    }
    const std::string hostPath = host.path();
    const std::vector<std::vector<std::string>> targetSteps = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "link", "add", kTargetInterface, "type", "veth", "peer", "name", kHostInterface, "netns",
         hostPath},
        {"ip", "link", "set", kTargetInterface, "addrgenmode", "none"},
        {"ip", "-6", "addr", "add", std::string(kTargetAddress) + "/64", "dev", kTargetInterface, "nodad"},
        {"ip", "link", "set", kTargetInterface, "up"},
        {"ip", "-6", "route", "replace", "multicast", "ff00::/8", "dev", kTargetInterface, "table", "local"},
    };
    const std::vector<std::vector<std::string>> hostSteps = {
        {"ip", "link", "set", "lo", "up"},
        {"ip", "link", "set", kHostInterface, "addrgenmode", "none"},
        {"ip", "-6", "addr", "add", std::string(kHostAddress) + "/64", "dev", kHostInterface, "nodad"},
        {"ip", "link", "set", kHostInterface, "up"},
        // The kernel does not always add the multicast route for an interface
        // that arrived from another namespace; without it ff02::1 is unreachable.
        {"ip", "-6", "route", "replace", "multicast", "ff00::/8", "dev", kHostInterface, "table", "local"},
    };
    const auto runSteps = [&](const NetNamespace& space, const std::vector<std::vector<std::string>>& steps) {
        for (const auto& step : steps) {
            if (!space.command(step)) {
                failure.clear();
                for (const auto& word : step) {
                    failure += word + " ";
                }
                failure += "failed";
                return false;
            }
        }
        return true;
    };
    return runSteps(target, targetSteps) && runSteps(host, hostSteps);
}

bool runningAsRoot() {
    return ::geteuid() == 0;
}
