// qemu-user as Debian 12 ships it (7.2) passes most socket options through,
// but not IPV6_MULTICAST_IF: setsockopt and getsockopt of it fail with
// ENOPROTOOPT inside the emulator, although every Linux kernel has it. The
// socket layer sets it on every socket bound to ::1 or a link-local address,
// so without it no socket of the tests could be bound. Preloaded into the
// emulated test programs only, this keeps the option in a table per
// descriptor, as the kernel would; the kernel's own choice of interface then
// stands, which for the tests' unicast on ::1 and their scoped link-local
// multicast is the same interface.
#include <array>
#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

constexpr int kDescriptors = 65536;
std::array<std::atomic<unsigned>, kDescriptors> interfaces{};

bool isMulticastInterface(int descriptor, int level, int name) {
    return level == IPPROTO_IPV6 && name == IPV6_MULTICAST_IF && descriptor >= 0 && descriptor < kDescriptors;
}

template <typename Function> Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int setsockopt(int descriptor, int level, int name, const void* value, socklen_t length) {
    static const auto real = next<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
    if (isMulticastInterface(descriptor, level, name) && value != nullptr && length >= sizeof(unsigned)) {
        unsigned index = 0;
        std::memcpy(&index, value, sizeof(index));
        interfaces[static_cast<size_t>(descriptor)].store(index);
        return 0;
    }
    return real(descriptor, level, name, value, length);
}

extern "C" int getsockopt(int descriptor, int level, int name, void* value, socklen_t* length) {
    static const auto real = next<int (*)(int, int, int, void*, socklen_t*)>("getsockopt");
    if (isMulticastInterface(descriptor, level, name) && value != nullptr && length != nullptr &&
        *length >= sizeof(unsigned)) {
        const unsigned index = interfaces[static_cast<size_t>(descriptor)].load();
        std::memcpy(value, &index, sizeof(index));
        *length = sizeof(index);
        return 0;
    }
    return real(descriptor, level, name, value, length);
}
