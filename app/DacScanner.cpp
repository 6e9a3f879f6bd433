#include "app/DacScanner.h"

#include "app/NodeRun.h"
#include "app/Paths.h"
#include "foundation/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// Exactly "0", or decimal digits with a non-zero value that fits a long.
// Signs, blanks and trailing letters are refused: they would end up in the
// "hw:" name as written.
bool isDeviceNumber(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    if (text == "0") {
        return true;
    }
    errno = 0;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return errno == 0 && value != 0;
}

} // namespace

bool playbackDeviceName(const std::string& path, std::string& deviceName) {
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() < 8 || name.compare(0, 3, "pcm") != 0) {
        return false;
    }
    // Capture devices end in 'c': their only 'p' is the leading one, before 'C'.
    const size_t c = name.rfind('C');
    const size_t d = name.rfind('D');
    const size_t p = name.rfind('p');
    if (c == std::string::npos || d == std::string::npos || p == std::string::npos || !(c < d && d < p)) {
        return false;
    }
    const std::string card = name.substr(c + 1, d - c - 1);
    const std::string device = name.substr(d + 1, p - d - 1);
    if (!isDeviceNumber(card) || !isDeviceNumber(device)) {
        return false;
    }
    deviceName = "hw:" + card + "," + device;
    return true;
}

DacScanner::DacScanner(Config config, const NodeRun* watched, NodeSinkConfig sinkConfig)
    : config(std::move(config)), watched(watched), sinkConfig(std::move(sinkConfig)) {}

DacScanner::~DacScanner() {
    closeAll();
}

bool DacScanner::scanOnce() {
    std::string changed;
    if (!findChange(changed)) {
        return false;
    }
    std::string deviceName;
    if (!playbackDeviceName(changed, deviceName)) {
        return true;
    }
    if (!waitToSettle()) {
        return true;
    }
    const bool present = exists(changed);
    auto node = dacNodes.find(deviceName);
    if (present && node == dacNodes.end()) {
        const uint16_t index = freeIndex();
        if (index == 0) {
            return true;
        }
        VEMRA::logLine(VEMRA::kLogInfo, "DAC DETECT : ") << changed;
        NodeSink& sink = dacNodes.try_emplace(deviceName).first->second;
        sink.setDevice(deviceName, index);
        sink.setConfig(sinkConfig);
        sink.start();
    } else if (!present && node != dacNodes.end()) {
        VEMRA::logLine(VEMRA::kLogInfo, "DAC REMOVE : ") << deviceName;
        removeNode(node);
    }
    return true;
}

bool DacScanner::findChange(std::string& changed) {
    if (existsAs(config.deviceDirectory, true)) {
        std::error_code error;
        std::filesystem::directory_iterator entry(config.deviceDirectory, error);
        for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
            std::string path = joinPath(config.deviceDirectory, entry->path().filename().string());
            if (knownEntries.insert(path).second) {
                VEMRA::logLine(VEMRA::kLogInfo, "Detect Dev: ") << path;
                changed = std::move(path);
                return true;
            }
        }
        // A failed listing still lets the walk below notice vanished entries.
        if (error) {
            VEMRA::logLine(VEMRA::kLogError, "Error: ") << error.message();
        }
    }
    for (auto known = knownEntries.begin(); known != knownEntries.end(); ++known) {
        if (!exists(*known)) {
            changed = *known;
            knownEntries.erase(known);
            VEMRA::logLine(VEMRA::kLogInfo, "Remove Dev: ") << changed;
            return true;
        }
    }
    return false;
}

bool DacScanner::waitToSettle() {
    if (watched != nullptr) {
        return watched->waitWhileRunning(config.settleWait, config.pollStep, whileWaiting);
    }
    std::this_thread::sleep_for(config.settleWait);
    return true;
}

uint16_t DacScanner::freeIndex() const {
    std::set<uint16_t> used;
    for (const auto& [name, node] : dacNodes) {
        used.insert(node.nodeIndex());
    }
    for (uint32_t index = 1; index <= UINT16_MAX; ++index) {
        if (used.count(static_cast<uint16_t>(index)) == 0) {
            return static_cast<uint16_t>(index);
        }
    }
    return 0;
}

void DacScanner::removeNode(DacNodes::iterator node) {
    node->second.stop();
    node->second.closeSink();
    VEMRA::logLine(VEMRA::kLogInfo, "NodeSink close");
    dacNodes.erase(node);
}

void DacScanner::closeAll() {
    knownEntries.clear();
    while (!dacNodes.empty()) {
        removeNode(dacNodes.begin());
    }
}
