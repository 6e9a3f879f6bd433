// ctest-labels: threads
#include "foundation/Socket.h"
#include "foundation/LocalAddresses.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <net/if.h>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using VEMRA::Socket;
using VEMRA::SocketAddress;

constexpr uint64_t kTwoSeconds = 2'000'000'000'000ULL;

// A UDP socket bound to [::1] on a port of the system's choosing.
struct BoundUdp {
    Socket socket;
    SocketAddress address = SocketAddress::loopback(0);

    explicit BoundUdp(uint32_t kind = Socket::UdpV6Only) {
        EXPECT_TRUE(socket.open(kind));
        EXPECT_TRUE(socket.bind(address, 0)) << socket.error();
    }
};

std::string receiveText(Socket& socket, SocketAddress& from) {
    if (socket.waitReadable(kTwoSeconds) != Socket::WaitReadable) {
        return "<nothing>";
    }
    std::array<char, 64> buffer{};
    size_t length = 0;
    if (!socket.receiveFrom(buffer.data(), buffer.size(), length, from)) {
        return "<error>";
    }
    return std::string(buffer.data(), length);
}

bool runCommand(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs `body` on a thread of its own in a private network namespace whose
// loopback is up and shaped by `qdisc` (tc words after "root"; empty for
// none). Nothing leaves that namespace, and it disappears with the thread.
void inPrivateNetwork(const std::vector<std::string>& qdisc, const std::function<void()>& body) {
    std::thread worker([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            ADD_FAILURE() << "unshare(CLONE_NEWNET): " << std::strerror(errno);
            return;
        }
        ASSERT_TRUE(runCommand({"ip", "link", "set", "lo", "up"}));
        if (!qdisc.empty()) {
            std::vector<std::string> words{"tc", "qdisc", "add", "dev", "lo", "root"};
            words.insert(words.end(), qdisc.begin(), qdisc.end());
            ASSERT_TRUE(runCommand(words));
        }
        body();
    });
    worker.join();
}

uint32_t loopbackIndex() {
    return if_nametoindex("lo");
}

TEST(Socket, OpenAppliesKindAndRejectsUnknownKinds) {
    Socket socket;
    EXPECT_FALSE(socket.open(6));
    EXPECT_FALSE(socket.isOpen());
    EXPECT_EQ(socket.error(), EINVAL);

    for (uint32_t kind : {Socket::UdpV6Only, Socket::UdpDualStack, Socket::TcpV6Only, Socket::TcpDualStack}) {
        ASSERT_TRUE(socket.open(kind));
        int v6only = -1;
        socklen_t length = sizeof(v6only);
        ASSERT_EQ(getsockopt(socket.descriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &v6only, &length), 0);
        const bool dual = kind == Socket::UdpDualStack || kind == Socket::TcpDualStack;
        EXPECT_EQ(v6only, dual ? 0 : 1) << "kind " << kind;
        EXPECT_TRUE(socket.isBlocking());
    }
    // Reopening closed the previous descriptor first: the new one is the only one.
    const int previous = socket.descriptor();
    ASSERT_TRUE(socket.open(Socket::UdpV6Only));
    EXPECT_EQ(socket.descriptor(), previous);
    EXPECT_TRUE(socket.close());
    EXPECT_FALSE(socket.isOpen());
}

TEST(Socket, BindFillsPortAndFixesLoopbackScope) {
    BoundUdp first;
    EXPECT_NE(first.address.hostPort(), 0);
    sockaddr_in6 bound{};
    socklen_t length = sizeof(bound);
    ASSERT_EQ(getsockname(first.socket.descriptor(), reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(bound.sin6_port, first.address.port);

    // ::1 with scope 0 takes the loopback interface's index, also as the
    // multicast interface.
    ASSERT_NE(loopbackIndex(), 0u);
    EXPECT_EQ(first.socket.boundScope(), loopbackIndex());
    unsigned int multicastInterface = 0;
    length = sizeof(multicastInterface);
    ASSERT_EQ(
        getsockopt(first.socket.descriptor(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &multicastInterface, &length),
        0);
    EXPECT_EQ(multicastInterface, loopbackIndex());

    // The unspecified address has no scope: the override is cleared.
    Socket any;
    ASSERT_TRUE(any.open(Socket::UdpV6Only));
    SocketAddress unspecified;
    ASSERT_TRUE(any.bind(unspecified, 0));
    EXPECT_EQ(any.boundScope(), 0u);
    EXPECT_NE(unspecified.hostPort(), 0);

    // A datagram port the system chose is not shared, although SO_REUSEADDR
    // is one of the common options: another socket taking it would receive
    // the answers meant for this one.
    Socket thief;
    ASSERT_TRUE(thief.open(Socket::UdpV6Only));
    SocketAddress chosen = first.address;
    EXPECT_FALSE(thief.bind(chosen, 0)) << "a second socket took the chosen port";
    EXPECT_EQ(thief.error(), EADDRINUSE);

    // A listening port that is taken fails and keeps the error number.
    Socket listener;
    ASSERT_TRUE(listener.open(Socket::TcpDualStack));
    SocketAddress taken = SocketAddress::loopback(0);
    ASSERT_TRUE(listener.bind(taken, 1));
    EXPECT_EQ(listener.boundScope(), loopbackIndex());
    Socket clash;
    ASSERT_TRUE(clash.open(Socket::TcpDualStack));
    EXPECT_FALSE(clash.bind(taken, 1));
    EXPECT_EQ(clash.error(), EADDRINUSE);
}

TEST(Socket, ReceiveFromReportsIdleSocketAndSender) {
    BoundUdp receiver;
    BoundUdp sender;
    ASSERT_TRUE(receiver.socket.setBlocking(false));
    EXPECT_FALSE(receiver.socket.isBlocking());

    std::array<uint8_t, 32> buffer{};
    size_t length = 99;
    SocketAddress from;
    EXPECT_TRUE(receiver.socket.receiveFrom(buffer.data(), buffer.size(), length, from));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(receiver.socket.waitReadable(1'000'000'000ULL), Socket::WaitTimeout);

    ASSERT_TRUE(sender.socket.sendTo("abc", 3, receiver.address, false));
    EXPECT_EQ(receiveText(receiver.socket, from), "abc");
    EXPECT_TRUE(from.isLoopback());
    EXPECT_EQ(from.port, sender.address.port);

    // receiveFromInto sizes the vector to the datagram.
    receiver.socket.setReceiveBufferSize(100);
    ASSERT_TRUE(sender.socket.sendTo("hello", 5, receiver.address, false));
    ASSERT_EQ(receiver.socket.waitReadable(kTwoSeconds), Socket::WaitReadable);
    std::vector<uint8_t> bytes;
    ASSERT_TRUE(receiver.socket.receiveFromInto(bytes, from));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "hello");

    Socket closed;
    EXPECT_FALSE(closed.receiveFrom(buffer.data(), buffer.size(), length, from));
    EXPECT_EQ(closed.error(), EBADF);
    EXPECT_EQ(closed.waitReadable(0), Socket::WaitError);
}

TEST(Socket, SendToUsesAddressOnceAndRestoresPeer) {
    BoundUdp sender;
    BoundUdp peer;
    BoundUdp other;
    sender.socket.setPeer(peer.address);

    ASSERT_TRUE(sender.socket.sendTo("other", 5, other.address, true));
    SocketAddress from;
    EXPECT_EQ(receiveText(other.socket, from), "other");

    // The stored peer is back (with the bound loopback scope) and still used.
    EXPECT_EQ(sender.socket.peerAddress().address, peer.address.address);
    EXPECT_EQ(sender.socket.peerAddress().port, peer.address.port);
    ASSERT_TRUE(sender.socket.sendToPeer("peer", 4, false));
    EXPECT_EQ(receiveText(peer.socket, from), "peer");
    EXPECT_EQ(other.socket.waitReadable(0), Socket::WaitTimeout);
}

TEST(Socket, StreamReceiveSeesDataIdleAndPeerClose) {
    Socket listener;
    ASSERT_TRUE(listener.open(Socket::TcpV6Only));
    SocketAddress address = SocketAddress::loopback(0);
    ASSERT_TRUE(listener.bind(address, 4));
    EXPECT_NE(address.hostPort(), 0);

    const int client = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    sockaddr_in6 target{};
    address.toSockaddr(target);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 0);

    Socket accepted;
    SocketAddress peer;
    ASSERT_TRUE(listener.accept(accepted, peer));
    EXPECT_TRUE(peer.isLoopback());
    sockaddr_in6 clientName{};
    socklen_t length = sizeof(clientName);
    ASSERT_EQ(getsockname(client, reinterpret_cast<sockaddr*>(&clientName), &length), 0);
    EXPECT_EQ(peer.port, clientName.sin6_port);

    ASSERT_TRUE(accepted.setBlocking(false));
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(accepted.receiveInto(bytes));
    EXPECT_TRUE(bytes.empty());

    ASSERT_TRUE(accepted.send("Stop\r\n", 6));
    std::array<char, 16> text{};
    ASSERT_EQ(recv(client, text.data(), text.size(), 0), 6);
    EXPECT_STREQ(text.data(), "Stop\r\n");

    ASSERT_EQ(::send(client, "xy", 2, 0), 2);
    ASSERT_EQ(accepted.waitReadable(kTwoSeconds), Socket::WaitReadable);
    EXPECT_TRUE(accepted.receiveInto(bytes));
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "xy");

    ::close(client);
    ASSERT_EQ(accepted.waitReadable(kTwoSeconds), Socket::WaitReadable);
    EXPECT_FALSE(accepted.receiveInto(bytes));
    // A send to the closed peer is an error result, never a SIGPIPE.
    for (int attempt = 0; attempt < 3 && accepted.send("Play\r\n", 6); ++attempt) {
    }
    EXPECT_FALSE(accepted.send("Play\r\n", 6));
}

TEST(Socket, MovedSocketKeepsDescriptorOnce) {
    BoundUdp original;
    const int fd = original.socket.descriptor();
    Socket moved(std::move(original.socket));
    EXPECT_EQ(moved.descriptor(), fd);
    EXPECT_FALSE(original.socket.isOpen());
    Socket assigned;
    ASSERT_TRUE(assigned.open(Socket::UdpV6Only));
    assigned = std::move(moved);
    EXPECT_EQ(assigned.descriptor(), fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC);
}

// With the loopback rate-limited, a tiny send buffer fills up: a plain send
// reports EAGAIN, the retrying send blocks for each datagram instead and loses
// none, and the socket is non-blocking again afterwards.
TEST(Socket, RetryingSendWaitsForBufferSpaceAndLosesNothing) {
    inPrivateNetwork({"tbf", "rate", "1mbit", "burst", "10kb", "limit", "4mb"}, [] {
        BoundUdp receiver;
        const int receiveBuffer = 4 * 1024 * 1024;
        ASSERT_EQ(setsockopt(receiver.socket.descriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer,
                             sizeof(receiveBuffer)),
                  0);
        BoundUdp sender;
        const int sendBuffer = 4096;
        ASSERT_EQ(
            setsockopt(sender.socket.descriptor(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof(sendBuffer)),
            0);
        ASSERT_TRUE(sender.socket.setBlocking(false));

        std::array<uint8_t, 1000> datagram{};
        uint32_t sequence = 0;
        bool full = false;
        while (!full && sequence < 1000) {
            std::memcpy(datagram.data(), &sequence, sizeof(sequence));
            if (sender.socket.sendTo(datagram.data(), datagram.size(), receiver.address, false)) {
                ++sequence;
            } else {
                full = true;
            }
        }
        ASSERT_TRUE(full) << "the send buffer never filled";
        EXPECT_TRUE(sender.socket.error() == EAGAIN || sender.socket.error() == ENOBUFS)
            << sender.socket.error();

        const uint32_t total = sequence + 40;
        for (; sequence < total; ++sequence) {
            std::memcpy(datagram.data(), &sequence, sizeof(sequence));
            ASSERT_TRUE(sender.socket.sendTo(datagram.data(), datagram.size(), receiver.address, true))
                << sender.socket.error();
        }
        EXPECT_FALSE(sender.socket.isBlocking());
        EXPECT_NE(fcntl(sender.socket.descriptor(), F_GETFL) & O_NONBLOCK, 0);

        uint32_t expected = 0;
        while (expected < total && receiver.socket.waitReadable(kTwoSeconds) == Socket::WaitReadable) {
            size_t length = 0;
            SocketAddress from;
            ASSERT_TRUE(receiver.socket.receiveFrom(datagram.data(), datagram.size(), length, from));
            ASSERT_EQ(length, datagram.size());
            uint32_t received = 0;
            std::memcpy(&received, datagram.data(), sizeof(received));
            ASSERT_EQ(received, expected);
            ++expected;
        }
        EXPECT_EQ(expected, total);
    });
}

// IPv4 kinds take IPv4-mapped records; IPv4 senders come back IPv4-mapped.
TEST(Socket, SendToNowMakesOneAttemptAndTheQueueIsVisible) {
    BoundUdp sender;
    BoundUdp receiver;
    EXPECT_EQ(sender.socket.queuedBytes(), 0);
    const int granted = sender.socket.setSendBufferSize(256 * 1024);
    EXPECT_GE(granted, 256 * 1024) << "root may force it past the system's limit; Linux doubles it";
    ASSERT_TRUE(sender.socket.isBlocking());
    ASSERT_TRUE(sender.socket.sendToNow("now", 3, receiver.address));
    SocketAddress from;
    EXPECT_EQ(receiveText(receiver.socket, from), "now");
    EXPECT_EQ(from.port, sender.address.port);
    // A destination the kernel refuses: one failed attempt with its error number.
    SocketAddress portZero = SocketAddress::loopback(0);
    EXPECT_FALSE(sender.socket.sendToNow("x", 1, portZero));
    EXPECT_EQ(sender.socket.error(), EINVAL);
    Socket closed;
    EXPECT_FALSE(closed.sendToNow("x", 1, receiver.address));
    EXPECT_EQ(closed.queuedBytes(), -1);
}

TEST(Socket, IPv4KindsUseMappedRecords) {
    inPrivateNetwork({}, [] {
        Socket receiver;
        ASSERT_TRUE(receiver.open(Socket::UdpV4));
        SocketAddress local{};
        local.address = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
        ASSERT_TRUE(receiver.bind(local, 0)) << receiver.error();
        EXPECT_NE(local.hostPort(), 0);

        BoundUdp v6Only(Socket::UdpV6Only);
        EXPECT_FALSE(receiver.sendTo("x", 1, v6Only.address, false));
        EXPECT_EQ(receiver.error(), EAFNOSUPPORT);

        Socket sender;
        ASSERT_TRUE(sender.open(Socket::UdpDualStack));
        ASSERT_TRUE(sender.sendTo("v4", 2, local, false)) << sender.error();
        SocketAddress from;
        EXPECT_EQ(receiveText(receiver, from), "v4");
        EXPECT_TRUE(from.isV4Mapped());
        EXPECT_EQ(from.address[12], 127);
        EXPECT_EQ(from.address[15], 1);

        ASSERT_TRUE(receiver.sendTo("back", 4, from, false)) << receiver.error();
        EXPECT_EQ(receiveText(sender, from), "back");
    });
}

TEST(LocalAddresses, ListLoopbackWithItsIndex) {
    std::map<SocketAddress, std::string> addresses;
    addresses[SocketAddress::loopback(7)] = "stale";
    ASSERT_TRUE(VEMRA::localAddresses(addresses));
    SocketAddress loopback = SocketAddress::loopback(0);
    loopback.scope = loopbackIndex();
    ASSERT_EQ(addresses.count(loopback), 1u);
    EXPECT_EQ(addresses[loopback], "lo");
    EXPECT_EQ(addresses.count(SocketAddress::loopback(7)), 0u);
    for (const auto& [key, name] : addresses) {
        EXPECT_EQ(key.port, 0);
        EXPECT_EQ(key.scope, if_nametoindex(name.c_str()));
    }

    std::map<SocketAddress, std::string> linkLocal;
    ASSERT_TRUE(VEMRA::linkLocalAddresses(linkLocal, false));
    EXPECT_EQ(linkLocal.count(loopback), 0u);
    for (const auto& [key, name] : linkLocal) {
        EXPECT_TRUE(key.isLinkLocal());
        EXPECT_EQ(addresses.count(key), 1u);
    }
    ASSERT_TRUE(VEMRA::linkLocalAddresses(linkLocal, true));
    EXPECT_EQ(linkLocal.count(loopback), 1u);
}

} // namespace
