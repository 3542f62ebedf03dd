// The scheduler behind the dispatcher objects: one lock for every dispatcher object, the clock and
// its deadlines (timers, wait time-outs, device events), the DPC queue, the emulated processors,
// and the count of machine threads that can run. When that count falls to zero on the virtual
// clock, time jumps to the earliest deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"

namespace emu {

struct ThreadState;

// A moment on the clock, kept inside what it stands for (a waiter, an armed timer, a device event,
// a recurring event): arming one allocates nothing.
struct Deadline {
    enum Kind { Timer, WaitTimeout, DeviceEvent, Recurring } kind;
    void *ptr;        // KTIMER*, Waiter* or TimedEvent::State*
    uint64_t id = 0;  // device event id
    int64_t when = 0;
    uint64_t order = 0;  // equal times expire in the order they were armed
    static constexpr size_t kOff = ~size_t{0};
    size_t slot = kOff;  // place in the clock's heap
    bool armed() const { return slot != kOff; }
};

// The clock's deadlines: a binary heap of pointers, each deadline knowing its place so that it
// leaves in O(log n). A handful are armed at a time (a few per bus, timers, time-outs).
class Deadlines {
public:
    bool empty() const { return heap_.empty(); }
    Deadline &first() const { return *heap_.front(); }
    void arm(Deadline &d, int64_t when) { arm(d, when, takeOrder()); }  // d must not be armed
    // With an order taken earlier: it expires as if armed then.
    void arm(Deadline &d, int64_t when, uint64_t order);
    uint64_t takeOrder() { return nextOrder_.fetch_add(1, std::memory_order_relaxed); }
    void disarm(Deadline &d);             // d must be armed
    void reserve(size_t n) { heap_.reserve(n); }

private:
    static bool before(const Deadline *a, const Deadline *b) {
        return a->when != b->when ? a->when < b->when : a->order < b->order;
    }
    void place(Deadline *d, size_t slot) {
        heap_[slot] = d;
        d->slot = slot;
    }
    void up(size_t slot);
    void down(size_t slot);
    std::vector<Deadline *> heap_;
    std::atomic<uint64_t> nextOrder_{0};  // taken without the lock by a run re-arming its event
};

// A blocked thread (a kernel wait, a delay, a join, an idle processor).
struct Waiter {
    std::condition_variable cv;
    bool done = false;
    NTSTATUS status = STATUS_SUCCESS;
    void *object = nullptr;  // dispatcher object waited on, if any
    void *const *objects = nullptr;  // or several of them: any one, or all at once
    ULONG count = 0;
    bool all = false;
    Deadline deadline{Deadline::WaitTimeout, this};
    const char *what = "wait";
    bool wakeOnStop = false;  // idle processors leave when the machine stops
    const ThreadState *thread = nullptr;  // alive while it blocks
    Waiter *prevBlocked = nullptr, *nextBlocked = nullptr;  // the scheduler's list, for the deadlock report
};


// The calling host thread's name as the host's tools show it (the first 15 characters).
void NameHostThread(const std::string &name);

// Guarded by the scheduler's lock, but for `dead` and the body.
struct TimedEvent::State {
    std::function<void()> body;
    std::atomic<bool> dead{false};
    Scheduler *scheduler = nullptr;
    int runs = 0;           // queued or running on a processor
    bool orphaned = false;  // its TimedEvent is gone: the last run deletes it
    // A run that re-arms its own event (the usual case) leaves the arming to its processor, which
    // takes the scheduler's lock after the run anyway. `runner` is that processor while its run is
    // the only one; the pending arm is its own, and the clock's order of it is taken at once, so
    // the event expires exactly as if armed then, unless another thread armed or cancelled it
    // later (othersOrder).
    std::atomic<const ThreadState *> runner{nullptr};
    bool pending = false;
    int64_t pendingWhen = 0;
    uint64_t pendingOrder = 0;
    uint64_t othersOrder = 0;
    Deadline deadline{Deadline::Recurring, this};
};

struct JoinState {
    bool finished = false;
    Waiter *joiner = nullptr;
};

class Scheduler {
public:
    Scheduler(Machine &machine, const MachineConfig &config);
    ~Scheduler();
    void startProcessors();
    void stop();

    int64_t now() const;
    const std::atomic<int64_t> &virtualClock() const { return virtualNow_; }

    // Machine thread accounting.
    void registerThread(const std::string &name);
    void unregisterThread();

    // Dispatcher objects (callers are the Ke* routines).
    NTSTATUS waitForObject(void *object, const int64_t *relativeOrAbsoluteTimeout, const char *what);
    // STATUS_WAIT_0 + the index of the object that ended a wait for any (the lowest one signalled
    // at the start), STATUS_WAIT_0 once all are signalled together (each consumed then), or
    // STATUS_TIMEOUT.
    NTSTATUS waitForObjects(void *const *objects, ULONG count, bool all, const int64_t *relativeOrAbsoluteTimeout,
                            const char *what);
    NTSTATUS delay(int64_t relativeOrAbsolute);
    LONG setEvent(PRKEVENT event);
    LONG readState(void *object) const;
    LONG resetEvent(PRKEVENT event);
    bool setTimer(PKTIMER timer, int64_t dueTime, PKDPC dpc);
    bool cancelTimer(PKTIMER timer);
    bool insertDpc(PRKDPC dpc, PVOID arg1, PVOID arg2);
    bool removeDpc(PRKDPC dpc);
    void flushDpcs();

    uint64_t scheduleAt(int64_t when, std::function<void()> fn);
    bool cancelEvent(uint64_t id);
    void armTimed(TimedEvent::State &event, int64_t when);
    void cancelTimed(TimedEvent::State &event);
    void dropTimed(TimedEvent::State *event);  // cancels and deletes, now or after its last run

    // emu::Thread: counted runnable from creation; the joiner wakes as the thread stops counting.
    void registerPending();
    void finishThread(JoinState &state);
    void waitThread(JoinState &state);

    // Verifier: a DPC queued or a timer armed inside memory about to be freed. False when one is.
    bool checkFreedRange(const void *base, size_t size, const char *routine);

    // Lock-order tracking. Two locks of a declared order: `acquiring` must come after every lock of
    // `held`. Any other pair: an inversion is `acquiring` once held while one of `held` was taken.
    // Freed memory forgets its locks, so reused addresses start clean.
    // True when nothing was reported: until the generation moves, the same pairs stay clean.
    bool noteLockOrder(std::span<const PKSPIN_LOCK> held, PKSPIN_LOCK acquiring, const char *routine);
    // Moves whenever a verdict of noteLockOrder could change: a new scheduler, a changed declared
    // order, forgotten locks. Global, as a thread's memory of clean pairs outlives a machine.
    static uint64_t lockOrderGeneration() { return lockOrderGeneration_.load(std::memory_order_acquire); }
    // Locks[0] is outermost; declaring the same order again (a restarted port) changes nothing.
    void declareLockOrder(const char *names, PKSPIN_LOCK const *locks, ULONG count);
    void forgetLocks(const void *base, size_t size);

    // The I/O manager's global cancel spin lock.
    KSPIN_LOCK cancelLock = kSpinLockFree;

private:
    int64_t absoluteDue(int64_t dueTime) const;
    int64_t roundUpToTick(int64_t t) const;
    bool signaledLocked(void *object) const;
    void consumeLocked(void *object);
    bool allSignaledLocked(const Waiter &w) const;
    void wakeWaitersLocked(void *object);
    void satisfyLocked(Waiter &w, NTSTATUS status);
    void blockLocked(std::unique_lock<std::mutex> &lk, Waiter &w);
    void addDeadlineLocked(Waiter &w, int64_t when);
    void expireDueLocked();
    void endRunLocked(std::unique_lock<std::mutex> &lk, TimedEvent::State &event);
    void armPendingLocked(TimedEvent::State &event);
    void advanceIfIdleLocked();
    bool advanceForIdleProcessorLocked();
    void wakeProcessorLocked();
    void processorLoop(int index);
    void clockLoop();
    void pokeClockLocked(int64_t when);
    bool insertDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2);
    void reportDeadlockLocked();

    Machine &machine_;
    MachineConfig config_;
    mutable std::mutex lock_;
    std::atomic<int64_t> virtualNow_{0};
    std::chrono::steady_clock::time_point realStart_;
    int runnable_ = 0;
    bool stopping_ = false;
    Deadlines deadlines_;
    std::unordered_map<PKTIMER, Deadline> timers_;  // the armed ones
    struct DeviceEvent {
        std::function<void()> body;
        Deadline deadline;
    };
    std::unordered_map<uint64_t, DeviceEvent> deviceEvents_;
    uint64_t nextEventId_ = 1;
    std::unordered_map<void *, std::deque<Waiter *>> objectWaiters_;
    Waiter *blocked_ = nullptr;  // every blocked thread's waiter, for the deadlock report
    std::deque<PRKDPC> dpcQueue_;
    // Due to run, in order: a recurring event, or (nullptr) the next device event's body. The
    // recurring ones come every frame, and a pointer goes through the queue cheaply.
    std::deque<TimedEvent::State *> readyEvents_;
    std::deque<std::function<void()>> readyBodies_;
    int runningDpcs_ = 0;
    std::condition_variable dpcsIdle_;
    int flushing_ = 0;  // threads waiting in flushDpcs
    std::vector<Waiter *> idleProcessors_;
    bool advancingProcessor_ = false;
    std::vector<std::thread> processors_;
    std::thread clock_;
    std::condition_variable clockCv_;
    // The deadline the clock's thread sleeps for; kClockAwake while it runs (it looks before it
    // sleeps again) or once it has been woken.
    static constexpr int64_t kClockAwake = std::numeric_limits<int64_t>::min();
    int64_t clockSleepsUntil_ = kClockAwake;
    std::mutex orderLock_;
    // (held, then acquired), and the same pairs turned round: freed memory finds the pairs of its
    // locks by address range in both, where one scan of every pair grew with the number of ports.
    std::set<std::pair<uintptr_t, uintptr_t>> orderEdges_, reversedEdges_;
    struct Rank {
        ULONG position;
        std::string order;  // the declaration, for the report
    };
    std::unordered_map<uintptr_t, Rank> ranks_;
    static inline std::atomic<uint64_t> lockOrderGeneration_{1};
};

}  // namespace emu
