#include "app/AppTarget.h"
#include "foundation/SysLog.h"

#include <iostream>

int main() {
    const int status = runMain("Bellwick", std::cerr);
    // The lines that say why the process ends are still in the sender's ring.
    VEMRA::stopStdoutSender();
    return status;
}
