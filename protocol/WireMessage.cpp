#include "protocol/WireMessage.h"
#include "foundation/LittleEndian.h"

#include <algorithm>
#include <cstring>

namespace QUORVEL {

namespace {

constexpr size_t kMagicOffset = 0;
constexpr size_t kSizeOffset = 2;
constexpr size_t kCodeOffset = 4;
constexpr size_t kStatusOffset = 6;
constexpr size_t kParamOffset = 8;
constexpr uint16_t kPaddingMask = 7;
constexpr uint16_t kPaddedMask = 0xFFF8;

// Payload length encoded in a size field; negative for sizes no sender can produce.
int payloadLengthOf(uint16_t size) {
    return static_cast<int>(size ^ kPaddingMask) - static_cast<int>(kHeaderSize + kPaddingMask);
}

} // namespace

uint16_t wireSizeFor(size_t payloadLength) {
    const size_t padded = (payloadLength + kHeaderSize + kPaddingMask) & ~size_t{kPaddingMask};
    const size_t padding = (0 - payloadLength) & kPaddingMask;
    return static_cast<uint16_t>(padded | padding);
}

// ---- Send ----

Send::Send() : Send(0, 0) {}

Send::Send(uint16_t code, uint16_t status) : Send(code, status, 0, 0, 0, 0) {}

Send::Send(uint16_t code, uint16_t status, uint64_t value64) {
    setField(kMagicOffset, kWireMagic);
    setField(kSizeOffset, static_cast<uint16_t>(kHeaderSize));
    setHeader(code, status, value64);
}

Send::Send(uint16_t code, uint16_t status, uint16_t param0, uint16_t param1, uint16_t param2,
           uint16_t param3) {
    setField(kMagicOffset, kWireMagic);
    setField(kSizeOffset, static_cast<uint16_t>(kHeaderSize));
    setHeader(code, status, param0, param1, param2, param3);
}

void Send::setHeader(uint16_t code, uint16_t status) {
    setHeader(code, status, 0, 0, 0, 0);
}

void Send::setHeader(uint16_t code, uint16_t status, uint64_t value64) {
    setHeader(code, status, static_cast<uint16_t>(value64), static_cast<uint16_t>(value64 >> 16),
              static_cast<uint16_t>(value64 >> 32), static_cast<uint16_t>(value64 >> 48));
}

void Send::setHeader(uint16_t code, uint16_t status, uint16_t param0, uint16_t param1, uint16_t param2,
                     uint16_t param3) {
    setField(kCodeOffset, code);
    setField(kStatusOffset, status);
    setField(kParamOffset, param0);
    setField(kParamOffset + 2, param1);
    setField(kParamOffset + 4, param2);
    setField(kParamOffset + 6, param3);
}

// Computed on every call so a copy never points at the original's header.
std::span<const uint8_t> Send::bytes() const {
    return {header.data(), header.size()};
}

uint16_t Send::code() const {
    return field(kCodeOffset);
}

uint16_t Send::status() const {
    return field(kStatusOffset);
}

uint16_t Send::size() const {
    return field(kSizeOffset);
}

void Send::setField(size_t offset, uint16_t value) {
    VEMRA::storeLe16(header.data() + offset, value);
}

uint16_t Send::field(size_t offset) const {
    return VEMRA::loadLe16(header.data() + offset);
}

// ---- SendBuffer ----

SendBuffer::SendBuffer() : buffer(kHeaderSize, 0) {}

bool SendBuffer::setPayloadSize(size_t payloadLength) {
    if (payloadLength > kMaxPayloadSize) {
        return false;
    }
    const uint16_t size = wireSizeFor(payloadLength);
    const size_t total = size & kPaddedMask;
    // resize never gives capacity back, so one answer reuses its allocation.
    buffer.resize(total);
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + payloadLength), buffer.end(),
              uint8_t{0});
    setField(kSizeOffset, size);
    payloadSize = payloadLength;
    return true;
}

bool SendBuffer::setPayload(const void* bytes, size_t length) {
    if (!setPayloadSize(length)) {
        return false;
    }
    if (length != 0) {
        std::memcpy(payload(), bytes, length);
    }
    return true;
}

bool SendBuffer::setPayloadBlockAndText(const Block& block, std::string_view text) {
    if (text.size() > kMaxPayloadSize - kBlockSize || !setPayloadSize(kBlockSize + text.size())) {
        return false;
    }
    uint8_t* at = payload();
    for (const uint16_t value : block) {
        VEMRA::storeLe16(at, value);
        at += 2;
    }
    if (!text.empty()) {
        std::memcpy(at, text.data(), text.size());
    }
    return true;
}

void SendBuffer::fillPayload(uint8_t value) {
    std::memset(payload(), value, payloadSize);
}

void SendBuffer::prepare() {
    std::memcpy(buffer.data(), header.data(), kHeaderSize);
}

std::span<const uint8_t> SendBuffer::bytes() const {
    return {buffer.data(), buffer.size()};
}

// ---- WireMessage ----

bool WireMessage::isValid() const {
    if (data.size() < kHeaderSize || magic() != kWireMagic) {
        return false;
    }
    const uint16_t sizeField = size();
    return data.size() >= (sizeField & kPaddedMask) && payloadLengthOf(sizeField) >= 0;
}

uint16_t WireMessage::magic() const {
    return field(kMagicOffset);
}

uint16_t WireMessage::size() const {
    return field(kSizeOffset);
}

uint16_t WireMessage::code() const {
    return field(kCodeOffset);
}

uint16_t WireMessage::status() const {
    return field(kStatusOffset);
}

uint16_t WireMessage::param0() const {
    return field(kParamOffset);
}

uint16_t WireMessage::param1() const {
    return field(kParamOffset + 2);
}

uint16_t WireMessage::param2() const {
    return field(kParamOffset + 4);
}

uint16_t WireMessage::param3() const {
    return field(kParamOffset + 6);
}

uint64_t WireMessage::value64() const {
    return uint64_t{param0()} | (uint64_t{param1()} << 16) | (uint64_t{param2()} << 32) |
           (uint64_t{param3()} << 48);
}

const uint8_t* WireMessage::payload() const {
    return data.data() + std::min(data.size(), kHeaderSize);
}

size_t WireMessage::payloadLength() const {
    return isValid() ? static_cast<size_t>(payloadLengthOf(size())) : 0;
}

std::string WireMessage::payloadText() const {
    return std::string(reinterpret_cast<const char*>(payload()), payloadLength());
}

void WireMessage::payloadBlockAndText(Block& block, std::string& text) const {
    const size_t length = payloadLength();
    const uint8_t* at = payload();
    if (length > kBlockSize) {
        text.assign(reinterpret_cast<const char*>(at) + kBlockSize, length - kBlockSize);
    } else {
        text.clear();
    }
    if (length >= kBlockSize) {
        for (uint16_t& value : block) {
            value = VEMRA::loadLe16(at);
            at += 2;
        }
    }
}

uint16_t WireMessage::field(size_t offset) const {
    return offset + 2 <= data.size() ? VEMRA::loadLe16(data.data() + offset) : 0;
}

std::string hexDump(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (const uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

} // namespace QUORVEL
