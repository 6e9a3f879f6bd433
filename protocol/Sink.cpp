#include "protocol/Sink.h"

#include "foundation/Completes.h"
#include "foundation/Log.h"
#include "protocol/MessageCode.h"
#include "protocol/StatusBits.h"
#include "protocol/WireMessage.h"

#include <exception>
#include <sys/socket.h>

namespace QUORVEL {

namespace {

// Room for about half a second of the fastest streams, so a worker that is
// held up briefly loses nothing. Best effort: the forced size needs
// CAP_NET_ADMIN, the plain one is capped by the system.
constexpr int kStreamReceiveBuffer = 4 * 1024 * 1024;

void enlargeReceiveBuffer(const VEMRA::Socket& socket) {
    const int size = kStreamReceiveBuffer;
    if (::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
        (void)::setsockopt(socket.descriptor(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
}

// Opens `socket` and binds it to the any-address at `port`, falling back to
// a port of the system's choice; `port` carries the bound port out.
bool openBound(VEMRA::Socket& socket, uint16_t& port, uint16_t bufferSize, std::atomic<int>& lastError,
               const char* openError, const char* bindError) {
    socket.setReceiveBufferSize(bufferSize);
    if (!socket.open(VEMRA::Socket::UdpV6Only)) {
        lastError = socket.error();
        VEMRA::logLine(VEMRA::kLogError, openError) << lastError.load();
        return false;
    }
    // The common options include SO_REUSEADDR, with which a second process
    // could bind the same fixed port and silently take its datagrams.
    const int off = 0;
    (void)::setsockopt(socket.descriptor(), SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off));
    VEMRA::SocketAddress any;
    any.setHostPort(port);
    if (socket.bind(any, 0)) {
        port = any.hostPort();
        return true;
    }
    socket.close();
    if (!socket.open(VEMRA::Socket::UdpV6Only)) {
        lastError = socket.error();
        VEMRA::logLine(VEMRA::kLogError, openError) << lastError.load();
        return false;
    }
    any = VEMRA::SocketAddress();
    if (!socket.bind(any, 0)) {
        lastError = socket.error();
        VEMRA::logLine(VEMRA::kLogError, bindError) << lastError.load();
        return false;
    }
    port = any.hostPort();
    return true;
}

uint16_t defaultPort(uint16_t base, uint16_t index) {
    return base == 0 ? 0 : static_cast<uint16_t>(base + 2 * index);
}

} // namespace

Sink::Sink(const SinkInfo& sinkInfo, VEMRA::SocketWaitSet& waitSet, StreamIntake& streamIntake,
           const SinkConfig& sinkConfig)
    : info(sinkInfo), config(sinkConfig), pollSet(waitSet), intake(streamIntake), answers(config.answers) {
    initSynchro();
}

Sink::~Sink() {
    close();
    if (streamWorkerThread.joinable()) {
        std::terminate(); // close must have joined it
    }
    // A sink built later at this address (a rebuilt node) must not pass for
    // this one: its latency was never set from the cached word.
    PrepareCache& prepared = cache();
    std::lock_guard<std::mutex> lock(prepared.mutex);
    if (prepared.preparedBy == this) {
        prepared.preparedBy = nullptr;
    }
}

bool Sink::start() {
    if (streamWorkerThread.joinable()) {
        return false;
    }
    return VEMRA::completes(
        [this] { streamWorkerThread = std::thread(&Sink::streamWorkerThreadBody, this); });
}

bool Sink::preDisconnect() {
    return false;
}

void Sink::wakeAll() {
    if (streamWaitsIdle.load()) {
        streamWake.signal();
    }
}

void Sink::wakeWorkers() {
    Sink::wakeAll();
    intake.wake();
}

PacketSlot* Sink::writeSlot() {
    return &singleSlot;
}

bool Sink::getSinkItem(uint16_t, std::string&, uint16_t&) {
    return false;
}

bool Sink::setSinkItem(uint16_t, const std::string&, const uint16_t&, bool) {
    return false;
}

bool Sink::sinkItemAction(bool, bool& stop) {
    stop = false;
    return false;
}

bool Sink::open(uint16_t& wantedControlPort, uint16_t& wantedStreamPort) {
    VEMRA::logLine(VEMRA::kLogInfo, "Quorvel Sink Library ReleaseNo : ") << kReleaseNumber;
    uint16_t port =
        wantedControlPort != 0 ? wantedControlPort : defaultPort(config.controlBasePort, info.index);
    if (!openBound(controlSocket, port, info.packetSize, lastError,
                   "UDP control open error:", "UDP control bind error:")) {
        close();
        return false;
    }
    pollSet.add(controlSocket);
    controlPort = port;
    wantedControlPort = port;
    controlOwn.set(port);
    answers.attach(controlSocket);

    port = wantedStreamPort != 0 ? wantedStreamPort : defaultPort(config.streamBasePort, info.index);
    if (!openBound(streamSocket, port, info.packetSize, lastError,
                   "UDP stream open error:", "UDP stream bind error:")) {
        close();
        return false;
    }
    // The stream worker drains every waiting datagram after one wait.
    streamSocket.setBlocking(false);
    enlargeReceiveBuffer(streamSocket);
    streamPort = port;
    wantedStreamPort = port;
    streamOwn.set(port);

    uint16_t word = 0;
    if (info.statusOption1) {
        word |= StatusBit::kOption1;
        if (!info.statusOption2) {
            word |= StatusBit::kOptionNoSecond;
        }
    }
    statusWord = word;
    feedbackRate = 0xFFFF;
    state = Idle;
    running = true;
    lastRegistration = VEMRA::clockNow() - config.registrationInterval;
    if (!start()) {
        VEMRA::logLine(VEMRA::kLogError, "Stream Worker Start Error");
        close();
        return false;
    }
    return true;
}

void Sink::close() {
    VEMRA::logLine(VEMRA::kLogDebug, "Sink close");
    running = false;
    wakeAll();
    // Join first: the worker must not be inside a socket call while the
    // descriptor is closed (and possibly reused).
    if (streamWorkerThread.joinable()) {
        streamWorkerThread.join();
    }
    streamSocket.close();
    if (controlSocket.isOpen()) {
        pollSet.remove(controlSocket);
        controlSocket.close();
    }
    msSocket.close();
    controlOwn.clear();
    streamOwn.clear();
    std::lock_guard<std::mutex> lock(handoverMutex);
    pendingMsSocket.close();
}

PrepareCache& Sink::cache() const {
    return config.prepareCache != nullptr ? *config.prepareCache : PrepareCache::process();
}

bool Sink::waitWhileDisconnecting() {
    while (state.load() == Disconnecting) {
        VEMRA::sleepMilliseconds(10);
        if (!running.load()) {
            return false;
        }
    }
    return true;
}

bool Sink::answer(const Send& message, const VEMRA::SocketAddress& to, int site) {
    const AnswerPolicy::Outcome outcome =
        answers.send(controlSocket, message.bytes(), to, "UDP control send error ", site);
    if (outcome != AnswerPolicy::Outcome::Sent) {
        lastError = answers.lastError();
    }
    return outcome != AnswerPolicy::Outcome::Broken;
}

bool Sink::sendStream(const StreamPass& pass, const Send& message) {
    return sendStreamTo(message, pass.host);
}

bool Sink::sendStreamTo(const Send& message, const VEMRA::SocketAddress& to) {
    const auto bytes = message.bytes();
    // Never waits: the stream worker runs the audio path at real-time
    // priority, and a Host that misses one feedback gets the next.
    int error = 0;
    if (streamSocket.sendToNow(bytes.data(), bytes.size(), to, error)) {
        return true;
    }
    lastError = error;
    const bool broken = AnswerPolicy::isSocketBroken(error);
    // Each worker keeps its own budget, so neither waits for the other.
    static thread_local AnswerPolicy::LineBudget lines;
    if (broken || lines.allow(VEMRA::clockNow())) {
        VEMRA::logLine(VEMRA::kLogError, "UDP stream send error ")
            << static_cast<int>(kSiteStreamSend) << ":" << error;
    }
    return !broken;
}

bool Sink::registerPorts() {
    const uint64_t now = VEMRA::clockNow();
    if (now - lastRegistration.load() < config.registrationInterval) {
        return true;
    }
    SendBuffer message;
    message.setHeader(PORT_REGIST, statusWord.load(), info.index, 0, 0, 1);
    message.setPayload(info.name.data(), info.name.size());
    message.prepare();
    const auto bytes = message.bytes();
    if (!controlSocket.sendTo(bytes.data(), bytes.size(),
                              VEMRA::SocketAddress::loopback(config.registrationPort), true)) {
        lastError = controlSocket.error();
        VEMRA::logLine(VEMRA::kLogError, "UDP control send error ")
            << static_cast<int>(kSiteRegister) << ":" << lastError.load();
        return false;
    }
    lastRegistration = now;
    return true;
}

} // namespace QUORVEL
