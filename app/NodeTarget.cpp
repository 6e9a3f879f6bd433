#include "app/NodeTarget.h"

#include "app/CertifiedTarget.h"
#include "app/IconFile.h"
#include "app/Paths.h"
#include "app/SettingsStore.h"
#include "foundation/Clock.h"
#include "foundation/Log.h"
#include "foundation/SocketWaitSet.h"
#include "foundation/TCPV6Server.h"
#include "foundation/ThreadScheduling.h"

#include <array>
#include <cstdio>
#include <memory>
#include <utility>

namespace {

constexpr const char* kTargetName = "TargetApp";
constexpr const char* kVersionText = "142_1";
constexpr size_t kStateLineLength = 6;
constexpr const char* kPlayLine = "Play\r\n";
constexpr const char* kStopLine = "Stop\r\n";
// Play/Stop clients kept at once; a newer one drops the oldest, so local
// clients can never take the descriptors the DACs' sockets need.
constexpr size_t kPlayStopClients = 64;

struct IconFile {
    const char* name;
    bool oneBytePerPixel;
};

// Records 0-3 of the Target's icons; 4-7 stay empty.
constexpr std::array<IconFile, 4> kIconFiles = {{
    {"logo.png", false},
    {"logo_s.png", false},
    {"logo_m.png", true},
    {"logo_m_s.png", true},
}};

std::string executableDirectory() {
    std::string directory = executablePath();
    toDirectory(directory);
    return directory;
}

} // namespace

NodeTarget::NodeTarget(uint64_t vendorWord, NodeTargetConfig config)
    : vendorWord(vendorWord), config(std::move(config)) {}

NodeTarget::~NodeTarget() {
    stop();
    closeTarget();
}

void NodeTarget::closeTarget() {
    if (QUORVEL::CertifiedTarget* running = target.load()) {
        running->stop();
    }
}

bool NodeTarget::ready() const {
    return isRunning() && boundPlayStopPort.load() != 0 && targetPasses.load(std::memory_order_relaxed) != 0;
}

void NodeTarget::heartbeats(std::vector<Heartbeat>& into) const {
    into.push_back({"host-facing node", beatCount()});
    into.push_back({"Target loop", targetPasses.load(std::memory_order_relaxed)});
}

QUORVEL::TargetInfo NodeTarget::buildTargetInfo(uint64_t vendorWord, const std::string& directory) {
    QUORVEL::TargetInfo info;
    info.targetId = vendorWord;
    info.defaultPortWord = 0;
    info.targetName = kTargetName;
    info.versionText = kVersionText;
    info.acceptLoopbackDiscover = false;
    info.synchroEnabled = false;
    info.areaWord = 0xFFFF;
    info.areaCount = 0;
    for (size_t index = 0; index < info.icons.size(); ++index) {
        // Records 6 and 7 are one byte per pixel like 2 and 3, though empty.
        info.icons[index].oneBytePerPixel = index == 2 || index == 3 || index == 6 || index == 7;
    }
    for (size_t index = 0; index < kIconFiles.size(); ++index) {
        loadIcon(info.icons[index], joinPath(directory, kIconFiles[index].name));
    }
    return info;
}

bool NodeTarget::worker(std::atomic<bool>& running) {
    // The Play/Stop port comes first: when another instance holds it, this
    // one leaves before the Target opens a socket, so it never answers a Host.
    VEMRA::SocketWaitSet waitSet;
    VEMRA::TCPV6Server server(waitSet);
    if (!server.open(true)) {
        std::fputs("socket open6 err\n", stderr);
        return false;
    }
    VEMRA::SocketAddress address = VEMRA::SocketAddress::loopback(config.playStopPort);
    if (!server.bind(address)) {
        std::fputs("socket bind6 err\n", stderr);
        return false;
    }
    server.setClientLimit(kPlayStopClients);

    const std::string directory = config.directory.empty() ? executableDirectory() : config.directory;
    const std::string settingsPath = joinPath(directory, kSettingsFileName);
    // A save killed before its rename leaves its temporary file behind.
    for (const std::string& stale : SettingsStore::removeStaleTemporaries(settingsPath)) {
        VEMRA::logLine(VEMRA::kLogInfo, "remove stale setting : ") << stale;
    }
    QUORVEL::Target::Config targetConfig = config.target;
    targetConfig.loopPasses = &targetPasses;
    auto certified = std::make_unique<QUORVEL::CertifiedTarget>(buildTargetInfo(vendorWord, directory),
                                                                settingsPath, targetConfig);
    target = certified.get();
    if (!certified->start(true)) {
        VEMRA::logLine(VEMRA::kLogError, "Socket Open Err");
        target = nullptr;
        return false;
    }
    boundPlayStopPort = address.hostPort();
    VEMRA::setThreadPriority(VEMRA::currentThreadId(), VEMRA::Idle);
    const bool result = serve(running, *certified, waitSet, server);
    target = nullptr;
    return result;
}

bool NodeTarget::serve(std::atomic<bool>& running, QUORVEL::CertifiedTarget& certified,
                       VEMRA::SocketWaitSet& waitSet, VEMRA::TCPV6Server& server) {
    bool playing = false; // the state the clients were last told
    const auto stateLine = [&playing] { return playing ? kPlayLine : kStopLine; };
    const uint64_t wait = static_cast<uint64_t>(config.pollWait.count()) * VEMRA::kPicosecondsPerMillisecond;
    while (running.load()) {
        beat();
        if (certified.result() != QUORVEL::Target::Running) {
            break;
        }
        if (certified.playing() != playing) {
            playing = !playing;
            VEMRA::logLine(VEMRA::kLogInfo, "State Change : ") << (playing ? "Play" : "Stop");
            server.broadcast(stateLine(), kStateLineLength);
        }
        if (waitSet.wait(wait) == VEMRA::SocketWaitSet::Error) {
            return false;
        }
        server.accept([&](VEMRA::TCPV6Server::Client& client) {
            (void)client.socket->send(stateLine(), kStateLineLength);
            return true;
        });
        // What clients send means nothing; a client that closed is dropped.
        server.receive([](VEMRA::TCPV6Server::Client& client) {
            return client.socket->receiveInto(client.socket->buffer);
        });
    }

    target = nullptr;
    certified.stop();
    if (certified.result() == QUORVEL::Target::RebootRequested) {
        VEMRA::logLine(VEMRA::kLogInfo, "Reboot Target");
        return certified.rebootMode() != 0;
    }
    VEMRA::logLine(VEMRA::kLogError, "Quorvel Target Err Exit");
    return false;
}
