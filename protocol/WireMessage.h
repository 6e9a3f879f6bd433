#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace QUORVEL {

constexpr uint16_t kWireMagic = 100;
constexpr size_t kHeaderSize = 16;
constexpr size_t kMaxPayloadSize = 65512;
constexpr size_t kBlockValues = 9; // block-and-text: nine u16 values, then text
constexpr size_t kBlockSize = kBlockValues * 2;

using Block = std::array<uint16_t, kBlockValues>;

// The size field for a payload of n bytes (n <= kMaxPayloadSize).
uint16_t wireSizeFor(size_t payloadLength);

// A header-only message, built on the stack.
class Send {
public:
    Send();
    Send(uint16_t code, uint16_t status);
    Send(uint16_t code, uint16_t status, uint64_t value64);
    Send(uint16_t code, uint16_t status, uint16_t param0, uint16_t param1, uint16_t param2, uint16_t param3);
    virtual ~Send() = default;
    Send(const Send&) = default;
    Send& operator=(const Send&) = default;

    // Fields other than magic and size.
    void setHeader(uint16_t code, uint16_t status);
    void setHeader(uint16_t code, uint16_t status, uint64_t value64);
    void setHeader(uint16_t code, uint16_t status, uint16_t param0, uint16_t param1, uint16_t param2,
                   uint16_t param3);

    // Makes the transmitted bytes consistent with the header fields.
    virtual void prepare() {}
    // What to transmit: the inline header for Send, the whole buffer for SendBuffer.
    virtual std::span<const uint8_t> bytes() const;

    uint16_t code() const;
    uint16_t status() const;
    uint16_t size() const;

protected:
    void setField(size_t offset, uint16_t value);
    uint16_t field(size_t offset) const;

    std::array<uint8_t, kHeaderSize> header{};
};

// A message with a payload in an owned buffer, reused across setPayloadSize calls.
class SendBuffer : public Send {
public:
    SendBuffer();

    // False (and nothing changed) above kMaxPayloadSize.
    bool setPayloadSize(size_t payloadLength);
    // The source must not lie in this message's own buffer (setPayloadSize may move it).
    bool setPayload(const void* bytes, size_t length);
    bool setPayload(std::span<const uint8_t> bytes) { return setPayload(bytes.data(), bytes.size()); }
    bool setPayloadBlockAndText(const Block& block, std::string_view text);
    void fillPayload(uint8_t value);
    uint8_t* payload() { return buffer.data() + kHeaderSize; }
    const uint8_t* payload() const { return buffer.data() + kHeaderSize; }
    size_t payloadLength() const { return payloadSize; }

    void prepare() override;
    std::span<const uint8_t> bytes() const override;

private:
    std::vector<uint8_t> buffer;
    size_t payloadSize = 0;
};

// Read-only view of a received datagram; valid while the receiving loop's
// byte vector is untouched.
class WireMessage {
public:
    explicit WireMessage(std::span<const uint8_t> datagram) : data(datagram) {}

    bool isValid() const;
    uint16_t magic() const;
    uint16_t size() const;
    uint16_t code() const;
    uint16_t status() const;
    uint16_t param0() const;
    uint16_t param1() const;
    uint16_t param2() const;
    uint16_t param3() const;
    uint64_t value64() const;
    // Received bytes + 16; for a datagram shorter than the header it points at
    // its end, so payload() .. payload() + payloadLength() is always readable.
    const uint8_t* payload() const;
    // Payload length from the size field; 0 unless isValid().
    size_t payloadLength() const;
    std::string payloadText() const;
    void payloadBlockAndText(Block& block, std::string& text) const;
    std::span<const uint8_t> raw() const { return data; }

private:
    // 0 for a field beyond the end of a short datagram.
    uint16_t field(size_t offset) const;

    std::span<const uint8_t> data;
};

// "64 00 10 00 ..." : two lower-case hex digits per byte, single blanks.
std::string hexDump(std::span<const uint8_t> bytes);

} // namespace QUORVEL
