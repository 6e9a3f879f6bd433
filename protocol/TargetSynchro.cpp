#include "protocol/Target.h"

#include "foundation/AddressText.h"
#include "foundation/LittleEndian.h"
#include "foundation/Log.h"
#include "protocol/MessageCode.h"
#include "protocol/SyncForwardRecord.h"

namespace QUORVEL {

namespace {

constexpr int32_t kSynchroWindow = 36;
constexpr uint64_t kPortActivityWindow = 30 * VEMRA::kPicosecondsPerSecond;
constexpr int kSequenceJumpLimit = 6;

// |value| without overflow for the most negative offset.
uint64_t magnitude(int64_t value) {
    return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

} // namespace

void Target::handleSynchro(LoopState& loop, const WireMessage& message) {
    const VEMRA::SocketAddress& sender = loop.sender;
    if (sender.isLoopback() || !info.synchroEnabled || message.payloadLength() < 8) {
        return;
    }
    const uint64_t now = loop.now;
    const uint64_t hostTime = VEMRA::loadLe64(message.payload());
    const auto diff = static_cast<int64_t>(hostTime - now);

    SynchroRecord& record = synchroTable[synchroKey(sender)];
    const uint16_t sourcePort = sender.hostPort();
    SynchroRecord::PortActivity& activity = record.ports[sourcePort];

    const uint16_t sequence = message.param0();
    const auto jump = static_cast<int16_t>(static_cast<uint16_t>(sequence - activity.lastSequence));
    if (sequence == 0 || jump > kSequenceJumpLimit) {
        bool otherActive = false;
        for (const auto& [port, other] : record.ports) {
            if (port != sourcePort && other.lastTime != 0 &&
                static_cast<int64_t>(now - other.lastTime) < static_cast<int64_t>(kPortActivityWindow)) {
                otherActive = true;
                break;
            }
        }
        if (!otherActive) {
            record.restart = true;
        }
    }
    activity.lastTime = now;
    activity.lastSequence = sequence;

    if (record.count == 0 || magnitude(diff) < magnitude(record.current)) {
        record.current = diff;
    }
    record.count += 1;

    if (!record.restart && record.count < kSynchroWindow &&
        magnitude(record.published) <= magnitude(record.current)) {
        return;
    }

    if (VEMRA::logEnabled(VEMRA::kLogDebug)) {
        auto line = VEMRA::logLine(VEMRA::kLogDebug, "Receive SYNCHRO:");
        line << VEMRA::addressText(sender) << " " << static_cast<unsigned long long>(hostTime) << " "
             << record.count << " ";
        const auto micros = [](int64_t picoseconds) {
            return static_cast<long long>(picoseconds /
                                          static_cast<int64_t>(VEMRA::kPicosecondsPerMicrosecond));
        };
        if (record.published != record.current) {
            line.hex(static_cast<uint64_t>(record.published)) << "->";
            line.hex(static_cast<uint64_t>(record.current))
                << " " << micros(record.published) << "->" << micros(record.current);
        } else {
            line.hex(static_cast<uint64_t>(record.current)) << " " << micros(record.current);
        }
    }
    record.restart = false;
    record.count = 0;
    record.published = record.current;

    const SyncForwardRecord entry{static_cast<uint64_t>(record.published), sender.address,
                                  static_cast<uint16_t>(sender.scope)};
    uint8_t bytes[SyncForwardRecord::kBytes];
    entry.encode(bytes);
    SendBuffer forward;
    forward.setHeader(SYNC_FORWARD, 0);
    forward.setPayload(bytes, sizeof(bytes));
    for (size_t index = 0; index < TargetRegistry::kPortTableCount; ++index) {
        for (const auto& entry : loop.registry.portTable(index)) {
            sendToLoopback(forward, entry.second.port, 1293);
        }
    }
}

} // namespace QUORVEL
