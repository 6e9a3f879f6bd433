#include "FuzzSink.h"

#include <algorithm>
#include <cstring>

namespace FUZZ {

QUORVEL::SinkInfo fuzzSinkInfo() {
    QUORVEL::SinkInfo info;
    info.index = 1;
    info.name = "Fuzz DAC";
    info.infoValue1 = 1;
    info.statusOption1 = true;
    info.synchroEnabled = true;
    info.synchroName = "group";
    info.synchroValue = 0x0002000100030005ULL;
    QUORVEL::SinkItem number;
    number.type = QUORVEL::SinkItem::kNumber;
    number.name = "Number";
    number.minimum = 1;
    number.maximum = 9;
    QUORVEL::SinkItem choice;
    choice.type = QUORVEL::SinkItem::kChoice;
    choice.name = "Choice";
    choice.choices = {"a", "b"};
    QUORVEL::SinkItem text;
    text.type = QUORVEL::SinkItem::kText;
    text.name = "Text";
    // Move-assigned: GCC 12 at -O3 reports a false -Wrestrict for a short
    // literal assigned to a string through operator=(const char*).
    text.text = std::string("t");
    info.items = {number, choice, text};
    QUORVEL::IconImage& icon = info.icons[0];
    icon.width = 5;
    icon.pixels.assign(15, 0x80402010U);
    QUORVEL::IconImage& oneByte = info.icons[2];
    oneByte.width = 1200;
    oneByte.oneBytePerPixel = true;
    oneByte.pixels.assign(2400, 0x7F000000U);
    return info;
}

QUORVEL::SinkConfig fuzzSinkConfig(QUORVEL::PrepareCache& cache) {
    QUORVEL::SinkConfig config;
    config.controlBasePort = 0;
    config.streamBasePort = 0;
    config.prepareCache = &cache;
    config.connectSettleMilliseconds = 0;
    config.maxStartDelay = 0;
    config.workerScheduling = VEMRA::Idle;
    return config;
}

FuzzSink::FuzzSink(const QUORVEL::SinkInfo& sinkInfo, VEMRA::SocketWaitSet& waitSet,
                   const QUORVEL::SinkConfig& sinkConfig)
    : SinkBuffer(sinkInfo, waitSet, *this, sinkConfig) {}

FuzzSink::~FuzzSink() {
    pass.reset();
}

bool FuzzSink::openForFuzzing(const VEMRA::SocketAddress& peer) {
    uint16_t control = 0;
    uint16_t stream = 0;
    if (!open(control, stream)) {
        return false;
    }
    streamSocket.setPeer(peer);
    return true;
}

void FuzzSink::reset() {
    pass.reset();
    drainRing();
    {
        QUORVEL::PrepareCache& prepared = cache();
        std::lock_guard<std::mutex> lock(prepared.mutex);
        prepared.preparedWord = 0;
        prepared.preparedHost = VEMRA::SocketAddress();
        prepared.preparedBy = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(handoverMutex);
        pendingMsSocket.close();
        pendingMsPort = 0;
    }
    msSocket.close();
    state = QUORVEL::Idle;
    statusWord = 0x180;
    playing = false;
    running = true;
    format = QUORVEL::AudioFormat();
    syncStart = 0;
    hostAddress = VEMRA::SocketAddress();
    hostName.clear();
    hostNameValue = 0;
    hostNameAddress = VEMRA::SocketAddress();
    synchroNameText = info.synchroName;
    synchroNameHash = static_cast<uint16_t>(info.synchroValue);
    synchroAll = static_cast<uint16_t>(info.synchroValue >> 16);
    synchroSelf = static_cast<uint16_t>(info.synchroValue >> 32);
    synchroTotal = static_cast<uint16_t>(info.synchroValue >> 48);
    {
        std::lock_guard<std::mutex> lock(timingMutex);
        timingTable.clear();
    }
    feedbackRate = 0xFFFF;
    setLatencyRange(100, 20000, 1000);
}

bool FuzzSink::canFormat(QUORVEL::AudioFormat& fmt) {
    // Everything but 64-bit PCM and 4-bit DSD: a request loses bits like a real device's.
    fmt = QUORVEL::AudioFormat(fmt.value() & ~(QUORVEL::AudioFormat::kPcm64 | QUORVEL::AudioFormat::kDsd4));
    return true;
}

bool FuzzSink::setFormat(const QUORVEL::AudioFormat&) {
    return true;
}

bool FuzzOutput::writeAudio(const uint8_t* data, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        sum = sum * 31 + data[i];
    }
    return true;
}

void FuzzSink::beginStream(QUORVEL::AudioFormat fmt, bool ms) {
    pass = std::make_unique<StreamPass>();
    pass->scratch.resize(std::max<size_t>(info.packetSize, 1500));
    format = fmt;
    msMode = ms;
    state = QUORVEL::Connected;
    statusWord |= 2;
    playing = true;
    ++connectionSerial;
}

bool FuzzSink::feedStream(std::span<const uint8_t> datagram) {
    if (!pass || datagram.empty()) {
        return pass != nullptr; // the loop stops draining at an empty receive
    }
    QUORVEL::PacketSlot* slot = msMode ? nullptr : writeSlot();
    uint8_t* buffer = slot != nullptr ? slot->buffer.data() : pass->scratch.data();
    const size_t capacity = slot != nullptr ? slot->buffer.size() : pass->scratch.size();
    const size_t length = std::min(capacity, datagram.size()); // a receive truncates to the buffer
    std::memcpy(buffer, datagram.data(), length);
    const StreamOutcome outcome = streamDatagram(*pass, slot, std::span<const uint8_t>(buffer, length));
    if (outcome != StreamOutcome::Continue) {
        pass.reset();
        return false;
    }
    return true;
}

bool FuzzSink::feedMs(std::span<const uint8_t> datagram) {
    if (!pass || !msMode || datagram.empty()) {
        return pass != nullptr;
    }
    QUORVEL::PacketSlot* slot = writeSlot();
    const size_t length = std::min(slot->buffer.size(), datagram.size());
    std::memcpy(slot->buffer.data(), datagram.data(), length);
    if (!msDatagram(*pass, *slot, length)) {
        pass.reset();
        return false;
    }
    return true;
}

void FuzzSink::drainRing() {
    drainTransportNow();
}

} // namespace FUZZ
