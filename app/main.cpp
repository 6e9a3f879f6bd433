#include "app/AppTarget.h"
#include "foundation/RealtimeLog.h"
#include "foundation/SysLog.h"

#include <iostream>

int main() {
    AppTargetConfig config;
    // A service manager that started the program (systemd's Type=notify) is
    // told when it is ready and kept informed; without one nothing changes.
    config.serviceManager = VEMRA::ServiceManagerLink::fromEnvironment();
    const int status = runMain("Bellwick", std::cerr, config);
    // The lines that say why the process ends are still in the senders' queues.
    VEMRA::flushRealtimeLog();
    VEMRA::stopStdoutSender();
    return status;
}
