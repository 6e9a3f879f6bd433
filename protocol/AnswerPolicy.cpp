#include "protocol/AnswerPolicy.h"

#include "foundation/LocalAddresses.h"
#include "foundation/Log.h"
#include "protocol/MessageCode.h"
#include "protocol/OwnPort.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>

namespace QUORVEL {

namespace {

constexpr uint64_t kMicrosecondsPerSecond = 1'000'000;
// Refills look at most this far back, which keeps the arithmetic in range.
constexpr uint64_t kLongestRefill = 60 * VEMRA::kPicosecondsPerSecond;
constexpr uint64_t kLocalAddressesAge = VEMRA::kPicosecondsPerSecond;

bool isIPv4Loopback(const std::array<uint8_t, 16>& address) {
    static constexpr std::array<uint8_t, 12> kMapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::equal(kMapped.begin(), kMapped.end(), address.begin()) && address[12] == 127;
}

bool isMachineLocal(const VEMRA::SocketAddress& address) {
    return address.isLoopback() || isIPv4Loopback(address.address);
}

} // namespace

void AnswerPolicy::Bucket::refill(uint64_t now, uint64_t perSecond, uint64_t capacity) {
    if (static_cast<int64_t>(now - stamp) <= 0) {
        return;
    }
    const uint64_t elapsed = std::min(now - stamp, kLongestRefill);
    // Microseconds keep elapsed x rate below 2^64 for rates up to 300 GB/s.
    const uint64_t gained = elapsed / VEMRA::kPicosecondsPerMicrosecond * perSecond / kMicrosecondsPerSecond;
    if (gained == 0) {
        return; // keep the stamp, so that small steps add up
    }
    tokens = std::min(capacity, tokens + gained);
    stamp = now;
}

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
        VEMRA::logLine(VEMRA::kLogInfo, "Answer log lines skipped : ")
            << static_cast<unsigned long long>(skipped);
        skipped = 0;
    }
    return true;
}

AnswerPolicy::AnswerPolicy() : AnswerPolicy(Config{}) {}

AnswerPolicy::AnswerPolicy(Config policyConfig)
    : config(std::move(policyConfig)), failureLines(config.logLinesPerSecond),
      limitLines(config.logLinesPerSecond) {
    total.tokens = config.totalBurst;
    total.stamp = now();
}

uint64_t AnswerPolicy::now() const {
    return config.clock ? config.clock() : VEMRA::clockNow();
}

void AnswerPolicy::attach(VEMRA::Socket& socket) {
    sendBuffer = config.sendBufferBytes > 0 ? socket.setSendBufferSize(config.sendBufferBytes) : 0;
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
    if (from.port == 0) {
        VEMRA::logLine(VEMRA::kLogDebug, "Drop source port 0 : ") << from;
        return false;
    }
    if (isInternalCode(code)) {
        return true; // the handlers take them from ::1 only
    }
    if (!isRequestCode(code)) {
        VEMRA::logLine(VEMRA::kLogDebug, "drop message :") << unsigned{code};
        return false;
    }
    if (fromOwnSocket(from)) {
        VEMRA::logLine(VEMRA::kLogDebug, "Drop own source : ") << from;
        return false;
    }
    return true;
}

bool AnswerPolicy::fromOwnSocket(const VEMRA::SocketAddress& from) {
    if (!OwnPort::isOwn(from.hostPort())) {
        return false;
    }
    return isMachineLocal(from) || isLocalAddress(from.address, now());
}

bool AnswerPolicy::isLocalAddress(const std::array<uint8_t, 16>& address, uint64_t at) {
    if (localAddressesRead == 0 || at - localAddressesRead >= kLocalAddressesAge) {
        localAddressesRead = at;
        localAddresses.clear();
        std::map<VEMRA::SocketAddress, std::string> found;
        if (VEMRA::localAddresses(found)) {
            for (const auto& entry : found) {
                localAddresses.push_back(entry.first.address);
            }
        }
    }
    return std::find(localAddresses.begin(), localAddresses.end(), address) != localAddresses.end();
}

AnswerPolicy::Source& AnswerPolicy::source(const VEMRA::SocketAddress& address, uint64_t at) {
    Source* oldest = &sources[0];
    for (Source& entry : sources) {
        if (entry.lastUsed != 0 && entry.address == address.address && entry.scope == address.scope) {
            entry.lastUsed = at;
            return entry;
        }
        if (entry.lastUsed == 0 || (oldest->lastUsed != 0 && entry.lastUsed < oldest->lastUsed)) {
            oldest = &entry;
        }
    }
    // A new source, or one forgotten since: it starts small.
    Source& fresh = *oldest;
    fresh.address = address.address;
    fresh.scope = address.scope;
    fresh.lastUsed = at;
    fresh.bytes = {std::min(config.sourceStart, config.sourceBurst), at};
    fresh.echoes = {config.echoBurst, at};
    return fresh;
}

bool AnswerPolicy::mayEcho(const VEMRA::SocketAddress& from) {
    const uint64_t at = now();
    Source& entry = source(from, at);
    const auto elapsed = static_cast<int64_t>(at - entry.echoes.stamp);
    if (config.echoInterval != 0 && elapsed > 0) {
        const uint64_t steps =
            std::min<uint64_t>(static_cast<uint64_t>(elapsed), kLongestRefill) / config.echoInterval;
        if (steps != 0) {
            entry.echoes.tokens = std::min<uint64_t>(config.echoBurst, entry.echoes.tokens + steps);
            entry.echoes.stamp += steps * config.echoInterval;
        }
    }
    if (entry.echoes.tokens == 0) {
        ++dropped;
        logLimit(from, "echo", at);
        return false;
    }
    --entry.echoes.tokens;
    return true;
}

void AnswerPolicy::logLimit(const VEMRA::SocketAddress& to, const char* reason, uint64_t at) {
    if (limitLines.allow(at)) {
        VEMRA::logLine(VEMRA::kLogInfo, "Answer limit : ") << to << " " << reason;
    }
}

AnswerPolicy::Outcome AnswerPolicy::send(VEMRA::Socket& socket, std::span<const uint8_t> bytes,
                                         const VEMRA::SocketAddress& to, const char* errorText, int site,
                                         int quietError) {
    const uint64_t at = now();
    const uint64_t length = bytes.size();
    Source* entry = nullptr;
    if (!isMachineLocal(to)) {
        entry = &source(to, at);
        entry->bytes.refill(at, config.sourceRate, config.sourceBurst);
        total.refill(at, config.totalRate, config.totalBurst);
        if (entry->bytes.tokens < length) {
            ++dropped;
            logLimit(to, "source", at);
            return Outcome::Dropped;
        }
        if (total.tokens < length) {
            ++dropped;
            logLimit(to, "total", at);
            return Outcome::Dropped;
        }
        if (sendBuffer > 0 && config.queueShare > 0) {
            const int queued = socket.queuedBytes();
            if (queued >= 0 && static_cast<uint64_t>(queued) + length >
                                   static_cast<uint64_t>(sendBuffer / config.queueShare)) {
                ++dropped;
                logLimit(to, "queue", at);
                return Outcome::Dropped;
            }
        }
    }
    if (socket.sendToNow(bytes.data(), bytes.size(), to)) {
        if (entry != nullptr) {
            entry->bytes.tokens -= length;
            total.tokens -= length;
        }
        return Outcome::Sent;
    }
    failure = socket.error();
    const bool broken = isSocketBroken(failure);
    if (broken || (failure != quietError && failureLines.allow(at))) {
        VEMRA::logLine(VEMRA::kLogError, errorText) << site << ":" << failure;
    }
    if (broken) {
        return Outcome::Broken;
    }
    ++dropped;
    return Outcome::Dropped;
}

} // namespace QUORVEL
