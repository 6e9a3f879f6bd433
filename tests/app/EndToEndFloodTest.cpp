// ctest-labels: threads e2e
// The running program under floods of cheap datagrams from its link: forged
// sources nobody owns (whose answers wait in the kernel's neighbour queue),
// twenty thousand "Hosts" that each set a synchro name, and one Host that
// asks for the largest answers as fast as it can. Genuine Hosts must still
// be answered, registrations must not expire, memory must not grow with the
// number of sources, and no source may earn answers without bound.
#include "protocol/MessageCode.h"
#include "support/EndToEndRig.h"
#include "support/ProcessFigures.h"
#include "support/SpoofedUdp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace E2E;

constexpr uint16_t kDeskPort = 19644;
constexpr uint16_t kLargestIcon = 1;    // logo.png, 64 x 64 pixels of four bytes
constexpr uint16_t kWholeIcon = 0xFFFF; // count mode: as many pixels as there are
constexpr size_t kLargestIconBytes = 16384;

std::vector<uint8_t> bytesOf(QUORVEL::Send& message) {
    message.prepare();
    const auto bytes = message.bytes();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// fe80::<tag>:<high>:<low>, a link-local address nobody on the link owns.
VEMRA::SocketAddress strangerAddress(uint16_t tag, uint32_t number, uint16_t port, uint32_t scope) {
    VEMRA::SocketAddress address;
    address.address[0] = 0xFE;
    address.address[1] = 0x80;
    address.address[10] = static_cast<uint8_t>(tag >> 8);
    address.address[11] = static_cast<uint8_t>(tag);
    address.address[12] = static_cast<uint8_t>(number >> 24);
    address.address[13] = static_cast<uint8_t>(number >> 16);
    address.address[14] = static_cast<uint8_t>(number >> 8);
    address.address[15] = static_cast<uint8_t>(number);
    address.setHostPort(port);
    address.scope = scope;
    return address;
}

class EndToEndFlood : public Rig {
protected:
    void startWithDesk() {
        setUpRig("quorvel_app_target_testbuild", {namedCard(1, "Desk DAC")}, {pacedDac(1)});
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        // The icons the program ships, beside it as installed.
        for (const char* name : {"logo.png", "logo_s.png", "logo_m.png", "logo_m_s.png"}) {
            std::error_code error;
            std::filesystem::copy_file(std::string(QUORVEL_SOURCE_DIR) + "/packaging/icons/" + name,
                                       daemon->directory() + name, error);
            ASSERT_FALSE(error) << name;
        }
        plug(1);
        startDaemon();
        host = hostClient();
        const auto desk = sinkPort(*host, 1);
        ASSERT_TRUE(desk) << daemon->output();
        ASSERT_EQ(desk->port, kDeskPort);
        spoofer = std::make_unique<SpoofedUdp>(net.host);
        ASSERT_TRUE(spoofer->isOpen()) << spoofer->error();
    }

    VEMRA::SocketAddress onTarget(uint16_t port) const {
        return *QUORVEL::hostEndpoint(VethNamespaces::kTargetAddress, port, hostIndex);
    }

    std::unique_ptr<QUORVEL::HostClient> host;
    std::unique_ptr<SpoofedUdp> spoofer;
};

// 20 forged ICON_REQ a second for the whole icon (16 KB answers) to the
// Target and 200 forged SINK_INFO_REQ a second to the sink, each from an
// address nobody owns, for 20 s. Every answer to them waits three seconds in
// the kernel's neighbour queue before it is dropped.
TEST_F(EndToEndFlood, ForgedSourcesNobodyOwnsDoNotStallTheAnswers) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    constexpr auto kFlood = std::chrono::seconds(20);
    constexpr int kGenuine = 10;
    QUORVEL::Send iconRequest(QUORVEL::ICON_REQ, 0, kLargestIcon, 1, 1, kWholeIcon);
    const auto icon = bytesOf(iconRequest);
    QUORVEL::Send infoRequest(QUORVEL::SINK_INFO_REQ, 0);
    const auto info = bytesOf(infoRequest);

    std::atomic<bool> flooding{true};
    std::atomic<uint64_t> forged{0};
    std::thread flood([&] {
        uint32_t number = 0;
        auto next = std::chrono::steady_clock::now();
        while (flooding.load()) {
            spoofer->send(strangerAddress(0x1, ++number, 40000, hostIndex), onTarget(kDiscoveryPort), icon);
            for (int i = 0; i < 10; ++i) {
                spoofer->send(strangerAddress(0x2, ++number, 40000, hostIndex), onTarget(kDeskPort), info);
            }
            forged += 11;
            next += 50ms;
            std::this_thread::sleep_until(next);
        }
    });

    auto sink = sinkClient(kDeskPort);
    int targetAnswered = 0;
    int sinkAnswered = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kGenuine; ++i) {
        std::this_thread::sleep_until(start + (i + 1) * kFlood / (kGenuine + 1));
        QUORVEL::Send version(QUORVEL::VERSION_REQ, 0);
        if (host->socket().request(version, host->target(), QUORVEL::VERSION_ANS, 1000ms)) {
            ++targetAnswered;
        }
        QUORVEL::Send sinkInfo(QUORVEL::SINK_INFO_REQ, 0);
        if (sink->request(sinkInfo, QUORVEL::SINK_INFO_ANS, 1000ms)) {
            ++sinkAnswered;
        }
    }
    std::this_thread::sleep_until(start + kFlood);
    flooding = false;
    flood.join();

    std::cout << forged.load() << " forged datagrams in " << kFlood.count() << " s; genuine answered: Target "
              << targetAnswered << " of " << kGenuine << ", sink " << sinkAnswered << " of " << kGenuine
              << std::endl;
    EXPECT_GE(targetAnswered, 9);
    EXPECT_GE(sinkAnswered, 9);
    EXPECT_EQ(daemon->countOutput("Unregist out Port"), 0U) << "a sink registration expired";
    EXPECT_EQ(daemon->countOutput("Unregist status Port"), 0U) << "a status registration expired";
    EXPECT_EQ(daemon->countOutput("controlLoop exit"), 0U);
    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();
}

// 2001:db8::<number>, a documentation address the target's namespace has no
// route to: its answers fail at once instead of waiting for a neighbour.
VEMRA::SocketAddress routelessAddress(uint32_t number, uint16_t port) {
    VEMRA::SocketAddress address = strangerAddress(0, number, port, 0);
    address.address[0] = 0x20;
    address.address[1] = 0x01;
    address.address[2] = 0x0D;
    address.address[3] = 0xB8;
    return address;
}

// SYNCNAME_SET from 20 000 forged Host addresses, each with a long name.
TEST_F(EndToEndFlood, SynchroNamesFromManySourcesDoNotGrowMemory) {
    // AddressSanitizer holds freed blocks back in a quarantine of up to
    // 256 MB, which would read here as growth: the daemon of this test keeps
    // none (the option means nothing to other builds).
    const char* inherited = std::getenv("ASAN_OPTIONS");
    const std::string options = std::string(inherited != nullptr ? inherited : "") +
                                ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
    ASSERT_EQ(::setenv("ASAN_OPTIONS", options.c_str(), 1), 0);
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    // 5 000 sources of 1 400-byte names: 7 MB if each address kept its name.
    constexpr uint32_t kSources = 5000;
    constexpr uint32_t kBatch = 50;
    const std::string longName(1400, 'n');
    QUORVEL::SendBuffer syncName;
    syncName.setHeader(QUORVEL::SYNCNAME_SET, 0, 0x1122334455667788ULL);
    syncName.setPayload(longName.data(), longName.size());
    const auto datagram = bytesOf(syncName);

    // Warm up the allocator with the same traffic first.
    auto sendBatch = [&](uint32_t first, uint32_t count) {
        for (uint32_t i = 0; i < count; ++i) {
            spoofer->send(routelessAddress(first + i, 40000), onTarget(kDiscoveryPort), datagram);
        }
        // The Target takes datagrams in order: once this is answered, the
        // batch was handled. Its worker runs in the idle class, so on a busy
        // machine the answer may take seconds; it must come, though.
        QUORVEL::Send version(QUORVEL::VERSION_REQ, 0);
        return host->socket().request(version, host->target(), QUORVEL::VERSION_ANS, kReady).has_value();
    };
    for (uint32_t first = 0; first < 500; first += kBatch) {
        ASSERT_TRUE(sendBatch(1000000 + first, kBatch)) << "the Target stopped answering";
    }
    const auto before = residentKilobytes(daemon->pid());
    ASSERT_TRUE(before);
    for (uint32_t first = 0; first < kSources; first += kBatch) {
        ASSERT_TRUE(sendBatch(first, kBatch)) << "the Target stopped answering";
    }
    const auto after = residentKilobytes(daemon->pid());
    ASSERT_TRUE(after);
    const int64_t grown = static_cast<int64_t>(*after) - static_cast<int64_t>(*before);
    std::cout << "RSS " << *before << " kB before, " << *after << " kB after " << kSources
              << " SYNCNAME_SET sources (" << grown << " kB)" << std::endl;
    EXPECT_LT(grown, 3 * 1024) << "memory grew with the number of sources";
    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();
}

// A Host's socket whose answers are counted by a thread of its own; big
// enough a receive buffer that nothing is lost while it counts.
class CountingHost {
public:
    explicit CountingHost(const NetNamespace& space) {
        space.run([this] {
            fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const int size = 64 * 1024 * 1024;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
            sockaddr_in6 any{};
            any.sin6_family = AF_INET6;
            ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any));
            timeval wait{0, 100000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
        });
        counter = std::thread([this] {
            std::vector<uint8_t> buffer(65536);
            while (counting.load()) {
                const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (got > 0) {
                    bytes += static_cast<uint64_t>(got);
                    datagrams += 1;
                }
            }
        });
    }
    ~CountingHost() {
        counting = false;
        counter.join();
        ::close(fd);
    }
    bool send(const std::vector<uint8_t>& datagram, const VEMRA::SocketAddress& to) {
        sockaddr_in6 address{};
        to.toSockaddr(address);
        return ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                        sizeof(address)) == static_cast<ssize_t>(datagram.size());
    }

    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> datagrams{0};

private:
    int fd = -1;
    std::atomic<bool> counting{true};
    std::thread counter;
};

// Answer bytes per request byte when one Host sends `count` requests evenly
// within one second, counting what arrives until half a second after.
double burstFactor(const NetNamespace& space, const std::vector<uint8_t>& request,
                   const VEMRA::SocketAddress& to, int count, uint64_t& answerBytes) {
    CountingHost counting(space);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + i * std::chrono::microseconds(1000000) / count);
        counting.send(request, to);
    }
    std::this_thread::sleep_until(start + 1500ms);
    answerBytes = counting.bytes.load();
    return static_cast<double>(answerBytes) /
           static_cast<double>(request.size() * static_cast<size_t>(count));
}

TEST_F(EndToEndFlood, OneSourceEarnsBoundedAnswerBytes) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    // The Target's worker runs in the idle class: on a busy machine an answer
    // can be seconds late, which says nothing about the limits here.
    auto patient = std::make_unique<QUORVEL::HostClient>(onTarget(kDiscoveryPort), 10000ms);
    bool opened = false;
    net.host.run([&] { opened = patient->open(); });
    ASSERT_TRUE(opened);
    const auto iconSize = patient->iconSize(kLargestIcon);
    ASSERT_TRUE(iconSize && iconSize->accepted);
    ASSERT_EQ(size_t{iconSize->column} * iconSize->row * 4, kLargestIconBytes);

    // A name longer than a Host may set is refused, and the name every
    // DISCOVER_ANS carries stays as it was. Asked before the floods below:
    // on a busy machine the Target may still be working through them long
    // after they were sent, spending this source's allowance as it goes.
    const std::string longName(1400, 'x');
    const auto refused = patient->configValue(1, QUORVEL::HostClient::Set, 0, longName);
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->accepted);
    const auto read = patient->configValue(1, QUORVEL::HostClient::Read);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->text == "TargetApp") << read->text.size() << " bytes";
    const auto accepted = patient->configValue(1, QUORVEL::HostClient::Set, 0, std::string(64, 'y'));
    ASSERT_TRUE(accepted);
    EXPECT_TRUE(accepted->accepted);

    QUORVEL::Send iconRequest(QUORVEL::ICON_REQ, 0, kLargestIcon, 1, 1, kWholeIcon);
    const auto icon = bytesOf(iconRequest);
    QUORVEL::Send bitmaps(QUORVEL::PORT_REQ, 0, 0, 0, 0, 0);
    const auto portList = bytesOf(bitmaps);
    QUORVEL::Send table(QUORVEL::PORT_REQ, 0, 0xFFFF, 1, 0, 0);
    const auto portTable = bytesOf(table);

    struct Case {
        const char* name;
        const std::vector<uint8_t>* request;
        int count;
    };
    const Case cases[] = {{"ICON_REQ whole icon", &icon, 2000},
                          {"ICON_REQ whole icon", &icon, 50},
                          {"PORT_REQ bitmaps", &portList, 2000},
                          {"PORT_REQ bitmaps", &portList, 500},
                          {"PORT_REQ table", &portTable, 2000}};
    uint64_t iconFloodBytes = 0;
    double iconFloodFactor = 0;
    for (const Case& one : cases) {
        std::this_thread::sleep_for(1500ms); // the source's allowance fills again
        uint64_t answerBytes = 0;
        const double factor =
            burstFactor(net.host, *one.request, onTarget(kDiscoveryPort), one.count, answerBytes);
        std::cout << one.name << ", " << one.count << " requests in 1 s: " << answerBytes
                  << " answer bytes, factor " << factor << std::endl;
        if (one.request == &icon && one.count == 2000) {
            iconFloodBytes = answerBytes;
            iconFloodFactor = factor;
        }
    }
    // One Host asking as fast as it likes gets about 1 MB a second and a
    // burst, not 2000 times 16 KB.
    EXPECT_LT(iconFloodBytes, 2'000'000U);
    EXPECT_LT(iconFloodFactor, 64.0);
    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();
}

} // namespace
