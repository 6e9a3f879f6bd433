// ctest-labels: threads e2e
// The program under a service manager: with NOTIFY_SOCKET naming a datagram
// socket of the test (as systemd's Type=notify does), it reports READY=1 once
// its Target answers, the number of DACs it offers, and WATCHDOG=1 only while
// every node's loop goes round. A DAC node held stuck through the test
// build's seam withholds WATCHDOG=1 until it is released.
#include "support/EndToEndRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace E2E;

// The service manager's end: a Unix datagram socket in a scratch directory
// that keeps every notice in the order it arrived. Test thread only.
class NotifyListener {
public:
    NotifyListener() {
        descriptor = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        socketPath = dir.path + "notify";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (dir.path.empty() || socketPath.size() >= sizeof(address.sun_path) || descriptor == -1) {
            return;
        }
        socketPath.copy(address.sun_path, socketPath.size());
        bound = ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }
    ~NotifyListener() {
        if (descriptor != -1) {
            ::close(descriptor);
        }
    }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    bool ok() const { return bound; }
    const std::string& path() const { return socketPath; }

    // Receives until `done(notices)` holds, for at most `timeout`.
    bool waitFor(const std::function<bool(const std::vector<std::string>&)>& done,
                 std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done(notices)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd ready{descriptor, POLLIN, 0};
            if (::poll(&ready, 1, static_cast<int>(std::min<long long>(left.count(), 200))) > 0) {
                char buffer[4096];
                const ssize_t length = ::recv(descriptor, buffer, sizeof(buffer), 0);
                if (length > 0) {
                    notices.emplace_back(buffer, static_cast<size_t>(length));
                }
            }
        }
        return true;
    }
    // Takes every notice already queued, without waiting.
    void drain() {
        pollfd ready{descriptor, POLLIN, 0};
        char buffer[4096];
        while (::poll(&ready, 1, 0) > 0) {
            const ssize_t length = ::recv(descriptor, buffer, sizeof(buffer), 0);
            if (length <= 0) {
                return;
            }
            notices.emplace_back(buffer, static_cast<size_t>(length));
        }
    }

    std::vector<std::string> notices; // every datagram so far, in arrival order

private:
    ScratchDir dir{"quorvel-notify"};
    std::string socketPath;
    int descriptor = -1;
    bool bound = false;
};

// Sets variables for the processes the test starts, and removes them again.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::vector<std::pair<std::string, std::string>> variables)
        : set(std::move(variables)) {
        for (const auto& [name, value] : set) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : set) {
            ::unsetenv(name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::vector<std::pair<std::string, std::string>> set;
};

constexpr const char* kWatchdog = "WATCHDOG=1";
constexpr const char* kOffered = "STATUS=DACs offered: 1";
constexpr const char* kHeldNode = "no progress: DAC node hw:1,0";

bool mentions(const std::string& notice, const char* text) {
    return notice.find(text) != std::string::npos;
}

// Notices from index `from` on that satisfy `match`.
size_t countFrom(const std::vector<std::string>& notices, size_t from,
                 const std::function<bool(const std::string&)>& match) {
    return static_cast<size_t>(std::count_if(
        notices.begin() + static_cast<long>(std::min(from, notices.size())), notices.end(), match));
}

// A condition for NotifyListener::waitFor: `text` has arrived.
std::function<bool(const std::vector<std::string>&)> arrived(const char* text) {
    return [text](const std::vector<std::string>& notices) {
        return std::any_of(notices.begin(), notices.end(),
                           [text](const auto& notice) { return notice == text; });
    };
}

// The index of the first notice from `from` on that satisfies `match`, or the size.
size_t findFrom(const std::vector<std::string>& notices, size_t from,
                const std::function<bool(const std::string&)>& match) {
    const auto begin = notices.begin() + static_cast<long>(std::min(from, notices.size()));
    return static_cast<size_t>(std::find_if(begin, notices.end(), match) - notices.begin());
}

class EndToEndWatchdog : public Rig {};

TEST_F(EndToEndWatchdog, ReadyStatusAndWatchdogFollowTheTargetAndItsNodes) {
    setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Watched DAC")}, {pacedDac(1)});
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    NotifyListener manager;
    ASSERT_TRUE(manager.ok());
    // A 6 s watchdog: WATCHDOG=1 is due every 1.5 s, and a loop that stands
    // still for 3 s withholds it.
    {
        ScopedEnvironment environment({{"NOTIFY_SOCKET", manager.path()}, {"WATCHDOG_USEC", "6000000"}});
        startDaemon();
    }
    const auto watchdogs = [](const std::string& notice) { return notice == kWatchdog; };

    // READY=1 comes once the Target answers: one round of discovery finds it.
    ASSERT_TRUE(manager.waitFor(arrived("READY=1"), kReady)) << daemon->output();
    std::vector<QUORVEL::TargetIdentity> found;
    net.host.run(
        [&] { found = QUORVEL::discoverTargets(VethNamespaces::kHostInterface, kDiscoveryPort, 3000ms); });
    ASSERT_EQ(found.size(), 1U) << "READY=1 before the Target answered";
    EXPECT_EQ(found.front().targetId, kVendorWord);

    // A DAC appears: the status counts it once its sink serves, and the
    // Host finds it.
    plug(1);
    ASSERT_TRUE(manager.waitFor(arrived(kOffered), kReady)) << daemon->output();
    const auto client = hostClient();
    ASSERT_TRUE(sinkPort(*client, 1));

    // Healthy: WATCHDOG=1 keeps coming.
    const size_t offeredAt =
        findFrom(manager.notices, 0, [](const auto& notice) { return notice == kOffered; });
    ASSERT_TRUE(manager.waitFor(
        [&](const auto& notices) { return countFrom(notices, offeredAt, watchdogs) >= 3; }, kReady));

    // The DAC node's thread is held before its next control turn. Each check
    // then names it instead of sending WATCHDOG=1.
    ASSERT_TRUE(daemon->writeFile("hold-dac-nodes", ""));
    ASSERT_TRUE(daemon->waitForOutput("test seam: holding hw:1,0", kReady));
    const size_t heldAt = manager.notices.size();
    const auto stalled = [](const std::string& notice) { return mentions(notice, kHeldNode); };
    ASSERT_TRUE(manager.waitFor([&](const auto& notices) { return countFrom(notices, heldAt, stalled) >= 4; },
                                kReady))
        << daemon->output();
    const size_t firstStall = findFrom(manager.notices, heldAt, stalled);
    EXPECT_EQ(countFrom(manager.notices, firstStall, watchdogs), 0U) << "WATCHDOG=1 while a node stood still";
    EXPECT_TRUE(mentions(manager.notices[firstStall], "DACs offered: 1"));
    EXPECT_FALSE(daemon->hasExited());

    // Released, the node goes round again and so does the watchdog.
    ASSERT_TRUE(std::filesystem::remove(daemon->directory() + "hold-dac-nodes"));
    ASSERT_TRUE(daemon->waitForOutput("test seam: releasing hw:1,0", kReady));
    const size_t releasedAt = manager.notices.size();
    ASSERT_TRUE(manager.waitFor(
        [&](const auto& notices) { return countFrom(notices, releasedAt, watchdogs) >= 2; }, kReady));
    EXPECT_GE(countFrom(manager.notices, releasedAt, [](const auto& notice) { return notice == kOffered; }),
              1U);

    // A Host's restart request ends the program on purpose; once it has
    // exited, everything it sent is queued, and STOPPING=1 is the last.
    restartRequest();
    manager.drain();
    ASSERT_FALSE(manager.notices.empty());
    EXPECT_EQ(manager.notices.back(), "STOPPING=1");
}

} // namespace
