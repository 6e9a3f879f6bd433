// The cheapest program that could do the target's job, for a soak run to
// set beside the daemon: one blocking recv and one snd_pcm_writei per
// datagram at FIFO 99, fed by a sender thread of normal priority that paces
// 192 kHz / 32-bit / stereo by the clock (a burst every 4 ms) over the
// loopback interface. Its device underruns show what the machine's stalls
// cost a player that does nothing else. Not part of CI.
//
//   quorvel_bare_loop DEVICE SECONDS LATENCY_US
//
// Prints "underrun UNIX-SECONDS" for each underrun and "underruns N" at the
// end; exit status 0 once the run has ended.

#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"
#include "foundation/ThreadScheduling.h"

#include <alsa/asoundlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kRate = 192000;
constexpr unsigned kChannels = 2;
constexpr size_t kFrameBytes = 4 * kChannels;
constexpr size_t kDatagramBytes = 1480; // 185 frames, as a full stream datagram carries
constexpr auto kBurst = std::chrono::milliseconds(4);

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DEVICE SECONDS LATENCY_US\n", argv[0]);
        return 2;
    }
    const char* device = argv[1];
    const long seconds = std::strtol(argv[2], nullptr, 10);
    const long latencyUs = std::strtol(argv[3], nullptr, 10);
    if (seconds <= 0 || latencyUs <= 0) {
        std::fprintf(stderr, "SECONDS and LATENCY_US must be positive\n");
        return 2;
    }

    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, device, SND_PCM_STREAM_PLAYBACK, 0) < 0) {
        std::fprintf(stderr, "cannot open %s\n", device);
        return 1;
    }
    if (snd_pcm_set_params(pcm, SND_PCM_FORMAT_S32_LE, SND_PCM_ACCESS_RW_INTERLEAVED, kChannels, kRate, 0,
                           static_cast<unsigned>(latencyUs)) < 0) {
        std::fprintf(stderr, "cannot configure %s\n", device);
        snd_pcm_close(pcm);
        return 1;
    }

    VEMRA::Socket receiver;
    VEMRA::Socket sender;
    VEMRA::SocketAddress local = VEMRA::SocketAddress::loopback(0);
    if (!receiver.open(VEMRA::Socket::UdpV6Only) || !receiver.bind(local, 0) ||
        !sender.open(VEMRA::Socket::UdpV6Only)) {
        std::fprintf(stderr, "cannot bind a socket on [::1]\n");
        snd_pcm_close(pcm);
        return 1;
    }
    const int room = 4 << 20;
    if (::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) != 0) {
        (void)::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    }
    // The time-out only lets the loop see the end of the run.
    const timeval timeout{0, 100000};
    (void)::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));

    std::atomic<bool> running{true};
    std::atomic<uint64_t> underruns{0};
    std::thread loop([&] {
        (void)VEMRA::setThreadPriority(VEMRA::currentThreadId(), VEMRA::RealtimeFifo);
        std::vector<uint8_t> buffer(kDatagramBytes);
        while (running.load(std::memory_order_relaxed)) {
            const ssize_t length = ::recv(receiver.descriptor(), buffer.data(), buffer.size(), 0);
            if (length < static_cast<ssize_t>(kFrameBytes)) {
                continue;
            }
            const auto frames = static_cast<snd_pcm_uframes_t>(static_cast<size_t>(length) / kFrameBytes);
            if (snd_pcm_writei(pcm, buffer.data(), frames) == -EPIPE) {
                underruns.fetch_add(1, std::memory_order_relaxed);
                std::printf("underrun %lld\n", static_cast<long long>(std::time(nullptr)));
                std::fflush(stdout);
                snd_pcm_recover(pcm, -EPIPE, 1);
            }
        }
    });

    // Audio of a steady pattern, so that nothing depends on its content.
    std::vector<uint8_t> audio(kDatagramBytes, 0x55);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    const uint64_t bytesPerSecond = uint64_t{kRate} * kFrameBytes;
    uint64_t sent = 0;
    for (auto wake = start; wake < end; wake += kBurst) {
        std::this_thread::sleep_until(wake);
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
        const uint64_t due = bytesPerSecond * static_cast<uint64_t>(elapsed.count()) / 1000000;
        while (sent + kDatagramBytes <= due) {
            (void)sender.sendTo(audio.data(), audio.size(), local, false);
            sent += kDatagramBytes;
        }
    }
    running = false;
    loop.join();
    snd_pcm_close(pcm);
    std::printf("underruns %llu\n", static_cast<unsigned long long>(underruns.load()));
    return 0;
}
