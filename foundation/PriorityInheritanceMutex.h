#pragma once

#include <pthread.h>

namespace VEMRA {

// A mutex that lends the priority of a waiting thread to the thread holding
// it. Real-time workers (first-in-first-out 99) and idle-class threads share
// some locks, the log ring's above all; with a plain mutex an idle-class
// holder that the scheduler leaves waiting behind ordinary work would hold a
// real-time worker up for as long, and the device would run dry. With
// priority inheritance the holder runs at the waiter's priority until it
// unlocks. Meets the standard Lockable requirements (std::lock_guard,
// std::unique_lock, std::condition_variable_any).
class PriorityInheritanceMutex {
public:
    PriorityInheritanceMutex();
    ~PriorityInheritanceMutex();
    PriorityInheritanceMutex(const PriorityInheritanceMutex&) = delete;
    PriorityInheritanceMutex& operator=(const PriorityInheritanceMutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    // False when the system refused the inheriting protocol and the mutex is
    // an ordinary one (still correct, only without the priority loan).
    bool inherits() const { return inheriting; }

private:
    pthread_mutex_t handle;
    bool inheriting = false; // fixed at construction
};

} // namespace VEMRA
