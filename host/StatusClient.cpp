#include "host/StatusClient.h"

#include "protocol/MessageCode.h"
#include "protocol/StatusBits.h"

namespace QUORVEL {

namespace {

constexpr uint16_t kSetFlag = 0x8000;
constexpr uint64_t kValueMask = 0xFFFFFFFFFFFFULL; // 48 bits after the control number

} // namespace

StatusClient::StatusClient(const VEMRA::SocketAddress& address, std::chrono::milliseconds answerTimeout)
    : channel(address), timeout(answerTimeout) {}

std::optional<uint16_t> StatusClient::controlCount() {
    Send message(CONTROL_INFO_REQ, 0, 0, 0, 0, 0);
    const auto answer = hostSocket.request(message, channel, CONTROL_INFO_ANS, timeout);
    if (!answer) {
        return std::nullopt;
    }
    return answer->param0();
}

std::optional<StatusControlInfo> StatusClient::control(uint16_t number) {
    Send message(CONTROL_INFO_REQ, 0, number, 0, 0, 0);
    const auto answer = hostSocket.request(message, channel, CONTROL_INFO_ANS, timeout);
    if (!answer || !answer->accepted() || number == 0 || answer->param0() != number) {
        return std::nullopt;
    }
    return StatusControlInfo{number, answer->param1(), static_cast<int16_t>(answer->param2()),
                             static_cast<int16_t>(answer->param3())};
}

std::optional<StatusValue> StatusClient::valueRequest(uint16_t param0, uint64_t value48) {
    Send message(CONTROL_VALUE_REQ, 0, param0 | (value48 & kValueMask) << 16);
    const auto answer = hostSocket.request(message, channel, CONTROL_VALUE_ANS, timeout);
    if (!answer) {
        return std::nullopt;
    }
    StatusValue result;
    result.accepted = answer->accepted();
    result.connected = (answer->status() & StatusBit::kConnected) != 0;
    result.number = answer->param0();
    // The channel sends its sign-extended 64-bit value shifted up by 16 bits.
    result.value = static_cast<int64_t>(answer->value64()) >> 16;
    return result;
}

std::optional<StatusValue> StatusClient::value(uint16_t number) {
    return valueRequest(number & ~kSetFlag, 0);
}

std::optional<StatusValue> StatusClient::setValue(uint16_t number, int64_t value) {
    return valueRequest(static_cast<uint16_t>(number | kSetFlag), static_cast<uint64_t>(value));
}

std::optional<bool> StatusClient::setControlName(const std::string& name) {
    SendBuffer message;
    message.setHeader(CONTROL_NAME, 0);
    message.setPayload(name.data(), name.size());
    const auto answer = hostSocket.request(message, channel, CONTROL_NAME_ANS, timeout);
    if (!answer) {
        return std::nullopt;
    }
    return answer->accepted();
}

} // namespace QUORVEL
