#include "foundation/MemoryLock.h"

#include <cerrno>
#include <cstdint>
#include <linux/capability.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUORVEL_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define QUORVEL_UNDER_SANITIZER 1
#endif
#endif

namespace VEMRA {

#ifndef QUORVEL_UNDER_SANITIZER
namespace {

// Whether locked memory is unbounded for this process: CAP_IPC_LOCK, or no
// RLIMIT_MEMLOCK. Otherwise MCL_FUTURE would make every mapping past the
// limit fail (a thread's stack, a connection's queue), which is far worse
// than memory that can be swapped.
bool lockingIsUnbounded() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_MEMLOCK, &limit) == 0 && limit.rlim_cur == RLIM_INFINITY) {
        return true;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    return (data[CAP_IPC_LOCK / 32].effective & (1U << (CAP_IPC_LOCK % 32))) != 0;
}

} // namespace
#endif

int lockProcessMemory() {
#ifdef QUORVEL_UNDER_SANITIZER
    return 0;
#else
    if (!lockingIsUnbounded()) {
        return EPERM;
    }
    return ::mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) == 0 ? 0 : errno;
#endif
}

__attribute__((noinline)) void prefaultStack(size_t bytes) {
    constexpr size_t kPage = 4096;
    constexpr size_t kLargest = 256 * 1024;
    if (bytes > kLargest) {
        bytes = kLargest;
    }
    // A fixed array the size of the largest request, written only as far as
    // asked; the empty asm makes the compiler keep the stores.
    uint8_t block[kLargest];
    for (size_t at = 0; at < bytes; at += kPage) {
        block[kLargest - 1 - at] = 0;
    }
    asm volatile("" : : "r"(block) : "memory");
}

} // namespace VEMRA
