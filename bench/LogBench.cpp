#include "foundation/Log.h"
#include "foundation/SysLog.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A datagram sink on [::1] with a port of the system's choice. Never read:
// once its buffer is full the kernel drops what arrives, which costs the
// sending side the same.
class LoopbackSink {
public:
    LoopbackSink() {
        fd = ::socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 local{};
        local.sin6_family = AF_INET6;
        local.sin6_addr = in6addr_loopback;
        socklen_t size = sizeof(local);
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
            port = ntohs(local.sin6_port);
        }
    }
    ~LoopbackSink() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    LoopbackSink(const LoopbackSink&) = delete;
    LoopbackSink& operator=(const LoopbackSink&) = delete;

    uint16_t port = 0;

private:
    int fd = -1;
};

// The program's threshold is 6, so every debug line in the code costs only
// this: one threshold check and an empty LogLine.
void BM_FilteredDebugRecord(benchmark::State& state) {
    VEMRA::setLogThreshold(VEMRA::kLogInfo);
    for (auto _ : state) {
        VEMRA::logLine(VEMRA::kLogDebug, "max betweenTime ") << 1234 << " us";
    }
}
BENCHMARK(BM_FilteredDebugRecord);

// An informational line as the program commits it, datagram only: record
// allocation, formatting, header stamping (wall clock, localtime_r) and one
// non-blocking sendto on loopback.
void BM_CommittedInfoRecord(benchmark::State& state) {
    LoopbackSink sink;
    if (sink.port == 0 || !VEMRA::openLog(16, sink.port, false) ||
        !VEMRA::setLogLevel(VEMRA::kLogInfo, sink.port)) {
        state.SkipWithError("no loopback log socket");
        return;
    }
    for (auto _ : state) {
        VEMRA::logLine(VEMRA::kLogInfo, "Detect Dev: ") << "/dev/snd/pcmC0D0p"
                                                        << " index " << 3;
    }
    VEMRA::destroyProcessLogger();
}
BENCHMARK(BM_CommittedInfoRecord);

} // namespace
