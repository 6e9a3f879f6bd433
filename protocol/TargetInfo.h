#pragma once

#include "protocol/IconImage.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace QUORVEL {

// One setting the Host may inspect or change through the Target. Numbered
// from 1 on the wire and from 0 in the Target's virtual slots.
struct ConfigItem {
    enum Type : uint16_t {
        Number = 1,
        NumberAlt = 2,
        Switch = 3, // "enable" / "disable", 1 / 0
        Text = 4,
        Choice = 5,         // the Host may set it
        ChoiceReadOnly = 6, // the Host may only read it
        NumberWide = 7,
    };

    uint16_t type = 0;
    std::string name;
    std::string text;    // reference text as the application built it; may be empty
    int16_t minimum = 0; // range of a number item
    uint16_t maximum = 0;
    uint16_t value = 0; // reference number: 0/1 for a switch, the index for a choice
    std::vector<std::string> choices;

    bool isNumber() const { return type == Number || type == NumberAlt || type == NumberWide; }
    bool isChoice() const { return type == Choice || type == ChoiceReadOnly; }
};

// Three words per data-transfer area that only the application and the Host interpret.
using TransferArea = std::array<uint16_t, 3>;

constexpr size_t kIconCount = 8;

// Everything the application tells the Target about itself; copied whole at
// construction and never changed by the Target.
struct TargetInfo {
    uint64_t targetId = 0;
    uint16_t defaultPortWord = 0;
    std::string targetName;
    std::string infoText;
    std::string versionText;
    std::string urlText;
    bool rebootAllowed = false;
    bool syslogToLocal = false;
    std::string text0;
    std::string text4;
    std::vector<std::string> textList1;
    std::vector<std::string> textList5;
    bool acceptLoopbackDiscover = false;
    bool synchroEnabled = false;
    uint16_t areaCount = 0;
    uint16_t areaWord = 0;
    std::vector<TransferArea> areas;
    std::vector<ConfigItem> configItems;
    std::array<IconImage, kIconCount> icons; // numbered 1-8 on the wire
};

} // namespace QUORVEL
