// One fuzz input: a few datagrams (FuzzSupport.h records) into the Target's
// dispatch, the function its loop hands every datagram of the discovery
// socket to. The first byte of a record picks the sender: bit 0 clear = one
// of the process's channels on ::1, set = a Host elsewhere (remoteSender);
// the rest is the datagram. Each input gets a fresh Target with its own loop
// state, so nothing carries over between inputs.
#include "FuzzSupport.h"
#include "protocol/Target.h"

#include <map>
#include <string>
#include <vector>

namespace {

using QUORVEL::ConfigItem;

// Settings kept in memory: the slots CertifiedTarget backs with its file.
class FuzzTarget : public QUORVEL::Target {
public:
    FuzzTarget(const QUORVEL::TargetInfo& info, Config config) : Target(info, std::move(config)) {}

    bool configGet(uint16_t item, std::string& text, uint16_t& number) override {
        const auto found = values.find(item);
        if (found == values.end()) {
            return item < 6;
        }
        text = found->second.first;
        number = found->second.second;
        return true;
    }
    bool configSet(uint16_t item, const std::string& text, uint16_t number, bool reset) override {
        if (item >= 6) {
            return false;
        }
        if (reset) {
            values.erase(item);
        } else {
            values[item] = {text, number};
        }
        return true;
    }
    bool configSave(bool restart) override { return !restart || values.size() % 2 == 0; }

private:
    std::map<uint16_t, std::pair<std::string, uint16_t>> values;
};

QUORVEL::IconImage icon(uint16_t width, uint16_t height, bool oneByte) {
    QUORVEL::IconImage image;
    image.width = width;
    image.oneBytePerPixel = oneByte;
    image.pixels.resize(size_t{width} * height);
    for (size_t i = 0; i < image.pixels.size(); ++i) {
        image.pixels[i] = static_cast<uint32_t>(i * 0x01030507U);
    }
    return image;
}

QUORVEL::TargetInfo fuzzInfo() {
    QUORVEL::TargetInfo info;
    info.targetId = 0x1122334455667788ULL;
    info.defaultPortWord = 0x0D0D;
    info.targetName = "FuzzTarget";
    info.infoText = "info";
    info.versionText = "142_1";
    info.rebootAllowed = true;
    info.text0 = "zero";
    info.text4 = "four";
    info.textList1 = {"one-a", "one-b"};
    info.textList5 = {"five-a"};
    info.acceptLoopbackDiscover = true;
    info.synchroEnabled = true;
    info.areaCount = 2;
    info.areaWord = 3;
    info.areas = {{1, 2, 3}, {4, 5, 6}};
    auto item = [](uint16_t type, const char* name) {
        ConfigItem entry;
        entry.type = type;
        entry.name = name;
        return entry;
    };
    ConfigItem number = item(ConfigItem::Number, "Number");
    number.minimum = -5;
    number.maximum = 500;
    ConfigItem text = item(ConfigItem::Text, "Text");
    text.text = "reference";
    ConfigItem choice = item(ConfigItem::Choice, "Choice");
    choice.choices = {"a", "b", "c"};
    ConfigItem readOnly = item(ConfigItem::ChoiceReadOnly, "ReadOnly");
    readOnly.choices = {"x"};
    info.configItems = {number, text,     item(ConfigItem::Switch, "Switch"),
                        choice, readOnly, item(ConfigItem::NumberWide, "Wide")};
    info.icons[0] = icon(4, 3, false);
    info.icons[1] = icon(400, 2, false);
    info.icons[2] = icon(1100, 1, true);
    info.icons[5] = icon(1, 1, true);
    return info;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FUZZ::AnswerDrop drop;
    static const VEMRA::SocketAddress remote = FUZZ::remoteSender(drop);
    static const QUORVEL::TargetInfo info = fuzzInfo();
    static const bool logging = (FUZZ::logEverything(), true);
    (void)logging;

    uint64_t clock = 1000 * VEMRA::kPicosecondsPerSecond;
    QUORVEL::Target::Config config;
    config.discoveryPort = 0;
    config.relayPort = 0;
    config.localSyslogPort = drop.address().hostPort();
    config.clock = [&clock] { return clock; };
    config.linkLocalAddresses = [](std::map<VEMRA::SocketAddress, std::string>& addresses) {
        VEMRA::SocketAddress local;
        local.address = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        local.scope = 1;
        addresses[local] = "fuzz0";
        return true;
    };
    FuzzTarget target(info, config);
    if (!target.openSockets(false)) {
        return 0;
    }
    QUORVEL::Target::LoopState loop;
    for (const auto record : FUZZ::splitRecords(data, size)) {
        if (record.size() < 2) {
            continue; // the loop never hands an empty datagram on
        }
        loop.receiveBuffer.assign(record.begin() + 1, record.end());
        loop.sender = (record[0] & 1) != 0 ? remote : drop.address();
        clock += VEMRA::kPicosecondsPerMillisecond;
        loop.now = clock;
        if (!target.dispatch(loop)) {
            break; // RebootRequested ends the run
        }
    }
    return 0;
}
