#include "host/HostClient.h"

#include "foundation/LittleEndian.h"
#include "protocol/MessageCode.h"

#include <algorithm>

namespace QUORVEL {

namespace {

constexpr uint16_t kAllKeys = 0xFFFF;
constexpr size_t kBitmapBytes = 512;
constexpr uint16_t kAcknowledgeBit = 0x8000;
constexpr uint16_t kLogLineMode = 2;

} // namespace

bool PortList::bit(int bitmap, uint16_t key) const {
    const size_t offset = (bitmap == 1 ? 0 : kBitmapBytes) + key / 8;
    if (key >= kBitmapBytes * 8 || offset >= payload.size()) {
        return false;
    }
    return (payload[offset] >> (key % 8) & 1) != 0;
}

uint16_t PortList::tablePort(size_t index) const {
    if (2 * index + 1 >= payload.size()) {
        return 0;
    }
    return VEMRA::loadLe16(payload.data() + 2 * index);
}

HostClient::HostClient(const VEMRA::SocketAddress& target, std::chrono::milliseconds answerTimeout)
    : targetAddress(target), timeout(answerTimeout) {}

bool HostClient::open() {
    return channel.open();
}

bool HostClient::open(const VEMRA::SocketAddress& local) {
    return channel.open(local);
}

std::optional<HostAnswer> HostClient::request(Send& message, uint16_t answerCode) {
    return channel.request(message, targetAddress, answerCode, timeout);
}

std::optional<TargetIdentity> HostClient::discover() {
    Send message(DISCOVER, 0);
    const auto answer = request(message, DISCOVER_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return TargetIdentity{answer->from, answer->value64(), answer->payloadText()};
}

std::optional<PortList> HostClient::portBitmaps(uint16_t kind) {
    Send message(PORT_REQ, 0, 0, 0, kind, 0);
    const auto answer = request(message, PORT_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return PortList{answer->accepted(), answer->param0(), answer->param1(), answer->param2(),
                    answer->payload()};
}

std::optional<PortList> HostClient::portTable(uint16_t firstKey, bool param1Table, uint16_t kind) {
    Send message(PORT_REQ, 0, param1Table ? kAllKeys : firstKey, param1Table ? firstKey : kAllKeys, kind, 0);
    const auto answer = request(message, PORT_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return PortList{answer->accepted(), answer->param0(), answer->param1(), answer->param2(),
                    answer->payload()};
}

std::optional<PortEntry> HostClient::port(uint16_t key, bool param1Key, uint16_t kind) {
    Send message(PORT_REQ, 0, param1Key ? 0 : key, param1Key ? key : 0, kind, 0);
    const auto answer = request(message, PORT_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return PortEntry{answer->accepted(), answer->param2(), answer->payloadText()};
}

std::optional<uint16_t> HostClient::statusCount() {
    Send message(STATUS_REQ, 0);
    const auto answer = request(message, STATUS_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return answer->param0();
}

std::optional<StatusEntry> HostClient::status(uint16_t key) {
    Send message(STATUS_REQ, 0, key, 0, 0, 0);
    const auto answer = request(message, STATUS_ANS);
    if (!answer) {
        return std::nullopt;
    }
    StatusEntry entry;
    entry.found = answer->accepted();
    entry.kindWord = answer->param1();
    entry.port = answer->param2();
    entry.word3 = answer->param3();
    answer->message().payloadBlockAndText(entry.block, entry.name);
    return entry;
}

std::optional<std::string> HostClient::textAnswer(uint16_t requestCode, uint16_t answerCode) {
    Send message(requestCode, 0);
    const auto answer = request(message, answerCode);
    if (!answer) {
        return std::nullopt;
    }
    return answer->accepted() ? answer->payloadText() : std::string();
}

std::optional<std::string> HostClient::info() {
    return textAnswer(INFO_REQ, INFO_ANS);
}

std::optional<std::string> HostClient::version() {
    return textAnswer(VERSION_REQ, VERSION_ANS);
}

std::optional<std::string> HostClient::url() {
    return textAnswer(URL_REQ, URL_ANS);
}

std::optional<TextReply> HostClient::text(uint16_t selector, uint16_t index) {
    Send message(TEXT_REQ, 0, selector, index, 0, 0);
    const auto answer = request(message, TEXT_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return TextReply{answer->accepted(), answer->param0(), answer->param1(), answer->param2(),
                     answer->payload()};
}

std::optional<bool> HostClient::syncName(const std::string& name, uint64_t value) {
    SendBuffer message;
    message.setHeader(SYNCNAME_SET, 0, value);
    message.setPayload(name.data(), name.size());
    const auto answer = request(message, PORT_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return answer->accepted();
}

std::optional<ConfigItemReply> HostClient::configItem(uint16_t number, uint16_t tag) {
    Send message(CONFIG_ITEM_REQ, 0, number, tag, 0, 0);
    const auto answer = request(message, CONFIG_ITEM_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return ConfigItemReply{answer->accepted(), answer->param0(), answer->param1(),
                           answer->param2(),   answer->param3(), answer->payloadText()};
}

std::optional<ConfigValueReply> HostClient::configValue(uint16_t number, uint16_t operation,
                                                        uint16_t argument, const std::string& text) {
    SendBuffer message;
    message.setHeader(CONFIG_VALUE_REQ, 0, number, operation, argument, 0);
    message.setPayload(text.data(), text.size());
    const auto answer = request(message, CONFIG_VALUE_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return ConfigValueReply{answer->accepted(), answer->param0(), answer->param1(), answer->param3(),
                            answer->payloadText()};
}

std::optional<IconReply> HostClient::iconSize(uint16_t number) {
    return iconRun(number, 0, 0, 0);
}

std::optional<IconReply> HostClient::iconRun(uint16_t number, uint16_t column, uint16_t row, uint16_t count) {
    Send message(ICON_REQ, 0, number, column, row, count);
    const auto answer = request(message, ICON_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return IconReply{answer->accepted(), answer->param0(), answer->param1(),
                     answer->param2(),   answer->param3(), answer->payload()};
}

std::optional<TransferReply> HostClient::transferInfo(uint16_t area) {
    Send message(TRANSFERDATA_INFO, 0, area, 0, 0, 0);
    const auto answer = request(message, TRANSFERDATA_INFO_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return TransferReply{answer->accepted(), answer->param0(), answer->param1(), answer->param2(),
                         answer->param3()};
}

bool HostClient::transferPiece(uint16_t area, uint16_t piece, uint16_t pos0, uint16_t pos1,
                               const std::vector<uint8_t>& bytes) {
    SendBuffer message;
    message.setHeader(TRANSFERDATA_SET, 0, area, piece, pos0, pos1);
    message.setPayload(bytes.data(), bytes.size());
    return channel.send(message, targetAddress);
}

std::optional<uint16_t> HostClient::transferPieceAcknowledged(uint16_t area, uint16_t piece, uint16_t pos0,
                                                              uint16_t pos1,
                                                              const std::vector<uint8_t>& bytes) {
    SendBuffer message;
    message.setHeader(TRANSFERDATA_SET, 0, static_cast<uint16_t>(area | kAcknowledgeBit), piece, pos0, pos1);
    message.setPayload(bytes.data(), bytes.size());
    const auto answer = request(message, TRANSFERDATA_SET_ANS);
    if (!answer || !answer->accepted()) {
        return std::nullopt;
    }
    return answer->param1();
}

std::optional<TransferReply> HostClient::transferCheck(uint16_t area, uint16_t check, uint16_t phase) {
    Send message(TRANSFERDATA_CHECK, 0, area, check, phase, 0);
    const auto answer = request(message, TRANSFERDATA_CHECK_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return TransferReply{answer->accepted(), answer->param0(), answer->param1(), answer->param2(),
                         answer->param3()};
}

std::optional<bool> HostClient::reboot(uint16_t mode) {
    Send message(REBOOT, 0, mode, 0, 0, 0);
    const auto answer = request(message, REBOOT_ANS);
    if (!answer) {
        return std::nullopt;
    }
    return answer->accepted();
}

std::optional<bool> HostClient::hostDebug(bool on) {
    Send message(HOST_DEBUG, 0, on ? 1 : 0, 0, 0, 0);
    // Relayed log lines share the answer's code; the answer echoes the mode.
    if (!channel.send(message, targetAddress)) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto answer =
            channel.receive(HOST_DEBUG_ANS, std::max(left, std::chrono::milliseconds(0)), &targetAddress);
        if (!answer) {
            return std::nullopt;
        }
        if (answer->param0() != kLogLineMode) {
            return answer->accepted();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> HostClient::nextLogLine(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const auto answer =
            channel.receive(HOST_DEBUG_ANS, std::max(left, std::chrono::milliseconds(0)), &targetAddress);
        if (!answer) {
            return std::nullopt;
        }
        if (answer->param0() == kLogLineMode) {
            return answer->payloadText();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
    }
}

} // namespace QUORVEL
