#pragma once

#include "foundation/SocketAddress.h"
#include "host/HostSocket.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace QUORVEL {

// One control of a status channel (CONTROL_INFO_ANS).
struct StatusControlInfo {
    static constexpr uint16_t kFormat = 1; // the stream format playing
    static constexpr uint16_t kVolume = 2; // hundredths of a dB

    uint16_t number = 0; // 1-based
    uint16_t type = 0;
    int16_t low = 0;
    int16_t high = 0;
};

// CONTROL_VALUE_ANS: the value that holds after the request.
struct StatusValue {
    bool accepted = false;
    bool connected = false; // a Host is connected to the sink (status bit 1)
    uint16_t number = 0;
    // The 48-bit value sign-extended: a volume in hundredths of a dB, or a
    // format control's prepare word without its latency.
    int64_t value = 0;
};

// The Host's side of one sink's status channel: the controls it offers and
// their values. Every query returns nullopt when no answer came in time.
// Belongs to one thread at a time.
class StatusClient {
public:
    // `channel`: the target's address with the status channel's port.
    explicit StatusClient(const VEMRA::SocketAddress& channel,
                          std::chrono::milliseconds timeout = HostSocket::kDefaultTimeout);

    bool open() { return hostSocket.open(); }
    HostSocket& socket() { return hostSocket; }

    // The number of controls.
    std::optional<uint16_t> controlCount();
    // Nothing either when no answer came or when the channel has no such control.
    std::optional<StatusControlInfo> control(uint16_t number);
    std::optional<StatusValue> value(uint16_t number);
    // Sets a control; the channel clamps a volume to the control's range.
    std::optional<StatusValue> setValue(uint16_t number, int64_t value);
    // Tells the channel the Host's name for it; the answer's acceptance.
    std::optional<bool> setControlName(const std::string& name);

private:
    std::optional<StatusValue> valueRequest(uint16_t param0, uint64_t value48);

    VEMRA::SocketAddress channel;
    std::chrono::milliseconds timeout;
    HostSocket hostSocket;
};

} // namespace QUORVEL
