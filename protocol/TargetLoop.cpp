#include "protocol/Target.h"

#include "foundation/AddressText.h"
#include "foundation/LittleEndian.h"
#include "foundation/LocalAddresses.h"
#include "foundation/Log.h"
#include "foundation/LogRecord.h"
#include "protocol/HostText.h"
#include "protocol/MessageCode.h"
#include "protocol/StatusBits.h"
#include "protocol/SyncForwardRecord.h"

#include <algorithm>
#include <cstring>

namespace QUORVEL {

namespace {

constexpr uint64_t kScanIdle = 5 * VEMRA::kPicosecondsPerSecond;
constexpr uint64_t kScanBusy = 10 * VEMRA::kPicosecondsPerSecond;
constexpr size_t kHexDumpLimit = 401;
constexpr size_t kBitmapBytes = 512;
constexpr size_t kPortTableEntries = 512;
constexpr uint16_t kAllKeys = 0xFFFF;
constexpr size_t kMaxTextAddresses = 63;
constexpr size_t kForwardFlushSize = 1000;
constexpr int kAddressNotAvailable = 99;

bool isLoopbackSender(const VEMRA::SocketAddress& sender) {
    return sender.isLoopback();
}

// Bits 0 .. largest key set (at most 4096 bits); an empty table leaves it zero.
void fillBitmap(uint8_t* bitmap, const TargetRegistry::PortTable& table) {
    if (table.empty()) {
        return;
    }
    const size_t bits = std::min<size_t>(size_t{TargetRegistry::largestKey(table)} + 1, kBitmapBytes * 8);
    std::memset(bitmap, 0xFF, bits / 8);
    if (bits % 8 != 0) {
        bitmap[bits / 8] = static_cast<uint8_t>((1U << (bits % 8)) - 1);
    }
}

// Entry i: the port of key first + i, 0 where there is none.
void fillPortTable(uint8_t* entries, const TargetRegistry::PortTable& table, uint16_t first) {
    std::memset(entries, 0, kPortTableEntries * 2);
    for (auto it = table.lower_bound(first); it != table.end() && it->first < first + kPortTableEntries;
         ++it) {
        VEMRA::storeLe16(entries + 2 * (it->first - first), it->second.port);
    }
}

} // namespace

void Target::setTextPayload(SendBuffer& message, std::string_view text) {
    message.setPayload(text.data(), std::min(text.size(), kMaxDatagramPayload));
}

void Target::logSendError(int site, int error) {
    VEMRA::logLine(VEMRA::kLogError, "UDP send error ") << site << ":" << error;
}

bool Target::answer(LoopState& loop, Send& message, int site, int quietError) {
    message.prepare();
    return answers.send(discoverySocket, message.bytes(), loop.sender, "UDP send error ", site, quietError) ==
           AnswerPolicy::Outcome::Sent;
}

bool Target::sendToLoopback(Send& message, uint16_t port, int site) {
    message.prepare();
    const auto bytes = message.bytes();
    if (discoverySocket.sendTo(bytes.data(), bytes.size(), VEMRA::SocketAddress::loopback(port), true)) {
        return true;
    }
    logSendError(site, discoverySocket.error());
    return false;
}

int32_t Target::run() {
    LoopState loop;
    loop.waitSet.add(discoverySocket);
    if (relaySocket.isOpen()) {
        loop.waitSet.add(relaySocket);
    }
    loop.lastScan = clockNow() - 10 * VEMRA::kPicosecondsPerSecond;

    while (running.load(std::memory_order_acquire)) {
        if (config.loopPasses != nullptr) {
            config.loopPasses->fetch_add(1, std::memory_order_relaxed);
        }
        const int waited = loop.waitSet.wait(config.passTimeout);
        if (waited == VEMRA::SocketWaitSet::Error || !running.load(std::memory_order_acquire)) {
            return SocketFailed;
        }
        loop.now = clockNow();
        expire(loop);

        const bool timedOut = waited == VEMRA::SocketWaitSet::Timeout;
        if (autoFind) {
            const auto sinceScan = static_cast<int64_t>(loop.now - loop.lastScan);
            if (sinceScan >= static_cast<int64_t>(timedOut ? kScanIdle : kScanBusy)) {
                loop.lastScan = loop.now;
                if (!playingFlag.load(std::memory_order_relaxed)) {
                    scanMembers();
                }
            }
        }
        if (timedOut) {
            continue;
        }

        if (loop.waitSet.isReady(discoverySocket)) {
            if (!discoverySocket.receiveFromInto(loop.receiveBuffer, loop.sender)) {
                return SocketFailed;
            }
            if (!loop.receiveBuffer.empty() && !dispatch(loop)) {
                return RebootRequested;
            }
        } else if (relaySocket.isOpen() && loop.waitSet.isReady(relaySocket)) {
            if (!relaySocket.receiveFromInto(loop.receiveBuffer, loop.sender)) {
                return SocketFailed;
            }
            if (!loop.receiveBuffer.empty()) {
                relay(loop);
            }
        }
    }
    return SocketFailed;
}

void Target::expire(LoopState& loop) {
    loop.registry.expire(
        loop.now,
        [](uint16_t key) { VEMRA::logLine(VEMRA::kLogInfo, "Unregist out Port : ") << unsigned{key}; },
        [](uint16_t key) { VEMRA::logLine(VEMRA::kLogInfo, "Unregist status Port : ") << unsigned{key}; });
    playingFlag.store(loop.registry.anyBusy(), std::memory_order_relaxed);
}

bool Target::dispatch(LoopState& loop) {
    const WireMessage message(loop.receiveBuffer);
    const bool debug = VEMRA::logEnabled(VEMRA::kLogDebug);
    if (!message.isValid()) {
        if (debug) {
            VEMRA::logLine(VEMRA::kLogDebug, "") << hexDump(loop.receiveBuffer);
        }
        VEMRA::logLine(VEMRA::kLogDebug, "Receive Data Err:") << loop.receiveBuffer.size();
        return true;
    }
    if (debug && loop.receiveBuffer.size() < kHexDumpLimit) {
        VEMRA::logLine(VEMRA::kLogDebug, "") << hexDump(loop.receiveBuffer);
    }
    const uint16_t code = message.code();
    VEMRA::logLine(VEMRA::kLogDebug, "Receive udp:") << unsigned{code};
    // Odd codes (answers) other than the internal STATUS_REGIST, source port
    // 0 and the process's own sockets: dropped unanswered.
    if (!answers.admits(loop.sender, code)) {
        return true;
    }

    switch (code) {
    case DISCOVER:
        handleDiscover(loop);
        break;
    case PORT_REQ:
        handlePortRequest(loop, message);
        break;
    case PORT_REGIST:
        handlePortRegist(loop, message);
        break;
    case STATUS_REGIST:
        handleStatusRegist(loop, message);
        break;
    case STATUS_REQ:
        handleStatusRequest(loop, message);
        break;
    case INFO_REQ:
        handleTextAnswer(loop, INFO_ANS, info.infoText, 719, 719);
        break;
    case VERSION_REQ:
        handleTextAnswer(loop, VERSION_ANS, info.versionText, 816, 824);
        break;
    case URL_REQ:
        handleTextAnswer(loop, URL_ANS, info.urlText, 831, 839);
        break;
    case TEXT_REQ:
        handleTextRequest(loop, message);
        break;
    case SYNCNAME_SET:
        handleSyncName(loop, message);
        break;
    case REBOOT:
        return handleReboot(loop, message);
    case HOST_DEBUG:
        handleHostDebug(loop, message);
        break;
    case SYNCHRO:
        handleSynchro(loop, message);
        break;
    case CONFIG_ITEM_REQ:
        handleConfigItem(loop, message);
        break;
    case CONFIG_VALUE_REQ:
        return handleConfigValue(loop, message);
    case TRANSFERDATA_INFO:
        handleTransferInfo(loop, message);
        break;
    case TRANSFERDATA_SET:
        handleTransferSet(loop, message);
        break;
    case TRANSFERDATA_CHECK:
        handleTransferCheck(loop, message);
        break;
    case ICON_REQ:
        handleIcon(loop, message);
        break;
    default: {
        if (answers.mayEcho(loop.sender)) {
            Send unknown(code, 0);
            answer(loop, unknown, 1303);
        }
        break;
    }
    }
    return true;
}

void Target::relay(LoopState& loop) {
    const std::vector<uint8_t>& line = loop.receiveBuffer;
    if (info.syslogToLocal) {
        relaySocket.sendTo(line.data(), line.size(), VEMRA::SocketAddress::loopback(config.localSyslogPort),
                           false);
    }
    if (loop.hostDebugAddress == VEMRA::SocketAddress{}) {
        return;
    }
    const uint64_t now = clockNow();
    const auto elapsed = static_cast<int64_t>(now - loop.relayStamp);
    if (loop.relayStamp == 0) {
        loop.relayStamp = now;
    } else if (elapsed > 0) {
        const uint64_t gained =
            static_cast<uint64_t>(std::min<int64_t>(elapsed, 60 * VEMRA::kPicosecondsPerSecond)) *
            kRelayLinesPerSecond / VEMRA::kPicosecondsPerSecond;
        if (gained != 0) {
            loop.relayTokens = std::min(kRelayBurst, loop.relayTokens + gained);
            loop.relayStamp = now;
        }
    }
    // After lines were skipped, the next one goes with a note of how many
    // (which counts as a line too), so it waits for room for both.
    const uint64_t needed = loop.relaySkipped != 0 ? 2 : 1;
    if (loop.relayTokens < needed) {
        ++loop.relaySkipped;
        return;
    }
    loop.relayTokens -= needed;
    const size_t header = VEMRA::LogRecord::kHeaderLength;
    SendBuffer forward;
    if (loop.relaySkipped != 0) {
        const std::string note = "Host Debug : " + std::to_string(loop.relaySkipped) + " lines not relayed";
        loop.relaySkipped = 0;
        forward.setHeader(HOST_DEBUG_ANS, 1, 2, 0, 0, 0);
        forward.setPayload(note.data(), note.size());
        forward.prepare();
        const auto bytes = forward.bytes();
        (void)discoverySocket.sendToNow(bytes.data(), bytes.size(), loop.hostDebugAddress);
    }
    forward.setHeader(HOST_DEBUG_ANS, 1, 2, 0, 0, 0);
    forward.setPayload(line.size() > header ? line.data() + header : line.data(),
                       line.size() > header ? line.size() - header : 0);
    forward.prepare();
    const auto bytes = forward.bytes();
    if (discoverySocket.sendToNow(bytes.data(), bytes.size(), loop.hostDebugAddress)) {
        loop.hostDebugFailing = false;
        return;
    }
    // The error line itself comes back through the relay; logging every
    // failure would feed an endless loop of failing relays.
    if (!loop.hostDebugFailing) {
        loop.hostDebugFailing = true;
        logSendError(361, discoverySocket.error());
    }
}

void Target::handleDiscover(LoopState& loop) {
    const VEMRA::SocketAddress& sender = loop.sender;
    const bool ownEcho = std::any_of(joined.begin(), joined.end(), [&](const VEMRA::SocketAddress& member) {
        return member.address == sender.address;
    });
    if (ownEcho || (isLoopbackSender(sender) && !info.acceptLoopbackDiscover)) {
        VEMRA::logLine(VEMRA::kLogDebug, "Block : ")
            << VEMRA::addressText(sender) << "%" << unsigned{sender.scope};
        return;
    }
    SendBuffer reply;
    reply.setHeader(DISCOVER_ANS, 1, info.targetId);
    setTextPayload(reply, info.targetName);
    answer(loop, reply, 531, kAddressNotAvailable);
    if (VEMRA::logEnabled(VEMRA::kLogDebug)) {
        VEMRA::logLine(VEMRA::kLogDebug, "Receive DISCOVER : ")
            << VEMRA::addressScopePortText(sender) << " " << hexDump(reply.bytes());
    }
}

void Target::handlePortRequest(LoopState& loop, const WireMessage& message) {
    const uint16_t key0 = message.param0();
    const uint16_t key1 = message.param1();
    const uint16_t kind = message.param2();

    if (key0 != 0 && key1 != 0 && key0 != kAllKeys && key1 != kAllKeys) {
        VEMRA::logLine(VEMRA::kLogDebug, "PORT_ANS : 0 0 0 1");
        Send refused(PORT_ANS, 0, 0, 0, 0, 1);
        answer(loop, refused, 545);
        return;
    }
    size_t kindBase = 0;
    switch (kind) {
    case 0:
    case 1:
        kindBase = 0;
        break;
    case 2:
    case 4:
        kindBase = kind;
        break;
    default: {
        // No table belongs to this kind; say so instead of guessing one.
        VEMRA::logLine(VEMRA::kLogDebug, "PORT_ANS : ") << unsigned{key0} << " " << unsigned{key1} << " 0 1";
        Send refused(PORT_ANS, 0, key0, key1, 0, 1);
        answer(loop, refused, 545);
        return;
    }
    }
    const TargetRegistry::PortTable& table1 = loop.registry.portTable(kindBase + 1);
    const TargetRegistry::PortTable& table0 = loop.registry.portTable(kindBase);

    const bool lookup0 = key0 != 0 && key0 != kAllKeys && key1 == 0;
    const bool lookup1 = key1 != 0 && key1 != kAllKeys && key0 == 0;
    if (lookup0 || lookup1) {
        const TargetRegistry::PortTable& table = lookup0 ? table1 : table0;
        const auto found = table.find(lookup0 ? key0 : key1);
        uint16_t port = 0;
        if (found != table.end()) {
            port = found->second.port;
            SendBuffer reply;
            reply.setHeader(PORT_ANS, 1, key0, key1, port, 1);
            setTextPayload(reply, found->second.name);
            answer(loop, reply, 661);
        } else {
            Send reply(PORT_ANS, 0, key0, key1, 0, 1);
            answer(loop, reply, 661);
        }
        VEMRA::logLine(VEMRA::kLogDebug, "PORT_ANS : ")
            << unsigned{key0} << " " << unsigned{key1} << " " << unsigned{port} << " " << 1;
        return;
    }

    const uint16_t largest1 = TargetRegistry::largestKey(table1);
    const uint16_t largest0 = TargetRegistry::largestKey(table0);
    const uint16_t word = kind != 0 ? kind : info.defaultPortWord;
    SendBuffer reply;
    reply.setHeader(PORT_ANS, 1, largest1, largest0, word, 1);
    if (key0 == 0 && key1 == 0) {
        reply.setPayloadSize(2 * kBitmapBytes);
        reply.fillPayload(0);
        fillBitmap(reply.payload(), table1);
        fillBitmap(reply.payload() + kBitmapBytes, table0);
    } else if (key0 == kAllKeys && key1 != kAllKeys) {
        reply.setPayloadSize(kPortTableEntries * 2);
        fillPortTable(reply.payload(), table0, key1);
    } else if (key1 == kAllKeys && key0 != kAllKeys) {
        reply.setPayloadSize(kPortTableEntries * 2);
        fillPortTable(reply.payload(), table1, key0);
    }
    answer(loop, reply, 622);
    VEMRA::logLine(VEMRA::kLogDebug, "PORT_ANS : ")
        << unsigned{largest1} << " " << unsigned{largest0} << " " << unsigned{word} << " " << 1 << " "
        << reply.payloadLength();
}

void Target::handlePortRegist(LoopState& loop, const WireMessage& message) {
    if (!isLoopbackSender(loop.sender)) {
        return;
    }
    VEMRA::logLine(VEMRA::kLogDebug, "Receive Port Regist");
    const uint16_t key0 = message.param0();
    const uint16_t key1 = message.param1();
    if (key0 != 0 && key1 != 0) {
        return;
    }
    const uint16_t key = key0 != 0 ? key0 : key1;
    PortRegistration& entry = loop.registry.portTable(key0 != 0 ? 1 : 0)[key];
    const uint16_t port = loop.sender.hostPort();
    std::string name = message.payloadText();
    if (entry.port != port || entry.name != name) {
        entry.port = port;
        entry.name = std::move(name);
        VEMRA::logLine(VEMRA::kLogInfo, "Regist Port : ")
            << unsigned{key} << " : " << unsigned{port} << " " << entry.name;
    }
    entry.lastSeen = clockNow();
    entry.busy = (message.status() & StatusBit::kConnected) != 0;
    if (!synchroTable.empty()) {
        forwardOffsets(port);
    }
}

void Target::forwardOffsets(uint16_t port) {
    SendBuffer forward;
    std::vector<uint8_t> records;
    records.reserve(kForwardFlushSize + SyncForwardRecord::kBytes);
    for (const auto& [host, record] : synchroTable) {
        const SyncForwardRecord entry{static_cast<uint64_t>(record.published), host.address,
                                      static_cast<uint16_t>(host.scope)};
        uint8_t bytes[SyncForwardRecord::kBytes];
        entry.encode(bytes);
        records.insert(records.end(), bytes, bytes + sizeof(bytes));
        if (records.size() >= kForwardFlushSize) {
            forward.setHeader(SYNC_FORWARD, 0);
            forward.setPayload(records.data(), records.size());
            sendToLoopback(forward, port, 423);
            records.clear();
        }
    }
    if (!records.empty()) {
        forward.setHeader(SYNC_FORWARD, 0);
        forward.setPayload(records.data(), records.size());
        sendToLoopback(forward, port, 431);
    }
}

void Target::handleStatusRegist(LoopState& loop, const WireMessage& message) {
    const uint16_t key = message.param0();
    if (!isLoopbackSender(loop.sender) || key == 0) {
        return;
    }
    VEMRA::logLine(VEMRA::kLogDebug, "Receive Status Regist");
    StatusRegistration& entry = loop.registry.statusTable()[key];
    const uint16_t port = loop.sender.hostPort();
    Block block = entry.block; // a payload too short for a block keeps the old one
    std::string name;
    message.payloadBlockAndText(block, name);
    if (entry.port != port || entry.name != name || entry.block != block ||
        entry.kindWord != message.param1() || entry.word3 != message.param3()) {
        entry.port = port;
        entry.name = std::move(name);
        entry.block = block;
        entry.kindWord = message.param1();
        entry.word3 = message.param3();
        VEMRA::logLine(VEMRA::kLogInfo, "Regist Status : ") << unsigned{key} << " : " << unsigned{port} << " "
                                                            << entry.name << " " << unsigned{entry.kindWord};
    }
    entry.lastSeen = clockNow();
    entry.busy = (message.status() & StatusBit::kConnected) != 0;
}

void Target::handleStatusRequest(LoopState& loop, const WireMessage& message) {
    const uint16_t key = message.param0();
    const TargetRegistry::StatusTable& table = loop.registry.statusTable();
    if (key == 0) {
        const uint16_t largest = TargetRegistry::largestKey(table);
        Send reply(STATUS_ANS, 1, largest, 0, 0, 1);
        answer(loop, reply, 677);
        VEMRA::logLine(VEMRA::kLogDebug, "STATUS_ANS : ") << unsigned{largest} << " " << 1;
        return;
    }
    const auto found = table.find(key);
    uint16_t port = 0;
    uint16_t kindWord = 0;
    uint16_t word3 = 1;
    if (found != table.end()) {
        const StatusRegistration& entry = found->second;
        port = entry.port;
        kindWord = entry.kindWord;
        word3 = entry.word3;
        SendBuffer reply;
        reply.setHeader(STATUS_ANS, 1, key, kindWord, port, word3);
        reply.setPayloadBlockAndText(
            entry.block, std::string_view(entry.name).substr(0, kMaxDatagramPayload - kBlockSize));
        answer(loop, reply, 702);
    } else {
        Send reply(STATUS_ANS, 0, key, 0, 0, 1);
        answer(loop, reply, 702);
    }
    VEMRA::logLine(VEMRA::kLogDebug, "STATUS_ANS : ")
        << unsigned{key} << " " << unsigned{port} << " " << (kindWord != 0 ? "sink" : "controll") << " "
        << unsigned{word3};
}

void Target::handleTextAnswer(LoopState& loop, uint16_t answerCode, const std::string& text, int emptySite,
                              int site) {
    if (text.empty()) {
        Send reply(answerCode, 0);
        answer(loop, reply, emptySite);
        return;
    }
    SendBuffer reply;
    reply.setHeader(answerCode, 1);
    setTextPayload(reply, text);
    answer(loop, reply, site);
}

void Target::handleTextRequest(LoopState& loop, const WireMessage& message) {
    const uint16_t selector = message.param0();
    SendBuffer reply;
    switch (selector) {
    case 0:
        reply.setHeader(TEXT_ANS, 1, 0, 1, 0, 0);
        setTextPayload(reply, info.text0);
        break;
    case 4:
        reply.setHeader(TEXT_ANS, 1, 4, 1, 0, 0);
        setTextPayload(reply, info.text4);
        break;
    case 1:
    case 5: {
        const std::vector<std::string>& list = selector == 1 ? info.textList1 : info.textList5;
        const uint16_t index = message.param1();
        const auto size = static_cast<uint16_t>(std::min<size_t>(list.size(), 0xFFFF));
        if (index < list.size()) {
            reply.setHeader(TEXT_ANS, 1, selector, 0, size, 0);
            setTextPayload(reply, list[index]);
        } else {
            reply.setHeader(TEXT_ANS, 0, selector, 0, size, 0);
        }
        break;
    }
    case 2: {
        const auto found = synchroTable.find(synchroKey(loop.sender));
        const int64_t published = found != synchroTable.end() ? found->second.published : 0;
        reply.setHeader(TEXT_ANS, 1, 2, 1, 0, 0);
        reply.setPayloadSize(8);
        VEMRA::storeLe64(reply.payload(), static_cast<uint64_t>(published));
        break;
    }
    case 3: {
        std::map<VEMRA::SocketAddress, std::string> addresses;
        const bool found = config.linkLocalAddresses ? config.linkLocalAddresses(addresses)
                                                     : VEMRA::linkLocalAddresses(addresses, false);
        std::vector<uint8_t> bytes;
        if (found) {
            for (const auto& entry : addresses) {
                if (bytes.size() >= kMaxTextAddresses * 16) {
                    break;
                }
                bytes.insert(bytes.end(), entry.first.address.begin(), entry.first.address.end());
            }
        }
        reply.setHeader(TEXT_ANS, 1, 3, 1, 0, 0);
        reply.setPayload(bytes.data(), bytes.size());
        break;
    }
    default:
        reply.setHeader(TEXT_ANS, 0, selector, 0, 0, 0);
        break;
    }
    answer(loop, reply, 1135);
}

void Target::handleSyncName(LoopState& loop, const WireMessage& message) {
    const std::string payload = message.payloadText();
    const std::string_view name = cutHostText(payload);
    const uint64_t value = message.value64();
    VEMRA::logLine(VEMRA::kLogDebug, "SYNCNAME_SET : ")
        << name << " " << static_cast<unsigned long long>(value);
    // One entry per Host address, and no more than kSyncNameCount of them:
    // every source address is free to claim, so the table must not grow
    // with them. The entry set longest ago makes room.
    auto entry = std::find_if(syncNames.begin(), syncNames.end(),
                              [&](const SyncName& known) { return known.address == loop.sender.address; });
    if (entry == syncNames.end()) {
        if (syncNames.size() < kSyncNameCount) {
            syncNames.emplace_back();
            entry = syncNames.end() - 1;
        } else {
            entry = std::min_element(syncNames.begin(), syncNames.end(),
                                     [](const SyncName& a, const SyncName& b) { return a.setAt < b.setAt; });
        }
    }
    entry->address = loop.sender.address;
    entry->name.assign(name);
    entry->value = value;
    entry->setAt = loop.now;
    Send reply(PORT_ANS, 1);
    answer(loop, reply, 733);
}

bool Target::handleReboot(LoopState& loop, const WireMessage& message) {
    if (!info.rebootAllowed) {
        Send refused(REBOOT_ANS, 0);
        answer(loop, refused, 855);
        return true;
    }
    const uint16_t mode = message.param0();
    Send accepted(REBOOT_ANS, 1, mode, 0, 0, 0);
    answer(loop, accepted, 847);
    if (mode == 0) {
        return true; // only asks whether a reboot is allowed
    }
    rebootModeWord.store(mode, std::memory_order_release);
    return false;
}

void Target::handleHostDebug(LoopState& loop, const WireMessage& message) {
    const uint16_t mode = message.param0();
    if (mode == 1) {
        if (loop.sender != loop.hostDebugAddress) {
            loop.hostDebugAddress = loop.sender;
            loop.hostDebugFailing = false;
            VEMRA::logLine(VEMRA::kLogInfo, "Host Debug : ") << VEMRA::addressScopePortText(loop.sender);
        }
    } else if (loop.hostDebugAddress != VEMRA::SocketAddress{}) {
        loop.hostDebugAddress = VEMRA::SocketAddress{};
        VEMRA::logLine(VEMRA::kLogInfo, "Host Debug : disable");
    }
    Send reply(HOST_DEBUG_ANS, 1, mode, 0, 0, 0);
    answer(loop, reply, 1071);
}

} // namespace QUORVEL
