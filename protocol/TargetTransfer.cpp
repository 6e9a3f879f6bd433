#include "protocol/Target.h"

#include "foundation/Log.h"
#include "protocol/MessageCode.h"

namespace QUORVEL {

namespace {

constexpr uint16_t kAcknowledgeBit = 0x8000;
constexpr uint16_t kAreaMask = 0x7FFF;
constexpr uint16_t kFinalPhase = 0xFFFF;

} // namespace

void Target::transferData(const uint8_t* bytes, size_t length, uint16_t area, uint16_t pos0, uint16_t pos1) {
    (void)area;
    if (pos0 == 0 && pos1 == 0) {
        transferBuffer.clear();
        transferCrc = VEMRA::Crc16Usb{};
    }
    transferCrc.update(bytes, length);
    transferBuffer.insert(transferBuffer.end(), bytes, bytes + length);
}

bool Target::transferCheck(uint16_t area, uint16_t& check, uint16_t& phase) {
    (void)area;
    const uint16_t crc = transferCrc.value();
    if (phase == kFinalPhase && check == crc) {
        return true;
    }
    check = crc;
    return false;
}

void Target::handleTransferInfo(LoopState& loop, const WireMessage& message) {
    const uint16_t number = message.param0();
    if (number == 0) {
        Send reply(TRANSFERDATA_INFO_ANS, 1, info.areaCount, info.areaWord, 0, 0);
        answer(loop, reply, 739);
        return;
    }
    if (number > info.areaCount) {
        Send reply(TRANSFERDATA_INFO_ANS, 0);
        answer(loop, reply, 747);
        return;
    }
    // An area counted but not described reads as zero words rather than past the list.
    const TransferArea words = number <= info.areas.size() ? info.areas[number - 1] : TransferArea{};
    Send reply(TRANSFERDATA_INFO_ANS, 1, number, words[0], words[1], words[2]);
    answer(loop, reply, 751);
}

void Target::handleTransferSet(LoopState& loop, const WireMessage& message) {
    const uint16_t word = message.param0();
    const uint16_t number = word & kAreaMask;
    const bool acknowledge = (word & kAcknowledgeBit) != 0;
    if (number == 0 || number > info.areaCount) {
        VEMRA::logLine(VEMRA::kLogError, "TRANSFERDATA_SET error ")
            << unsigned{word} << " " << unsigned{info.areaCount};
        return;
    }
    const auto area = static_cast<uint16_t>(number - 1);
    const uint16_t piece = message.param1();
    const uint16_t pos0 = message.param2();
    const uint16_t pos1 = message.param3();
    if (piece == 0 && pos0 == 0 && pos1 == 0) {
        loop.expectedPiece = 0;
        loop.currentArea = area;
    }
    if (acknowledge) {
        Send reply(TRANSFERDATA_SET_ANS, 1, number, loop.expectedPiece, 0, 0);
        answer(loop, reply, 776);
    }
    if (piece == loop.expectedPiece && loop.currentArea == area) {
        loop.expectedPiece += 1;
        transferData(message.payload(), message.payloadLength(), area, pos0, pos1);
        return;
    }
    VEMRA::logLine(VEMRA::kLogInfo, "TRANSFERDATA miss ")
        << unsigned{loop.expectedPiece} << " " << unsigned{piece} << " "
        << (loop.currentArea ? static_cast<int>(*loop.currentArea) : -1) << " " << unsigned{area} << " "
        << (acknowledge ? 1 : 0);
}

void Target::handleTransferCheck(LoopState& loop, const WireMessage& message) {
    const uint16_t number = message.param0();
    if (number == 0 || number > info.areaCount) {
        Send reply(TRANSFERDATA_CHECK_ANS, 0);
        answer(loop, reply, 793);
        return;
    }
    uint16_t check = message.param1();
    uint16_t phase = message.param2();
    if (transferCheck(static_cast<uint16_t>(number - 1), check, phase)) {
        Send reply(TRANSFERDATA_CHECK_ANS, 1, number, check, phase, 0);
        answer(loop, reply, 801);
        return;
    }
    Send reply(TRANSFERDATA_CHECK_ANS, 0);
    answer(loop, reply, 805);
}

} // namespace QUORVEL
