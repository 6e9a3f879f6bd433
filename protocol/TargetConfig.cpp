#include "protocol/Target.h"

#include "protocol/HostText.h"
#include "protocol/MessageCode.h"

#include <algorithm>

namespace QUORVEL {

namespace {

constexpr uint16_t kOperationSet = 1;
constexpr uint16_t kOperationReset = 2;
constexpr uint16_t kOperationChoiceText = 3;
constexpr uint16_t kSaveRestart = 1;
constexpr uint16_t kSaveCleared = 2;

const char* switchText(uint16_t number) {
    return number != 0 ? "enable" : "disable";
}

std::string choiceText(const ConfigItem& item, uint16_t index) {
    return index < item.choices.size() ? item.choices[index] : std::string("unknown");
}

uint16_t itemCount(const TargetInfo& info) {
    return static_cast<uint16_t>(std::min<size_t>(info.configItems.size(), 0xFFFF));
}

} // namespace

bool Target::configGet(uint16_t item, std::string& text, uint16_t& number) {
    (void)item;
    (void)text;
    (void)number;
    return false;
}

bool Target::configSet(uint16_t item, const std::string& text, uint16_t number, bool reset) {
    (void)item;
    (void)text;
    (void)number;
    (void)reset;
    return false;
}

bool Target::configSave(bool restart) {
    (void)restart;
    return false;
}

void Target::handleConfigItem(LoopState& loop, const WireMessage& message) {
    const uint16_t number = message.param0();
    const uint16_t count = itemCount(info);
    if (number == 0) {
        Send reply(CONFIG_ITEM_ANS, 1, count, message.param1(), 0, 0);
        answer(loop, reply, 899);
        return;
    }
    if (number > count) {
        Send reply(CONFIG_ITEM_ANS, 0, number, message.param1(), 0, 0);
        answer(loop, reply, 899);
        return;
    }
    const ConfigItem& item = info.configItems[number - 1];
    uint16_t low = 0;
    uint16_t high = 0;
    if (!item.choices.empty()) {
        high = static_cast<uint16_t>(std::min<size_t>(item.choices.size() - 1, 0xFFFF));
    } else if (item.type == ConfigItem::Switch) {
        high = 1;
    } else {
        low = static_cast<uint16_t>(item.minimum);
        high = item.maximum;
    }
    SendBuffer reply;
    reply.setHeader(CONFIG_ITEM_ANS, 1, number, item.type, low, high);
    setTextPayload(reply, item.name);
    answer(loop, reply, 899);
}

bool Target::handleConfigValue(LoopState& loop, const WireMessage& message) {
    const uint16_t number = message.param0();
    const uint16_t operation = message.param1();
    const uint16_t argument = message.param2();

    if (number == 0) {
        bool saved = false;
        if (operation == kSaveRestart) {
            saved = configSave(true);
        } else if (operation == kSaveCleared) {
            saved = configSave(false);
        }
        Send reply(CONFIG_VALUE_ANS, saved ? 1 : 0, 0, 0, 0, 0);
        answer(loop, reply, 1050);
        if (!saved) {
            return true;
        }
        // A saved configuration takes effect only after the application restarts.
        rebootModeWord.store(1, std::memory_order_release);
        return false;
    }
    if (number > itemCount(info)) {
        Send reply(CONFIG_VALUE_ANS, 0, number, 0, 0, 0);
        answer(loop, reply, 1050);
        return true;
    }
    const ConfigItem& item = info.configItems[number - 1];
    const auto index = static_cast<uint16_t>(number - 1);

    if (operation == kOperationChoiceText) {
        SendBuffer reply;
        reply.setHeader(CONFIG_VALUE_ANS, 1, number, 0, 0, 0);
        if (!item.choices.empty()) {
            setTextPayload(reply, choiceText(item, argument));
        } else if (item.type == ConfigItem::Switch) {
            setTextPayload(reply, switchText(argument));
        }
        answer(loop, reply, 1050);
        return true;
    }

    std::string payload = item.text;
    uint16_t value = item.value;
    bool ok = true;
    if (payload.empty()) {
        if (item.type == ConfigItem::Switch) {
            payload = switchText(item.value);
        } else if (item.isChoice()) {
            payload = choiceText(item, item.value);
        }
    }

    if (operation == kOperationSet) {
        if (item.isNumber()) {
            ok = configSet(index, std::string(), argument, false);
        } else if (item.type == ConfigItem::Switch) {
            ok = configSet(index, switchText(argument), argument, false);
        } else if (item.type == ConfigItem::Text) {
            // A text beyond the bound is refused like any other bad set: it
            // would come back in later answers (the name in every DISCOVER_ANS).
            const std::string text = message.payloadText();
            ok = fitsHostText(text) && configSet(index, text, argument, false);
            if (ok) {
                payload = text;
            }
        } else if (item.type == ConfigItem::Choice) {
            ok = configSet(index, choiceText(item, argument), argument, false);
        } else {
            ok = false; // read-only choices and unknown types cannot be set
        }
    } else if (operation == kOperationReset) {
        if (item.type == ConfigItem::Text) {
            ok = configSet(index, item.text, item.value, true);
        } else if (item.isNumber() || item.type == ConfigItem::Switch || item.type == ConfigItem::Choice) {
            ok = configSet(index, std::string(), item.value, true);
        } else {
            ok = false;
        }
    }

    std::string readText;
    uint16_t readNumber = 0;
    if (configGet(index, readText, readNumber)) {
        if (item.type == ConfigItem::Text) {
            payload = readText;
        } else if (item.isNumber() || item.type == ConfigItem::Switch) {
            value = readNumber;
            if (item.type == ConfigItem::Switch && readText == "disable") {
                value = 0;
            } else if (item.type == ConfigItem::Switch && readText == "enable") {
                value = 1;
            }
        } else if (item.isChoice()) {
            if (readText.empty()) {
                value = readNumber;
            } else {
                const auto found = std::find(item.choices.begin(), item.choices.end(), readText);
                if (found != item.choices.end()) {
                    value = static_cast<uint16_t>(found - item.choices.begin());
                }
                // A settable choice reports only its index; a read-only one also its text.
                payload = item.type == ConfigItem::ChoiceReadOnly ? readText : std::string();
            }
        }
    }

    SendBuffer reply;
    reply.setHeader(CONFIG_VALUE_ANS, ok ? 1 : 0, number, value, 0, item.value);
    setTextPayload(reply, payload);
    answer(loop, reply, 1050);
    return true;
}

} // namespace QUORVEL
