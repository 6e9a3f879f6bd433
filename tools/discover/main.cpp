// quorvel_discover INTERFACE: lists the targets on that interface's link.
#include "foundation/AddressText.h"
#include "host/Discovery.h"
#include "host/HostClient.h"

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvel_discover INTERFACE\n");
        return 2;
    }
    const auto targets = QUORVEL::discoverTargets(std::string(argv[1]), QUORVEL::kTargetDiscoveryPort,
                                                  std::chrono::milliseconds(1000));
    for (const QUORVEL::TargetIdentity& target : targets) {
        QUORVEL::HostClient client(target.endpoint);
        const auto version = client.open() ? client.version() : std::nullopt;
        std::printf("%s%%%s  \"%s\"  id %016llx  version %s\n", VEMRA::addressText(target.endpoint).c_str(),
                    argv[1], target.name.c_str(), static_cast<unsigned long long>(target.targetId),
                    version ? version->c_str() : "?");
    }
    if (targets.empty()) {
        std::fprintf(stderr, "no target answered on %s\n", argv[1]);
        return 1;
    }
    return 0;
}
