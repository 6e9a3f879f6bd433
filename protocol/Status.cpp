#include "protocol/Status.h"

#include "foundation/Log.h"
#include "protocol/HostText.h"
#include "protocol/MessageCode.h"
#include "protocol/PrepareFormat.h"
#include "protocol/WireMessage.h"

#include <algorithm>
#include <limits>

namespace QUORVEL {

namespace {

constexpr int kSiteRegister = 60;
constexpr int kSiteReceive = 72;
constexpr int kSiteName = 91;
constexpr int kSiteInfo = 116;
constexpr int kSiteValueRange = 126;
constexpr int kSiteValue = 142;
constexpr int kSiteIcon = 233;
constexpr int kSiteOther = 238;
constexpr size_t kHexDumpLimit = 400;
constexpr uint16_t kSetFlag = 0x8000;

// The requested value of a set: 48 bits, sign-extended. A Host that sends
// only the low 16 bits of a negative value means that 16-bit value.
int64_t requestedValue(uint64_t value48) {
    int64_t value = static_cast<int64_t>(value48 << 16) >> 16;
    if (value > std::numeric_limits<int16_t>::max() && (value48 >> 16) == 0) {
        value = static_cast<int16_t>(value48);
    }
    return value;
}

} // namespace

std::array<uint8_t, 18> StatusDescriptor::loopbackBlock(uint16_t sinkId) {
    std::array<uint8_t, 18> block{};
    block[15] = 1;
    block[16] = static_cast<uint8_t>(sinkId >> 8);
    block[17] = static_cast<uint8_t>(sinkId);
    return block;
}

Status::Status(const StatusDescriptor& statusDescriptor, VEMRA::SocketWaitSet& waitSet,
               const StatusConfig& statusConfig)
    : descriptor(statusDescriptor), config(statusConfig), pollSet(waitSet), answers(config.answers) {
    for (const StatusControl& control : descriptor.controls) {
        values.push_back(control.type == StatusControl::kVolume ? static_cast<uint64_t>(int64_t{control.low})
                                                                : 0);
    }
}

Status::~Status() {
    close();
}

bool Status::start() {
    VEMRA::logLine(VEMRA::kLogInfo, "Quorvel Status Library ReleaseNo : ") << kReleaseNumber;
    if (!socket.open(VEMRA::Socket::UdpV6Only)) {
        VEMRA::logLine(VEMRA::kLogError, "UDP status open error:") << socket.error();
        close();
        return false;
    }
    VEMRA::SocketAddress any;
    if (!socket.bind(any, 0)) {
        VEMRA::logLine(VEMRA::kLogError, "UDP status bind error:") << socket.error();
        close();
        return false;
    }
    port = any.hostPort();
    own.set(port);
    answers.attach(socket);
    pollSet.add(socket);
    lastRegistration = VEMRA::clockNow() - config.registrationInterval;
    VEMRA::logLine(VEMRA::kLogInfo, "Status Bind : ") << descriptor.sinkId << " " << port;
    return true;
}

void Status::close() {
    if (socket.isOpen()) {
        pollSet.remove(socket);
        socket.close();
    }
    own.clear();
}

void Status::setConnected(bool connected) {
    if (connected) {
        statusWord.fetch_or(2);
    } else {
        statusWord.fetch_and(~2U);
    }
}

void Status::setFormatValues(AudioFormat format) {
    const uint64_t reduced = PrepareFormat::fromFormat(format, 0).withoutLatency();
    for (size_t i = 0; i < descriptor.controls.size(); ++i) {
        if (descriptor.controls[i].type == StatusControl::kFormat) {
            values[i] = reduced;
        }
    }
}

void Status::setVolumeValues(int16_t volume) {
    for (size_t i = 0; i < descriptor.controls.size(); ++i) {
        if (descriptor.controls[i].type == StatusControl::kVolume) {
            values[i] = static_cast<uint64_t>(int64_t{volume});
        }
    }
}

bool Status::notifyValue(uint16_t index, uint64_t value) {
    VEMRA::logLine(VEMRA::kLogInfo, "Status NotifyValue ") << index << " " << value;
    if (index >= descriptor.controls.size() || descriptor.controls[index].type != StatusControl::kVolume) {
        return false;
    }
    const StatusControl& control = descriptor.controls[index];
    const int64_t clamped = std::clamp<int64_t>(requestedValue(value), control.low, control.high);
    return setVolume(index, static_cast<int16_t>(clamped));
}

bool Status::setVolume(uint16_t index, int16_t value) {
    VEMRA::logLine(VEMRA::kLogInfo, "Status set Volume ") << value;
    if (index < values.size()) {
        values[index] = static_cast<uint64_t>(int64_t{value});
    }
    return true;
}

bool Status::registerChannel() {
    const uint64_t now = VEMRA::clockNow();
    if (now - lastRegistration < config.registrationInterval) {
        return true;
    }
    SendBuffer message;
    message.setHeader(STATUS_REGIST, currentStatusWord(), descriptor.sinkId, descriptor.kind, 0, 1);
    std::vector<uint8_t> payload(descriptor.addressBlock.begin(), descriptor.addressBlock.end());
    payload.insert(payload.end(), descriptor.name.begin(), descriptor.name.end());
    message.setPayload(payload.data(), payload.size());
    message.prepare();
    const auto bytes = message.bytes();
    if (!socket.sendTo(bytes.data(), bytes.size(), VEMRA::SocketAddress::loopback(config.registrationPort),
                       true)) {
        VEMRA::logLine(VEMRA::kLogError, "UDP status send error ") << kSiteRegister << ":" << socket.error();
        return false;
    }
    lastRegistration = now;
    return true;
}

bool Status::send(const Send& message, int site) {
    return answers.send(socket, message.bytes(), sender, "UDP status send error ", site) !=
           AnswerPolicy::Outcome::Broken;
}

bool Status::reply(uint16_t code, uint16_t status, uint16_t p0, uint16_t p1, uint16_t p2, uint16_t p3,
                   int site) {
    return send(Send(code, status, p0, p1, p2, p3), site);
}

bool Status::step() {
    if (!registerChannel()) {
        return false;
    }
    if (!pollSet.isReady(socket)) {
        return true;
    }
    if (!socket.receiveFromInto(received, sender)) {
        VEMRA::logLine(VEMRA::kLogError, "UDP status receive error ")
            << kSiteReceive << ":" << socket.error();
        return false;
    }
    return handleDatagram(received, sender);
}

bool Status::handleDatagram(std::span<const uint8_t> datagram, const VEMRA::SocketAddress& from) {
    sender = from;
    if (datagram.empty()) {
        return true;
    }
    if (VEMRA::logEnabled(VEMRA::kLogDebug) && datagram.size() <= kHexDumpLimit) {
        VEMRA::logLine(VEMRA::kLogDebug, "") << hexDump(datagram);
    }
    const WireMessage message(datagram);
    if (!message.isValid()) {
        return true;
    }
    // Answers (odd codes), source port 0 and the process's own sockets:
    // dropped unanswered, or two channels could answer each other for ever.
    if (!answers.admits(from, message.code())) {
        return true;
    }
    const uint16_t word = currentStatusWord();
    const size_t count = descriptor.controls.size();
    switch (message.code()) {
    case CONTROL_NAME:
        // Cut to the bound for Host-set texts: any datagram may carry a name.
        VEMRA::logLine(VEMRA::kLogInfo, "Control Name : ") << cutHostText(message.payloadText());
        return reply(CONTROL_NAME_ANS, static_cast<uint16_t>(word | 1), 0, 0, 0, 0, kSiteName);
    case CONTROL_INFO_REQ: {
        const uint16_t k = message.param0();
        if (k == 0) {
            return reply(CONTROL_INFO_ANS, 1, static_cast<uint16_t>(count), 0, 0, 0, kSiteInfo);
        }
        if (k <= count) {
            const StatusControl& control = descriptor.controls[k - 1];
            return reply(CONTROL_INFO_ANS, 1, k, control.type, static_cast<uint16_t>(control.low),
                         static_cast<uint16_t>(control.high), kSiteInfo);
        }
        return reply(CONTROL_INFO_ANS, word, k, 0, 0, 0, kSiteInfo);
    }
    case CONTROL_VALUE_REQ: {
        const uint16_t k = message.param0() & 0x7FFF;
        if (k == 0 || k > count) {
            return reply(CONTROL_VALUE_ANS, word, 0, 0, 0, 0, kSiteValueRange);
        }
        uint16_t status = static_cast<uint16_t>(word | 1);
        if ((message.param0() & kSetFlag) != 0) {
            status = static_cast<uint16_t>(
                word | (notifyValue(static_cast<uint16_t>(k - 1), message.value64() >> 16) ? 1 : 0));
        }
        const uint64_t value64 = k | (values[k - 1] << 16);
        return send(Send(CONTROL_VALUE_ANS, status, value64), kSiteValue);
    }
    case CONTROL_ICON_REQ:
        return answerIcon(message.param0(), message.param1(), message.param2(), message.param3());
    default:
        if (!answers.mayEcho(from)) {
            return true;
        }
        return reply(message.code(), word, 0, 0, 0, 0, kSiteOther);
    }
}

bool Status::answerIcon(uint16_t number, uint16_t column, uint16_t row, uint16_t countMode) {
    SendBuffer answer;
    if (number < 1 || number > descriptor.icons.size() || !descriptor.icons[number - 1].usable()) {
        answer.setHeader(CONTROL_ICON_ANS, 0, number, column, row, 0);
    } else {
        const IconImage& icon = descriptor.icons[number - 1];
        if (column == 0 || row == 0) {
            const uint16_t kindCode = countMode != 0 ? 0 : (icon.oneBytePerPixel ? 2 : 1);
            answer.setHeader(CONTROL_ICON_ANS, 1, number, column == 0 ? icon.width : column,
                             row == 0 ? icon.height() : row, kindCode);
        } else {
            const size_t n = icon.runLength(row - 1U, column - 1U, countMode);
            if (n == 0) {
                answer.setHeader(CONTROL_ICON_ANS, 1, number, column, row, 0);
            } else {
                std::vector<uint8_t> pixels;
                icon.runBytes(row - 1U, column - 1U, n, pixels);
                VEMRA::logLine(VEMRA::kLogDebug, "Icon Load ")
                    << number << " " << column - 1U << " " << row - 1U << " "
                    << static_cast<unsigned long>(n);
                answer.setHeader(CONTROL_ICON_ANS, 1, number, column, row, static_cast<uint16_t>(n + 1));
                answer.setPayload(pixels.data(), pixels.size());
            }
        }
    }
    answer.prepare();
    return send(answer, kSiteIcon);
}

} // namespace QUORVEL
