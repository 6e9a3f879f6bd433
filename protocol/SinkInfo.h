#pragma once

#include "protocol/IconImage.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace QUORVEL {

// One configuration item a sink offers the Host (SINK_ITEM_REQ / SINK_VALUE_REQ).
struct SinkItem {
    // 1, 2 and 7 numeric, 3 on/off, 4 text, 5 and 6 choice lists.
    static constexpr uint16_t kNumber = 1;
    static constexpr uint16_t kNumber2 = 2;
    static constexpr uint16_t kOnOff = 3;
    static constexpr uint16_t kText = 4;
    static constexpr uint16_t kChoice = 5;
    static constexpr uint16_t kChoice2 = 6;
    static constexpr uint16_t kNumber7 = 7;

    uint16_t type = kNumber;
    std::string name;
    std::string text;
    uint16_t minimum = 0;
    uint16_t maximum = 0;
    uint16_t value = 0;
    std::vector<std::string> choices;

    bool isChoice() const { return type == kChoice || type == kChoice2; }
};

// What a sink is built from; the sink keeps a copy.
struct SinkInfo {
    uint16_t index = 1;         // the DAC node's number; default ports derive from it
    uint16_t packetSize = 1500; // largest datagram taken in one piece
    uint16_t packetLimit = 65535;
    uint16_t infoValue1 = 0;
    uint16_t infoValue2 = 0;
    uint16_t infoValue3 = 0;
    std::string name;
    bool statusOption1 = false; // status bit 0x100
    bool statusOption2 = false; // clears status bit 0x80 that option 1 sets
    bool synchroEnabled = false;
    std::string synchroName;
    uint64_t synchroValue = 0; // hash, all, self, total in 16-bit fields
    std::vector<SinkItem> items;
    std::array<IconImage, 4> icons;
};

} // namespace QUORVEL
