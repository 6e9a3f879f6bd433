#include "protocol/Target.h"

#include "foundation/AddressText.h"
#include "foundation/LocalAddresses.h"
#include "foundation/Log.h"
#include "foundation/ThreadScheduling.h"

#include <algorithm>
#include <sys/socket.h>

namespace QUORVEL {

namespace {

// ff02::1, the link-local all-nodes group.
VEMRA::SocketAddress allNodesGroup(uint32_t scope) {
    VEMRA::SocketAddress group;
    group.address[0] = 0xFF;
    group.address[1] = 0x02;
    group.address[15] = 0x01;
    group.scope = scope;
    return group;
}

bool containsAddress(const std::vector<VEMRA::SocketAddress>& list, const VEMRA::SocketAddress& address) {
    return std::any_of(list.begin(), list.end(),
                       [&](const VEMRA::SocketAddress& entry) { return entry.address == address.address; });
}

// Wakes a thread blocked in select or recv on the socket without touching the
// Socket object, which the worker thread still owns.
void wakeReaders(const VEMRA::Socket& socket) {
    const int descriptor = socket.descriptor();
    if (descriptor != -1) {
        ::shutdown(descriptor, SHUT_RDWR);
    }
}

// The answer policy keeps the Target's time unless it was given a clock of its own.
AnswerPolicy::Config policyConfig(const Target::Config& config) {
    AnswerPolicy::Config policy = config.answers;
    if (!policy.clock && config.clock) {
        policy.clock = config.clock;
    }
    return policy;
}

} // namespace

Target::Target(const TargetInfo& info) : Target(info, Config{}) {}

Target::Target(const TargetInfo& targetInfo, Config targetConfig)
    : info(targetInfo), config(std::move(targetConfig)), answers(policyConfig(config)) {}

Target::~Target() {
    stop();
}

bool Target::start(bool relay) {
    if (thread.joinable()) {
        VEMRA::logLine(VEMRA::kLogError, "Target already started");
        return false;
    }
    if (!openSockets(relay)) {
        return false;
    }
    // Published before the worker exists so that its final result cannot be overwritten.
    resultWord.store(Running, std::memory_order_release);
    rebootModeWord.store(0, std::memory_order_release);
    running.store(true, std::memory_order_release);
    thread = std::thread(&Target::worker, this);
    return true;
}

bool Target::openSockets(bool relay) {
    VEMRA::logLine(VEMRA::kLogInfo, "Quorvel Target Library ReleaseNo : ") << unsigned{kReleaseNumber};

    if (!discoverySocket.open(VEMRA::Socket::UdpV6Only)) {
        VEMRA::logLine(VEMRA::kLogError, "udp  open error:") << discoverySocket.error();
        return false;
    }
    discoverySocket.setBlocking(false);
    VEMRA::SocketAddress any;
    any.setHostPort(config.discoveryPort);
    if (!discoverySocket.bind(any, 0)) {
        VEMRA::logLine(VEMRA::kLogError, "MULTI  bind error:") << discoverySocket.error();
        return false;
    }
    discoveryBound.store(any.hostPort(), std::memory_order_release);
    discoveryOwn.set(any.hostPort());
    answers.attach(discoverySocket);

    VEMRA::logLine(VEMRA::kLogInfo, "Multi Address Auto Find");
    autoFind = true;

    if (relay) {
        if (!relaySocket.open(VEMRA::Socket::UdpV6Only)) {
            VEMRA::logLine(VEMRA::kLogError, "syslog  open error:") << relaySocket.error();
            return false;
        }
        VEMRA::SocketAddress loopback = VEMRA::SocketAddress::loopback(config.relayPort);
        if (!relaySocket.bind(loopback, 0)) {
            VEMRA::logLine(VEMRA::kLogError, "syslog bind error:") << relaySocket.error();
            return false;
        }
        // A full send buffer towards the local collector must never stall the loop.
        relaySocket.setBlocking(false);
        relayBound.store(loopback.hostPort(), std::memory_order_release);
        relayOwn.set(loopback.hostPort());
    }
    return true;
}

void Target::stop() {
    VEMRA::logLine(VEMRA::kLogDebug, "Target close");
    running.store(false, std::memory_order_release);
    if (thread.joinable()) {
        wakeReaders(discoverySocket);
        wakeReaders(relaySocket);
        thread.join();
    }
    discoverySocket.close();
    relaySocket.close();
    discoveryOwn.clear();
    relayOwn.clear();
}

std::vector<VEMRA::SocketAddress> Target::joinedMembers() const {
    std::lock_guard<std::mutex> lock(membersMutex);
    return joined;
}

std::vector<VEMRA::SocketAddress> Target::failedMembers() const {
    std::lock_guard<std::mutex> lock(membersMutex);
    return failed;
}

std::vector<uint8_t> Target::takeReceivedTransfer() {
    std::vector<uint8_t> bytes;
    bytes.swap(transferBuffer);
    return bytes;
}

uint64_t Target::clockNow() const {
    return config.clock ? config.clock() : VEMRA::clockNow();
}

void Target::worker() {
    const pid_t self = VEMRA::currentThreadId();
    if (!info.synchroEnabled) {
        if (config.idleClass) {
            VEMRA::setThreadPriority(self, VEMRA::Idle);
        }
    } else if (!VEMRA::setThreadPriority(self, VEMRA::RealtimeFifo)) {
        VEMRA::setThreadPriority(self, VEMRA::RealtimeRR);
    }
    resultWord.store(run(), std::memory_order_release);
}

void Target::scanMembers() {
    std::map<VEMRA::SocketAddress, std::string> addresses;
    const bool found = config.linkLocalAddresses ? config.linkLocalAddresses(addresses)
                                                 : VEMRA::linkLocalAddresses(addresses, false);
    if (!found) {
        VEMRA::logLine(VEMRA::kLogError, "error getMyLocalAddresV6 Find::open");
        return;
    }
    for (const auto& entry : addresses) {
        const VEMRA::SocketAddress& address = entry.first;
        if (containsAddress(joined, address) || containsAddress(failed, address)) {
            continue;
        }
        VEMRA::logLine(VEMRA::kLogInfo, "Add Multi Member : ")
            << VEMRA::addressText(address) << "%" << unsigned{address.scope};
        const bool ok = discoverySocket.joinGroup(allNodesGroup(address.scope));
        {
            std::lock_guard<std::mutex> lock(membersMutex);
            (ok ? joined : failed).push_back(address);
        }
        if (!ok) {
            VEMRA::logLine(VEMRA::kLogError, "MULTI udp member error:") << discoverySocket.error();
        }
    }
}

} // namespace QUORVEL
