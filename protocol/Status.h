#pragma once

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/SocketWaitSet.h"
#include "protocol/AnswerPolicy.h"
#include "protocol/AudioFormat.h"
#include "protocol/IconImage.h"
#include "protocol/OwnPort.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace QUORVEL {

class Send;

// One control a status channel offers.
struct StatusControl {
    static constexpr uint16_t kFormat = 1; // the playing stream format
    static constexpr uint16_t kVolume = 2; // hundredths of a dB

    uint16_t type = kFormat;
    int16_t low = 0;
    int16_t high = 0;
};

// What the channel announces and serves, built for its sink.
struct StatusDescriptor {
    uint16_t kind = 1;
    uint16_t sinkId = 0; // the sink's index
    std::string name;    // DAC name + " Control"
    std::array<uint8_t, 18> addressBlock{};
    std::vector<StatusControl> controls;
    std::array<IconImage, 4> icons;

    // ::1 followed by the sink identifier in network byte order.
    static std::array<uint8_t, 18> loopbackBlock(uint16_t sinkId);
};

struct StatusConfig {
    uint16_t registrationPort = 19642; // the Target's loopback port for STATUS_REGIST
    uint64_t registrationInterval = 3 * VEMRA::kPicosecondsPerSecond;
    AnswerPolicy::Config answers; // how the status socket answers the network
};

// A sink's status channel: the playing format and the volume towards the
// Host, and small icons. Everything runs on the sink's node thread except
// setConnected, which the sink's workers call too.
class Status {
public:
    static constexpr uint32_t kReleaseNumber = 142;

    Status(const StatusDescriptor& descriptor, VEMRA::SocketWaitSet& pollSet,
           const StatusConfig& config = StatusConfig());
    virtual ~Status();
    Status(const Status&) = delete;
    Status& operator=(const Status&) = delete;

    virtual bool notifyValue(uint16_t index, uint64_t value); // slot 0
    virtual bool setVolume(uint16_t index, int16_t value);    // slot 1

    bool start();
    void close();
    bool step();
    // One datagram received on the status socket from `from`: step hands every
    // received datagram to it, a harness feeds it directly (answers go out on
    // the status socket). false = the channel failed.
    bool handleDatagram(std::span<const uint8_t> datagram, const VEMRA::SocketAddress& from);

    void setConnected(bool connected); // any thread
    void setFormatValues(AudioFormat format);
    void setVolumeValues(int16_t volume);

    uint16_t boundPort() const { return port; }
    uint64_t value(size_t index) const { return index < values.size() ? values[index] : 0; }
    uint16_t currentStatusWord() const { return static_cast<uint16_t>(statusWord.load()); }

private:
    bool registerChannel();
    // Answers go to `sender` under the answer policy; false only when the
    // socket is broken (a dropped answer is logged at a bounded rate).
    bool send(const Send& message, int site);
    bool reply(uint16_t code, uint16_t status, uint16_t p0, uint16_t p1, uint16_t p2, uint16_t p3, int site);
    bool answerIcon(uint16_t number, uint16_t column, uint16_t row, uint16_t countMode);

    StatusDescriptor descriptor;
    StatusConfig config;
    VEMRA::SocketWaitSet& pollSet;
    VEMRA::Socket socket;
    uint16_t port = 0;
    OwnPort own;
    AnswerPolicy answers;
    uint64_t lastRegistration = 0;
    std::atomic<uint32_t> statusWord{0}; // bit 1: a Host is connected
    std::vector<uint64_t> values;
    std::vector<uint8_t> received;
    VEMRA::SocketAddress sender;
};

} // namespace QUORVEL
