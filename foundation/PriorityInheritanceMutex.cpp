#include "foundation/PriorityInheritanceMutex.h"

namespace VEMRA {

PriorityInheritanceMutex::PriorityInheritanceMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    inheriting = pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT) == 0 &&
                 pthread_mutex_init(&handle, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
    if (!inheriting) {
        pthread_mutex_init(&handle, nullptr);
    }
}

PriorityInheritanceMutex::~PriorityInheritanceMutex() {
    pthread_mutex_destroy(&handle);
}

// Locking an initialised, unowned-by-this-thread mutex cannot fail in a way
// the caller could mend, so, like std::mutex without exceptions, the result
// is not passed on.
void PriorityInheritanceMutex::lock() {
    pthread_mutex_lock(&handle);
}

bool PriorityInheritanceMutex::try_lock() {
    return pthread_mutex_trylock(&handle) == 0;
}

void PriorityInheritanceMutex::unlock() {
    pthread_mutex_unlock(&handle);
}

} // namespace VEMRA
