#include "app/AppTarget.h"

#include "app/NodeTarget.h"
#include "app/ServiceWatchdog.h"
#include "foundation/Log.h"
#include "foundation/MemoryLock.h"

#include <functional>
#include <ostream>
#include <utility>

namespace {

constexpr uint32_t kLogFacility = 16;
constexpr int kLogThreshold = 6;

} // namespace

bool packVendorWord(const char* vendor, uint64_t& word) {
    if (vendor == nullptr) {
        return false;
    }
    uint64_t packed = 0;
    for (unsigned i = 0; i < 8; ++i) {
        if (vendor[i] == '\0') {
            return false;
        }
        packed |= static_cast<uint64_t>(static_cast<unsigned char>(vendor[i])) << (8 * i);
    }
    if (vendor[8] != '\0' || packed == UINT64_MAX) {
        return false;
    }
    word = packed;
    return true;
}

bool runAppTarget(const char* vendor, const AppTargetConfig& config) {
    VEMRA::openLog(kLogFacility, config.logPort, true);
    VEMRA::setLogLevel(kLogThreshold, config.logPort);
    if (config.lockMemory) {
        if (const int refused = VEMRA::lockProcessMemory(); refused != 0) {
            VEMRA::logLine(VEMRA::kLogInfo, "mlockall refused : ") << refused;
        }
    }

    uint64_t vendorWord = 0;
    if (!packVendorWord(vendor, vendorWord)) {
        return false;
    }
    std::unique_ptr<NodeRun> targetNode =
        config.makeTargetNode ? config.makeTargetNode(vendorWord) : std::make_unique<NodeTarget>(vendorWord);
    if (!targetNode) {
        return false;
    }
    ServiceWatchdog watchdog(config.serviceManager);
    bool result = false;
    {
        DacScanner scanner({config.deviceDirectory, config.settleWait, config.pollStep}, targetNode.get(),
                           config.sink);
        const std::function<void()> watch = [&] { watchdog.poll(*targetNode, scanner.nodes()); };
        scanner.setWhileWaiting(watch);

        targetNode->start();
        targetNode->waitWhileRunning(config.startWait, config.pollStep, watch);
        // Changes come in bursts (a USB DAC brings several files): after a pass
        // that found one, the next follows at once.
        bool settle = true;
        while (targetNode->isRunning()) {
            if (!settle && !targetNode->waitWhileRunning(config.scanWait, config.pollStep, watch)) {
                break;
            }
            settle = scanner.scanOnce();
            if (config.afterPass) {
                config.afterPass(scanner);
            }
            watch();
        }
        watchdog.stopping();
        VEMRA::logLine(VEMRA::kLogInfo, "end quorvel app target");
        result = targetNode->join();
        // The scanner's end stops and closes every node.
    }
    targetNode.reset();
    VEMRA::logLine(VEMRA::kLogInfo, "NodeTarget close");
    return result;
}

int runMain(const char* vendor, std::ostream& errors, const AppTargetConfig& config) {
    if (runAppTarget(vendor, config)) {
        return 0;
    }
    errors << "quorvel_app_target boot up failure\n";
    errors.flush();
    return 255;
}
