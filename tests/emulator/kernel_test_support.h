// Helpers shared by the emulated-kernel tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "emulator/kernel/machine.h"

namespace kt {

constexpr int64_t kMs = 10000;  // 100 ns units
constexpr int64_t kSecond = 1000 * kMs;
constexpr int64_t kTick = 156250;

inline LARGE_INTEGER Relative(int64_t units) {
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

inline void Delay(int64_t units) {
    LARGE_INTEGER t = Relative(units);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

inline NTSTATUS WaitFor(void *object, int64_t timeoutUnits) {
    LARGE_INTEGER t = Relative(timeoutUnits);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &t);
}

inline NTSTATUS WaitForever(void *object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

// When each DPC run through it ran.
class DpcLog {
public:
    static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto *log = static_cast<DpcLog *>(context);
        std::lock_guard<std::mutex> g(log->lock_);
        log->runs_.push_back(emu::Machine::current().now());
    }
    void init(KDPC &dpc) { KeInitializeDpc(&dpc, Routine, this); }
    std::vector<int64_t> runs() const {
        std::lock_guard<std::mutex> g(lock_);
        return runs_;
    }
    size_t count() const { return runs().size(); }

private:
    mutable std::mutex lock_;
    std::vector<int64_t> runs_;
};

// Keeps every emulated processor busy in a spinning DPC so that DPCs queued meanwhile stay queued. The holding thread
// must not block in the kernel until release(): busy processors keep the virtual clock still.
class ProcessorHold {
public:
    explicit ProcessorHold(int processors) : dpcs_(processors) {
        for (auto &d : dpcs_) {
            KeInitializeDpc(&d, Spin, this);
            KeInsertQueueDpc(&d, nullptr, nullptr);
        }
        while (started_.load() < processors) std::this_thread::yield();
    }
    ~ProcessorHold() {
        release();
        KeFlushQueuedDpcs();
    }
    ProcessorHold(const ProcessorHold &) = delete;
    ProcessorHold &operator=(const ProcessorHold &) = delete;
    void release() { go_.store(true); }

private:
    static VOID NTAPI Spin(PKDPC, PVOID self, PVOID, PVOID) {
        auto *h = static_cast<ProcessorHold *>(self);
        h->started_.fetch_add(1);
        while (!h->go_.load()) std::this_thread::yield();
    }
    std::vector<KDPC> dpcs_;
    std::atomic<int> started_{0};
    std::atomic<bool> go_{false};
};

}  // namespace kt
