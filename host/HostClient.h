#pragma once

#include "foundation/SocketAddress.h"
#include "host/HostSocket.h"
#include "protocol/WireMessage.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QUORVEL {

// What a target says about itself in DISCOVER_ANS.
struct TargetIdentity {
    VEMRA::SocketAddress endpoint; // where the answer came from
    uint64_t targetId = 0;
    std::string name;
};

// A list-mode PORT_ANS: the largest keys and, depending on the request, the
// two key bitmaps or a table of ports.
struct PortList {
    bool accepted = false;
    uint16_t largestKey1 = 0; // keys carried in param0 (sinks)
    uint16_t largestKey0 = 0; // keys carried in param1
    uint16_t kindWord = 0;
    std::vector<uint8_t> payload;

    // Bitmap 1 covers param0 keys, bitmap 0 param1 keys (a 1024-byte bitmap answer only).
    bool bit(int bitmap, uint16_t key) const;
    // Entry i of a port-table answer.
    uint16_t tablePort(size_t index) const;
};

// A looked-up sink control port.
struct PortEntry {
    bool found = false;
    uint16_t port = 0;
    std::string name;
};

// A status channel as the target lists it.
struct StatusEntry {
    bool found = false;
    uint16_t kindWord = 0;
    uint16_t port = 0;
    uint16_t word3 = 0;
    Block block{};
    std::string name;
};

// TEXT_ANS.
struct TextReply {
    bool accepted = false;
    uint16_t selector = 0;
    uint16_t flag = 0;     // param1
    uint16_t listSize = 0; // param2
    std::vector<uint8_t> payload;

    std::string text() const { return std::string(payload.begin(), payload.end()); }
};

// CONFIG_ITEM_ANS.
struct ConfigItemReply {
    bool accepted = false;
    uint16_t number = 0; // item number, or the item count for item 0
    uint16_t type = 0;   // param1
    uint16_t low = 0;
    uint16_t high = 0;
    std::string name;
};

// CONFIG_VALUE_ANS.
struct ConfigValueReply {
    bool accepted = false;
    uint16_t number = 0;
    uint16_t value = 0;
    uint16_t reference = 0;
    std::string text;
};

// ICON_ANS: a size query fills width/height/mode, a run fills pixels.
struct IconReply {
    bool accepted = false;
    uint16_t number = 0;
    uint16_t column = 0; // width for a size query
    uint16_t row = 0;    // height for a size query
    uint16_t count = 0;  // pixels + 1 for a run, mode + 1 for a size query
    std::vector<uint8_t> bytes;
};

// TRANSFERDATA_INFO_ANS / TRANSFERDATA_CHECK_ANS.
struct TransferReply {
    bool accepted = false;
    uint16_t param0 = 0;
    uint16_t param1 = 0;
    uint16_t param2 = 0;
    uint16_t param3 = 0;
};

// Speaks the protocol to one target's discovery port from the Host's side.
// Every query returns nullopt when no answer came within the time-out.
class HostClient {
public:
    // Configuration operations of CONFIG_VALUE_REQ.
    enum ConfigOperation : uint16_t { Read = 0, Set = 1, Reset = 2, ChoiceText = 3 };

    explicit HostClient(const VEMRA::SocketAddress& target,
                        std::chrono::milliseconds timeout = HostSocket::kDefaultTimeout);

    // Opens the client's socket on [::]:0 (or `local`).
    bool open();
    bool open(const VEMRA::SocketAddress& local);
    HostSocket& socket() { return channel; }
    const VEMRA::SocketAddress& target() const { return targetAddress; }

    // Any request; the answer with `answerCode` from the target.
    std::optional<HostAnswer> request(Send& message, uint16_t answerCode);

    std::optional<TargetIdentity> discover();
    // List mode: all keys 0 gives the bitmaps; firstKey with `param1Table`
    // selects a port table starting there (PORT_REQ 0xFFFF / key or key / 0xFFFF).
    std::optional<PortList> portBitmaps(uint16_t kind = 0);
    std::optional<PortList> portTable(uint16_t firstKey, bool param1Table, uint16_t kind = 0);
    // Looks up one key carried in param0 (sinks) or, with `param1Key`, in param1.
    std::optional<PortEntry> port(uint16_t key, bool param1Key = false, uint16_t kind = 0);
    // The largest status key.
    std::optional<uint16_t> statusCount();
    std::optional<StatusEntry> status(uint16_t key);

    // INFO_ANS / VERSION_ANS / URL_ANS text; an empty string when the target has none.
    std::optional<std::string> info();
    std::optional<std::string> version();
    std::optional<std::string> url();
    std::optional<TextReply> text(uint16_t selector, uint16_t index = 0);
    std::optional<bool> syncName(const std::string& name, uint64_t value);

    std::optional<ConfigItemReply> configItem(uint16_t number, uint16_t tag = 0);
    std::optional<ConfigValueReply> configValue(uint16_t number, uint16_t operation, uint16_t argument = 0,
                                                const std::string& text = std::string());

    std::optional<IconReply> iconSize(uint16_t number);
    // column and row are 1-based; count 0 or 1 asks for the rest of the row.
    std::optional<IconReply> iconRun(uint16_t number, uint16_t column, uint16_t row, uint16_t count);

    std::optional<TransferReply> transferInfo(uint16_t area);
    // Sends one piece without asking for an acknowledgement.
    bool transferPiece(uint16_t area, uint16_t piece, uint16_t pos0, uint16_t pos1,
                       const std::vector<uint8_t>& bytes);
    // Sends one piece with the acknowledge bit: the count of pieces accepted before it.
    std::optional<uint16_t> transferPieceAcknowledged(uint16_t area, uint16_t piece, uint16_t pos0,
                                                      uint16_t pos1, const std::vector<uint8_t>& bytes);
    std::optional<TransferReply> transferCheck(uint16_t area, uint16_t check, uint16_t phase);

    // Mode 0 only asks whether a reboot is allowed. The answer's status.
    std::optional<bool> reboot(uint16_t mode);
    // Switches the relay of the target's log lines to this client on or off.
    std::optional<bool> hostDebug(bool on);
    // The next relayed log line (HOST_DEBUG_ANS with param0 2), header removed.
    std::optional<std::string> nextLogLine(std::chrono::milliseconds timeout);

private:
    std::optional<std::string> textAnswer(uint16_t requestCode, uint16_t answerCode);

    VEMRA::SocketAddress targetAddress;
    std::chrono::milliseconds timeout;
    HostSocket channel;
};

} // namespace QUORVEL
