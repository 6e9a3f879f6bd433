#pragma once

#include "foundation/Clock.h"
#include "foundation/Socket.h"
#include "foundation/SocketAddress.h"
#include "foundation/SocketWaitSet.h"
#include "foundation/ThreadScheduling.h"
#include "foundation/WakeEvent.h"
#include "protocol/AnswerPolicy.h"
#include "protocol/AudioFormat.h"
#include "protocol/ConnectionView.h"
#include "protocol/OwnPort.h"
#include "protocol/PacketSlot.h"
#include "protocol/PrepareCache.h"
#include "protocol/PrepareFormat.h"
#include "protocol/SinkInfo.h"
#include "protocol/StreamIntake.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace FUZZ {
class FuzzSink;
} // namespace FUZZ

namespace QUORVEL {

class Send;
class WireMessage;

enum ConnState : uint32_t { Idle = 0, Connecting = 1, Connected = 2, Disconnecting = 3 };

// What a deployment fixes and a test replaces. The defaults are the system's.
struct SinkConfig {
    uint16_t registrationPort = 19642; // the Target's loopback port for PORT_REGIST
    // Default ports are base + 2 x index; a base of 0 lets the system choose.
    uint16_t controlBasePort = 19642;
    uint16_t streamBasePort = 19643;
    uint64_t registrationInterval = 3 * VEMRA::kPicosecondsPerSecond;
    uint64_t silenceTimeout = VEMRA::kPicosecondsPerSecond / 2;
    // A synchronised start further ahead than this starts at once instead:
    // the output would otherwise spin at real-time priority until then.
    uint64_t maxStartDelay = 5 * VEMRA::kPicosecondsPerSecond;
    // Scheduling mode the stream and transport workers ask for; when the
    // system refuses it they log it and run in the class they have.
    int workerScheduling = VEMRA::RealtimeFifo;
    PrepareCache* prepareCache = nullptr; // null: the process-wide cache
    // After answering a connect the node thread gives the stream worker this
    // long to start the output. A harness that runs no stream worker sets 0.
    uint64_t connectSettleMilliseconds = 10;
    AnswerPolicy::Config answers; // how the control socket answers the network
};

// One DAC offered to the Host: the control channel (format negotiation,
// connection, items, icons, synchro) and the stream channel with its worker.
//
// Threads: the node thread runs open/controlStep/close; the stream worker
// (and during an MS connection the MS worker) receive the audio and hand it
// to the intake; the transport worker of SinkBuffer feeds the device.
// Members shared between them are atomics or are handed over under a mutex,
// as marked. While a stream plays, those workers take no lock and allocate
// nothing: their log lines go through the real-time log queue, and the
// mutexes are taken only when a connection starts or ends. The workers call
// no virtual operation of the sink: what they reach beyond its own members
// is the intake (see StreamIntake).
class Sink {
public:
    static constexpr uint32_t kReleaseNumber = 142;

    // `intake` may be a member of a derived class not built yet: the sink
    // uses it only once its workers run, and joins them in close.
    Sink(const SinkInfo& info, VEMRA::SocketWaitSet& pollSet, StreamIntake& intake,
         const SinkConfig& config = SinkConfig());
    virtual ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Virtual slots, in this order (back ends rely on it).
    virtual bool start();                                                                                // 0
    virtual void getLatency(uint16_t& maxLatency, uint16_t& deviceLatency, uint16_t& latency) = 0;       // 1
    virtual bool canFormat(AudioFormat& fmt) = 0;                                                        // 2
    virtual bool setPrepareFormat(PrepareFormat& w) = 0;                                                 // 3
    virtual bool setFormat(const AudioFormat& fmt) = 0;                                                  // 4
    virtual bool connect(const std::string& hostName) = 0;                                               // 5
    virtual void play(const uint64_t& startAt) = 0;                                                      // 6
    virtual bool disconnectStream() = 0;                                                                 // 7
    virtual bool preDisconnect();                                                                        // 8
    virtual bool commitWrite(bool flush) = 0;                                                            // 9
    virtual bool getBufferState(uint16_t& fill, uint16_t& target) = 0;                                   // 10
    virtual void wakeAll();                                                                              // 11
    virtual PacketSlot* writeSlot();                                                                     // 12
    virtual bool getSinkItem(uint16_t index, std::string& text, uint16_t& value);                        // 13
    virtual bool setSinkItem(uint16_t index, const std::string& text, const uint16_t& value, bool flag); // 14
    virtual bool sinkItemAction(bool op, bool& stop);                                                    // 15

    // Node thread. Opens and binds both sockets and starts the stream worker;
    // the arguments carry the wanted ports in (0 = default) and the bound ones out.
    bool open(uint16_t& controlPort, uint16_t& streamPort);
    // Node thread. One pass of the control loop, after a wait on the wait set.
    bool controlStep();
    // Node thread. Stops the stream worker and closes every socket.
    void close();
    // Node thread. One datagram received on the control socket from `from`:
    // controlStep hands every received datagram to it, a harness feeds it
    // directly (answers go out on the control socket). false = give the sink up.
    bool controlDatagram(std::span<const uint8_t> datagram, const VEMRA::SocketAddress& from);

    // Observers, any thread.
    ConnState connState() const { return static_cast<ConnState>(state.load()); }
    bool isRunning() const { return running.load(); }
    bool isPlaying() const { return playing.load(); }
    uint16_t currentStatusWord() const { return statusWord.load(); }
    uint16_t boundControlPort() const { return controlPort; }
    uint16_t boundStreamPort() const { return streamPort; }
    const SinkInfo& sinkInfo() const { return info; }
    AudioFormat streamFormat() const { return format.load(); }

protected:
    // One pass of the stream worker (one connection). While an MS worker
    // runs it is the receiving worker; otherwise the stream worker is.
    struct StreamPass {
        uint16_t expectedSeq = 0;          // receiving worker
        uint64_t nextGapReport = 0;        // receiving worker
        uint16_t minBufferTime = 0xFFFF;   // receiving worker
        uint64_t maxBetween = 0;           // stream worker
        std::atomic<uint64_t> lastRecv{0}; // written by the receiving worker, read by the stream worker
        std::atomic<bool> gotData{false};  // likewise
        std::atomic<bool> msOk{true};      // cleared by the MS worker when it fails
        std::atomic<bool> msStop{false};   // set by the stream worker to stop the MS worker
        std::thread msThread;              // started and joined by the stream worker
        uint16_t msPort = 0;               // the MS socket's bound port (wake-up target)
        VEMRA::SocketAddress host;         // set by the stream worker before the MS worker starts: the Host
        std::vector<uint8_t> scratch;      // stream worker's receive buffer while the MS worker runs
    };

    // Fixed log location numbers of the socket call sites.
    enum Site : int {
        kSiteRegister = 101,
        kSiteControlReceive = 102,
        kSiteFormatAnswer = 110,
        kSiteLatencyAnswer = 111,
        kSiteConnectAnswer = 112,
        kSiteConnectRefuse = 113,
        kSitePayloadAnswer = 114,
        kSitePrepareAnswer = 115,
        kSiteInfoAnswer = 116,
        kSiteHostNameAnswer = 117,
        kSiteItemAnswer = 118,
        kSiteValueAnswer = 119,
        kSiteIconAnswer = 120,
        kSiteSynchroAnswer = 121,
        kSiteUnknownAnswer = 794,
        kSiteStreamWait = 201,
        kSiteStreamReceive = 202,
        kSiteStreamSend = 203,
        kSiteMsReceive = 204,
    };

    // Node thread: sends `message` to `to` from the control socket under the
    // answer policy. false only when the socket is broken: an answer that
    // was dropped (a budget, a full buffer, its destination) is logged at a
    // bounded rate and the Host asks again.
    bool answer(const Send& message, const VEMRA::SocketAddress& to, int site);
    // Stream or MS worker: sends on the stream socket, to the connected Host
    // (`pass.host`) or to `to`, never waiting for buffer space and taking no
    // lock (both workers send at once). false only when the socket is broken;
    // a datagram the kernel refuses for its destination or a full buffer is
    // dropped (logged at a bounded rate per worker).
    bool sendStream(const StreamPass& pass, const Send& message);
    bool sendStreamTo(const Send& message, const VEMRA::SocketAddress& to);
    bool registerPorts();
    bool waitWhileDisconnecting();
    PrepareCache& cache() const;

    // Control requests (node thread). false = give the sink up.
    bool handleFormatQuery(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleLatencyQuery(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handlePayloadCheck(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handlePrepare(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleSinkInfo(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleHostName(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleConnect(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleSinkItem(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleSinkValue(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleSinkIcon(const WireMessage& message, const VEMRA::SocketAddress& from);
    bool handleSynchroInfo(const WireMessage& message, const VEMRA::SocketAddress& from);
    void handleSyncForward(const WireMessage& message, const VEMRA::SocketAddress& from);

    // Synchro groups (node thread).
    void initSynchro();
    bool isSynchroItem(uint16_t itemIndex) const;
    bool getSynchroItem(uint16_t itemIndex, std::string& text, uint16_t& value);
    bool setSynchroItem(uint16_t itemIndex, const std::string& text, uint16_t value, bool flag);
    uint64_t startTimeFor(const WireMessage& message, const VEMRA::SocketAddress& from);
    static uint16_t synchroHash(const std::string& name);

    // What one stream datagram leaves the streaming loop to do.
    enum class StreamOutcome { Continue, EndConnection, GiveUp };

    // Stream worker.
    void streamWorkerThreadBody();
    bool streamWorker();
    // One datagram received on the stream socket while streaming; it lies in
    // `slot`'s buffer when `slot` is not null (no slot while an MS worker fills the ring).
    StreamOutcome streamDatagram(StreamPass& pass, PacketSlot* slot, std::span<const uint8_t> datagram);
    // A datagram of audio from either path, lying in the write slot.
    struct AudioArrival {
        enum class Order { Expected, Ahead, Behind };
        Order order = Order::Expected; // against pass.expectedSeq
        uint16_t sequence = 0;         // as received, for the gap report
        size_t offset = 0;             // the audio within the slot's buffer
        size_t length = 0;
        bool flushMark = false;
        bool wakeOutput = false;
        bool viaMs = false; // names the path in the log lines
    };
    // The receiving worker's one acceptance rule for stream and MS datagrams:
    // the expected one goes to the ring and answers with a level report, one
    // ahead of it is a gap to report (at most every 10 ms), one behind it a
    // late duplicate, dropped. false = the connection ends.
    bool acceptAudio(StreamPass& pass, PacketSlot& slot, const AudioArrival& arrival, uint64_t now);
    bool levelReport(StreamPass& pass);
    // Ends a Connected connection (drain, release, Idle). A connection the
    // node thread ended meanwhile is only answered.
    bool disconnectProcedure(StreamPass& pass, bool withAnswer);
    void markIdle();
    bool startMsWorker(StreamPass& pass); // false: the thread could not be started
    void stopMsWorker(StreamPass& pass);
    void msWorker(StreamPass& pass);
    // MS worker: one datagram of `length` bytes received into `slot` (the
    // write slot). false = the MS worker ends (pass.msOk is cleared).
    bool msDatagram(StreamPass& pass, PacketSlot& slot, size_t length);
    void sendGapReport(StreamPass& pass, uint16_t received);
    // Workers: what wakeAll does, without a virtual call.
    void wakeWorkers();

    // For the sink's stages and back ends.
    ConnectionView connectionView() {
        return ConnectionView{running,      state,        connectionSerial, format,
                              feedbackRate, feedbackFill, feedbackTarget};
    }
    const SinkConfig& configuration() const { return config; }
    // Node thread, in setFormat: a back end whose device plays another
    // format than the one asked for.
    void replaceStreamFormat(AudioFormat fmt) { format = fmt; }

private:
    // The fuzzing harness drives the workers' steps on its own thread and
    // brings the sink back to its first state between inputs.
    friend class FUZZ::FuzzSink;

    // Fixed at construction (node thread before the workers start).
    SinkInfo info;
    SinkConfig config;
    VEMRA::SocketWaitSet& pollSet;
    StreamIntake& intake; // stream and MS workers

    std::atomic<bool> running{false};    // cleared by close and by fatal worker errors
    std::atomic<uint32_t> state{Idle};   // ConnState; control step and stream worker
    std::atomic<uint16_t> statusWord{0}; // control step and stream worker
    std::atomic<bool> playing{false};    // stream worker; read by the transport worker
    // Counts "do start"s, so the transport worker serves each connection once.
    std::atomic<uint64_t> connectionSerial{0};

    VEMRA::Socket controlSocket; // node thread
    VEMRA::Socket streamSocket;  // stream worker between open and close
    uint16_t controlPort = 0;    // set by open
    uint16_t streamPort = 0;
    OwnPort controlOwn; // node thread: the two ports while bound
    OwnPort streamOwn;
    AnswerPolicy answers; // node thread

    // The MS socket opened by CONNECT_MS on the node thread and handed to the
    // stream worker at "do start" under `handoverMutex`.
    std::mutex handoverMutex;
    VEMRA::Socket pendingMsSocket;   // guarded by handoverMutex
    uint16_t pendingMsPort = 0;      // guarded by handoverMutex
    VEMRA::SocketAddress streamPeer; // guarded by handoverMutex: where stream answers go
    VEMRA::Socket msSocket;          // stream worker (and its MS worker) only

    // Node thread.
    VEMRA::SocketAddress hostAddress;
    std::string hostName;
    uint64_t hostNameValue = 0;
    VEMRA::SocketAddress hostNameAddress;
    std::vector<uint8_t> controlBuffer;

    std::atomic<AudioFormat> format{AudioFormat()}; // written at connect (node thread, back end)
    std::atomic<uint64_t> syncStart{0};             // written at connect, read by the stream worker
    std::atomic<uint64_t> lastRegistration{0};      // node thread and stream worker
    std::atomic<int> lastError{0};

    std::thread streamWorkerThread;
    // Between connections the stream worker blocks on its socket and on
    // streamWake; wakeAll signals the event only while streamWaitsIdle is
    // set, so the audio path's wake-ups cost no system call. Both seq_cst:
    // the worker sets the flag before it reads the state, wakeAll reads the
    // flag after the state was changed, so one of them sees the other.
    VEMRA::WakeEvent streamWake;
    std::atomic<bool> streamWaitsIdle{false}; // stream worker

    // Rate feedback: written by the transport worker (rate last, release),
    // sent and reset by the stream worker. 0xFFFF = nothing to send.
    std::atomic<uint16_t> feedbackRate{0xFFFF};
    std::atomic<uint16_t> feedbackFill{0};
    std::atomic<uint16_t> feedbackTarget{0};

    // Synchro values (node thread).
    std::string synchroNameText;
    uint16_t synchroNameHash = 1;
    uint16_t synchroAll = 0;
    uint16_t synchroSelf = 0;
    uint16_t synchroTotal = 0;
    // Host (address, interface index) -> forwarded timing value.
    std::mutex timingMutex;
    std::map<std::pair<std::array<uint8_t, 16>, uint32_t>, uint64_t> timingTable; // guarded by timingMutex

    PacketSlot singleSlot; // the base class's writeSlot
};

} // namespace QUORVEL
