#include "foundation/Log.h"
#include "protocol/MessageCode.h"
#include "protocol/Sink.h"
#include "protocol/WireMessage.h"

namespace QUORVEL {

namespace {

enum ValueOperation : uint16_t { kRead = 0, kWrite = 1, kReset = 2, kChoiceName = 3 };

// The text an item shows for `value`: on/off and choice items by name.
std::string itemText(const SinkItem& item, uint16_t value, const std::string& text) {
    if (item.type == SinkItem::kOnOff && item.choices.empty()) {
        return value != 0 ? "enable" : "disable";
    }
    if (item.isChoice() || item.type == SinkItem::kOnOff) {
        return value < item.choices.size() ? item.choices[value] : "unknown";
    }
    return text;
}

} // namespace

bool Sink::handleSinkItem(const WireMessage& message, const VEMRA::SocketAddress& from) {
    const uint16_t number = message.param0();
    const size_t count = info.items.size();
    SendBuffer reply;
    if (number == 0) {
        reply.setHeader(SINK_ITEM_ANS, 1, static_cast<uint16_t>(count), message.param1(), 0, 0);
    } else if (number > count) {
        reply.setHeader(SINK_ITEM_ANS, 0, number, message.param1(), 0, 0);
    } else {
        const SinkItem& item = info.items[number - 1];
        uint16_t minimum = item.minimum;
        uint16_t maximum = item.maximum;
        if (item.isChoice() || (item.type == SinkItem::kOnOff && !item.choices.empty())) {
            minimum = 0;
            maximum = static_cast<uint16_t>(item.choices.empty() ? 0 : item.choices.size() - 1);
        } else if (item.type == SinkItem::kOnOff) {
            minimum = 0;
            maximum = 1;
        }
        reply.setHeader(SINK_ITEM_ANS, 1, number, item.type, minimum, maximum);
        reply.setPayload(item.name.data(), item.name.size());
    }
    reply.prepare();
    return answer(reply, from, kSiteItemAnswer) && running.load();
}

bool Sink::handleSinkValue(const WireMessage& message, const VEMRA::SocketAddress& from) {
    const uint16_t number = message.param0();
    const uint16_t operation = message.param1();
    SendBuffer reply;
    bool keepRunning = true;

    if (number == 0) {
        bool ok = false;
        if (operation == kWrite || operation == kReset) {
            bool stop = false;
            ok = sinkItemAction(true, stop);
            keepRunning = !stop;
        }
        reply.setHeader(SINK_VALUE_ANS, ok ? 1 : 0, 0, 0, 0, 0);
    } else if (number > info.items.size()) {
        reply.setHeader(SINK_VALUE_ANS, 0, number, 0, 0, 0);
    } else {
        const uint16_t index = static_cast<uint16_t>(number - 1);
        const SinkItem& item = info.items[index];
        std::string text = item.text;
        uint16_t value = item.value;
        bool ok = false;
        auto readItem = [&]() {
            return isSynchroItem(index) ? getSynchroItem(index, text, value)
                                        : getSinkItem(index, text, value);
        };
        auto writeItem = [&](const std::string& newText, uint16_t newValue, bool flag) {
            return isSynchroItem(index) ? setSynchroItem(index, newText, newValue, flag)
                                        : setSinkItem(index, newText, newValue, flag);
        };
        switch (operation) {
        case kRead:
            ok = readItem();
            break;
        case kWrite: {
            const std::string newText = item.type == SinkItem::kText ? message.payloadText() : std::string();
            const bool written = writeItem(newText, message.param2(), true);
            ok = readItem() && written; // the answer shows the value that holds either way
            break;
        }
        case kReset: {
            const bool written = writeItem(item.text, item.value, false);
            ok = readItem() && written;
            break;
        }
        case kChoiceName:
            readItem();
            text = itemText(item, message.param2(), text);
            ok = (item.isChoice() || item.type == SinkItem::kOnOff) && text != "unknown";
            break;
        default:
            break;
        }
        if (operation != kChoiceName) {
            text = itemText(item, value, text);
        }
        reply.setHeader(SINK_VALUE_ANS, ok ? 1 : 0, number, value, 0, item.value);
        reply.setPayload(text.data(), text.size());
    }
    reply.prepare();
    if (!answer(reply, from, kSiteValueAnswer)) {
        return false;
    }
    return keepRunning && running.load();
}

bool Sink::handleSinkIcon(const WireMessage& message, const VEMRA::SocketAddress& from) {
    const uint16_t number = message.param0();
    const uint16_t column = message.param1();
    const uint16_t row = message.param2();
    SendBuffer reply;
    if (number < 1 || number > info.icons.size() || !info.icons[number - 1].usable()) {
        reply.setHeader(SINK_ICON_ANS, 0, number, column, row, 0);
    } else {
        const IconImage& icon = info.icons[number - 1];
        if (column == 0 || row == 0) {
            reply.setHeader(SINK_ICON_ANS, 1, number, column == 0 ? icon.width : column,
                            row == 0 ? icon.height() : row, 0);
        } else {
            const uint32_t c = column - 1U;
            const uint32_t r = row - 1U;
            const size_t count = icon.runLength(r, c, message.param3());
            if (count == 0) {
                reply.setHeader(SINK_ICON_ANS, 1, number, column, row, message.param3());
            } else {
                std::vector<uint8_t> pixels;
                icon.runBytes(r, c, count, pixels);
                VEMRA::logLine(VEMRA::kLogDebug, "Icon Load ")
                    << number << " " << c << " " << r << " " << static_cast<unsigned long>(count);
                reply.setHeader(SINK_ICON_ANS, 1, number, column, row, static_cast<uint16_t>(count + 1));
                reply.setPayload(pixels.data(), pixels.size());
            }
        }
    }
    reply.prepare();
    return answer(reply, from, kSiteIconAnswer) && running.load();
}

} // namespace QUORVEL
