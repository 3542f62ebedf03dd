// The emulated machine: one at a time, like the kernel it stands for. Owns the clock, the
// emulated processors (DPCs, timer expiries and device events run there at DISPATCH_LEVEL), the
// scheduler's view of which machine threads can run, and the kernel's services.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <typeindex>
#include <utility>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

struct MachineConfig {
    int processors = 2;
    bool virtualClock = true;       // false: time is the host's monotonic clock
    int64_t tickIncrement = 156250; // 100 ns units per clock tick (15.625 ms)
    uint64_t noiseSeed = 0;         // 0: no schedule noise; otherwise random yields seeded by this
    int noisePercent = 20;          // chance of a yield at each noise point when noise is on
    // KeRemoveQueueDpc as Windows answers it before Vista SP1: TRUE for a queued DPC that a
    // processor may already have taken, so its routine still runs.
    bool dpcRemovalRacesRun = false;
};

class Scheduler;
struct JoinState;

// A device event armed again and again without allocating: the body is given once, and arming
// moves one reused node on the clock. It runs on an emulated processor at DISPATCH_LEVEL at the
// time it was last armed for; a run already due when it is re-armed or cancelled may still happen,
// so the body must be harmless when it finds nothing to do.
class TimedEvent {
public:
    TimedEvent() = default;
    explicit TimedEvent(std::function<void()> body);
    TimedEvent(TimedEvent &&other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    TimedEvent &operator=(TimedEvent &&other);  // cancels the one it replaces
    ~TimedEvent();  // cancels
    void arm(int64_t when);
    void cancel();
    struct State;

private:
    State *state_ = nullptr;  // outlives this while a processor still has a run of it
};

class Machine {
public:
    explicit Machine(MachineConfig config = {});
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The running machine; aborts when there is none. Inline: the device side asks at every step.
    static Machine &current() {
        Machine *m = running_.load(std::memory_order_acquire);
        if (!m) [[unlikely]]
            NoMachine();
        return *m;
    }
    static Machine *currentOrNull() { return running_.load(std::memory_order_acquire); }

    const MachineConfig &config() const { return config_; }

    // Time since boot in 100 ns units (the interrupt time).
    int64_t now() const {
        if (virtualNow_) return virtualNow_->load(std::memory_order_acquire);
        return realNow();
    }
    // System time at boot (100 ns since 1601), so KeQuerySystemTime = bootSystemTime + now.
    int64_t bootSystemTime() const { return bootSystemTime_; }

    // Runs fn on an emulated processor at DISPATCH_LEVEL at absolute time `when` (not rounded to
    // the clock tick): the device side's interrupts. Returns an id for cancelEvent.
    uint64_t scheduleAt(int64_t when, std::function<void()> fn);
    // True when the event had not run yet and now never will.
    bool cancelEvent(uint64_t id);

    // Lets the virtual clock run: the calling thread counts as blocked for `units` of emulated time.
    void sleepFor(int64_t units);

    // Kernel services, created on first use and destroyed with the machine (newest first).
    template <class T> T &service() {
        // The device side asks for its world at every step: each thread remembers the answer for
        // the machine it last asked (machines are numbered, so a new one at the same address is
        // not mistaken for the old).
        struct Remembered {
            uint64_t machine = 0;
            T *object = nullptr;
        };
        thread_local Remembered last;
        if (last.machine == serial_) return *last.object;
        T &found = lookUp<T>();
        last = {serial_, &found};
        return found;
    }

    Scheduler &scheduler() { return *scheduler_; }

    // Schedule noise: a possible yield at a race-prone point (no effect when noise is off).
    void noisePoint() {
        if (config_.noiseSeed != 0) [[unlikely]]
            noiseYield();
    }

private:
    [[noreturn, gnu::cold]] static void NoMachine();
    void noiseYield();
    int64_t realNow() const;

    template <class T> T &lookUp() {
        std::lock_guard<std::mutex> g(servicesLock_);
        for (auto &s : services_)
            if (s.type == std::type_index(typeid(T))) return *static_cast<T *>(s.object.get());
        services_.push_back({std::type_index(typeid(T)),
                             std::shared_ptr<void>(new T(), [](void *p) { delete static_cast<T *>(p); })});
        return *static_cast<T *>(services_.back().object.get());
    }

    struct Service {
        std::type_index type;
        std::shared_ptr<void> object;
    };
    static inline std::atomic<Machine *> running_{nullptr};
    MachineConfig config_;
    const std::atomic<int64_t> *virtualNow_ = nullptr;  // the scheduler's clock, when virtual
    uint64_t serial_;
    int64_t bootSystemTime_;
    std::unique_ptr<Scheduler> scheduler_;
    std::mutex servicesLock_;
    std::vector<Service> services_;
};

// A machine thread (an application, a PnP or power worker): while it blocks inside the kernel
// the virtual clock may advance. Joins as a machine-aware wait.
class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body, std::string name = "thread");
    Thread(Thread &&) = default;
    Thread &operator=(Thread &&) = default;
    ~Thread();
    void join();
    bool joinable() const { return thread_.joinable(); }

private:
    std::thread thread_;
    std::shared_ptr<struct JoinState> join_;
};

// Per-thread kernel state.
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);
// Stable small number naming the calling thread in reports.
uint32_t CurrentThreadId();
std::string CurrentThreadName();

}  // namespace emu
