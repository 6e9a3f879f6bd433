#include "foundation/Crc16.h"
#include "foundation/LittleEndian.h"
#include "foundation/Log.h"
#include "protocol/HostText.h"
#include "protocol/MessageCode.h"
#include "protocol/Sink.h"
#include "protocol/SyncForwardRecord.h"
#include "protocol/WireMessage.h"

#include <iterator>

namespace QUORVEL {

namespace {

constexpr uint16_t kAllChannels[] = {1, 2, 4, 6, 8, 16}; // SynchroAll choice index -> channels
constexpr size_t kSynchroItemCount = 4;

} // namespace

uint16_t Sink::synchroHash(const std::string& name) {
    const uint16_t crc = VEMRA::crc16Usb(name.data(), name.size());
    return crc == 0 ? 1 : crc;
}

void Sink::initSynchro() {
    synchroNameText = info.synchroName;
    synchroNameHash = static_cast<uint16_t>(info.synchroValue);
    synchroAll = static_cast<uint16_t>(info.synchroValue >> 16);
    synchroSelf = static_cast<uint16_t>(info.synchroValue >> 32);
    synchroTotal = static_cast<uint16_t>(info.synchroValue >> 48);
    if (!info.synchroEnabled) {
        return;
    }
    SinkItem total;
    total.type = SinkItem::kNumber;
    total.name = "SynchroTotal";
    total.minimum = 2;
    total.maximum = 16;
    total.value = 2;
    SinkItem all;
    all.type = SinkItem::kChoice;
    all.name = "SynchroAll";
    all.value = 1;
    all.choices = {"1ch", "2ch", "4ch", "6ch", "8ch", "16ch"};
    SinkItem self;
    self.type = SinkItem::kNumber7;
    self.name = "SynchroSelf";
    self.minimum = 1;
    self.maximum = 65534;
    self.value = 1;
    SinkItem name;
    name.type = SinkItem::kText;
    name.name = "SynchroName";
    info.items.push_back(total);
    info.items.push_back(all);
    info.items.push_back(self);
    info.items.push_back(name);
}

bool Sink::isSynchroItem(uint16_t itemIndex) const {
    return info.synchroEnabled && info.items.size() >= kSynchroItemCount &&
           itemIndex >= info.items.size() - kSynchroItemCount && itemIndex < info.items.size();
}

bool Sink::getSynchroItem(uint16_t itemIndex, std::string& text, uint16_t& value) {
    if (!isSynchroItem(itemIndex)) {
        return getSinkItem(itemIndex, text, value);
    }
    switch (info.items.size() - 1 - itemIndex) {
    case 3:
        value = synchroTotal;
        break;
    case 2:
        for (size_t i = 0; i < std::size(kAllChannels); ++i) {
            if (kAllChannels[i] == synchroAll) {
                value = static_cast<uint16_t>(i);
            }
        }
        break;
    case 1:
        value = synchroSelf;
        break;
    default:
        text = synchroNameText;
        break;
    }
    return true;
}

bool Sink::setSynchroItem(uint16_t itemIndex, const std::string& text, uint16_t value, bool flag) {
    if (!isSynchroItem(itemIndex)) {
        return setSinkItem(itemIndex, text, value, flag);
    }
    switch (info.items.size() - 1 - itemIndex) {
    case 3:
        synchroTotal = value;
        return true;
    case 2:
        if (value >= std::size(kAllChannels)) {
            return false;
        }
        synchroAll = kAllChannels[value];
        return true;
    case 1:
        synchroSelf = value;
        return true;
    default:
        if (!fitsHostText(text)) {
            return false; // SYNCHRO_INFO_ANS carries the name to anyone who asks
        }
        synchroNameText = text;
        synchroNameHash = synchroHash(text);
        return true;
    }
}

bool Sink::handleSynchroInfo(const WireMessage&, const VEMRA::SocketAddress& from) {
    SendBuffer reply;
    reply.setHeader(SYNCHRO_INFO_ANS, 1, synchroNameHash, synchroTotal,
                    static_cast<uint16_t>(synchroAll < 2 ? 0xFFFF : 0), synchroSelf);
    reply.setPayload(synchroNameText.data(), synchroNameText.size());
    reply.prepare();
    return answer(reply, from, kSiteSynchroAnswer) && running.load();
}

void Sink::handleSyncForward(const WireMessage& message, const VEMRA::SocketAddress& from) {
    if (!from.isLoopback()) {
        return; // only the Target of this process forwards timing entries
    }
    const uint8_t* bytes = message.payload();
    const size_t records = message.payloadLength() / SyncForwardRecord::kBytes;
    std::lock_guard<std::mutex> lock(timingMutex);
    for (size_t i = 0; i < records; ++i) {
        const SyncForwardRecord record = SyncForwardRecord::decode(bytes + i * SyncForwardRecord::kBytes);
        timingTable[{record.address, uint32_t{record.interfaceIndex}}] = record.value;
    }
}

uint64_t Sink::startTimeFor(const WireMessage& message, const VEMRA::SocketAddress& from) {
    if (message.payloadLength() < 8 || VEMRA::loadLe64(message.payload()) == 0 || message.value64() == 0) {
        return 0;
    }
    uint64_t entry = 0;
    {
        std::lock_guard<std::mutex> lock(timingMutex);
        const auto found = timingTable.find({from.address, from.scope});
        if (found == timingTable.end()) {
            return 0;
        }
        entry = found->second;
    }
    const uint64_t start = message.value64() - entry;
    const uint64_t latest = VEMRA::clockNow() + config.maxStartDelay;
    if (VEMRA::clockCompare(start, latest) > 0) {
        VEMRA::logLine(VEMRA::kLogDetail, "syncStart beyond limit, starting at once");
        return 0;
    }
    return start == 0 ? 1 : start;
}

} // namespace QUORVEL
