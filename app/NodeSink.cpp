#include "app/NodeSink.h"

#include "app/DacSkip.h"
#include "app/Paths.h"
#include "app/SettingsStore.h"
#include "foundation/Log.h"
#include "foundation/ThreadScheduling.h"

#include <memory>

namespace {

// The buffer latency the Host is offered by default, in milliseconds.
constexpr uint16_t kProbeLatency = 100;

} // namespace

NodeSink::~NodeSink() {
    stop();
}

void NodeSink::setDevice(const std::string& name, uint16_t nodeIndex) {
    deviceName = name;
    index.store(nodeIndex, std::memory_order_relaxed);
}

bool NodeSink::closeSink() {
    if (CertifiedSinkAlsa* sink = sinkRef.load()) {
        sink->closeDevice();
    }
    return true;
}

void NodeSink::heartbeats(std::vector<Heartbeat>& into) const {
    into.push_back({"DAC node " + deviceName, beatCount()});
}

QUORVEL::SinkInfo NodeSink::defaultSinkInfo(uint16_t index) {
    QUORVEL::SinkInfo info;
    info.index = index;
    // The DAC name lookup sets the sizes the back end reads with.
    info.packetSize = 0;
    info.packetLimit = 0;
    info.infoValue1 = 12;
    info.infoValue2 = 200;
    info.infoValue3 = 1000;
    info.icons[2].oneBytePerPixel = true;
    info.icons[3].oneBytePerPixel = true;
    return info;
}

bool NodeSink::worker(std::atomic<bool>& running) {
    VEMRA::logLine(VEMRA::kLogInfo, "START sinkAlsa ")
        << static_cast<unsigned>(nodeIndex()) << " " << deviceName;
    QUORVEL::SinkInfo info = defaultSinkInfo(nodeIndex());
    while (running.load()) {
        if (!runSink(running, info)) {
            return true;
        }
    }
    VEMRA::logLine(VEMRA::kLogInfo, "sinkAlsa exit");
    return true;
}

bool NodeSink::runSink(std::atomic<bool>& running, QUORVEL::SinkInfo& info) {
    const std::string settingsPath = config.settingsPath.empty() ? settingsFilePath() : config.settingsPath;
    CertifiedSinkAlsa::lookupDacName(info, deviceName);

    SettingsStore settings;
    const bool loaded = settings.load(settingsPath);
    if (loaded && dacSkipped(settings, info.name)) {
        VEMRA::logLine(VEMRA::kLogInfo, "DAC ") << info.name << " skip Sink";
        return false;
    }
    settings.select("global");
    const ALSAOUT::DacSettings dacSettings = ALSAOUT::DacSettings::read(
        settingsPath, loaded, [&settings](const std::string& key) { return settings.get(key); });

    auto sink = std::make_unique<CertifiedSinkAlsa>(info, deviceName, true, dacSettings, config.sink);
    sinkRef = sink.get();
    if (!sink->probe(kProbeLatency)) {
        sinkRef = nullptr;
        return false;
    }

    VEMRA::logLine(VEMRA::kLogInfo, "controlLoop start");
    VEMRA::setThreadPriority(VEMRA::currentThreadId(), VEMRA::Normal);
    serving = true;
    while (running.load()) {
        beat();
        if (config.beforeTurn) {
            config.beforeTurn(deviceName);
        }
        if (!sink->controlTurn()) {
            break;
        }
    }
    serving = false;
    VEMRA::logLine(VEMRA::kLogInfo, "controlLoop exit");
    sinkRef = nullptr;
    sink->closeDevice();
    return true;
}
