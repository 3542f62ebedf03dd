// Per-thread kernel state of the emulated machine.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>

#include "platform/host/wdm.h"

namespace emu {

// The spin locks a thread holds, in acquisition order: a fixed array, so taking one allocates
// nothing. More than kCapacity at once is refused (no kernel code nests that deep).
struct HeldLocks {
    static constexpr uint32_t kCapacity = 32;
    std::array<PKSPIN_LOCK, kCapacity> at{};
    uint32_t count = 0;
    bool empty() const { return count == 0; }
    uint32_t size() const { return count; }
    bool full() const { return count == kCapacity; }
    const PKSPIN_LOCK *begin() const { return at.data(); }
    const PKSPIN_LOCK *end() const { return at.data() + count; }
    void push(PKSPIN_LOCK lock) { at[count++] = lock; }
    void erase(uint32_t index) {
        for (uint32_t i = index + 1; i < count; i++) at[i - 1] = at[i];
        count--;
    }
    void clear() { count = 0; }
};

struct ThreadState {
    bool registered = false;
    KIRQL irql = PASSIVE_LEVEL;
    uint32_t id = 0;
    std::string name = "host";
    HeldLocks heldLocks;
    uint64_t lockAcquisitions = 0;       // spin locks taken, for the benchmarks
    // (held, then acquired) pairs the lock-order check passed under cleanOrdersGeneration.
    struct LockPair {
        PKSPIN_LOCK held, acquired;
    };
    std::array<LockPair, 64> cleanOrders{};
    uint64_t cleanOrdersGeneration = 0;
    std::mt19937_64 noise;
    bool noiseSeeded = false;
};

// Every spin lock and IRQL check asks: after a thread's first call, one read of a plain pointer.
ThreadState &RegisterSelf();
inline thread_local ThreadState *tlsSelf = nullptr;
inline ThreadState &Self() {
    if (ThreadState *self = tlsSelf) [[likely]]
        return *self;
    return RegisterSelf();
}

}  // namespace emu
