#include "host/PushPlayer.h"

#include "foundation/Completes.h"

#include <cerrno>

namespace QUORVEL {

namespace {

// The handshake is five requests, each waiting at most the answer time-out.
constexpr int kHandshakeRequests = 5;
constexpr auto kGrace = std::chrono::milliseconds(1000);

int errnoFor(const PlayResult& result, bool connected) {
    switch (result.outcome) {
    case PlayResult::Outcome::Finished:
    case PlayResult::Outcome::Stopped:
        return 0;
    case PlayResult::Outcome::Refused:
        return result.busy ? -EBUSY : -EINVAL;
    case PlayResult::Outcome::Failed:
        break;
    }
    if (!connected) {
        return -EIO;
    }
    // Once connected: a sink that fell silent is gone, as an unplugged card
    // is; a player that left the sink without audio too long (stalled), or a
    // sink that ended the connection, is an underrun, and a new start
    // connects again.
    return result.sinkSilent ? -ENODEV : -EPIPE;
}

} // namespace

PushPlayer::PushPlayer(const VEMRA::SocketAddress& controlAddress, PlayOptions playOptions,
                       std::function<void()> wakeCallback)
    : control(controlAddress), options(std::move(playOptions)), wake(std::move(wakeCallback)) {}

PushPlayer::~PushPlayer() {
    stopFlag.store(true);
    joinSession();
}

bool PushPlayer::configure(AudioFormat format, size_t queueBytes) {
    stopFlag.store(true);
    joinSession();
    source.reset();
    return VEMRA::completes([&] {
        source = std::make_unique<PushSource>(format, queueBytes, [this](size_t room) { onConsumed(room); });
    });
}

void PushPlayer::reset() {
    stopFlag.store(true);
    joinSession();
    if (source) {
        source->reset();
    }
    std::lock_guard<std::mutex> guard(lock);
    phase = Phase::Idle;
    error = 0;
    errorText.clear();
}

size_t PushPlayer::push(std::span<const uint8_t> bytes) {
    return source ? source->push(bytes) : 0;
}

int PushPlayer::start() {
    // A stream stopped a moment ago may still wait for its disconnect answer;
    // the sink takes no new connection before that.
    joinSession();
    if (!source) {
        return -EBADFD;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        phase = Phase::Connecting;
        sessionDone = false;
        error = 0;
        errorText.clear();
    }
    stopFlag.store(false);
    if (!VEMRA::completes([&] { session = std::thread([this] { runSession(); }); })) {
        std::lock_guard<std::mutex> guard(lock);
        phase = Phase::Idle;
        sessionDone = true;
        return -EAGAIN;
    }
    std::unique_lock<std::mutex> guard(lock);
    const auto limit = options.timeout * kHandshakeRequests + kGrace;
    if (!changed.wait_for(guard, limit, [this] { return phase != Phase::Connecting; })) {
        stopFlag.store(true);
        return -ETIMEDOUT;
    }
    return error;
}

void PushPlayer::stop() {
    stopFlag.store(true);
}

int PushPlayer::drain() {
    if (!source) {
        return 0;
    }
    source->finish();
    std::unique_lock<std::mutex> guard(lock);
    if (phase == Phase::Idle) {
        return 0;
    }
    // What is queued goes out at the stream's rate, then the sink plays out
    // its own buffer before it answers the disconnect.
    const uint64_t rate = std::max<uint64_t>(source->format().bytesPerSecond(), 1);
    const auto queued = std::chrono::milliseconds(source->queuedBytes() * 1000 / rate);
    const auto limit = queued + options.linger + options.drainTimeout + kGrace;
    if (!changed.wait_for(guard, limit, [this] { return sessionDone; })) {
        stopFlag.store(true);
        errorText = "the sink did not finish playing within " + std::to_string(limit.count()) + " ms";
        return -ETIMEDOUT;
    }
    return error;
}

int PushPlayer::failure() const {
    std::lock_guard<std::mutex> guard(lock);
    return error;
}

std::string PushPlayer::failureText() const {
    std::lock_guard<std::mutex> guard(lock);
    return errorText;
}

bool PushPlayer::running() const {
    std::lock_guard<std::mutex> guard(lock);
    return phase == Phase::Streaming;
}

void PushPlayer::onConsumed(size_t roomBefore) {
    // Only when the room grows past the mark: a player that sleeps until it
    // can write a period wakes once a period, not once a datagram. The wake
    // that finish() was read to the end causes comes with the whole capacity.
    const size_t mark = wakeRoom.load(std::memory_order_relaxed);
    if (wake && (roomBefore < mark || roomBefore == source->capacity()) && source->freeBytes() >= mark) {
        wake();
    }
}

void PushPlayer::runSession() {
    PlayOptions sessionOptions = options;
    sessionOptions.progress = [this](const PlayProgress& progress) {
        if (progress.levelReports != 0) {
            sinkFill.store(progress.fill, std::memory_order_relaxed);
        }
    };
    sessionOptions.stage = [this](PlayStage stage, const PlayResult& result) {
        {
            std::lock_guard<std::mutex> guard(lock);
            const bool connected = phase == Phase::Streaming;
            if (stage == PlayStage::Connected) {
                phase = Phase::Streaming;
            } else {
                error = errnoFor(result, connected);
                errorText = result.error;
                phase = Phase::Ended;
            }
        }
        changed.notify_all();
        if (wake) {
            wake();
        }
    };
    PlaySession playSession(control, std::move(sessionOptions));
    const PlayResult result = playSession.play(*source, stopFlag);
    {
        std::lock_guard<std::mutex> guard(lock);
        sessionDone = true;
        if (error == 0 && result.outcome == PlayResult::Outcome::Failed) {
            // The drain was not answered.
            error = -EIO;
            errorText = result.error;
        }
    }
    changed.notify_all();
    if (wake) {
        wake();
    }
}

void PushPlayer::joinSession() {
    if (session.joinable()) {
        session.join();
    }
}

} // namespace QUORVEL
