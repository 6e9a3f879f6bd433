#include "protocol/OwnPort.h"

#include <array>
#include <atomic>

namespace QUORVEL {

namespace {

// 0 = free. A port may sit in two slots for a moment (a socket rebound
// before its old holder let go); lookups only ask whether it is anywhere.
std::array<std::atomic<uint16_t>, OwnPort::kCapacity>& table() {
    static std::array<std::atomic<uint16_t>, OwnPort::kCapacity> ports{};
    return ports;
}

} // namespace

OwnPort::~OwnPort() {
    clear();
}

void OwnPort::set(uint16_t port) {
    clear();
    if (port == 0) {
        return;
    }
    auto& ports = table();
    for (int i = 0; i < kCapacity; ++i) {
        uint16_t expected = 0;
        if (ports[static_cast<size_t>(i)].compare_exchange_strong(expected, port,
                                                                  std::memory_order_acq_rel)) {
            slot = i;
            return;
        }
    }
}

void OwnPort::clear() {
    if (slot >= 0) {
        table()[static_cast<size_t>(slot)].store(0, std::memory_order_release);
        slot = -1;
    }
}

bool OwnPort::isOwn(uint16_t port) {
    if (port == 0) {
        return false;
    }
    for (const auto& entry : table()) {
        if (entry.load(std::memory_order_acquire) == port) {
            return true;
        }
    }
    return false;
}

} // namespace QUORVEL
