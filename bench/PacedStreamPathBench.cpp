// The sink's whole stream path against the cheapest program that could do
// its job, both between the same two pacers: a Host thread that sends
// STREAM_DATA at the stream's rate by the clock (a burst every 4 ms, a flush
// mark every 10 ms), and the tests' fake DAC paced in real time (output to
// /dev/null). The sink is the ALSA back end of the program, probed and
// connected as a Host does it, its workers in the real-time class where the
// system grants it. The bare loop makes one blocking recv and one
// snd_pcm_writei per datagram, at FIFO 99, on a device opened with the
// latency the sink chose. Counter: the receiving side's CPU time per MB of
// audio (process CPU time less the sending thread's), over 10 s of audio.
//
// Run from the build directory, as root for the real-time class:
//   bench/PacedStreamPathBench

#include "alsa/AlsaSinkFixture.h"
#include "foundation/Clock.h"
#include "foundation/ThreadScheduling.h"
#include "host/SinkClient.h"
#include "protocol/MessageCode.h"
#include "protocol/StatusBits.h"
#include "support/FakeAlsa.h"

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using QUORVEL::AudioFormat;

constexpr auto kStreamTime = std::chrono::seconds(10);
constexpr uint64_t kBurst = 4 * VEMRA::kPicosecondsPerMillisecond;
constexpr uint64_t kFlushEvery = 10 * VEMRA::kPicosecondsPerMillisecond;
constexpr size_t kDatagramRoom = 1480; // audio bytes a 1500-byte datagram carries at most

AudioFormat formatOf(uint32_t channels, uint32_t rate) {
    return AudioFormat(AudioFormat::kPcm32 | AudioFormat::rateBits(rate) | AudioFormat::channelBit(channels));
}

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// A DAC for the format whose written bytes go nowhere.
struct DiscardingDac {
    std::unique_ptr<QUORVELTEST::FakeAlsa> alsa;

    bool open(uint32_t channels, uint32_t rate) {
        QUORVELTEST::FakePcmDevice device;
        device.formats = {"S32_LE"};
        device.channelsMin = channels;
        device.channelsMax = channels;
        device.rates = {rate};
        device.paced = true;
        device.periodBytesMax = 4 << 20;
        device.bufferBytesMax = 32 << 20;
        alsa = std::make_unique<QUORVELTEST::FakeAlsa>(std::vector<QUORVELTEST::FakeCard>{},
                                                       std::vector<QUORVELTEST::FakePcmDevice>{device});
        return alsa->ok() && ::symlink("/dev/null", alsa->outputPath(1, 0).c_str()) == 0;
    }
};

// Sends `format` audio to `to` at its rate for kStreamTime, numbered from 0.
// Returns the audio bytes sent.
uint64_t sendPaced(QUORVEL::HostSocket& socket, const VEMRA::SocketAddress& to, AudioFormat format) {
    const uint64_t frame = format.frameBytes();
    const uint64_t payload = kDatagramRoom / frame * frame;
    const uint64_t perSecond = format.bytesPerSecond();
    const std::vector<uint8_t> audio(payload, 0x5A);
    QUORVEL::SendBuffer message;
    uint16_t sequence = 0;
    uint64_t sent = 0;
    const uint64_t start = VEMRA::clockNow();
    const uint64_t end = start + static_cast<uint64_t>(kStreamTime.count()) * VEMRA::kPicosecondsPerSecond;
    uint64_t nextFlush = start;
    for (uint64_t wake = start; VEMRA::clockCompare(wake, end) < 0; wake += kBurst) {
        const uint64_t now = VEMRA::clockNow();
        if (VEMRA::clockCompare(wake, now) > 0) {
            VEMRA::sleepPicoseconds(wake - now);
        }
        const uint64_t due = (wake - start + kBurst) / VEMRA::kPicosecondsPerMillisecond * perSecond / 1000;
        while (sent + payload <= due) {
            uint16_t status = 0;
            if (VEMRA::clockCompare(VEMRA::clockNow(), nextFlush) >= 0) {
                status = QUORVEL::StatusBit::kFlushMark;
                nextFlush += kFlushEvery;
            }
            message.setHeader(QUORVEL::STREAM_DATA, status, sequence++, 0, 0, 0);
            message.setPayload(audio.data(), audio.size());
            socket.send(message, to);
            sent += payload;
        }
    }
    return sent;
}

void report(benchmark::State& state, uint64_t bytes, double receiverCpu) {
    const double megabytes = static_cast<double>(bytes) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["receiver_cpu_ms_per_MB"] = megabytes > 0 ? receiverCpu * 1e3 / megabytes : 0;
}

void BM_PacedSink(benchmark::State& state) {
    const auto channels = static_cast<uint32_t>(state.range(0));
    const auto rate = static_cast<uint32_t>(state.range(1));
    const AudioFormat format = formatOf(channels, rate);
    DiscardingDac dac;
    if (!dac.open(channels, rate)) {
        state.SkipWithError("fake DAC");
        return;
    }
    ALSATEST::AlsaSinkFixture fixture;
    QUORVEL::SinkInfo info;
    info.index = 1;
    info.name = "bench";
    CertifiedSinkAlsaConfig config = fixture.config();
    config.sink.workerScheduling = VEMRA::RealtimeFifo;
    fixture.sink =
        std::make_unique<CertifiedSinkAlsa>(info, "hw:1,0", true, ALSATEST::settingsWith({}), config);
    if (!fixture.sink->probe(100)) {
        state.SkipWithError("probe");
        return;
    }
    CertifiedSinkAlsa& sink = *fixture.sink;
    std::atomic<bool> running{true};
    std::thread node([&] {
        while (running.load() && sink.controlTurn()) {
        }
    });
    const auto control = QUORVEL::hostEndpoint("::1", sink.boundControlPort());
    QUORVEL::SinkClient client(*control);
    const auto connection = client.open() ? client.connect(format) : std::nullopt;
    if (!connection || !connection->accepted) {
        running = false;
        node.join();
        state.SkipWithError("connect");
        return;
    }
    uint64_t bytes = 0;
    double receiverCpu = 0;
    for (auto _ : state) {
        const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double senderStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        bytes += sendPaced(client.socket(), client.sinkAddress(connection->streamPort), format);
        receiverCpu += (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) -
                       (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderStart);
    }
    client.disconnect(connection->streamPort);
    running = false;
    node.join();
    report(state, bytes, receiverCpu);
}

void BM_BareLoop(benchmark::State& state) {
    const auto channels = static_cast<uint32_t>(state.range(0));
    const auto rate = static_cast<uint32_t>(state.range(1));
    const AudioFormat format = formatOf(channels, rate);
    DiscardingDac dac;
    if (!dac.open(channels, rate)) {
        state.SkipWithError("fake DAC");
        return;
    }
    // The latency the sink's probe chooses for this device.
    unsigned latencyUs = 0;
    {
        ALSATEST::AlsaSinkFixture fixture;
        if (!fixture.probe("hw:1,0", ALSATEST::settingsWith({}))) {
            state.SkipWithError("probe");
            return;
        }
        latencyUs = static_cast<unsigned>(fixture.sink->capabilities().latencyUs);
    }
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "hw:1,0", SND_PCM_STREAM_PLAYBACK, 0) < 0 ||
        snd_pcm_set_params(pcm, SND_PCM_FORMAT_S32_LE, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 0,
                           latencyUs) < 0) {
        if (pcm != nullptr) {
            snd_pcm_close(pcm);
        }
        state.SkipWithError("device");
        return;
    }
    VEMRA::Socket receiver;
    VEMRA::SocketAddress local = VEMRA::SocketAddress::loopback(0);
    if (!receiver.open(VEMRA::Socket::UdpV6Only) || !receiver.bind(local, 0)) {
        snd_pcm_close(pcm);
        state.SkipWithError("socket");
        return;
    }
    const int room = 4 << 20;
    if (::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof(room)) != 0) {
        (void)::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    }
    // The time-out only lets the loop see the end of the run.
    const timeval timeout{0, 100000};
    ::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::atomic<bool> running{true};
    std::atomic<uint64_t> underruns{0};
    const size_t frameBytes = format.frameBytes();
    std::thread loop([&] {
        (void)VEMRA::setThreadPriority(VEMRA::currentThreadId(), VEMRA::RealtimeFifo);
        std::vector<uint8_t> buffer(1500);
        while (running.load(std::memory_order_relaxed)) {
            const ssize_t length = ::recv(receiver.descriptor(), buffer.data(), buffer.size(), 0);
            if (length <= static_cast<ssize_t>(QUORVEL::kHeaderSize)) {
                continue;
            }
            const auto frames = static_cast<snd_pcm_uframes_t>(
                (static_cast<size_t>(length) - QUORVEL::kHeaderSize) / frameBytes);
            if (snd_pcm_writei(pcm, buffer.data() + QUORVEL::kHeaderSize, frames) == -EPIPE) {
                underruns.fetch_add(1, std::memory_order_relaxed);
                snd_pcm_recover(pcm, -EPIPE, 0);
            }
        }
    });
    QUORVEL::HostSocket socket;
    socket.open();
    uint64_t bytes = 0;
    double receiverCpu = 0;
    for (auto _ : state) {
        const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const double senderStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        bytes += sendPaced(socket, local, format);
        receiverCpu += (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) -
                       (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderStart);
    }
    running = false;
    loop.join();
    snd_pcm_close(pcm);
    state.counters["underruns"] = static_cast<double>(underruns.load());
    report(state, bytes, receiverCpu);
}

} // namespace

BENCHMARK(BM_BareLoop)
    ->Args({2, 192000})
    ->Args({8, 768000})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
BENCHMARK(BM_PacedSink)
    ->Args({2, 192000})
    ->Args({8, 768000})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);
