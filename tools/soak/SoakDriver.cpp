// Host side of a soak run: discovers one sink of the target, connects at
// 192 kHz / 32-bit / stereo and streams for the given minutes (a few seconds
// of random audio over and over) while a second thread sends random control
// traffic: port and status requests, configuration and icon reads, format
// and latency queries on the sink's control port, volume sets on the status
// channel. Prints one "key value" line per figure at the end; exit status 0
// when the stream ran to its end.
//
//   quorvel_soak_driver INTERFACE TARGET_ADDRESS MINUTES [SINK_KEY]
//
// With --log it is the program's log receiver instead (run in the program's
// namespace): every datagram arriving on [::1]:PORT, header and all, becomes
// one line of FILE, until SIGTERM or SIGINT.
//
//   quorvel_soak_driver --log PORT FILE

#include "foundation/Clock.h"
#include "host/HostClient.h"
#include "host/SinkClient.h"
#include "host/StreamSender.h"
#include "protocol/MessageCode.h"
#include "protocol/PrepareFormat.h"

#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kDiscoveryPort = 19642;
constexpr uint16_t kLatency = 3000; // 300 ms, in units of 100 us
constexpr uint16_t kVolumeType = 2;
constexpr uint16_t kSetFlag = 0x8000;

QUORVEL::AudioFormat soakFormat() {
    return QUORVEL::AudioFormat(QUORVEL::AudioFormat::kPcm32 | QUORVEL::AudioFormat::rateBits(192000) |
                                QUORVEL::AudioFormat::channelBit(2));
}

struct ControlCounts {
    uint64_t sent = 0;
    uint64_t unanswered = 0;
    uint64_t volumeSets = 0;
};

// The status channel of the sink's DAC and the index of its volume control.
struct VolumeChannel {
    VEMRA::SocketAddress address;
    uint16_t control = 0;
};

class Soak {
public:
    Soak(std::string interfaceName, std::string address, uint16_t sinkKey)
        : interfaceName(std::move(interfaceName)), address(std::move(address)), key(sinkKey) {}

    bool setUp() {
        index = if_nametoindex(interfaceName.c_str());
        if (index == 0) {
            std::cerr << "no interface " << interfaceName << "\n";
            return false;
        }
        host = std::make_unique<QUORVEL::HostClient>(endpoint(kDiscoveryPort), 2000ms);
        if (!host->open()) {
            std::cerr << "cannot open the Host socket\n";
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!entry && std::chrono::steady_clock::now() < deadline) {
            const auto found = host->port(key);
            if (found && found->found) {
                entry = found;
            } else {
                std::this_thread::sleep_for(500ms);
            }
        }
        if (!entry) {
            std::cerr << "sink " << key << " never appeared\n";
            return false;
        }
        findVolume();
        sink = std::make_unique<QUORVEL::SinkClient>(endpoint(entry->port));
        queries = std::make_unique<QUORVEL::SinkClient>(endpoint(entry->port));
        return sink->open() && queries->open();
    }

    bool connect() {
        const auto offered = sink->formatQuery(soakFormat());
        if (!offered || (offered->value() & soakFormat().value()) != soakFormat().value()) {
            std::cerr << "the sink does not offer 192 kHz / 32-bit / stereo\n";
            return false;
        }
        const auto prepared = sink->prepare(QUORVEL::PrepareFormat::fromFormat(soakFormat(), kLatency));
        if (!prepared || !prepared->accepted() || !sink->setHostName("soak-host")) {
            std::cerr << "prepare refused\n";
            return false;
        }
        const auto connected = sink->connect(soakFormat());
        if (!connected || !connected->accepted) {
            std::cerr << "connect refused\n";
            return false;
        }
        streamPort = connected->streamPort;
        return true;
    }

    // Streams `minutes` on this thread while the control thread runs. A
    // stream the sink stopped answering (no level report for a few seconds:
    // it gave the connection up) is counted as lost and connected again for
    // the time that remains.
    bool run(double minutes) {
        QUORVEL::StreamConfig config;
        config.format = soakFormat();
        // Ten seconds of noise, a whole number of datagrams, sent over and over.
        const size_t payload = QUORVEL::StreamSender::defaultPayload(soakFormat(), false);
        const uint64_t perSecond = soakFormat().bytesPerSecond();
        std::vector<uint8_t> audio((10 * perSecond / payload) * payload);
        std::mt19937 noise(1);
        for (uint8_t& byte : audio) {
            byte = static_cast<uint8_t>(noise());
        }
        uint64_t remaining = static_cast<uint64_t>(minutes * 60.0 * static_cast<double>(perSecond));
        remaining -= remaining % payload;

        const auto began = std::chrono::steady_clock::now();
        std::thread control([this] { controlLoop(); });
        bool streamed = false;
        bool answered = false;
        QUORVEL::StreamStats total;
        std::vector<long> lostAt; // seconds since the start
        while (remaining > 0) {
            const QUORVEL::StreamSender* watched = nullptr;
            size_t levelsSeen = 0;
            auto lastLevel = std::chrono::steady_clock::now();
            bool lost = false;
            config.repeatTo = remaining;
            config.fate = [&](uint64_t) {
                const size_t levels = watched->stats().levels.size();
                const auto now = std::chrono::steady_clock::now();
                if (levels != levelsSeen) {
                    levelsSeen = levels;
                    lastLevel = now;
                } else if (now - lastLevel > 3s) {
                    lost = true;
                    return QUORVEL::DatagramFate::Stop;
                }
                return QUORVEL::DatagramFate::Send;
            };
            QUORVEL::StreamSender sender(sink->socket(), sink->sinkAddress(streamPort), config);
            watched = &sender;
            streamed = sender.stream(audio);
            const QUORVEL::StreamStats& stats = sender.stats();
            total.datagrams += stats.datagrams;
            total.resent += stats.resent;
            total.gapReports += stats.gapReports;
            total.staleGapReports += stats.staleGapReports;
            total.levels.insert(total.levels.end(), stats.levels.begin(), stats.levels.end());
            answered = sink->disconnect(streamPort, 5000ms).has_value();
            if (streamed || !lost) {
                break;
            }
            lostAt.push_back(static_cast<long>(
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began)
                    .count()));
            std::cerr << "stream lost after " << lostAt.back() << " s; connecting again\n";
            remaining -= std::min<uint64_t>(remaining, stats.datagrams * payload);
            if (remaining > 0 && !connect()) {
                break;
            }
        }
        stop = true;
        control.join();

        std::printf("stream_ok %d\n", streamed ? 1 : 0);
        std::printf("disconnect_answered %d\n", answered ? 1 : 0);
        std::printf("stream_losses %zu\n", lostAt.size());
        for (const long at : lostAt) {
            std::printf("stream_lost_at %ld\n", at);
        }
        std::printf("datagrams %llu\n", static_cast<unsigned long long>(total.datagrams));
        std::printf("resent %llu\n", static_cast<unsigned long long>(total.resent));
        std::printf("gap_reports %llu\n", static_cast<unsigned long long>(total.gapReports));
        std::printf("stale_gap_reports %llu\n", static_cast<unsigned long long>(total.staleGapReports));
        std::printf("level_reports %zu\n", total.levels.size());
        std::printf("control_sent %llu\n", static_cast<unsigned long long>(counts.sent));
        std::printf("control_unanswered %llu\n", static_cast<unsigned long long>(counts.unanswered));
        std::printf("volume_sets %llu\n", static_cast<unsigned long long>(counts.volumeSets));
        std::fflush(stdout);
        return streamed && answered && lostAt.empty();
    }

private:
    VEMRA::SocketAddress endpoint(uint16_t port) const {
        return *QUORVEL::hostEndpoint(address, port, index);
    }

    void findVolume() {
        const auto count = host->statusCount();
        for (uint16_t k = 1; count && k <= *count && !volume; ++k) {
            const auto status = host->status(k);
            if (!status || !status->found || status->port == 0) {
                continue;
            }
            QUORVEL::HostSocket probe;
            if (!probe.open()) {
                return;
            }
            const VEMRA::SocketAddress at = endpoint(status->port);
            QUORVEL::Send countRequest(QUORVEL::CONTROL_INFO_REQ, 0, 0, 0, 0, 0);
            const auto controls = probe.request(countRequest, at, QUORVEL::CONTROL_INFO_ANS);
            for (uint16_t c = 1; controls && c <= controls->param0() && !volume; ++c) {
                QUORVEL::Send info(QUORVEL::CONTROL_INFO_REQ, 0, c, 0, 0, 0);
                const auto answer = probe.request(info, at, QUORVEL::CONTROL_INFO_ANS);
                if (answer && answer->param1() == kVolumeType) {
                    volume = VolumeChannel{at, c};
                }
            }
        }
        if (!volume) {
            std::cerr << "no volume control found; the soak sets no volume\n";
        }
    }

    // One random request; false when no answer came.
    bool randomRequest(std::mt19937& random, QUORVEL::HostSocket& statusSocket) {
        switch (random() % 9) {
        case 0:
            return host->port(key).has_value();
        case 1:
            return host->portBitmaps().has_value();
        case 2:
            return host->statusCount().has_value();
        case 3:
            return host->configItem(static_cast<uint16_t>(random() % 10)).has_value();
        case 4:
            return host->configValue(static_cast<uint16_t>(1 + random() % 9), QUORVEL::HostClient::Read)
                .has_value();
        case 5:
            return random() % 2 == 0 ? host->iconSize(1).has_value()
                                     : host->iconRun(1, static_cast<uint16_t>(1 + random() % 16),
                                                     static_cast<uint16_t>(1 + random() % 16), 8)
                                           .has_value();
        case 6:
            return queries->formatQuery(soakFormat()).has_value();
        case 7:
            return queries->latencyQuery(kLatency).has_value();
        default: {
            if (!volume) {
                return host->version().has_value();
            }
            // -60.00 dB .. 0 dB in hundredths.
            const auto value = static_cast<uint16_t>(-static_cast<int>(random() % 6001));
            QUORVEL::Send set(QUORVEL::CONTROL_VALUE_REQ, 0,
                              static_cast<uint16_t>(kSetFlag | volume->control), value, 0xFFFF, 0xFFFF);
            ++counts.volumeSets;
            return statusSocket.request(set, volume->address, QUORVEL::CONTROL_VALUE_ANS).has_value();
        }
        }
    }

    void controlLoop() {
        std::mt19937 random(7);
        QUORVEL::HostSocket statusSocket;
        if (!statusSocket.open()) {
            return;
        }
        while (!stop.load()) {
            ++counts.sent;
            if (!randomRequest(random, statusSocket)) {
                ++counts.unanswered;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + random() % 200));
        }
    }

    std::string interfaceName;
    std::string address;
    uint16_t key;
    uint32_t index = 0;
    std::unique_ptr<QUORVEL::HostClient> host;
    std::optional<QUORVEL::PortEntry> entry;
    std::optional<VolumeChannel> volume;
    std::unique_ptr<QUORVEL::SinkClient> sink;    // connect and stream
    std::unique_ptr<QUORVEL::SinkClient> queries; // control traffic beside the stream
    uint16_t streamPort = 0;
    std::atomic<bool> stop{false};
    ControlCounts counts; // control thread only until it is joined
};

volatile std::sig_atomic_t gStop = 0;

void onStop(int) {
    gStop = 1;
}

// The log receiver: one line of `path` per datagram on [::1]:port.
int receiveLog(uint16_t port, const char* path) {
    std::signal(SIGTERM, onStop);
    std::signal(SIGINT, onStop);
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_loopback;
    local.sin6_port = htons(port);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        std::perror("log socket");
        return 1;
    }
    std::FILE* file = std::fopen(path, "w");
    if (file == nullptr) {
        std::perror(path);
        ::close(fd);
        return 1;
    }
    std::vector<char> datagram(65536);
    while (gStop == 0) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 200) <= 0) {
            std::fflush(file);
            continue;
        }
        const ssize_t length = ::recv(fd, datagram.data(), datagram.size(), 0);
        if (length > 0) {
            std::fwrite(datagram.data(), 1, static_cast<size_t>(length), file);
            std::fputc('\n', file);
        }
    }
    std::fclose(file);
    ::close(fd);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--log") {
        return receiveLog(static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 10)), argv[3]);
    }
    if (argc < 4 || argc > 5) {
        std::cerr << "usage: quorvel_soak_driver INTERFACE TARGET_ADDRESS MINUTES [SINK_KEY]\n";
        return 2;
    }
    const double minutes = std::strtod(argv[3], nullptr);
    const auto key = static_cast<uint16_t>(argc == 5 ? std::strtoul(argv[4], nullptr, 10) : 1);
    if (minutes <= 0) {
        std::cerr << "MINUTES must be positive\n";
        return 2;
    }
    Soak soak(argv[1], argv[2], key);
    if (!soak.setUp() || !soak.connect()) {
        return 1;
    }
    return soak.run(minutes) ? 0 : 1;
}
