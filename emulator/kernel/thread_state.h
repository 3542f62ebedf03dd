// Per-thread kernel state of the emulated machine.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

struct ThreadState {
    bool registered = false;
    KIRQL irql = PASSIVE_LEVEL;
    uint32_t id = 0;
    std::string name = "host";
    std::vector<PKSPIN_LOCK> heldLocks;  // in acquisition order
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
