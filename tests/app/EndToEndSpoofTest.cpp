// ctest-labels: threads e2e
// The running program against datagrams with forged sources, as an attacker
// on its link sends them: from one of the target's own sockets (which makes
// two of its channels answer each other), from another target, and from UDP
// source port 0 (to which no answer can be sent). One datagram must never
// start an endless exchange, cost a core, or end somebody's stream.
#include "host/StatusClient.h"
#include "protocol/MessageCode.h"
#include "support/EndToEndRig.h"
#include "support/ProcessFigures.h"
#include "support/SpoofedUdp.h"

#include <gtest/gtest.h>

#include <future>
#include <iostream>

namespace {

using namespace E2E;

constexpr uint16_t kDeskPort = kFirstControlPort;
constexpr uint16_t kUnknownCode = 0x0060; // an even code no channel knows
constexpr auto kSettle = 200ms;
constexpr auto kWindow = 2000ms;

QUORVEL::AudioFormat cdFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm16 | QUORVEL::AudioFormat::rateBits(44100) |
                                QUORVEL::AudioFormat::channelBit(2));
}

std::vector<uint8_t> headerOnly(uint16_t code, uint16_t param0 = 0) {
    const QUORVEL::Send message(code, 0, param0, 0, 0, 0);
    const auto bytes = message.bytes();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// What a process's namespace received and the process spent in one window.
struct Cost {
    uint64_t datagrams = 0;
    uint64_t cpuMs = 0;
};

class EndToEndSpoof : public Rig {
protected:
    // The test build with one paced DAC, hw:1,0; its sink on 19644 and its
    // status channel as the Target lists them.
    void startWithDesk() {
        startWithDeskDac(pacedDac(1), host);
        if (HasFatalFailure() || IsSkipped()) {
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + kReady;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto status = host->status(1);
            if (status && status->found) {
                statusPort = status->port;
                break;
            }
            std::this_thread::sleep_for(200ms);
        }
        ASSERT_NE(statusPort, 0);
        spoofer = std::make_unique<SpoofedUdp>(net.host);
        ASSERT_TRUE(spoofer->isOpen()) << spoofer->error();
    }

    // An endpoint on the link as the Host's namespace reaches it.
    VEMRA::SocketAddress onLink(const char* address, uint16_t port) const {
        return *QUORVEL::hostEndpoint(address, port, hostIndex);
    }

    void spoof(const char* fromAddress, uint16_t fromPort, const char* toAddress, uint16_t toPort,
               const std::vector<uint8_t>& datagram) {
        ASSERT_TRUE(spoofer->send(onLink(fromAddress, fromPort), onLink(toAddress, toPort), datagram))
            << spoofer->error();
    }

    // What the daemon's namespace received and the daemon spent in kWindow,
    // starting a moment (kSettle) after `cause` ran; `early` counts what
    // arrived in that moment.
    Cost costOf(const std::function<void()>& cause, pid_t pid, uint64_t* early = nullptr) {
        const auto start = snmp6Counter(pid, "Udp6InDatagrams");
        cause();
        std::this_thread::sleep_for(kSettle);
        const auto datagrams = snmp6Counter(pid, "Udp6InDatagrams");
        const auto cpu = cpuMilliseconds(pid);
        std::this_thread::sleep_for(kWindow);
        const auto datagramsAfter = snmp6Counter(pid, "Udp6InDatagrams");
        const auto cpuAfter = cpuMilliseconds(pid);
        EXPECT_TRUE(start && datagrams && cpu && datagramsAfter && cpuAfter);
        if (!start || !datagrams || !cpu || !datagramsAfter || !cpuAfter) {
            return Cost{};
        }
        if (early != nullptr) {
            *early = *datagrams - *start;
        }
        return Cost{*datagramsAfter - *datagrams, *cpuAfter - *cpu};
    }

    // The daemon's CPU time in kWindow with nothing forged: its idle.
    uint64_t idleCpu(pid_t pid) {
        return costOf([] {}, pid).cpuMs;
    }

    std::unique_ptr<QUORVEL::HostClient> host;
    std::unique_ptr<SpoofedUdp> spoofer;
    uint16_t statusPort = 0;
};

// Registrations (one a second or so per channel) are all that may arrive in
// the window; an echo loop brings a hundred thousand a second.
constexpr uint64_t kQuietDatagrams = 60;
constexpr uint64_t kIdleCpuMs = 300; // of the 2000 ms window, sanitizer builds included

TEST_F(EndToEndSpoof, DatagramFromTheTargetsOwnSocketsStartsNoEchoLoop) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    const pid_t pid = daemon->pid();
    std::cout << "idle: " << idleCpu(pid) << " ms CPU in " << kWindow.count() << " ms" << std::endl;

    // Source: the sink's control socket; destination: the Target.
    uint64_t early = 0;
    const Cost sinkToTarget = costOf(
        [&] {
            spoof(VethNamespaces::kTargetAddress, kDeskPort, VethNamespaces::kTargetAddress, kDiscoveryPort,
                  headerOnly(kUnknownCode));
        },
        pid, &early);
    std::cout << "sink control -> Target: " << early << " datagrams in the first " << kSettle.count()
              << " ms, " << sinkToTarget.datagrams << " in the next " << kWindow.count() << " ms, "
              << sinkToTarget.cpuMs << " ms CPU" << std::endl;
    EXPECT_LT(sinkToTarget.datagrams, kQuietDatagrams);
    EXPECT_LT(sinkToTarget.cpuMs, kIdleCpuMs);

    // Source: the Target itself.
    const Cost targetToItself = costOf(
        [&] {
            spoof(VethNamespaces::kTargetAddress, kDiscoveryPort, VethNamespaces::kTargetAddress,
                  kDiscoveryPort, headerOnly(kUnknownCode));
        },
        pid, &early);
    std::cout << "Target -> itself: " << early << " + " << targetToItself.datagrams << " datagrams, "
              << targetToItself.cpuMs << " ms CPU" << std::endl;
    EXPECT_LT(targetToItself.datagrams, kQuietDatagrams);
    EXPECT_LT(targetToItself.cpuMs, kIdleCpuMs);

    // A request the status channel does not know, from the sink's control
    // socket: the status channel's echo is a request the sink answers, and
    // the answers (odd codes) must not be echoed either.
    const Cost controlToStatus = costOf(
        [&] {
            spoof(VethNamespaces::kTargetAddress, kDeskPort, VethNamespaces::kTargetAddress, statusPort,
                  headerOnly(QUORVEL::SINK_INFO_REQ));
        },
        pid, &early);
    std::cout << "sink control -> status: " << early << " + " << controlToStatus.datagrams << " datagrams, "
              << controlToStatus.cpuMs << " ms CPU" << std::endl;
    EXPECT_LT(controlToStatus.datagrams, kQuietDatagrams);
    EXPECT_LT(controlToStatus.cpuMs, kIdleCpuMs);

    // A Host's own probe of an unknown code still gets its echo, with status 0.
    QUORVEL::Send probe(kUnknownCode, 0);
    const auto echo = host->request(probe, kUnknownCode);
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->status(), 0);
    auto sink = sinkClient(kDeskPort);
    QUORVEL::Send sinkProbe(kUnknownCode, 0);
    const auto sinkEcho = sink->request(sinkProbe, kUnknownCode);
    ASSERT_TRUE(sinkEcho);
    EXPECT_EQ(sinkEcho->status(), 0);

    EXPECT_FALSE(daemon->hasExited()) << daemon->errors();
    EXPECT_EQ(daemon->countOutput("controlLoop exit"), 0U);
}

TEST_F(EndToEndSpoof, TwoTargetsOnOneLinkStopEchoingEachOther) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    // A second target on the Host's side of the link, without DACs.
    ScratchDir otherDevices{"quorvel-snd-other"};
    Daemon other(builtProgram("quorvel_app_target_testbuild"));
    ASSERT_TRUE(other.ready());
    ASSERT_TRUE(other.start(net.host, {otherDevices.path}));
    ASSERT_TRUE(other.waitForOutput("Multi Address Auto Find", kReady)) << other.errors();
    std::this_thread::sleep_for(500ms); // its loop runs once the line is out

    const pid_t pid = daemon->pid();
    std::cout << "idle: " << idleCpu(pid) << " ms CPU in " << kWindow.count() << " ms" << std::endl;
    const auto otherCpu = cpuMilliseconds(other.pid());
    // One datagram "from" the other target's discovery socket to this one's.
    uint64_t early = 0;
    const Cost loop = costOf(
        [&] {
            spoof(VethNamespaces::kHostAddress, kDiscoveryPort, VethNamespaces::kTargetAddress,
                  kDiscoveryPort, headerOnly(kUnknownCode));
        },
        pid, &early);
    const auto otherCpuAfter = cpuMilliseconds(other.pid());
    std::cout << "target <-> target: " << early << " datagrams here in the first " << kSettle.count()
              << " ms, " << loop.datagrams << " in the next " << kWindow.count() << " ms, " << loop.cpuMs
              << " ms CPU here, " << (otherCpuAfter && otherCpu ? *otherCpuAfter - *otherCpu : 0)
              << " ms there (from the start)" << std::endl;
    EXPECT_LT(loop.datagrams, kQuietDatagrams);
    EXPECT_LT(loop.cpuMs, kIdleCpuMs);
    ASSERT_TRUE(otherCpu && otherCpuAfter);
    EXPECT_LT(*otherCpuAfter - *otherCpu, kIdleCpuMs + 200);
    EXPECT_FALSE(other.hasExited()) << other.errors();
    EXPECT_EQ(other.sanitizerReport(), "");
    other.kill();
}

TEST_F(EndToEndSpoof, DatagramsFromSourcePortZeroLeaveAStreamAlone) {
    startWithDesk();
    if (HasFatalFailure() || IsSkipped()) {
        return;
    }
    Connection connection;
    connection.client = sinkClient(kDeskPort);
    ASSERT_TRUE(connectSink(connection, cdFormat(), 3000)) << daemon->output();
    const auto audio = randomAudio(3 * 44100 * 4, 71);
    auto streaming =
        std::async(std::launch::async, [&] { return streamAudio(connection, cdFormat(), audio); });

    // Five times a second, "from" port 0 of an address nobody owns: a request
    // to the sink's control port and one to its status channel.
    for (int i = 0; i < 15; ++i) {
        spoof("fe80::dead", 0, VethNamespaces::kTargetAddress, kDeskPort, headerOnly(QUORVEL::SINK_INFO_REQ));
        spoof("fe80::dead", 0, VethNamespaces::kTargetAddress, statusPort,
              headerOnly(QUORVEL::CONTROL_INFO_REQ));
        spoof(VethNamespaces::kHostAddress, 0, VethNamespaces::kTargetAddress, kDeskPort,
              headerOnly(QUORVEL::FORMAT_QUERY));
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_TRUE(streaming.get()) << "the stream was cut";
    const auto answer = connection.client->disconnect(connection.streamPort, 5000ms);
    EXPECT_TRUE(answer) << "no DISCONNECT_ANS: " << daemon->output();
    EXPECT_EQ(daemon->countOutput("controlLoop exit"), 0U) << "the sink was torn down";

    // The sink and its status channel still answer.
    EXPECT_TRUE(sinkClient(kDeskPort)->formatQuery(cdFormat()));
    QUORVEL::StatusClient status(targetAddress(statusPort));
    bool opened = false;
    net.host.run([&] { opened = status.open(); });
    ASSERT_TRUE(opened);
    EXPECT_TRUE(status.controlCount());
}

} // namespace
