#include "foundation/TCPV6Server.h"
#include "foundation/SocketWaitSet.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

using VEMRA::SocketAddress;
using VEMRA::SocketWaitSet;
using VEMRA::TCPV6Server;

constexpr uint64_t kTwoSeconds = 2'000'000'000'000ULL;
constexpr uint64_t kTenMilliseconds = 10'000'000'000ULL;

// The far end: a plain connected socket with a bounded read.
class Peer {
public:
    explicit Peer(const SocketAddress& server) {
        fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in6 target{};
        server.toSockaddr(target);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) == 0;
        sockaddr_in6 local{};
        socklen_t length = sizeof(local);
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = local.sin6_port;
    }
    ~Peer() { closeNow(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void closeNow() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    bool write(const std::string& text) {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    // Up to `count` bytes; "" at end of stream, "<timeout>" when nothing came.
    std::string read(size_t count) {
        std::string text;
        std::array<char, 64> buffer{};
        while (text.size() < count) {
            const ssize_t got = recv(fd, buffer.data(), std::min(buffer.size(), count - text.size()), 0);
            if (got < 0) {
                return text.empty() ? "<timeout>" : text;
            }
            if (got == 0) {
                break;
            }
            text.append(buffer.data(), size_t(got));
        }
        return text;
    }

    int fd = -1;
    bool connected = false;
    uint16_t port = 0;
};

// While it lives the process can open no further descriptor: the soft limit
// is lowered to the lowest free descriptor number.
class NoFreeDescriptor {
public:
    NoFreeDescriptor() {
        getrlimit(RLIMIT_NOFILE, &saved);
        const int lowest = dup(0);
        ::close(lowest);
        rlimit lowered = saved;
        lowered.rlim_cur = static_cast<rlim_t>(lowest);
        applied = lowest >= 0 && setrlimit(RLIMIT_NOFILE, &lowered) == 0;
    }
    ~NoFreeDescriptor() { setrlimit(RLIMIT_NOFILE, &saved); }
    NoFreeDescriptor(const NoFreeDescriptor&) = delete;
    NoFreeDescriptor& operator=(const NoFreeDescriptor&) = delete;

    rlimit saved{};
    bool applied = false;
};

class TCPV6ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.open(true));
        ASSERT_TRUE(server.bind(address));
        ASSERT_NE(address.hostPort(), 0);
    }

    // Waits for the pending connection and keeps it, greeting it with "Stop\r\n".
    void acceptGreeting() {
        ASSERT_EQ(waitSet.wait(kTwoSeconds), SocketWaitSet::Ready);
        ASSERT_TRUE(
            server.accept([](TCPV6Server::Client& client) { return client.socket->send("Stop\r\n", 6); }));
    }

    SocketWaitSet waitSet;
    TCPV6Server server{waitSet};
    SocketAddress address = SocketAddress::loopback(0);
};

TEST_F(TCPV6ServerTest, AcceptWithoutPendingConnectionDoesNothing) {
    EXPECT_FALSE(waitSet.isEmpty());
    EXPECT_EQ(waitSet.wait(kTenMilliseconds), SocketWaitSet::Timeout);
    bool called = false;
    EXPECT_TRUE(server.accept([&](TCPV6Server::Client&) { return called = true; }));
    EXPECT_FALSE(called);
    EXPECT_TRUE(server.clientList().empty());
    EXPECT_EQ(server.count(), 0u);
}

TEST_F(TCPV6ServerTest, RejectedClientIsClosedAndNotCounted) {
    Peer peer(address);
    ASSERT_TRUE(peer.connected);
    ASSERT_EQ(waitSet.wait(kTwoSeconds), SocketWaitSet::Ready);
    SocketAddress seen;
    EXPECT_TRUE(server.accept([&](TCPV6Server::Client& client) {
        seen = client.peer;
        return false;
    }));
    EXPECT_TRUE(seen.isLoopback());
    EXPECT_EQ(seen.port, peer.port);
    EXPECT_EQ(server.count(), 0u);
    EXPECT_TRUE(server.clientList().empty());
    EXPECT_EQ(peer.read(1), "");
}

TEST_F(TCPV6ServerTest, ServesClientsAndDropsTheOneThatLeft) {
    Peer first(address);
    acceptGreeting();
    Peer second(address);
    acceptGreeting();
    Peer third(address);
    acceptGreeting();
    ASSERT_EQ(server.count(), 3u);
    std::vector<uint16_t> order;
    for (const auto& client : server.clientList()) {
        EXPECT_EQ(client.server, &server);
        order.push_back(client.peer.port);
    }
    EXPECT_EQ(order, (std::vector<uint16_t>{first.port, second.port, third.port}));

    server.broadcast("Play\r\n", 6);
    for (Peer* peer : {&first, &second, &third}) {
        EXPECT_EQ(peer->read(12), "Stop\r\nPlay\r\n");
    }

    first.closeNow();
    ASSERT_TRUE(second.write("ignored"));
    std::vector<uint16_t> called;
    auto readAndKeep = [&](TCPV6Server::Client& client) {
        called.push_back(client.peer.port);
        return client.socket->receiveInto(client.socket->buffer);
    };
    // Both events may take a moment to show on the server's side.
    while (called.size() < 2 && waitSet.wait(kTwoSeconds) == SocketWaitSet::Ready) {
        ASSERT_TRUE(server.receive(readAndKeep));
        if (server.count() == 2 && !server.clientList().front().socket->buffer.empty()) {
            break;
        }
    }
    EXPECT_EQ(server.count(), 2u);
    ASSERT_EQ(server.clientList().size(), 2u);
    EXPECT_EQ(server.clientList().front().peer.port, second.port);
    const auto& buffer = server.clientList().front().socket->buffer;
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "ignored");
    EXPECT_EQ(std::count(called.begin(), called.end(), third.port), 0);

    // The dropped client's socket left the wait set; the rest still hear broadcasts.
    server.broadcast("Stop\r\n", 6);
    EXPECT_EQ(second.read(6), "Stop\r\n");
    EXPECT_EQ(third.read(6), "Stop\r\n");
}

// With no descriptor left, accept fails and the connection stays queued, so
// the listener stays readable: an owner that waits again at once would spin.
// The server stops polling the listener for a while instead, and takes the
// connection once descriptors are back.
TEST_F(TCPV6ServerTest, FailingAcceptPausesTheListenerInsteadOfSpinning) {
    Peer waiting(address);
    ASSERT_TRUE(waiting.connected);
    ASSERT_EQ(waitSet.wait(kTwoSeconds), SocketWaitSet::Ready);
    auto keep = [](TCPV6Server::Client& client) { return client.socket->send("Stop\r\n", 6); };
    {
        NoFreeDescriptor exhausted;
        ASSERT_TRUE(exhausted.applied);
        EXPECT_FALSE(server.accept(keep));
        EXPECT_EQ(server.error(), EMFILE);
    }
    EXPECT_EQ(waitSet.wait(0), SocketWaitSet::Timeout) << "the listener is still polled";
    EXPECT_TRUE(server.accept(keep));
    EXPECT_EQ(server.count(), 0u);

    for (int pass = 0; pass < 100 && server.count() == 0; ++pass) {
        waitSet.wait(kTenMilliseconds * 10);
        ASSERT_TRUE(server.accept(keep));
    }
    ASSERT_EQ(server.count(), 1u);
    EXPECT_EQ(waiting.read(6), "Stop\r\n");
}

// A bounded number of clients: the newest is kept, the oldest dropped.
TEST_F(TCPV6ServerTest, ClientLimitDropsTheOldest) {
    server.setClientLimit(2);
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<Peer>(address));
        acceptGreeting();
    }
    ASSERT_EQ(server.count(), 2u);
    ASSERT_EQ(server.clientList().size(), 2u);
    EXPECT_EQ(server.clientList().front().peer.port, peers[1]->port);
    EXPECT_EQ(server.clientList().back().peer.port, peers[2]->port);
    EXPECT_EQ(peers[0]->read(7), "Stop\r\n") << "greeted, then closed";
    server.broadcast("Play\r\n", 6);
    EXPECT_EQ(peers[1]->read(12), "Stop\r\nPlay\r\n");
    EXPECT_EQ(peers[2]->read(12), "Stop\r\nPlay\r\n");
}

TEST_F(TCPV6ServerTest, CloseEmptiesListAndWaitSet) {
    Peer first(address);
    acceptGreeting();
    Peer second(address);
    acceptGreeting();
    Peer third(address);
    acceptGreeting();
    ASSERT_EQ(server.count(), 3u);

    EXPECT_TRUE(server.close());
    EXPECT_TRUE(server.clientList().empty());
    EXPECT_EQ(server.count(), 0u);
    EXPECT_TRUE(waitSet.isEmpty());
    EXPECT_FALSE(server.isOpen());
    for (Peer* peer : {&first, &second, &third}) {
        EXPECT_EQ(peer->read(7), "Stop\r\n");
    }
    // The port is free again for a reopened server.
    ASSERT_TRUE(server.open(false));
    EXPECT_TRUE(server.bind(address));
}

TEST_F(TCPV6ServerTest, CallbacksMayDropEveryClientOrCloseTheServer) {
    Peer first(address);
    acceptGreeting();
    Peer second(address);
    acceptGreeting();
    ASSERT_TRUE(first.write("a"));
    ASSERT_TRUE(second.write("b"));
    // Wait until both clients have something to read.
    for (int pass = 0; pass < 50; ++pass) {
        ASSERT_EQ(waitSet.wait(kTwoSeconds), SocketWaitSet::Ready);
        int ready = 0;
        for (const auto& client : server.clientList()) {
            ready += waitSet.isReady(*client.socket) ? 1 : 0;
        }
        if (ready == 2) {
            break;
        }
        usleep(1000);
    }
    int calls = 0;
    EXPECT_TRUE(server.receive([&](TCPV6Server::Client&) {
        ++calls;
        return false;
    }));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(server.count(), 0u);
    EXPECT_EQ(first.read(7), "Stop\r\n");

    Peer third(address);
    acceptGreeting();
    Peer fourth(address);
    acceptGreeting();
    ASSERT_TRUE(third.write("c"));
    ASSERT_TRUE(fourth.write("d"));
    usleep(20000);
    ASSERT_EQ(waitSet.wait(kTwoSeconds), SocketWaitSet::Ready);
    calls = 0;
    EXPECT_TRUE(server.receive([&](TCPV6Server::Client&) {
        ++calls;
        server.close();
        return true;
    }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(server.count(), 0u);
    EXPECT_TRUE(waitSet.isEmpty());
}

TEST_F(TCPV6ServerTest, DetachedSocketLeavesServerAndWaitSet) {
    Peer peer(address);
    acceptGreeting();
    ASSERT_EQ(peer.read(6), "Stop\r\n");
    auto& client = const_cast<TCPV6Server::Client&>(server.clientList().front());
    std::unique_ptr<TCPV6Server::ClientSocket> socket = server.detach(client);
    ASSERT_TRUE(socket);
    EXPECT_EQ(client.socket, nullptr);

    ASSERT_TRUE(peer.write("x"));
    EXPECT_EQ(socket->waitReadable(kTwoSeconds), VEMRA::Socket::WaitReadable);
    EXPECT_EQ(waitSet.wait(kTenMilliseconds), SocketWaitSet::Timeout);
    EXPECT_TRUE(server.receive([](TCPV6Server::Client&) {
        ADD_FAILURE() << "detached client handed to the callback";
        return true;
    }));
    server.broadcast("Play\r\n", 6);
    server.close();
    // The detached socket belongs to the caller and still works.
    ASSERT_TRUE(socket->send("mine", 4));
    EXPECT_EQ(peer.read(4), "mine");
}

} // namespace
