#pragma once

#include <new>
#include <system_error>

namespace VEMRA {

// The standard library reports an exhausted address space (std::bad_alloc)
// and a thread the system cannot start (std::system_error) by throwing; this
// system throws nothing and lets no such failure end the process. Runs `work`
// and tells whether it completed. For the few places where a connection's
// buffers or threads are made; `work` must leave its objects whole when it
// stops half way (as the standard containers do).
template <typename Work> bool completes(Work&& work) noexcept {
    try {
        work();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace VEMRA
