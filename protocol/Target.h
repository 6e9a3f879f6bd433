#pragma once

#include "foundation/Clock.h"
#include "foundation/Crc16.h"
#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"
#include "foundation/SocketWaitSet.h"
#include "protocol/AnswerPolicy.h"
#include "protocol/OwnPort.h"
#include "protocol/TargetInfo.h"
#include "protocol/TargetRegistry.h"
#include "protocol/TargetSynchro.h"
#include "protocol/WireMessage.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace QUORVEL {

// The host-facing half of the protocol: discovery, the registries of the
// sinks' and status channels' ports, information, restart, debug relay,
// clock offsets, configuration, data transfer and icons. One per process.
//
// Threads: the application's node thread calls start, stop and the three
// plain reads; everything else (the loop and every virtual slot) runs on the
// Target's worker thread.
class Target {
public:
    static constexpr uint16_t kReleaseNumber = 142;
    static constexpr uint16_t kDiscoveryPort = 19642;
    static constexpr uint16_t kRelayPort = 19641;
    static constexpr uint16_t kLocalSyslogPort = 514;
    // The largest payload one IPv6 UDP datagram can carry once padded:
    // 65 520 bytes on the wire, the next multiple of 8 exceeds 65 527.
    static constexpr size_t kMaxDatagramPayload = 65504;
    // The log relay to a Host (HOST_DEBUG) sends at most this many lines a
    // second, after a burst of kRelayBurst: whoever switches it on chooses
    // where the lines go, and a steady stream at somebody else must not
    // come of it.
    static constexpr uint64_t kRelayLinesPerSecond = 20;
    static constexpr uint64_t kRelayBurst = 100;
    // SYNCNAME_SET entries kept; the one set longest ago is replaced.
    static constexpr size_t kSyncNameCount = 64;

    // Values of result().
    enum Result : int32_t {
        Running = 0,
        Constructed = 1,
        SocketFailed = 2,    // a wait or receive failed, or stop() ended the loop
        RebootRequested = 3, // a Host's REBOOT or a successful configuration save
    };

    using AddressSource = std::function<bool(std::map<VEMRA::SocketAddress, std::string>&)>;

    // Ports, waits and environment; the defaults are the system's own.
    struct Config {
        uint16_t discoveryPort = kDiscoveryPort;     // bound on ::, 0 = system's choice
        uint16_t relayPort = kRelayPort;             // bound on ::1, 0 = system's choice
        uint16_t localSyslogPort = kLocalSyslogPort; // relay destination on ::1
        uint64_t passTimeout = VEMRA::kPicosecondsPerSecond;
        std::function<uint64_t()> clock;  // empty: VEMRA::clockNow
        AddressSource linkLocalAddresses; // empty: the machine's fe80 addresses
        // When set, raised by the worker on every pass of the loop (the
        // application's watchdog); must outlive the Target.
        std::atomic<uint64_t>* loopPasses = nullptr;
        AnswerPolicy::Config answers; // how the discovery socket answers the network
        // Without synchro the worker serves in the idle class, behind every
        // other thread of the machine; a test on a busy machine, where the
        // idle class may not run for seconds, keeps it in the normal class.
        bool idleClass = true;
    };

    explicit Target(const TargetInfo& info);
    Target(const TargetInfo& info, Config config);
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Opens the sockets and starts the worker; `relay` also opens the log relay socket.
    bool start(bool relay);
    // Ends the loop (result 2 unless it had ended) and joins the worker.
    void stop();

    int32_t result() const { return resultWord.load(std::memory_order_acquire); }
    uint16_t rebootMode() const { return rebootModeWord.load(std::memory_order_acquire); }
    bool playing() const { return playingFlag.load(std::memory_order_relaxed); }

    // Bound ports after a successful start (useful when the Config asked for 0).
    uint16_t boundDiscoveryPort() const { return discoveryBound.load(std::memory_order_acquire); }
    uint16_t boundRelayPort() const { return relayBound.load(std::memory_order_acquire); }
    // Copies of the membership lists; safe from any thread.
    std::vector<VEMRA::SocketAddress> joinedMembers() const;
    std::vector<VEMRA::SocketAddress> failedMembers() const;

    const TargetInfo& targetInfo() const { return info; }

    // State of one run of the loop; lives on the thread that dispatches (the worker).
    struct LoopState {
        VEMRA::SocketWaitSet waitSet;
        std::vector<uint8_t> receiveBuffer;
        VEMRA::SocketAddress sender;
        TargetRegistry registry;
        VEMRA::SocketAddress hostDebugAddress; // all zero: relaying to a Host is off
        bool hostDebugFailing = false;         // the last relay to the Host failed
        // Lines the relay may still send to the Host, refilled with time;
        // lines beyond it are counted and not sent.
        uint64_t relayTokens = kRelayBurst;
        uint64_t relayStamp = 0;
        uint64_t relaySkipped = 0;
        uint64_t now = 0;
        uint64_t lastScan = 0;
        uint16_t expectedPiece = 0;
        std::optional<uint16_t> currentArea;
    };

    // The sockets start() opens, without the worker: start() begins with it,
    // and a harness that feeds datagrams to dispatch() calls it instead of start().
    bool openSockets(bool relay);
    // One datagram received on the discovery socket: loop.receiveBuffer (not
    // empty), sent from loop.sender. The loop calls it for every datagram;
    // answers go out on the discovery socket. Without a running worker a
    // harness may call it with a LoopState of its own. False ends the loop
    // with RebootRequested.
    bool dispatch(LoopState& loop);

    // Virtual slots, all called on the worker thread. Item and area numbers
    // are 0-based. The bases of configGet/configSet/configSave mean "not
    // supported"; the base transferData/transferCheck keep and check a CRC.
    virtual void transferData(const uint8_t* bytes, size_t length, uint16_t area, uint16_t pos0,
                              uint16_t pos1);
    virtual bool transferCheck(uint16_t area, uint16_t& check, uint16_t& phase);
    virtual bool configGet(uint16_t item, std::string& text, uint16_t& number);
    virtual bool configSet(uint16_t item, const std::string& text, uint16_t number, bool reset);
    virtual bool configSave(bool restart);

protected:
    // The message loop; returns SocketFailed or RebootRequested.
    int32_t run();

    // Bytes received by the base transferData since the last start piece.
    const std::vector<uint8_t>& receivedTransfer() const { return transferBuffer; }
    std::vector<uint8_t> takeReceivedTransfer();

private:
    void worker();
    uint64_t clockNow() const;
    void scanMembers();

    void relay(LoopState& loop);
    void expire(LoopState& loop);

    // Text payloads are cut to what one datagram carries.
    static void setTextPayload(SendBuffer& message, std::string_view text);
    // Sends an answer to loop.sender under the answer policy; false when it
    // was not sent. An error number of `quietError` is not logged.
    bool answer(LoopState& loop, Send& message, int site, int quietError = 0);
    bool sendToLoopback(Send& message, uint16_t port, int site);
    void logSendError(int site, int error);

    void handleDiscover(LoopState& loop);
    void handlePortRequest(LoopState& loop, const WireMessage& message);
    void handlePortRegist(LoopState& loop, const WireMessage& message);
    void handleStatusRegist(LoopState& loop, const WireMessage& message);
    void handleStatusRequest(LoopState& loop, const WireMessage& message);
    void handleTextAnswer(LoopState& loop, uint16_t answerCode, const std::string& text, int emptySite,
                          int site);
    void handleTextRequest(LoopState& loop, const WireMessage& message);
    void handleSyncName(LoopState& loop, const WireMessage& message);
    bool handleReboot(LoopState& loop, const WireMessage& message);
    void handleHostDebug(LoopState& loop, const WireMessage& message);
    void handleSynchro(LoopState& loop, const WireMessage& message);
    void forwardOffsets(uint16_t port);

    // Configuration, data transfer and icons.
    void handleConfigItem(LoopState& loop, const WireMessage& message);
    bool handleConfigValue(LoopState& loop, const WireMessage& message);
    void handleTransferInfo(LoopState& loop, const WireMessage& message);
    void handleTransferSet(LoopState& loop, const WireMessage& message);
    void handleTransferCheck(LoopState& loop, const WireMessage& message);
    void handleIcon(LoopState& loop, const WireMessage& message);

    const TargetInfo info;
    const Config config;

    VEMRA::Socket discoverySocket; // opened by start, used by the worker, closed by stop
    VEMRA::Socket relaySocket;
    OwnPort discoveryOwn; // the two sockets' ports, while they are bound
    OwnPort relayOwn;
    std::thread thread;

    std::atomic<bool> running{false};             // cleared by stop
    std::atomic<int32_t> resultWord{Constructed}; // written by the worker (and start)
    std::atomic<uint16_t> rebootModeWord{0};      // written by the worker (and start)
    std::atomic<bool> playingFlag{false};         // written by the worker
    std::atomic<uint16_t> discoveryBound{0};
    std::atomic<uint16_t> relayBound{0};
    bool autoFind = false;

    // Written by the worker's scan; copies are handed out under the mutex.
    mutable std::mutex membersMutex;
    std::vector<VEMRA::SocketAddress> joined;
    std::vector<VEMRA::SocketAddress> failed;

    // Worker thread only.
    AnswerPolicy answers;
    std::vector<uint8_t> transferBuffer;
    VEMRA::Crc16Usb transferCrc;
    // SYNCNAME_SET per Host address, at most kSyncNameCount, names cut to
    // kMaxHostTextBytes. Nothing in this system reads them.
    struct SyncName {
        std::array<uint8_t, 16> address{};
        std::string name;
        uint64_t value = 0;
        uint64_t setAt = 0;
    };
    std::vector<SyncName> syncNames;
    SynchroTable synchroTable;
};

} // namespace QUORVEL
