// ctest-labels: threads e2e
// The running program under floods of cheap datagrams from its link: forged
// sources nobody owns, whose answers wait in the kernel's neighbour queue. Genuine Hosts must still
// be answered and registrations must not expire.
#include "protocol/MessageCode.h"
#include "support/EndToEndRig.h"
#include "support/ProcessFigures.h"
#include "support/SpoofedUdp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iostream>

namespace {

using namespace E2E;

constexpr uint16_t kDeskPort = 19644;
constexpr uint16_t kLargestIcon = 1;    // logo.png, 64 x 64 pixels of four bytes
constexpr uint16_t kWholeIcon = 0xFFFF; // count mode: as many pixels as there are

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

} // namespace
