#include "tools/quorvel_host/Commands.h"
#include "tools/quorvel_host/ConfigItems.h"
#include "tools/quorvel_host/Output.h"
#include "tools/quorvel_host/TargetAccess.h"

#include <strings.h>

namespace QUORVELHOST {

namespace {

constexpr uint16_t kWholeConfiguration = 0;
constexpr uint16_t kSaveAndRestart = 1;  // item 0, operation 1: save the settings
constexpr uint16_t kClearAndRestart = 2; // item 0, operation 2: clear every setting

void printItem(const SettingItem& item, bool json) {
    if (json) {
        JsonWriter writer;
        settingItemJson(writer, item);
        printLine(writer.text());
        return;
    }
    const std::string range = item.rangeText();
    printLine(std::to_string(item.number) + " " + item.name + " = " + item.valueText() + "   (" +
              item.typeName() + (range.empty() ? "" : ": " + range) + ")");
}

// ITEM by number or by name (case-insensitive).
std::optional<SettingItem> findItem(QUORVEL::HostClient& client, const ResolvedTarget& target,
                                    const std::string& text, Failure& failure) {
    if (const auto number = parseUnsigned(text, 65535); number && *number > 0) {
        bool exists = false;
        auto item = readSettingItem(client, static_cast<uint16_t>(*number), exists);
        if (!item) {
            failure = noAnswer(target);
            return std::nullopt;
        }
        if (!exists) {
            failure = {kExitFailure, "no setting item " + text + " on " + target.label};
            return std::nullopt;
        }
        return item;
    }
    const auto items = readSettingItems(client);
    if (!items) {
        failure = noAnswer(target);
        return std::nullopt;
    }
    for (const SettingItem& item : *items) {
        if (strcasecmp(item.name.c_str(), text.c_str()) == 0) {
            return item;
        }
    }
    std::string names;
    for (const SettingItem& item : *items) {
        names += (names.empty() ? "" : ", ") + item.name;
    }
    failure = {kExitFailure, "no setting item '" + text + "' on " + target.label + " (it has " + names + ")"};
    return std::nullopt;
}

int saveOrClear(QUORVEL::HostClient& client, const ResolvedTarget& target, bool save, bool json) {
    const auto answer = client.configValue(kWholeConfiguration, save ? kSaveAndRestart : kClearAndRestart);
    if (!answer) {
        const Failure silent = noAnswer(target);
        return fail(silent.code, silent.message);
    }
    if (!answer->accepted) {
        return fail(kExitFailure,
                    target.label + " refused to " + (save ? "save" : "clear") + " its settings");
    }
    if (json) {
        printLine(std::string("{\"saved\":") + (save ? "true" : "false") +
                  ",\"cleared\":" + (save ? "false" : "true") + ",\"restarting\":true}");
    } else {
        printLine(std::string(save ? "Settings saved" : "Every setting cleared") +
                  "; the target restarts now and comes back with them in a few seconds.");
    }
    return kExitOk;
}

} // namespace

int runConfig(const Arguments& arguments) {
    const auto& words = arguments.positionals;
    const bool save = arguments.has("save");
    const bool reset = arguments.has("reset");
    if (words.empty() || words.size() > 3 || (save && (reset || words.size() != 1)) ||
        (reset && words.size() > 2)) {
        return fail(kExitUsage,
                    "config: expected TARGET [ITEM [VALUE]], TARGET [ITEM] --reset or TARGET --save "
                    "(see quorvel_host config --help)");
    }
    Failure failure;
    auto session = openSession(words[0], arguments, failure);
    if (!session) {
        return fail(failure.code, failure.message);
    }
    const bool json = arguments.has("json");
    if (words.size() == 1 && (save || reset)) {
        return saveOrClear(session->client, session->target, save, json);
    }
    if (words.size() == 1) {
        const auto items = readSettingItems(session->client);
        if (!items) {
            return failNoAnswer(session->target);
        }
        if (json) {
            JsonWriter writer;
            writer.beginArray();
            for (const SettingItem& item : *items) {
                settingItemJson(writer, item);
            }
            writer.endArray();
            printLine(writer.text());
        } else {
            for (const SettingItem& item : *items) {
                printItem(item, false);
            }
        }
        return kExitOk;
    }
    auto item = findItem(session->client, session->target, words[1], failure);
    if (!item) {
        return fail(failure.code, failure.message);
    }
    if (words.size() == 2 && !reset) {
        printItem(*item, json);
        return kExitOk;
    }
    std::optional<QUORVEL::ConfigValueReply> answer;
    if (reset) {
        answer = session->client.configValue(item->number, QUORVEL::HostClient::Reset);
    } else {
        std::string error;
        const auto argument = setArgumentFor(*item, words[2], error);
        if (!argument) {
            return fail(kExitUsage, error);
        }
        answer = session->client.configValue(item->number, QUORVEL::HostClient::Set, argument->number,
                                             argument->text);
    }
    if (!answer) {
        return failNoAnswer(session->target);
    }
    if (!answer->accepted) {
        return fail(kExitFailure, session->target.label + " refused to " + (reset ? "reset " : "set ") +
                                      item->name + (reset ? "" : " to '" + words[2] + "'"));
    }
    if (!refreshValue(session->client, *item)) {
        return failNoAnswer(session->target);
    }
    printItem(*item, json);
    if (!json) {
        printLine(
            "Changed on the target; 'quorvel_host config TARGET --save' makes it take effect (and restarts "
            "the target).");
    }
    return kExitOk;
}

} // namespace QUORVELHOST
