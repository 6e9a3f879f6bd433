#include "support/TargetHarness.h"

#include "foundation/Log.h"
#include "foundation/SysLog.h"
#include "protocol/MessageCode.h"

#include <algorithm>
#include <thread>

namespace {

constexpr uint32_t kTestFacility = 16;
constexpr size_t kSyslogHeader = 31; // with facility 16 every priority has three digits
constexpr uint64_t kTestPassTimeout = 20 * VEMRA::kPicosecondsPerMillisecond;

} // namespace

LogListener::LogListener() {
    socket.open(VEMRA::SocketAddress::loopback(0));
}

bool LogListener::waitFor(const std::string& text, std::chrono::milliseconds timeout) {
    if (count(text) != 0) {
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        const auto datagram = socket.receiveAny(left);
        if (!datagram) {
            return false;
        }
        const size_t header = std::min(datagram->bytes.size(), kSyslogHeader);
        received.emplace_back(datagram->bytes.begin() + static_cast<long>(header), datagram->bytes.end());
        if (received.back().find(text) != std::string::npos) {
            return true;
        }
    }
}

void LogListener::drain(std::chrono::milliseconds quiet) {
    while (const auto datagram = socket.receiveAny(quiet)) {
        const size_t header = std::min(datagram->bytes.size(), kSyslogHeader);
        received.emplace_back(datagram->bytes.begin() + static_cast<long>(header), datagram->bytes.end());
    }
}

size_t LogListener::count(const std::string& text) const {
    return static_cast<size_t>(std::count_if(received.begin(), received.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

void AddressList::add(const VEMRA::SocketAddress& address) {
    std::lock_guard<std::mutex> lock(mutex);
    addresses.emplace(address, "test");
}

void AddressList::setFailing(bool value) {
    std::lock_guard<std::mutex> lock(mutex);
    failing = value;
}

QUORVEL::Target::AddressSource AddressList::source() {
    return [this](std::map<VEMRA::SocketAddress, std::string>& out) {
        std::lock_guard<std::mutex> lock(mutex);
        if (failing) {
            return false;
        }
        out = addresses;
        return true;
    };
}

CapturedLog::CapturedLog() {
    VEMRA::openLog(kTestFacility, capture.port(), false);
    VEMRA::setLogLevel(VEMRA::kLogDebug, capture.port());
}

CapturedLog::~CapturedLog() {
    VEMRA::destroyProcessLogger();
}

QUORVEL::Target::Config loopbackConfig(ManualClock* clock, AddressList* addresses) {
    QUORVEL::Target::Config config;
    config.discoveryPort = 0;
    config.relayPort = 0;
    config.passTimeout = kTestPassTimeout;
    config.idleClass = false;
    if (clock != nullptr) {
        config.clock = clock->function();
    }
    if (addresses != nullptr) {
        config.linkLocalAddresses = addresses->source();
    } else {
        // No real interface is ever joined from a loopback test.
        config.linkLocalAddresses = [](std::map<VEMRA::SocketAddress, std::string>& out) {
            out.clear();
            return true;
        };
    }
    return config;
}

QUORVEL::TargetInfo sampleInfo() {
    QUORVEL::TargetInfo info;
    info.targetId = 0x1122334455667788ULL;
    info.defaultPortWord = 0x0D0D;
    info.targetName = "TestTarget";
    info.infoText = "info text";
    info.versionText = "142_1";
    info.urlText = "";
    info.rebootAllowed = true;
    info.syslogToLocal = false;
    info.text0 = "zero";
    info.text4 = "four";
    info.textList1 = {"one-a", "one-b"};
    info.textList5 = {"five-a"};
    return info;
}

FakeChannel::FakeChannel(uint16_t targetPort) : target(VEMRA::SocketAddress::loopback(targetPort)) {
    VEMRA::SocketAddress local = VEMRA::SocketAddress::loopback(0);
    socket.open(local);
}

bool FakeChannel::portRegist(uint16_t key0, uint16_t key1, const std::string& name, bool busy) {
    QUORVEL::SendBuffer message;
    message.setHeader(QUORVEL::PORT_REGIST, busy ? 2 : 0, key0, key1, 0, 0);
    message.setPayload(name.data(), name.size());
    return socket.send(message, target);
}

bool FakeChannel::statusRegist(uint16_t key, uint16_t kindWord, uint16_t word3, const QUORVEL::Block& block,
                               const std::string& name, bool busy) {
    QUORVEL::SendBuffer message;
    message.setHeader(QUORVEL::STATUS_REGIST, busy ? 2 : 0, key, kindWord, 0, word3);
    message.setPayloadBlockAndText(block, name);
    return socket.send(message, target);
}

QUORVEL::HostClient loopbackClient(const QUORVEL::Target& target, std::chrono::milliseconds timeout) {
    QUORVEL::HostClient client(VEMRA::SocketAddress::loopback(target.boundDiscoveryPort()), timeout);
    client.open();
    return client;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
