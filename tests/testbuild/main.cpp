// The program as the end-to-end tests run it: the same code as
// quorvel_app_target, watching the device directory named by its one
// argument instead of /dev/snd/, so that fake DAC files can come and go.
//
// One seam more: while a file "hold-dac-nodes" exists beside the executable,
// every DAC node's thread is held before its next control turn, as a node
// stuck in a driver call would be.
#include "app/AppTarget.h"
#include "app/Paths.h"
#include "foundation/Log.h"
#include "foundation/SysLog.h"

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: quorvel_app_target_testbuild DEVICE_DIRECTORY\n";
        return 2;
    }
    AppTargetConfig config;
    config.deviceDirectory = argv[1];
    config.serviceManager = VEMRA::ServiceManagerLink::fromEnvironment();

    std::string holdFile = executablePath();
    toDirectory(holdFile);
    holdFile = joinPath(holdFile, "hold-dac-nodes");
    config.sink.beforeTurn = [holdFile](const std::string& deviceName) {
        if (!exists(holdFile)) {
            return;
        }
        VEMRA::logLine(VEMRA::kLogInfo, "test seam: holding ") << deviceName;
        while (exists(holdFile)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        VEMRA::logLine(VEMRA::kLogInfo, "test seam: releasing ") << deviceName;
    };

    const int status = runMain("Bellwick", std::cerr, config);
    VEMRA::stopStdoutSender();
    return status;
}
