#include "support/ProcessFigures.h"

#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

std::optional<uint64_t> counterIn(const std::string& path, const std::string& name) {
    std::ifstream file(path);
    std::string key;
    uint64_t value = 0;
    while (file >> key >> value) {
        if (key == name) {
            return value;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<uint64_t> cpuMilliseconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return std::nullopt;
    }
    // The command name may hold blanks: the fields start after its ')'.
    const size_t end = line.rfind(')');
    if (end == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(line.substr(end + 2));
    std::string field;
    uint64_t user = 0;
    uint64_t system = 0;
    // Fields 3-13 (state .. cmajflt), then utime (14) and stime (15).
    for (int i = 3; i <= 13 && fields >> field; ++i) {
    }
    if (!(fields >> user >> system)) {
        return std::nullopt;
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return (user + system) * 1000 / static_cast<uint64_t>(ticks > 0 ? ticks : 100);
}

std::optional<uint64_t> residentKilobytes(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (file >> key) {
        if (key == "VmRSS:") {
            uint64_t value = 0;
            if (file >> value) {
                return value;
            }
            return std::nullopt;
        }
        std::string rest;
        std::getline(file, rest);
    }
    return std::nullopt;
}

std::optional<uint64_t> snmp6Counter(pid_t pid, const std::string& name) {
    return counterIn("/proc/" + std::to_string(pid) + "/net/snmp6", name);
}

std::optional<uint64_t> threadSnmp6Counter(const std::string& name) {
    return counterIn("/proc/thread-self/net/snmp6", name);
}
