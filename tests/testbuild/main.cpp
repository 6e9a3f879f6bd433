// The program as the end-to-end tests run it: the same code as
// quorvel_app_target, watching the device directory named by its one
// argument instead of /dev/snd/, so that fake DAC files can come and go.
#include "app/AppTarget.h"
#include "foundation/SysLog.h"

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: quorvel_app_target_testbuild DEVICE_DIRECTORY\n";
        return 2;
    }
    AppTargetConfig config;
    config.deviceDirectory = argv[1];
    const int status = runMain("Bellwick", std::cerr, config);
    VEMRA::stopStdoutSender();
    return status;
}
