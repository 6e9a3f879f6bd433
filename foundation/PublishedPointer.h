#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

namespace VEMRA {

// A process-wide object that a configuring thread may replace while any
// number of other threads use it. Users hold a Guard for as long as they
// touch the object; `replace` hands the previous object back only when no
// guard can still reach it, so the caller may then destroy it.
//
// Readers register in the counter of the current epoch and re-check the
// epoch afterwards, so every registration the replacing thread must wait for
// is visible to it; readers that start after the epoch flip see the new
// object. The replacing thread's wait therefore ends once the guards that
// were open at the flip close: it is bounded by the longest guarded section
// (a log commit), not by how busy the readers are.
template <typename T> class PublishedPointer {
public:
    class Guard {
    public:
        explicit Guard(const PublishedPointer& owner) : owner(owner) {
            for (;;) {
                slot = owner.epoch.load(std::memory_order_seq_cst) & 1U;
                owner.readers[slot].fetch_add(1, std::memory_order_seq_cst);
                if ((owner.epoch.load(std::memory_order_seq_cst) & 1U) == slot) {
                    break;
                }
                owner.readers[slot].fetch_sub(1, std::memory_order_release);
            }
            object = owner.current.load(std::memory_order_seq_cst);
        }
        ~Guard() { owner.readers[slot].fetch_sub(1, std::memory_order_release); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        T* get() const { return object; }
        T* operator->() const { return object; }
        explicit operator bool() const { return object != nullptr; }

    private:
        const PublishedPointer& owner;
        unsigned slot = 0;
        T* object = nullptr;
    };

    PublishedPointer() = default;
    // Process exit: by then no other thread may use the object.
    ~PublishedPointer() { delete current.load(std::memory_order_acquire); }
    PublishedPointer(const PublishedPointer&) = delete;
    PublishedPointer& operator=(const PublishedPointer&) = delete;

    // Installs `next` (owned from now on) and returns the previous object,
    // owned by the caller, once no guard holds it any more.
    T* replace(T* next) {
        std::lock_guard<std::mutex> lock(writerMutex);
        T* previous = current.exchange(next, std::memory_order_seq_cst);
        const unsigned old = epoch.fetch_add(1, std::memory_order_seq_cst) & 1U;
        // acquire: pairs with the guards' release, so their use of `previous`
        // happens before the caller destroys it.
        while (readers[old].load(std::memory_order_acquire) != 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        return previous;
    }

    // Unguarded look-up for the configuring thread; the object stays valid
    // until that thread itself replaces it.
    T* peek() const { return current.load(std::memory_order_acquire); }

private:
    std::atomic<T*> current{nullptr};              // swapped by `replace`, read by guards
    std::atomic<uint64_t> epoch{0};                // flipped by `replace`
    mutable std::atomic<uint64_t> readers[2] = {}; // open guards per epoch parity
    std::mutex writerMutex;                        // one replacement at a time
};

} // namespace VEMRA
