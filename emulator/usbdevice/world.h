// What every part of the simulated hardware shares: one lock over all device-side state (bus,
// chips, cables, far ends), the hardware clock in 100 ns units, and events that die with their
// owner.
//
// One lock keeps the model simple and free of lock-order problems: a character that leaves a
// chip's transmitter reaches a loopback plug and comes back into the same chip's receiver in one
// call chain. The lock is recursive for that reason. It is never held while kernel code runs
// (IRP completion, cancel routines): the bus collects what it completes and completes it after
// releasing the lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "emulator/kernel/machine.h"

namespace emu::usb {

// Full-speed frame: 1 ms.
inline constexpr int64_t kFrame = 10000;
inline constexpr int64_t kMillisecond = 10000;
inline constexpr int64_t kSecond = 10000000;

struct DeviceWorld {
    std::recursive_mutex lock;
};

inline DeviceWorld &World() { return Machine::current().service<DeviceWorld>(); }
inline int64_t Now() { return Machine::current().now(); }

using WorldGuard = std::lock_guard<std::recursive_mutex>;

// Events an object schedules on the emulated processors. The object's destructor calls kill():
// from then on its events do nothing, even one already running towards the lock.
class EventOwner {
public:
    EventOwner() : life_(std::make_shared<bool>(true)) {}
    EventOwner(const EventOwner &) = delete;
    EventOwner &operator=(const EventOwner &) = delete;

    // Runs fn under the world lock at `when` (DISPATCH_LEVEL, on an emulated processor).
    uint64_t at(int64_t when, std::function<void()> fn) {
        return Machine::current().scheduleAt(when, [life = life_, fn = std::move(fn)] {
            WorldGuard g(World().lock);
            if (*life) fn();
        });
    }
    // As at(), and then runs what fn returns after releasing the lock (kernel calls go there).
    uint64_t atThen(int64_t when, std::function<std::function<void()>()> fn) {
        return Machine::current().scheduleAt(when, [life = life_, fn = std::move(fn)] {
            std::function<void()> after;
            {
                WorldGuard g(World().lock);
                if (*life) after = fn();
            }
            if (after) after();
        });
    }
    // One event armed again and again (TimedEvent), running fn under the world lock.
    TimedEvent recurring(std::function<void()> fn) {
        return TimedEvent([life = life_, fn = std::move(fn)] {
            WorldGuard g(World().lock);
            if (*life) fn();
        });
    }
    // As recurring(), and then runs `after` once the lock is released (kernel calls go there).
    TimedEvent recurringThen(std::function<void()> fn, std::function<void()> after) {
        return TimedEvent([life = life_, fn = std::move(fn), after = std::move(after)] {
            {
                WorldGuard g(World().lock);
                if (!*life) return;
                fn();
            }
            after();
        });
    }
    void cancel(uint64_t id) { Machine::current().cancelEvent(id); }
    // Caller holds the world lock.
    void kill() { *life_ = false; }

private:
    std::shared_ptr<bool> life_;
};

}  // namespace emu::usb
