// ctest-labels: threads
#include "host/PlaySession.h"
#include "host/PushPlayer.h"
#include "protocol/MessageCode.h"
#include "support/LogCapture.h"
#include "support/SinkRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>

// Allocations made by each thread, for the test of the streaming loop.
thread_local uint64_t allocations = 0;

[[gnu::noinline]] void* operator new(std::size_t size) {
    ++allocations;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        std::abort();
    }
    return block;
}
// The non-throwing form too, or its blocks would reach the delete below
// from another allocator.
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace QUORVEL {
namespace {

using std::chrono::milliseconds;

// Audio from memory, handed out in pieces of at most `piece` bytes so the
// session has to gather its datagrams from several reads.
class MemorySource : public AudioSource {
public:
    MemorySource(AudioFormat format, std::vector<uint8_t> bytes, size_t piece = 1000)
        : streamFormat(format), audio(std::move(bytes)), piece(piece - piece % format.frameBytes()) {}

    AudioFormat format() const override { return streamFormat; }
    std::string description() const override { return "memory"; }
    std::optional<uint64_t> totalFrames() const override { return audio.size() / streamFormat.frameBytes(); }
    std::optional<size_t> read(std::span<uint8_t> bytes) override {
        if (failAt != 0 && position >= failAt) {
            return std::nullopt;
        }
        size_t count = std::min({bytes.size(), audio.size() - position, piece});
        count -= count % streamFormat.frameBytes();
        std::copy_n(audio.begin() + static_cast<std::ptrdiff_t>(position), count, bytes.begin());
        position += count;
        return count;
    }
    const std::string& error() const override { return failure; }

    size_t failAt = 0; // reads fail from this byte on (0 = never)

private:
    AudioFormat streamFormat;
    std::vector<uint8_t> audio;
    size_t piece;
    size_t position = 0;
    std::string failure = "disk on fire";
};

std::vector<uint8_t> randomAudio(size_t bytes, uint32_t seed) {
    std::vector<uint8_t> audio(bytes);
    std::mt19937 random(seed);
    for (uint8_t& byte : audio) {
        byte = static_cast<uint8_t>(random());
    }
    return audio;
}

// The sink's recording must be its pre-fill silence, then exactly `audio`.
// Writes of nothing but silence (the pre-fill, and underrun blocks when a
// busy machine delays the Host) are left out of the comparison: the tests'
// audio never fills a whole datagram with zeros.
void expectPlayedExactly(TestSinkBackEnd& sink, AudioFormat format, uint16_t latency,
                         const std::vector<uint8_t>& audio) {
    const std::vector<uint8_t> recorded = sink.recorded();
    const uint64_t prefill = SinkBuffer::prefillFor(format, latency).total;
    ASSERT_GE(recorded.size(), prefill + audio.size());
    const uint8_t silence = format.silenceByte();
    const auto silent = [silence](uint8_t byte) { return byte == silence; };
    EXPECT_TRUE(
        std::all_of(recorded.begin(), recorded.begin() + static_cast<std::ptrdiff_t>(prefill), silent));
    std::vector<uint8_t> audible;
    size_t underruns = 0;
    auto write = recorded.begin() + static_cast<std::ptrdiff_t>(prefill);
    size_t skipped = 0;
    for (const size_t size : sink.writeSizes()) {
        if (skipped < prefill) {
            skipped += size; // the pre-fill's own writes
            continue;
        }
        const auto end = write + static_cast<std::ptrdiff_t>(size);
        if (std::all_of(write, end, silent)) {
            ++underruns;
        } else {
            audible.insert(audible.end(), write, end);
        }
        write = end;
    }
    ASSERT_EQ(skipped, prefill);
    const auto mismatch = std::mismatch(audio.begin(), audio.end(), audible.begin(), audible.end());
    EXPECT_EQ(mismatch.first, audio.end())
        << "first differing byte at " << (mismatch.first - audio.begin()) << " of " << audio.size() << ", "
        << audible.size() << " audible bytes, " << underruns << " silent writes after the pre-fill";
    EXPECT_EQ(audible.size(), audio.size());
}

class PlaySessionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(restart()); }

    // A fresh sink, whose recording starts empty.
    bool restart(const TestBackEndOptions& backEnd = TestBackEndOptions()) {
        rig.reset();
        rig = std::make_unique<SinkRig>();
        return rig->start(SinkRig::defaultInfo(), backEnd);
    }

    PlayResult play(AudioSource& source, PlayOptions options = PlayOptions()) {
        options.progress = [this](const PlayProgress& progress) { reports.push_back(progress); };
        PlaySession session(rig->node->controlAddress(), options);
        return session.play(source, stop);
    }

    std::unique_ptr<SinkRig> rig;
    std::atomic<bool> stop{false};
    std::vector<PlayProgress> reports;
};

TEST_F(PlaySessionTest, AudioArrivesBitExactWithProgressAndLevelReports) {
    for (const bool ms : {false, true}) {
        SCOPED_TRACE(ms ? "MS datagrams" : "STREAM_DATA");
        reports.clear();
        const AudioFormat format = makeFormat(AudioFormat::kPcm24, 96000, 2);
        const std::vector<uint8_t> audio = randomAudio(format.bytesPerSecond() * 3 / 2, ms ? 2 : 1);
        MemorySource source(format, audio);
        PlayOptions options;
        options.ms = ms;
        const PlayResult result = play(source, options);
        ASSERT_EQ(result.outcome, PlayResult::Outcome::Finished) << result.error;
        EXPECT_TRUE(result.drained);
        EXPECT_EQ(rig->sink().connState(), Idle);
        EXPECT_EQ(result.progress.framesSent, audio.size() / 6);
        EXPECT_EQ(result.progress.totalFrames, audio.size() / 6);
        EXPECT_EQ(result.progress.resent, 0U);
        EXPECT_EQ(result.progress.gapReports, 0U);
        ASSERT_GT(result.progress.levelReports, 0U);
        EXPECT_EQ(result.progress.target, result.latency);
        EXPECT_EQ(result.progress.rate, SinkBuffer::rateFor(result.progress.fill, result.progress.target));
        // About ten reports a second over a stream of 1.5 s, the last one final.
        EXPECT_GE(reports.size(), 10U);
        EXPECT_EQ(reports.back().framesSent, audio.size() / 6);
        EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end(),
                                   [](const auto& a, const auto& b) { return a.framesSent < b.framesSent; }));
        expectPlayedExactly(rig->sink(), format, result.latency, audio);
        const std::vector<std::string> names = rig->sink().hostNames();
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names.back(), "quorvel_host");
        ASSERT_TRUE(restart());
    }
}

TEST_F(PlaySessionTest, StreamingLoopAllocatesNothingPerDatagram) {
    const AudioFormat format = cdFormat();
    MemorySource source(format, randomAudio(format.bytesPerSecond(), 8));
    // Allocations on this thread when each progress call begins and ends;
    // between two calls only the streaming loop runs.
    std::vector<std::pair<uint64_t, uint64_t>> marks;
    marks.reserve(1000);
    PlayOptions options;
    options.progress = [&marks](const PlayProgress&) {
        if (marks.size() < marks.capacity()) {
            marks.emplace_back(allocations, 0);
            marks.back().second = allocations;
        }
    };
    PlaySession session(rig->node->controlAddress(), options);
    const PlayResult result = session.play(source, stop);
    ASSERT_EQ(result.outcome, PlayResult::Outcome::Finished) << result.error;
    ASSERT_GT(result.progress.levelReports, 0U);
    ASSERT_GE(marks.size(), 6U);
    // The last call follows the disconnect, outside the loop.
    for (size_t i = 1; i + 1 < marks.size(); ++i) {
        EXPECT_EQ(marks[i].first - marks[i - 1].second, 0U)
            << "between progress calls " << i - 1 << " and " << i;
    }
}

TEST_F(PlaySessionTest, NativeDsdGoesInTheWordOrderTheSinkTakes) {
    const AudioFormat littleEndian(AudioFormat::kDsd1 | AudioFormat::kDsdMsbFirst |
                                   AudioFormat::kDsdLittleEndian | AudioFormat::kDsdWidth4 |
                                   AudioFormat::rateBits(2822400) | AudioFormat::channelBit(2));
    const std::vector<uint8_t> audio = randomAudio(littleEndian.bytesPerSecond() / 2, 9);
    for (const bool bigEndianOnly : {false, true}) {
        SCOPED_TRACE(bigEndianOnly ? "big-endian words only" : "little-endian words");
        TestBackEndOptions backEnd;
        if (bigEndianOnly) {
            backEnd.capabilities = ~AudioFormat::kDsdLittleEndian;
        }
        ASSERT_TRUE(restart(backEnd));
        MemorySource source(littleEndian, audio);
        const PlayResult result = play(source);
        ASSERT_EQ(result.outcome, PlayResult::Outcome::Finished) << result.error;
        EXPECT_EQ(result.format.value() & (AudioFormat::kDsdLittleEndian | AudioFormat::kDsdBigEndian),
                  bigEndianOnly ? AudioFormat::kDsdBigEndian : AudioFormat::kDsdLittleEndian);
        std::vector<uint8_t> expected = audio;
        if (bigEndianOnly) {
            for (size_t word = 0; word < expected.size(); word += 4) {
                std::reverse(expected.begin() + static_cast<std::ptrdiff_t>(word),
                             expected.begin() + static_cast<std::ptrdiff_t>(word + 4));
            }
        }
        expectPlayedExactly(rig->sink(), littleEndian, result.latency, expected);
    }
}

TEST(PlayProgressTest, RateWordDecodesToTheSinksCorrection) {
    PlayProgress progress;
    for (const auto& [fill, target] : {std::pair<uint16_t, uint16_t>{500, 1000},
                                       {0, 1000},
                                       {1500, 1000},
                                       {1000, 1000},
                                       {1, 3},
                                       {2999, 3000}}) {
        progress.rate = SinkBuffer::rateFor(fill, target);
        EXPECT_EQ(progress.rateCorrection(), (fill - target) * 16384 / target) << fill << "/" << target;
    }
}

// Forwards the session's audio datagrams to the sink, losing the ones named
// the first time each passes: STREAM_DATA by sequence number, MS datagrams
// (whose 7-bit numbers wrap) by their count at the relay.
class LossyRelay {
public:
    explicit LossyRelay(std::vector<uint64_t> lose) : losses(std::move(lose)) {
        EXPECT_TRUE(socket.open(VEMRA::SocketAddress::loopback(0)));
        thread = std::thread([this] { run(); });
    }
    ~LossyRelay() {
        running = false;
        thread.join();
    }
    // Called by the session after the connect.
    VEMRA::SocketAddress route(const VEMRA::SocketAddress& sink) {
        std::lock_guard<std::mutex> lock(mutex);
        target = sink;
        return VEMRA::SocketAddress::loopback(socket.localPort());
    }
    uint64_t lost() const { return dropped.load(); }

private:
    void run() {
        uint64_t index = 0;
        std::vector<uint8_t> bytes;
        VEMRA::SocketAddress from;
        while (running.load()) {
            if (!socket.receiveAnyInto(bytes, from, milliseconds(5))) {
                continue;
            }
            const WireMessage message(bytes);
            const bool data = message.isValid() && message.code() == STREAM_DATA;
            const uint64_t key = data ? message.param0() : index;
            ++index;
            const auto lose = std::find(losses.begin(), losses.end(), key);
            if (lose != losses.end()) {
                losses.erase(lose);
                ++dropped;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex);
            socket.sendBytes(bytes.data(), bytes.size(), target);
        }
    }

    HostSocket socket;
    std::mutex mutex;
    VEMRA::SocketAddress target;  // guarded by mutex
    std::vector<uint64_t> losses; // relay thread
    std::atomic<bool> running{true};
    std::atomic<uint64_t> dropped{0};
    std::thread thread;
};

TEST_F(PlaySessionTest, LostDatagramsAreResentFromTheHistory) {
    for (const bool ms : {false, true}) {
        SCOPED_TRACE(ms ? "MS datagrams" : "STREAM_DATA");
        const AudioFormat format = cdFormat();
        const std::vector<uint8_t> audio = randomAudio(format.bytesPerSecond() / 2, 3);
        MemorySource source(format, audio);
        const uint64_t count = (audio.size() + 511) / 512;
        // 40 and 41 in a row, 150 alone and, where the sink names its losses
        // by full sequence numbers, the very last one, which no later
        // datagram reveals.
        std::vector<uint64_t> losses{40, 41, 150};
        if (!ms) {
            losses.push_back(count - 1);
        }
        LossyRelay relay(losses);
        PlayOptions options;
        options.ms = ms;
        options.payloadBytes = 512; // fewer than 128 MS datagrams in flight
        options.history = 256;
        // The relay adds a hop the disconnect does not take: serve late gap
        // reports longer, so the tail arrives before the disconnect.
        options.linger = milliseconds(300);
        options.audioRoute = [&relay](const VEMRA::SocketAddress& sink) { return relay.route(sink); };
        const PlayResult result = play(source, options);
        ASSERT_EQ(result.outcome, PlayResult::Outcome::Finished) << result.error;
        EXPECT_EQ(relay.lost(), losses.size());
        EXPECT_GE(result.progress.gapReports, 2U);
        EXPECT_GE(result.progress.resent, 3U);
        EXPECT_EQ(result.progress.datagrams, count);
        expectPlayedExactly(rig->sink(), format, result.latency, audio);
        ASSERT_TRUE(restart());
    }
}

TEST_F(PlaySessionTest, StopEndsAnEndlessToneAndTheSinkDrains) {
    std::string error;
    auto tone = makeToneSource(997, 48000, 16, 2, 0, error);
    ASSERT_NE(tone, nullptr) << error;
    PlayOptions options;
    options.progress = nullptr;
    PlaySession session(rig->node->controlAddress(), options);
    std::thread stopper([this] {
        std::this_thread::sleep_for(milliseconds(600));
        stop = true;
    });
    const PlayResult result = session.play(*tone, stop);
    stopper.join();
    EXPECT_EQ(result.outcome, PlayResult::Outcome::Stopped) << result.error;
    EXPECT_TRUE(result.ok());
    EXPECT_TRUE(result.drained);
    EXPECT_EQ(rig->sink().connState(), Idle);
    EXPECT_FALSE(result.progress.totalFrames.has_value());
    ASSERT_GT(result.progress.framesSent, 0U);

    // What the sink played is the tone from its start, cut where the stream stopped.
    auto again = makeToneSource(997, 48000, 16, 2, 0, error);
    std::vector<uint8_t> expected(result.progress.framesSent * 4);
    ASSERT_EQ(again->read(expected), expected.size());
    expectPlayedExactly(rig->sink(), tone->format(), result.latency, expected);
}

TEST_F(PlaySessionTest, BusySinkAndUnplayableFormatAreRefusedInOneLine) {
    const uint16_t port = rig->connect(cdFormat()); // another Host holds the sink
    ASSERT_NE(port, 0);
    MemorySource source(cdFormat(), randomAudio(4000, 4));
    const PlayResult busy = play(source);
    EXPECT_EQ(busy.outcome, PlayResult::Outcome::Refused);
    EXPECT_NE(busy.error.find("busy"), std::string::npos) << busy.error;
    EXPECT_EQ(busy.error.find('\n'), std::string::npos);
    ASSERT_TRUE(rig->client->disconnect(port));

    TestBackEndOptions noHiRes;
    noHiRes.capabilities = ~AudioFormat::kPcm24;
    ASSERT_TRUE(restart(noHiRes));
    const AudioFormat format = makeFormat(AudioFormat::kPcm24, 352800, 2);
    MemorySource unplayable(format, randomAudio(6000, 5));
    const PlayResult refused = play(unplayable);
    EXPECT_EQ(refused.outcome, PlayResult::Outcome::Refused);
    EXPECT_NE(refused.error.find("cannot play 24-bit integer, 352800 Hz, 2 channels"), std::string::npos)
        << refused.error;
    EXPECT_EQ(rig->sink().setFormatCalls(), 0);
}

TEST_F(PlaySessionTest, ReadErrorEndsTheStreamAndStillDisconnects) {
    const AudioFormat format = cdFormat();
    MemorySource source(format, randomAudio(format.bytesPerSecond(), 6));
    source.failAt = 40000;
    const PlayResult result = play(source);
    EXPECT_EQ(result.outcome, PlayResult::Outcome::Failed);
    EXPECT_NE(result.error.find("disk on fire"), std::string::npos) << result.error;
    EXPECT_TRUE(result.drained);
    EXPECT_EQ(rig->sink().connState(), Idle);
}

// A player's thread feeding a PushPlayer as it feeds a sound card: pushes
// whatever fits, and waits for the wake-up when the queue is full.
class Feeder {
public:
    explicit Feeder(const VEMRA::SocketAddress& control, PlayOptions options = PlayOptions())
        : player(control, std::move(options), [this] { woken(); }) {}

    // Pushes all of `audio` in uneven pieces; false when the stream failed.
    bool feed(const std::vector<uint8_t>& audio, size_t from = 0, size_t to = SIZE_MAX) {
        std::mt19937 random(3);
        to = std::min(to, audio.size());
        while (from < to) {
            const size_t piece = std::min<size_t>(to - from, 1 + random() % 5000);
            const size_t taken = player.push(std::span<const uint8_t>(audio.data() + from, piece));
            from += taken;
            if (taken == 0) {
                std::unique_lock<std::mutex> guard(lock);
                wakeUp.wait_for(guard, milliseconds(100), [this] { return wakes != seen; });
                seen = wakes;
                if (player.failure() != 0) {
                    return false;
                }
            }
        }
        return true;
    }

private:
    std::mutex lock;
    std::condition_variable wakeUp;
    uint64_t wakes = 0; // guarded by lock; counted on the session thread
    uint64_t seen = 0;

public:
    // Last: its session thread calls woken() until it is destroyed.
    PushPlayer player;

private:
    void woken() {
        {
            std::lock_guard<std::mutex> guard(lock);
            ++wakes;
        }
        wakeUp.notify_all();
    }
};

TEST_F(PlaySessionTest, PushedAudioArrivesExactlyAndFailuresBecomeErrorCodes) {
    const AudioFormat format = makeFormat(AudioFormat::kPcm24, 48000, 2);
    const std::vector<uint8_t> audio = randomAudio(format.bytesPerSecond(), 11);
    PlayOptions options;
    options.latency = 2000; // 200 ms, within what the sink grants
    options.feedbackTimeout = milliseconds(500);
    Feeder feeder(rig->node->controlAddress(), options);
    // A queue of a fifth of a second, so that the feeder must wait for room.
    ASSERT_TRUE(feeder.player.configure(format, format.bytesPerSecond() / 5));
    ASSERT_TRUE(feeder.feed(audio, 0, 6000));
    ASSERT_EQ(feeder.player.start(), 0) << feeder.player.failureText();

    // Another Host's player finds the sink busy.
    Feeder other(rig->node->controlAddress(), options);
    ASSERT_TRUE(other.player.configure(format, 6000));
    ASSERT_TRUE(other.feed(audio, 0, 6000));
    EXPECT_EQ(other.player.start(), -EBUSY);
    EXPECT_NE(other.player.failureText().find("busy"), std::string::npos) << other.player.failureText();

    ASSERT_TRUE(feeder.feed(audio, 6000));
    ASSERT_EQ(feeder.player.drain(), 0) << feeder.player.failureText();
    EXPECT_EQ(feeder.player.sentBytes(), audio.size());
    EXPECT_EQ(rig->sink().connState(), Idle);
    expectPlayedExactly(rig->sink(), format, options.latency, audio);

    // A player that stalls: an underrun, and after a prepare (reset) the next
    // start connects again.
    {
        PlayOptions stalling = options;
        stalling.stallTimeout = milliseconds(300);
        Feeder staller(rig->node->controlAddress(), stalling);
        ASSERT_TRUE(staller.player.configure(format, 6000));
        ASSERT_TRUE(staller.feed(audio, 0, 6000));
        ASSERT_EQ(staller.player.start(), 0) << staller.player.failureText();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (staller.player.failure() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(50));
        }
        EXPECT_EQ(staller.player.failure(), -EPIPE) << staller.player.failureText();
        staller.player.reset();
        ASSERT_TRUE(staller.feed(audio, 0, 6000));
        EXPECT_EQ(staller.player.start(), 0) << staller.player.failureText();
        staller.player.stop();
    }

    // A sink that vanishes mid-stream: the next push or poll sees -ENODEV.
    feeder.player.reset();
    ASSERT_TRUE(feeder.feed(audio, 0, 6000));
    ASSERT_EQ(feeder.player.start(), 0) << feeder.player.failureText();
    rig.reset();
    EXPECT_FALSE(feeder.feed(audio)) << "the feeder never learnt that the sink was gone";
    EXPECT_EQ(feeder.player.failure(), -ENODEV);
    EXPECT_NE(feeder.player.failureText().find("stopped answering"), std::string::npos)
        << feeder.player.failureText();
}

TEST(PlaySessionNoSinkTest, SilentAddressFailsWithinTheTimeout) {
    HostSocket nobody; // bound, never answers
    ASSERT_TRUE(nobody.open(VEMRA::SocketAddress::loopback(0)));
    PlayOptions options;
    options.timeout = milliseconds(200);
    PlaySession session(VEMRA::SocketAddress::loopback(nobody.localPort()), options);
    MemorySource source(cdFormat(), randomAudio(4000, 7));
    std::atomic<bool> stop{false};
    const PlayResult result = session.play(source, stop);
    EXPECT_EQ(result.outcome, PlayResult::Outcome::Failed);
    EXPECT_NE(result.error.find("no answer"), std::string::npos) << result.error;
}

} // namespace
} // namespace QUORVEL
