// ctest-labels: threads
#include "host/StreamSender.h"
#include "protocol/MessageCode.h"
#include "support/LogCapture.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <sstream>
#include <thread>

namespace QUORVEL {
namespace {

using std::chrono::milliseconds;

constexpr uint16_t kGapReport = 0x08;
constexpr uint16_t kLevelReport = 0x21;

TestBackEndOptions unpaced() {
    TestBackEndOptions options;
    options.paced = false;
    return options;
}

bool sendData(SinkClient& client, uint16_t port, uint16_t sequence, uint8_t fill, size_t length = 4,
              uint16_t flags = 0) {
    SendBuffer message;
    message.setHeader(STREAM_DATA, flags, sequence, 0, 0, 0);
    const std::vector<uint8_t> payload(length, fill);
    message.setPayload(payload.data(), payload.size());
    return client.socket().send(message, client.sinkAddress(port));
}

bool sendMs(SinkClient& client, uint16_t msPort, uint8_t trailer, uint8_t fill) {
    const uint8_t datagram[] = {fill, fill, fill, fill, trailer};
    return client.socket().sendBytes(datagram, sizeof(datagram), client.sinkAddress(msPort));
}

// What the device played besides silence (the tests' audio has no zero bytes).
std::vector<uint8_t> audible(const TestSinkBackEnd& sink) {
    std::vector<uint8_t> bytes = sink.recorded();
    bytes.erase(std::remove(bytes.begin(), bytes.end(), 0), bytes.end());
    return bytes;
}

std::vector<uint8_t> repeated(std::initializer_list<uint8_t> values, size_t each = 4) {
    std::vector<uint8_t> bytes;
    for (uint8_t value : values) {
        bytes.insert(bytes.end(), each, value);
    }
    return bytes;
}

// Until the sink has played `count` bytes of audio. The bound only ends a
// test that would never pass; a sanitizer build on a busy machine is slow.
bool waitForAudible(const TestSinkBackEnd& sink, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (audible(sink).size() < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// Stream feedback that arrives within `timeout`.
std::vector<HostAnswer> feedback(SinkClient& client, milliseconds timeout) {
    std::vector<HostAnswer> answers;
    while (auto answer = client.socket().receive(STREAM_FEEDBACK, timeout)) {
        answers.push_back(*answer);
    }
    return answers;
}

TEST(SinkStreamTest, PrefillThenUnderrunSilence) {
    LogCapture log(VEMRA::kLogInfo);
    {
        SinkRig rig;
        ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), unpaced()));
        ASSERT_NE(rig.connect(cdFormat()), 0);
        ASSERT_TRUE(rig.sink().waitForBytes(17640 + 1764, 2000));
        const auto sizes = rig.sink().writeSizes();
        ASSERT_GE(sizes.size(), 31U);
        EXPECT_TRUE(std::all_of(sizes.begin(), sizes.begin() + 30, [](size_t size) { return size == 588; }));
        // Nothing arrived: the device gets 10 ms of silence per turn from then on.
        EXPECT_EQ(sizes[30], 1764U);
        const auto bytes = rig.sink().recorded();
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0; }));
    }
    EXPECT_GE(log.count("empty sink buffer"), 1U);
    {
        SinkRig rig;
        ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), unpaced()));
        ASSERT_NE(rig.connect(makeFormat(AudioFormat::kPcm24, 48000, 2)), 0);
        ASSERT_TRUE(rig.sink().waitForBytes(28800 + 2880, 2000));
        const auto sizes = rig.sink().writeSizes();
        EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 960U), 30);
        EXPECT_EQ(sizes[30], 2880U);
    }
}

TEST(SinkStreamTest, GapReportsAreLimitedAndLateDatagramsDropped) {
    SinkRig rig;
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), unpaced()));
    const uint16_t port = rig.connect(cdFormat());
    ASSERT_NE(port, 0);
    SinkClient& host = *rig.client;

    ASSERT_TRUE(sendData(host, port, 0, 1));
    ASSERT_TRUE(sendData(host, port, 1, 2));
    ASSERT_TRUE(sendData(host, port, 3, 4)); // 2 went missing
    ASSERT_TRUE(sendData(host, port, 4, 5)); // within 10 ms of the first report: no second one
    auto reports = feedback(host, milliseconds(100));
    ASSERT_EQ(reports.size(), 1U);
    EXPECT_EQ(reports[0].status(), kGapReport | 2); // bit 1: the Host is connected
    EXPECT_EQ(reports[0].param0(), 0);
    EXPECT_EQ(reports[0].param1(), 2);
    EXPECT_EQ(reports[0].param2(), 3);

    ASSERT_TRUE(sendData(host, port, 5, 6)); // later than 10 ms: reported again
    reports = feedback(host, milliseconds(100));
    ASSERT_EQ(reports.size(), 1U);
    EXPECT_EQ(reports[0].param1(), 2);
    EXPECT_EQ(reports[0].param2(), 5);

    // The Host resends from 2; a late copy of 1 is dropped without a word.
    ASSERT_TRUE(sendData(host, port, 2, 3));
    ASSERT_TRUE(sendData(host, port, 1, 9));
    ASSERT_TRUE(sendData(host, port, 3, 4));
    EXPECT_TRUE(feedback(host, milliseconds(100)).empty());
    ASSERT_TRUE(waitForAudible(rig.sink(), 16));
    EXPECT_EQ(audible(rig.sink()), repeated({1, 2, 3, 4}));
    ASSERT_TRUE(host.disconnect(port));
}

TEST(SinkStreamTest, DatagramsThatArriveBeforeTheTransportWorkerServesTheConnectionAreKept) {
    SinkRig rig;
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), unpaced(), {}, false));
    const uint16_t port = rig.connect(cdFormat());
    ASSERT_NE(port, 0);
    for (uint16_t sequence = 0; sequence < 10; ++sequence) {
        ASSERT_TRUE(sendData(*rig.client, port, sequence, static_cast<uint8_t>(sequence + 1)));
    }
    for (int i = 0; i < 200 && rig.sink().packetRing().available() < 10; ++i) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    // A worker that comes late (a busy machine) must not take the
    // connection's first datagrams for leftovers.
    ASSERT_TRUE(rig.sink().startTransport());
    ASSERT_TRUE(waitForAudible(rig.sink(), 40));
    EXPECT_EQ(audible(rig.sink()), repeated({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    ASSERT_TRUE(rig.client->disconnect(port));
}

TEST(SinkStreamTest, SequenceNumbersWrapAfter65535) {
#if defined(__SANITIZE_THREAD__)
    // 65 600 datagrams take minutes under ThreadSanitizer; the threads of
    // this path are exercised by the other tests of this file.
    GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
    SinkRig rig;
    TestBackEndOptions options = unpaced();
    options.recordSilence = false; // an unpaced device fills every pause with silence
    // Tens of thousands of datagrams a second: the workers ask for real-time
    // priority as in production, so that a busy machine cannot starve the
    // transport worker until the ring overflows.
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options,
                          [](SinkConfig& config) { config.workerScheduling = VEMRA::RealtimeFifo; }));
    const AudioFormat format = hiResFormat();
    const uint16_t port = rig.connect(format);
    ASSERT_NE(port, 0);

    // 65600 datagrams of 24 bytes at the format's byte rate take about a second.
    std::vector<uint8_t> audio(65600 * 24);
    for (size_t i = 0; i < audio.size(); ++i) {
        audio[i] = static_cast<uint8_t>(i % 251 + 1);
    }
    StreamConfig config;
    config.format = format;
    config.payloadBytes = 24;
    config.flushInterval = 0;
    StreamSender sender(rig.client->socket(), rig.client->sinkAddress(port), config);
    const uint64_t started = VEMRA::clockNow();
    ASSERT_TRUE(sender.stream(audio));
    const uint64_t took = (VEMRA::clockNow() - started) / VEMRA::kPicosecondsPerMillisecond;
    const bool complete = waitForAudible(rig.sink(), audio.size());
    EXPECT_TRUE(complete && audible(rig.sink()) == audio)
        << "streamed in " << took << " ms, resent " << sender.stats().resent << " after "
        << sender.stats().gapReports << " gap reports; played " << audible(rig.sink()).size() << " of "
        << audio.size();
    ASSERT_TRUE(rig.client->disconnect(port));
}

TEST(SinkStreamTest, SilentHostTimesOutAndIdleDisconnectIsAnswered) {
    LogCapture log;
    SinkRig rig;
    ASSERT_TRUE(rig.start());
    const uint16_t port = rig.connect(cdFormat());
    ASSERT_NE(port, 0);
    ASSERT_TRUE(log.waitFor("DisConnect Timeout", milliseconds(10000)));
    // The output started, and only then, after half a second without audio
    // by the sink's own clock, the connection was given up.
    const auto lines = log.lines();
    const auto startedAt = std::find_if(lines.begin(), lines.end(),
                                        [](const LogCapture::Line& line) { return line.text == "do start"; });
    const auto timedOutAt = std::find_if(lines.begin(), lines.end(), [](const LogCapture::Line& line) {
        return line.text.starts_with("DisConnect Timeout ");
    });
    ASSERT_LT(startedAt, timedOutAt);
    std::istringstream fields(timedOutAt->text.substr(19));
    uint64_t lastReceived = 0;
    uint64_t noticed = 0;
    uint64_t silence = 0;
    fields >> lastReceived >> noticed >> silence; // microseconds
    EXPECT_NEAR(static_cast<double>(noticed - lastReceived), static_cast<double>(silence),
                1.0); // each rounded down
    EXPECT_GE(silence, 500000U);
    ASSERT_TRUE(rig.sink().waitForDisconnects(1, 10000));
    for (int i = 0; i < 2000 && rig.sink().connState() != Idle; ++i) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(rig.sink().connState(), Idle);
    // The time-out ends the connection without telling the Host.
    EXPECT_FALSE(rig.client->socket().receive(DISCONNECT_ANS, milliseconds(50)));

    // A DISCONNECT that comes late is answered and changes nothing.
    const auto late = rig.client->disconnect(port, milliseconds(500));
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status() & 2, 0);
    EXPECT_EQ(rig.sink().disconnectCalls(), 1);
    EXPECT_EQ(rig.sink().connState(), Idle);
    EXPECT_TRUE(rig.sink().isRunning());

    // And the sink takes the next connection.
    const uint16_t again = rig.connect(cdFormat());
    ASSERT_NE(again, 0);
    Send ping(STREAM_PING, 0);
    const auto pong = rig.client->socket().request(ping, rig.client->sinkAddress(again), STREAM_PING_ANS);
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->status() & 2, 2);
    ASSERT_TRUE(rig.client->disconnect(again));
}

// A DISCONNECT that lies waiting on the stream port when a Host connects
// (spoofed, or a stale one) belongs to no connection: taken while the sink is
// still Connecting it once set Disconnecting, the node thread then wrote
// Connected over it, and the sink stayed wedged with a drain that never came.
// The node thread is held in connect (state Connecting) and the transport
// worker starts only afterwards, the order in which the fault struck.
TEST(SinkStreamTest, DisconnectWaitingAtConnectTimeNeitherWedgesNorEndsTheConnection) {
    LogCapture log;
    SinkRig rig;
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), TestBackEndOptions(), {}, false));
    rig.sink().holdConnect(true);
    SendBuffer connect;
    connect.setHeader(CONNECT, 0, cdFormat().value());
    ASSERT_TRUE(rig.client->socket().send(connect, rig.node->controlAddress()));
    for (int i = 0; i < 1000 && rig.sink().connectCalls() == 0; ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    ASSERT_EQ(rig.sink().connectCalls(), 1);
    ASSERT_TRUE(log.waitFor("do start", milliseconds(10000)));

    const uint16_t port = rig.sink().boundStreamPort();
    const auto stranger = rig.newClient();
    ASSERT_TRUE(stranger);
    Send disconnect(DISCONNECT, 0);
    ASSERT_TRUE(stranger->socket().send(disconnect, stranger->sinkAddress(port)));
    // Acted on ("DisConnect Pre"), or passed over as a datagram of no use.
    for (int i = 0; i < 1000 && !log.contains("DisConnect Pre") && !log.contains("Socket Receive udp_str:12");
         ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    rig.sink().holdConnect(false);
    const auto answer = rig.client->socket().receive(CONNECT_ANS, milliseconds(10000));
    ASSERT_TRUE(answer);
    ASSERT_TRUE(answer->accepted());
    ASSERT_EQ(answer->param0(), port);
    ASSERT_TRUE(rig.sink().startTransport());

    // The connection is the Host's: its audio plays and its DISCONNECT drains.
    std::vector<uint8_t> audio(17640, 0x5A);
    StreamConfig config;
    config.format = cdFormat();
    StreamSender sender(rig.client->socket(), rig.client->sinkAddress(port), config);
    EXPECT_TRUE(sender.stream(audio));
    const auto drained = rig.client->disconnect(port, milliseconds(10000));
    ASSERT_TRUE(drained);
    EXPECT_EQ(drained->status() & 2, 0);
    EXPECT_EQ(audible(rig.sink()), audio);
    EXPECT_EQ(rig.sink().connState(), Idle);
    EXPECT_EQ(log.count("DisConnect Pre"), 1U);
    // And the sink takes the next one.
    EXPECT_NE(rig.connect(cdFormat()), 0);
}

// At the fastest formats a pre-fill chunk (1/300 s) is far larger than a ring
// slot. Played chunks once went on to carry datagrams and so settled in the
// ring's slots, connection after connection: up to 1023 of them, 335 MB at 16
// channels of 64-bit floats at 768 kHz. The ring keeps the size it started with.
TEST(SinkStreamTest, PrefillChunksNeverSettleInTheRing) {
    SinkRig rig;
    TestBackEndOptions options = unpaced();
    options.recordSilence = false;
    // The Host stays silent while the whole pre-fill plays out, which on a
    // slow build takes longer than the half second of silence that
    // otherwise ends a connection.
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), options, [](SinkConfig& config) {
        config.silenceTimeout = 60 * VEMRA::kPicosecondsPerSecond;
    }));
    // What the ring was built with; its buffers are read again only once the
    // sink is idle and no worker touches them.
    const size_t ringBytes = PacketRing::kSlotCount * rig.sink().packetRing().slotBytes();
    // 100 ms of this format: 30 chunks of 327 680 bytes.
    const uint16_t port = rig.connect(makeFormat(AudioFormat::kFloat64, 768000, 16));
    ASSERT_NE(port, 0);
    // The first datagram plays after the whole pre-fill; those after it are
    // moved into the queue once the played chunks are free.
    ASSERT_TRUE(sendData(*rig.client, port, 0, 1, 128));
    ASSERT_TRUE(waitForAudible(rig.sink(), 128));
    for (uint16_t sequence = 1; sequence < 40; ++sequence) {
        ASSERT_TRUE(sendData(*rig.client, port, sequence, static_cast<uint8_t>(sequence + 1), 128));
    }
    ASSERT_TRUE(waitForAudible(rig.sink(), 40 * 128));
    ASSERT_TRUE(rig.client->disconnect(port));
    for (int i = 0; i < 1000 && rig.sink().connState() != Idle; ++i) {
        std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_EQ(rig.sink().connState(), Idle);
    EXPECT_EQ(rig.sink().packetRing().heldBytes(), ringBytes);
}

TEST(SinkStreamTest, MsDatagramsCarryTheFlushMarkInTheirTrailer) {
    SinkRig rig;
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), unpaced()));
    const auto connection = rig.client->connectMs(cdFormat());
    ASSERT_TRUE(connection);
    ASSERT_TRUE(connection->accepted);
    ASSERT_NE(connection->msPort, 0);
    SinkClient& host = *rig.client;

    for (uint8_t sequence = 0; sequence < 5; ++sequence) {
        ASSERT_TRUE(sendMs(host, connection->msPort, sequence, static_cast<uint8_t>(sequence + 1)));
    }
    ASSERT_TRUE(sendMs(host, connection->msPort, 0x85, 6)); // sequence 5 with the flush mark
    // STREAM_DATA is not audio in MS mode.
    ASSERT_TRUE(sendData(host, connection->streamPort, 0, 0x77));
    ASSERT_TRUE(waitForAudible(rig.sink(), 24));
    // The level report goes out with the first datagram accepted after the
    // transport worker has turned the flush mark into a rate.
    uint8_t next = 6;
    std::optional<HostAnswer> level;
    while (!level && next < 100) {
        ASSERT_TRUE(sendMs(host, connection->msPort, next, static_cast<uint8_t>(next + 1)));
        ++next;
        level = host.socket().receive(STREAM_FEEDBACK, milliseconds(100));
    }
    ASSERT_TRUE(level);
    EXPECT_EQ(level->status() & kLevelReport, kLevelReport);
    EXPECT_EQ(level->param2(), 1000);
    EXPECT_EQ(level->param0(), SinkBuffer::rateFor(level->param1(), 1000));

    ASSERT_TRUE(sendMs(host, connection->msPort, static_cast<uint8_t>(next + 2), 0x7F)); // `next` expected
    const auto gap = host.socket().receive(STREAM_FEEDBACK, milliseconds(2000));
    ASSERT_TRUE(gap);
    EXPECT_EQ(gap->status() & kGapReport, kGapReport);
    EXPECT_EQ(gap->param1(), next);
    EXPECT_EQ(gap->param2(), next + 2);

    std::vector<uint8_t> expected;
    for (uint8_t fill = 1; fill <= next; ++fill) {
        expected.insert(expected.end(), 4, fill);
    }
    ASSERT_TRUE(waitForAudible(rig.sink(), expected.size()));
    EXPECT_EQ(audible(rig.sink()), expected);
    ASSERT_TRUE(host.disconnect(connection->streamPort));
    EXPECT_EQ(rig.sink().connState(), Idle);
}

// Forwards the Host's audio datagrams to the sink, losing the ones named
// (the first time each passes). Feedback goes from the sink straight to the
// Host, which connected from its own socket.
class LossyRelay {
public:
    LossyRelay(const VEMRA::SocketAddress& to, std::vector<uint64_t> lose)
        : target(to), losses(std::move(lose)) {
        EXPECT_TRUE(socket.open(VEMRA::SocketAddress::loopback(0)));
        thread = std::thread([this] { run(); });
    }
    ~LossyRelay() {
        running = false;
        thread.join();
    }
    VEMRA::SocketAddress address() const { return VEMRA::SocketAddress::loopback(socket.localPort()); }
    uint64_t lost() const { return dropped.load(); }

private:
    void run() {
        uint64_t index = 0;
        while (running.load()) {
            const auto datagram = socket.receiveAny(milliseconds(5));
            if (!datagram) {
                continue;
            }
            if (std::find(losses.begin(), losses.end(), index++) != losses.end()) {
                ++dropped;
                continue;
            }
            socket.sendBytes(datagram->bytes.data(), datagram->bytes.size(), target);
        }
    }

    HostSocket socket;
    VEMRA::SocketAddress target;
    std::vector<uint64_t> losses; // datagram counts as the relay sees them
    std::atomic<bool> running{true};
    std::atomic<uint64_t> dropped{0};
    std::thread thread;
};

TEST(SinkStreamTest, HostResendsFromTheExpectedSequenceAfterALoss) {
    for (const bool ms : {false, true}) {
        SCOPED_TRACE(ms ? "MS datagrams" : "STREAM_DATA");
        SinkRig rig;
        ASSERT_TRUE(rig.start());
        const auto connection = ms ? rig.client->connectMs(cdFormat()) : rig.client->connect(cdFormat());
        ASSERT_TRUE(connection);
        ASSERT_TRUE(connection->accepted);
        LossyRelay relay(rig.client->sinkAddress(ms ? connection->msPort : connection->streamPort),
                         {40, 41, 150});

        std::vector<uint8_t> audio(176400 / 2); // half a second
        for (size_t i = 0; i < audio.size(); ++i) {
            audio[i] = static_cast<uint8_t>(i % 253 + 1);
        }
        StreamConfig config;
        config.format = cdFormat();
        config.ms = ms;
        // Enough datagrams for the losses to fall inside the stream, yet few
        // enough per second that fewer than 128 are ever in flight: an MS
        // sequence number is only 7 bits wide.
        config.payloadBytes = 512;
        // The relay adds a hop and a busy machine delays the gap reports:
        // they are served until the sink has played everything.
        config.linger = milliseconds(30000);
        config.lingerDone = [&] { return audible(rig.sink()).size() >= audio.size(); };
        StreamSender sender(rig.client->socket(), relay.address(), config);
        ASSERT_TRUE(sender.stream(audio));
        EXPECT_TRUE(waitForAudible(rig.sink(), audio.size()));
        ASSERT_TRUE(rig.client->disconnect(connection->streamPort));
        EXPECT_EQ(relay.lost(), 3U);
        EXPECT_GE(sender.stats().gapReports, 2U);
        EXPECT_GE(sender.stats().resent, 3U);
        EXPECT_TRUE(audible(rig.sink()) == audio)
            << audible(rig.sink()).size() << " of " << audio.size() << " bytes played, "
            << sender.stats().gapReports << " gap reports, " << sender.stats().staleGapReports << " stale";
    }
}

// A full ring ends the connection, and the transport worker then stops the
// sink, whether it was stuck in a stalled device write or came too late to
// serve the connection at all (a busy machine can keep it off the processor
// until the ring is full).
TEST(SinkStreamTest, FullRingEndsTheConnectionAndStopsTheSink) {
    for (const bool lateWorker : {false, true}) {
        SCOPED_TRACE(lateWorker ? "transport worker starts after the ring filled" : "device stalls");
        LogCapture log;
        SinkRig rig;
        ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), TestBackEndOptions(), {}, !lateWorker));
        rig.sink().hold(true); // the device stalls on its first write
        const uint16_t port = rig.connect(cdFormat());
        ASSERT_NE(port, 0);
        // The transport worker may have moved what arrived before its first
        // write into its queue; after that nothing leaves the ring. On a busy
        // machine the socket may drop datagrams of this unpaced burst: the sink
        // then asks for the missing one, and the Host goes back to it.
        uint16_t sequence = 0;
        const auto deadline = std::chrono::steady_clock::now() + milliseconds(10000);
        while (!log.contains("er3 dissconect") && std::chrono::steady_clock::now() < deadline) {
            for (int burst = 0; burst < 64; ++burst, ++sequence) {
                ASSERT_TRUE(sendData(*rig.client, port, sequence, 1));
            }
            while (auto report = rig.client->socket().receive(STREAM_FEEDBACK, milliseconds(0))) {
                if ((report->status() & kGapReport) != 0) {
                    sequence = report->param1();
                }
            }
        }
        ASSERT_TRUE(log.waitFor("er3 dissconect", milliseconds(2000)));
        EXPECT_EQ(rig.sink().connState(), Idle);
        EXPECT_EQ(rig.sink().currentStatusWord() & 2, 0);
        if (lateWorker) {
            ASSERT_TRUE(rig.sink().startTransport());
        }
        rig.sink().hold(false);
        EXPECT_TRUE(log.waitFor("illegal Exit buffer", milliseconds(10000)));
        EXPECT_TRUE(rig.node->waitUntilStopped(10000));
        for (int i = 0; i < 1000 && !rig.node->controlEnded(); ++i) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        EXPECT_TRUE(rig.node->controlEnded()); // the node gives the sink up
    }
}

TEST(SinkStreamTest, StreamsWhenRealTimePriorityIsRefused) {
    LogCapture log;
    SinkRig rig;
    // Mode 4 asks for SCHED_RR at priority 0, which the kernel always refuses.
    ASSERT_TRUE(rig.start(SinkRig::defaultInfo(), TestBackEndOptions(),
                          [](SinkConfig& config) { config.workerScheduling = 4; }));
    const uint16_t port = rig.connect(cdFormat());
    ASSERT_NE(port, 0);
    std::vector<uint8_t> audio(17640, 0x5A);
    StreamConfig config;
    config.format = cdFormat();
    StreamSender sender(rig.client->socket(), rig.client->sinkAddress(port), config);
    ASSERT_TRUE(sender.stream(audio));
    ASSERT_TRUE(rig.client->disconnect(port));
    EXPECT_EQ(audible(rig.sink()), audio);
    EXPECT_EQ(log.count("ThreadPriority Err "), 2U);
    EXPECT_TRUE(rig.sink().isRunning());
}

} // namespace
} // namespace QUORVEL
