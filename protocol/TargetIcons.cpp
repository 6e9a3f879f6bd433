#include "protocol/Target.h"

#include "foundation/Log.h"
#include "protocol/MessageCode.h"

#include <algorithm>

namespace QUORVEL {

void Target::handleIcon(LoopState& loop, const WireMessage& message) {
    const uint16_t number = message.param0();
    const uint16_t column = message.param1();
    const uint16_t row = message.param2();
    const uint16_t count = message.param3();

    const IconImage* icon = number >= 1 && number <= kIconCount ? &info.icons[number - 1] : nullptr;
    if (icon == nullptr || !icon->usable()) {
        Send reply(ICON_ANS, 0, number, column, row, 0);
        answer(loop, reply, 1234);
        return;
    }
    const uint16_t mode = icon->oneBytePerPixel ? 1 : 0;

    if (column == 0 || row == 0) {
        Send reply(ICON_ANS, 1, number, column == 0 ? icon->width : column, row == 0 ? icon->height() : row,
                   count == 0 ? static_cast<uint16_t>(mode + 1) : 0);
        answer(loop, reply, 1234);
        return;
    }

    const uint32_t x0 = column - 1U;
    const uint32_t y0 = row - 1U;
    if (y0 >= icon->height() || x0 >= icon->width) {
        Send reply(ICON_ANS, 1, number, column, row, 0);
        answer(loop, reply, 1234);
        return;
    }
    // One datagram cannot carry more; the answer's count tells the Host how many came.
    const size_t bytesPerPixel = icon->oneBytePerPixel ? 1 : 4;
    const size_t length = std::min(icon->runLength(y0, x0, count), kMaxDatagramPayload / bytesPerPixel);
    std::vector<uint8_t> bytes;
    icon->runBytes(y0, x0, length, bytes);

    VEMRA::logLine(VEMRA::kLogDebug, "Icon Load ")
        << unsigned{number} << " " << x0 << " " << y0 << " " << length;
    SendBuffer reply;
    reply.setHeader(ICON_ANS, 1, number, column, row, static_cast<uint16_t>(length + 1));
    reply.setPayload(bytes.data(), bytes.size());
    answer(loop, reply, 1234);
}

} // namespace QUORVEL
