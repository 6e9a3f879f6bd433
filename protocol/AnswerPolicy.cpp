#include "protocol/AnswerPolicy.h"

#include "foundation/Log.h"

#include <algorithm>
#include <cerrno>

namespace QUORVEL {

namespace {

// Refills look at most this far back, which keeps the arithmetic in range.
constexpr uint64_t kLongestRefill = 60 * VEMRA::kPicosecondsPerSecond;

} // namespace

bool AnswerPolicy::LineBudget::allow(uint64_t now) {
    if (stamp == 0) {
        stamp = now;
    }
    const auto elapsed = static_cast<int64_t>(now - stamp);
    if (elapsed > 0) {
        const uint64_t gained = std::min<uint64_t>(static_cast<uint64_t>(elapsed), kLongestRefill) *
                                perSecond / VEMRA::kPicosecondsPerSecond;
        if (gained != 0) {
            tokens = std::min<uint64_t>(perSecond, tokens + gained);
            stamp = now;
        }
    }
    if (tokens == 0) {
        ++skipped;
        return false;
    }
    --tokens;
    if (skipped != 0) {
        VEMRA::logLine(VEMRA::kLogInfo, "Answer log lines skipped : ") << static_cast<unsigned long long>(skipped);
        skipped = 0;
    }
    return true;
}

AnswerPolicy::AnswerPolicy() : AnswerPolicy(Config{}) {}

AnswerPolicy::AnswerPolicy(Config policyConfig)
    : config(std::move(policyConfig)), failureLines(config.logLinesPerSecond) {}

uint64_t AnswerPolicy::now() const {
    return config.clock ? config.clock() : VEMRA::clockNow();
}

bool AnswerPolicy::isSocketBroken(int error) {
    switch (error) {
    case EBADF:
    case ENOTSOCK:
    case EFAULT:
    case EPIPE:
        return true;
    default:
        // EINVAL, EHOSTUNREACH, ENETUNREACH, EACCES, EPERM, EAGAIN, ENOBUFS,
        // EADDRNOTAVAIL, EMSGSIZE and the rest: this destination, this time.
        return false;
    }
}

bool AnswerPolicy::admits(const VEMRA::SocketAddress& from, uint16_t code) {
    (void)code;
    if (from.port == 0) {
        VEMRA::logLine(VEMRA::kLogDebug, "Drop source port 0 : ") << from;
        return false;
    }
    return true;
}

AnswerPolicy::Outcome AnswerPolicy::send(VEMRA::Socket& socket, std::span<const uint8_t> bytes,
                                         const VEMRA::SocketAddress& to, const char* errorText, int site,
                                         int quietError) {
    if (socket.sendTo(bytes.data(), bytes.size(), to, true)) {
        return Outcome::Sent;
    }
    failure = socket.error();
    const bool broken = isSocketBroken(failure);
    if (broken || (failure != quietError && failureLines.allow(now()))) {
        VEMRA::logLine(VEMRA::kLogError, errorText) << site << ":" << failure;
    }
    if (broken) {
        return Outcome::Broken;
    }
    ++dropped;
    return Outcome::Dropped;
}

} // namespace QUORVEL
