// The sink's stream path (stream socket -> ring -> transport worker ->
// device) over [::1], beside a bare recv loop on the same kind of socket as
// the reference. A Host thread sends 192 kHz / 32-bit / stereo STREAM_DATA
// datagrams in batches and waits until the receiving side has taken each
// batch, so neither side overruns the other. Counters: datagrams per second,
// and the receiving side's CPU time per MB of audio (process CPU time less
// the sending thread's).

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/SocketWaitSet.h"
#include "host/SinkClient.h"
#include "protocol/MessageCode.h"
#include "protocol/SinkBuffer.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <vector>

namespace {

using QUORVEL::AudioFormat;

constexpr size_t kPayload = 1480; // the most 8-byte frames a 1500-byte datagram holds
constexpr int kBatch = 256;

AudioFormat streamFormat() {
    return AudioFormat(AudioFormat::channelBit(2) | AudioFormat::kPcm32 | AudioFormat::rateBits(192000));
}

double cpuSeconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// An output that takes every byte at once.
class NullOutput : public QUORVEL::AudioOutput {
public:
    void startAudio(uint64_t) override {}
    bool releaseOutput() override { return true; }
    bool writeAudio(const uint8_t* data, size_t bytes) override {
        // Silence (the pre-fill, and the filler between batches) starts with
        // 0; the benchmark's audio does not.
        if (bytes != 0 && data[0] != 0) {
            checksum += data[0] + data[bytes - 1];
            written.fetch_add(bytes, std::memory_order_release);
        }
        return true;
    }

    std::atomic<uint64_t> written{0}; // audio bytes only
    uint64_t checksum = 0;
};

class NullDevice : public NullOutput, public QUORVEL::SinkBuffer {
public:
    NullDevice(const QUORVEL::SinkInfo& info, VEMRA::SocketWaitSet& pollSet,
               const QUORVEL::SinkConfig& config)
        : SinkBuffer(info, pollSet, *this, config) {}

    bool canFormat(AudioFormat&) override { return true; }
    bool setFormat(const AudioFormat&) override { return true; }
    void play(const uint64_t& startAt) override { startAudio(startAt); }
    bool disconnectStream() override { return releaseOutput(); }
    bool writeOutput(const uint8_t* data, size_t bytes) override { return writeAudio(data, bytes); }
};

// The sink with its node thread, connected by a Host client.
struct SinkUnderTest {
    VEMRA::SocketWaitSet pollSet;
    std::unique_ptr<NullDevice> sink;
    std::thread node;
    std::atomic<bool> running{true};
    std::unique_ptr<QUORVEL::SinkClient> client;
    uint16_t streamPort = 0;

    bool start() {
        QUORVEL::SinkConfig config;
        VEMRA::Socket registrar; // registrations go to a port nobody reads
        VEMRA::SocketAddress any = VEMRA::SocketAddress::loopback(0);
        if (!registrar.open(VEMRA::Socket::UdpV6Only) || !registrar.bind(any, 0)) {
            return false;
        }
        config.registrationPort = any.hostPort();
        config.controlBasePort = 0;
        config.streamBasePort = 0;
        config.workerScheduling = VEMRA::Normal;
        QUORVEL::SinkInfo info;
        info.name = "bench";
        sink = std::make_unique<NullDevice>(info, pollSet, config);
        uint16_t controlPort = 0;
        if (!sink->openAll(controlPort, streamPort)) {
            return false;
        }
        node = std::thread([this] {
            while (running.load()) {
                pollSet.wait(100 * VEMRA::kPicosecondsPerMillisecond);
                sink->controlStep();
            }
        });
        client = std::make_unique<QUORVEL::SinkClient>(VEMRA::SocketAddress::loopback(controlPort));
        if (!client->open()) {
            return false;
        }
        const auto connection = client->connect(streamFormat());
        if (!connection || !connection->accepted) {
            return false;
        }
        streamPort = connection->streamPort;
        return true;
    }

    ~SinkUnderTest() {
        if (client && streamPort != 0) {
            client->disconnect(streamPort);
        }
        running = false;
        if (node.joinable()) {
            node.join();
        }
        if (sink) {
            sink->closeAll();
        }
    }
};

// False when the receiving side lost something and will never get there.
bool waitFor(const std::atomic<uint64_t>& counter, uint64_t target) {
    const uint64_t deadline = VEMRA::clockNow() + VEMRA::kPicosecondsPerSecond;
    while (counter.load(std::memory_order_acquire) < target) {
        if (VEMRA::clockCompare(VEMRA::clockNow(), deadline) > 0) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// The same receive room the sink gives its stream socket.
void enlargeReceiveBuffer(const VEMRA::Socket& socket) {
    const int size = 4 * 1024 * 1024;
    if (::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        (void)::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
}

void report(benchmark::State& state, uint64_t datagrams, double receiverCpu) {
    const double megabytes = static_cast<double>(datagrams * kPayload) / 1e6;
    state.SetItemsProcessed(static_cast<int64_t>(datagrams));
    state.SetBytesProcessed(static_cast<int64_t>(datagrams * kPayload));
    state.counters["datagrams_per_s"] =
        benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
    state.counters["receiver_cpu_us_per_MB"] = megabytes > 0 ? receiverCpu * 1e6 / megabytes : 0;
}

void BM_SinkStreamPath(benchmark::State& state) {
    SinkUnderTest under;
    if (!under.start()) {
        state.SkipWithError("sink did not start");
        return;
    }
    QUORVEL::HostSocket& socket = under.client->socket();
    const VEMRA::SocketAddress stream = under.client->sinkAddress(under.streamPort);
    std::vector<uint8_t> audio(kPayload, 0x5A);
    QUORVEL::SendBuffer message;
    uint64_t expected = 0;
    uint16_t sequence = 0;
    uint64_t datagrams = 0;
    const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double senderStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            message.setHeader(QUORVEL::STREAM_DATA, 0, sequence++, 0, 0, 0);
            message.setPayload(audio.data(), audio.size());
            socket.send(message, stream);
        }
        expected += kBatch * kPayload;
        if (!waitFor(under.sink->written, expected)) {
            static std::string why; // the benchmark library keeps the pointer
            why = "datagrams lost: state " + std::to_string(under.sink->connState()) +
                  (under.sink->isRunning() ? ", running" : ", stopped") + ", " +
                  std::to_string(expected - under.sink->written.load()) + " bytes missing after " +
                  std::to_string(datagrams) + " datagrams";
            state.SkipWithError(why.c_str());
            return;
        }
        datagrams += kBatch;
    }
    const double receiverCpu = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) -
                               (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderStart);
    report(state, datagrams, receiverCpu);
}

void BM_BareRecvLoop(benchmark::State& state) {
    VEMRA::Socket receiver;
    VEMRA::SocketAddress local = VEMRA::SocketAddress::loopback(0);
    if (!receiver.open(VEMRA::Socket::UdpV6Only) || !receiver.bind(local, 0)) {
        state.SkipWithError("socket");
        return;
    }
    enlargeReceiveBuffer(receiver);
    std::atomic<uint64_t> received{0};
    std::atomic<bool> running{true};
    // The cheapest receive there is: one blocking recv per datagram; the
    // time-out only lets the loop see the end of the run.
    const timeval timeout{0, 100000};
    ::setsockopt(receiver.descriptor(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::thread loop([&] {
        std::vector<uint8_t> buffer(1500);
        while (running.load(std::memory_order_relaxed)) {
            const ssize_t length = ::recv(receiver.descriptor(), buffer.data(), buffer.size(), 0);
            if (length > static_cast<ssize_t>(QUORVEL::kHeaderSize)) {
                received.fetch_add(static_cast<uint64_t>(length) - QUORVEL::kHeaderSize,
                                   std::memory_order_release);
            }
        }
    });
    QUORVEL::HostSocket socket;
    socket.open();
    std::vector<uint8_t> audio(kPayload, 0x5A);
    QUORVEL::SendBuffer message;
    uint64_t expected = 0;
    uint16_t sequence = 0;
    uint64_t datagrams = 0;
    const double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double senderStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            message.setHeader(QUORVEL::STREAM_DATA, 0, sequence++, 0, 0, 0);
            message.setPayload(audio.data(), audio.size());
            socket.send(message, local);
        }
        expected += kBatch * kPayload;
        if (!waitFor(received, expected)) {
            state.SkipWithError("datagrams lost");
            break;
        }
        datagrams += kBatch;
    }
    const double receiverCpu = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart) -
                               (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderStart);
    running = false;
    loop.join();
    report(state, datagrams, receiverCpu);
}

} // namespace

BENCHMARK(BM_BareRecvLoop)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_SinkStreamPath)->UseRealTime()->MinTime(2.0);
