#include "emulator/kernel/scheduler.h"

#include <algorithm>
#include <limits>
#include <pthread.h>
#include <sstream>

#include "emulator/kernel/thread_state.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {

DISPATCHER_HEADER &Header(void *object) { return *static_cast<DISPATCHER_HEADER *>(object); }

}  // namespace

void Deadlines::arm(Deadline &d, int64_t when, uint64_t order) {
    d.when = when;
    d.order = order;
    heap_.push_back(&d);
    d.slot = heap_.size() - 1;
    up(d.slot);
}

void Deadlines::disarm(Deadline &d) {
    size_t slot = d.slot;
    d.slot = Deadline::kOff;
    Deadline *last = heap_.back();
    heap_.pop_back();
    if (last == &d) return;
    place(last, slot);
    if (slot > 0 && before(last, heap_[(slot - 1) / 2]))
        up(slot);
    else
        down(slot);
}

void Deadlines::up(size_t slot) {
    Deadline *d = heap_[slot];
    while (slot > 0) {
        size_t parent = (slot - 1) / 2;
        if (!before(d, heap_[parent])) break;
        place(heap_[parent], slot);
        slot = parent;
    }
    place(d, slot);
}

void Deadlines::down(size_t slot) {
    Deadline *d = heap_[slot];
    const size_t n = heap_.size();
    for (;;) {
        size_t child = 2 * slot + 1;
        if (child >= n) break;
        if (child + 1 < n && before(heap_[child + 1], heap_[child])) child++;
        if (!before(heap_[child], d)) break;
        place(heap_[child], slot);
        slot = child;
    }
    place(d, slot);
}

// Shown by top -H and perf, to see where a real-clock run spends its processors.
void NameHostThread(const std::string &name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

Scheduler::Scheduler(Machine &machine, const MachineConfig &config)
    : machine_(machine), config_(config), realStart_(std::chrono::steady_clock::now()) {
    lockOrderGeneration_.fetch_add(1, std::memory_order_release);
}

Scheduler::~Scheduler() {
    stop();
    std::unique_lock<std::mutex> lk(lock_);
    for (TimedEvent::State *timed : readyEvents_)  // runs that never came
        if (timed) endRunLocked(lk, *timed);
}

void Scheduler::startProcessors() {
    for (int i = 0; i < config_.processors; i++) {
        {
            std::lock_guard<std::mutex> g(lock_);
            runnable_++;  // counted from birth so the clock cannot jump before it first idles
        }
        processors_.emplace_back([this, i] { processorLoop(i); });
    }
    if (!config_.virtualClock) clock_ = std::thread([this] { clockLoop(); });
}

void Scheduler::stop() {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (stopping_) return;
        stopping_ = true;
        for (Waiter *p : idleProcessors_) p->cv.notify_one();
        clockCv_.notify_all();
    }
    for (auto &t : processors_) t.join();
    if (clock_.joinable()) clock_.join();
}

int64_t Scheduler::now() const {
    if (config_.virtualClock) return virtualNow_.load(std::memory_order_acquire);
    auto d = std::chrono::steady_clock::now() - realStart_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

// ---- Machine threads ---------------------------------------------------------------------------

void Scheduler::registerThread(const std::string &name) {
    ThreadState &self = Self();
    self.registered = true;
    self.name = name;
    std::lock_guard<std::mutex> g(lock_);
    runnable_++;
}

void Scheduler::registerPending() {
    std::lock_guard<std::mutex> g(lock_);
    runnable_++;
}

void Scheduler::unregisterThread() {
    ThreadState &self = Self();
    if (!self.registered) return;
    self.registered = false;
    std::lock_guard<std::mutex> g(lock_);
    runnable_--;
    advanceIfIdleLocked();
}

void Scheduler::finishThread(JoinState &state) {
    ThreadState &self = Self();
    self.registered = false;
    std::lock_guard<std::mutex> g(lock_);
    state.finished = true;
    // The joiner becomes runnable before this thread stops counting, so the clock cannot jump
    // in between.
    if (state.joiner) satisfyLocked(*state.joiner, STATUS_SUCCESS);
    runnable_--;
    advanceIfIdleLocked();
}

void Scheduler::waitThread(JoinState &state) {
    std::unique_lock<std::mutex> lk(lock_);
    if (state.finished) return;
    Waiter w;
    w.what = "join";
    state.joiner = &w;
    blockLocked(lk, w);
}

// ---- Blocking and waking -----------------------------------------------------------------------

void Scheduler::satisfyLocked(Waiter &w, NTSTATUS status) {
    if (w.done) return;
    void *const *objects = w.count ? w.objects : &w.object;
    for (ULONG i = 0; i < (w.count ? w.count : w.object ? 1 : 0); i++) {
        auto it = objectWaiters_.find(objects[i]);
        if (it != objectWaiters_.end()) {
            auto &q = it->second;
            q.erase(std::remove(q.begin(), q.end(), &w), q.end());
            if (q.empty()) objectWaiters_.erase(it);
        }
    }
    if (w.deadline.armed()) deadlines_.disarm(w.deadline);
    w.done = true;
    w.status = status;
    runnable_++;
    w.cv.notify_one();
}

void Scheduler::blockLocked(std::unique_lock<std::mutex> &lk, Waiter &w) {
    if (!Self().registered) {
        Report(Violation::InvalidParameter, w.what, "a thread unknown to the machine blocked in the kernel");
    }
    w.thread = &Self();
    w.prevBlocked = nullptr;
    w.nextBlocked = blocked_;
    if (blocked_) blocked_->prevBlocked = &w;
    blocked_ = &w;
    runnable_--;
    advanceIfIdleLocked();
    if (w.deadline.armed()) pokeClockLocked(w.deadline.when);
    w.cv.wait(lk, [&] { return w.done || (stopping_ && w.wakeOnStop); });
    (w.prevBlocked ? w.prevBlocked->nextBlocked : blocked_) = w.nextBlocked;
    if (w.nextBlocked) w.nextBlocked->prevBlocked = w.prevBlocked;
}

void Scheduler::addDeadlineLocked(Waiter &w, int64_t when) { deadlines_.arm(w.deadline, when); }

// Timers expire only at clock ticks.
int64_t Scheduler::roundUpToTick(int64_t t) const {
    int64_t tick = config_.tickIncrement;
    return (t + tick - 1) / tick * tick;
}

int64_t Scheduler::absoluteDue(int64_t dueTime) const {
    // Negative: relative to now. Positive: absolute system time.
    if (dueTime < 0) return now() - dueTime;
    return std::max<int64_t>(dueTime - machine_.bootSystemTime(), 0);
}

bool Scheduler::signaledLocked(void *object) const {
    DISPATCHER_HEADER &h = Header(object);
    return h.SignalState > 0;
}

void Scheduler::consumeLocked(void *object) {
    DISPATCHER_HEADER &h = Header(object);
    if (h.Type == kSynchronizationEvent) h.SignalState = 0;
}

bool Scheduler::allSignaledLocked(const Waiter &w) const {
    for (ULONG i = 0; i < w.count; i++)
        if (!signaledLocked(w.objects[i])) return false;
    return true;
}

// Waiters in arrival order; one waiting for all stays queued (and lets the next one have the
// object) until every object of its set is signalled.
void Scheduler::wakeWaitersLocked(void *object) {
    size_t skipped = 0;
    for (;;) {
        auto it = objectWaiters_.find(object);
        if (it == objectWaiters_.end() || it->second.size() <= skipped || !signaledLocked(object)) return;
        Waiter *w = it->second[skipped];
        if (!w->all) {
            consumeLocked(object);
            const ULONG index = ULONG(std::find(w->objects, w->objects + w->count, object) - w->objects);
            satisfyLocked(*w, w->count ? STATUS_WAIT_0 + index : STATUS_SUCCESS);  // may erase the map entry
        } else if (allSignaledLocked(*w)) {
            for (ULONG i = 0; i < w->count; i++) consumeLocked(w->objects[i]);
            satisfyLocked(*w, STATUS_WAIT_0);
        } else {
            skipped++;
        }
    }
}

NTSTATUS Scheduler::waitForObject(void *object, const int64_t *timeout, const char *what) {
    std::unique_lock<std::mutex> lk(lock_);
    if (signaledLocked(object)) {
        consumeLocked(object);
        return STATUS_SUCCESS;
    }
    // A time-out already due ends the wait now; queued, it would fire only once every other
    // thread blocks.
    int64_t due = timeout ? absoluteDue(*timeout) : 0;
    if (timeout && due <= now()) return STATUS_TIMEOUT;
    Waiter w;
    w.object = object;
    w.what = what;
    objectWaiters_[object].push_back(&w);
    if (timeout) addDeadlineLocked(w, due);
    blockLocked(lk, w);
    return w.status;
}

NTSTATUS Scheduler::waitForObjects(void *const *objects, ULONG count, bool all, const int64_t *timeout,
                                   const char *what) {
    std::unique_lock<std::mutex> lk(lock_);
    Waiter w;
    w.objects = objects;
    w.count = count;
    w.all = all;
    w.what = what;
    if (all && allSignaledLocked(w)) {
        for (ULONG i = 0; i < count; i++) consumeLocked(objects[i]);
        return STATUS_WAIT_0;
    }
    for (ULONG i = 0; !all && i < count; i++)
        if (signaledLocked(objects[i])) {
            consumeLocked(objects[i]);
            return STATUS_WAIT_0 + i;
        }
    int64_t due = timeout ? absoluteDue(*timeout) : 0;
    if (timeout && due <= now()) return STATUS_TIMEOUT;
    for (ULONG i = 0; i < count; i++) {
        auto &q = objectWaiters_[objects[i]];
        if (std::find(q.begin(), q.end(), &w) == q.end()) q.push_back(&w);
    }
    if (timeout) addDeadlineLocked(w, due);
    blockLocked(lk, w);
    return w.status;
}

NTSTATUS Scheduler::delay(int64_t interval) {
    std::unique_lock<std::mutex> lk(lock_);
    int64_t due = absoluteDue(interval);
    if (due <= now()) return STATUS_SUCCESS;  // as for a wait's time-out
    Waiter w;
    w.what = "delay";
    addDeadlineLocked(w, due);
    blockLocked(lk, w);
    return STATUS_SUCCESS;
}

LONG Scheduler::setEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> g(lock_);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    wakeWaitersLocked(event);
    return previous;
}

LONG Scheduler::readState(void *object) const {
    std::lock_guard<std::mutex> g(lock_);
    return Header(object).SignalState;
}

LONG Scheduler::resetEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> g(lock_);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

// ---- Timers, device events and the clock --------------------------------------------------------

bool Scheduler::setTimer(PKTIMER timer, int64_t dueTime, PKDPC dpc) {
    std::lock_guard<std::mutex> g(lock_);
    auto [it, fresh] = timers_.try_emplace(timer, Deadline{Deadline::Timer, timer});
    if (!fresh) deadlines_.disarm(it->second);
    int64_t due = roundUpToTick(absoluteDue(dueTime));
    timer->Header.Inserted = 1;
    timer->Header.SignalState = 0;
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
    timer->Dpc = dpc;
    deadlines_.arm(it->second, due);
    pokeClockLocked(due);
    return !fresh;
}

bool Scheduler::cancelTimer(PKTIMER timer) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = timers_.find(timer);
    if (it == timers_.end()) return false;
    deadlines_.disarm(it->second);
    timers_.erase(it);
    timer->Header.Inserted = 0;
    return true;
}

uint64_t Scheduler::scheduleAt(int64_t when, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(lock_);
    uint64_t id = nextEventId_++;
    when = std::max(when, now());
    auto &event = deviceEvents_.try_emplace(id, DeviceEvent{std::move(fn), Deadline{Deadline::DeviceEvent, nullptr, id}})
                      .first->second;
    deadlines_.arm(event.deadline, when);
    pokeClockLocked(when);
    return id;
}

bool Scheduler::cancelEvent(uint64_t id) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = deviceEvents_.find(id);
    if (it == deviceEvents_.end()) return false;
    deadlines_.disarm(it->second.deadline);
    deviceEvents_.erase(it);
    return true;
}

void Scheduler::armTimed(TimedEvent::State &event, int64_t when) {
    if (event.runner.load(std::memory_order_relaxed) == &Self()) {
        when = std::max(when, now());
        if (event.pending && event.pendingWhen == when) return;
        event.pending = true;
        event.pendingWhen = when;
        event.pendingOrder = deadlines_.takeOrder();
        return;
    }
    std::lock_guard<std::mutex> g(lock_);
    when = std::max(when, now());
    Deadline &d = event.deadline;
    uint64_t order = deadlines_.takeOrder();
    event.othersOrder = order;
    if (d.armed()) {
        if (d.when == when) return;
        deadlines_.disarm(d);
    }
    deadlines_.arm(d, when, order);
    pokeClockLocked(when);
}

void Scheduler::armPendingLocked(TimedEvent::State &event) {
    event.runner.store(nullptr, std::memory_order_relaxed);
    if (!event.pending) return;
    event.pending = false;
    if (event.orphaned || event.pendingOrder < event.othersOrder) return;
    Deadline &d = event.deadline;
    if (d.armed()) {
        if (d.when == event.pendingWhen) return;
        deadlines_.disarm(d);
    }
    deadlines_.arm(d, event.pendingWhen, event.pendingOrder);
    pokeClockLocked(event.pendingWhen);
}

void Scheduler::cancelTimed(TimedEvent::State &event) {
    std::lock_guard<std::mutex> g(lock_);
    if (event.runner.load(std::memory_order_relaxed) == &Self())
        event.pending = false;
    else
        event.othersOrder = deadlines_.takeOrder();
    if (event.deadline.armed()) deadlines_.disarm(event.deadline);
}

void Scheduler::dropTimed(TimedEvent::State *event) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (event->deadline.armed()) deadlines_.disarm(event->deadline);
        if (event->runs > 0) {
            event->orphaned = true;
            return;
        }
    }
    delete event;
}

void Scheduler::endRunLocked(std::unique_lock<std::mutex> &lk, TimedEvent::State &event) {
    if (--event.runs > 0 || !event.orphaned) return;
    lk.unlock();  // its body's captures go without the scheduler's lock
    delete &event;
    lk.lock();
}

void Scheduler::expireDueLocked() {
    int64_t t = now();
    while (!deadlines_.empty() && deadlines_.first().when <= t) {
        Deadline &d = deadlines_.first();
        deadlines_.disarm(d);
        switch (d.kind) {
        case Deadline::Timer: {
            auto timer = static_cast<PKTIMER>(d.ptr);
            timers_.erase(timer);  // d with it
            timer->Header.Inserted = 0;
            timer->Header.SignalState = 1;
            wakeWaitersLocked(timer);
            if (timer->Dpc) {
                insertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(t & 0xFFFFFFFF)),
                                reinterpret_cast<PVOID>(static_cast<uintptr_t>(t >> 32)));
            }
            break;
        }
        case Deadline::WaitTimeout: {
            auto w = static_cast<Waiter *>(d.ptr);
            satisfyLocked(*w, STATUS_TIMEOUT);
            break;
        }
        case Deadline::DeviceEvent: {
            auto event = deviceEvents_.find(d.id);
            readyBodies_.push_back(std::move(event->second.body));
            readyEvents_.push_back(nullptr);
            deviceEvents_.erase(event);  // d with it
            wakeProcessorLocked();
            break;
        }
        case Deadline::Recurring: {
            auto event = static_cast<TimedEvent::State *>(d.ptr);
            event->runs++;
            readyEvents_.push_back(event);
            wakeProcessorLocked();
            break;
        }
        }
    }
}

void Scheduler::advanceIfIdleLocked() {
    if (!config_.virtualClock || stopping_) return;
    while (runnable_ == 0) {
        if (deadlines_.empty()) {
            reportDeadlockLocked();
            return;
        }
        int64_t next = deadlines_.first().when;
        if (next > virtualNow_.load()) virtualNow_.store(next, std::memory_order_release);
        expireDueLocked();
    }
}

// A processor about to idle as the last runnable thread would block, move the clock, and be woken
// at once as the first idle processor in line: it moves the clock itself instead, as one step of
// advanceIfIdleLocked. False when it must block after all (nothing came for it).
bool Scheduler::advanceForIdleProcessorLocked() {
    if (!config_.virtualClock || stopping_ || runnable_ != 1 || deadlines_.empty()) return false;
    runnable_ = 0;
    advancingProcessor_ = true;
    if (int64_t next = deadlines_.first().when; next > virtualNow_.load())
        virtualNow_.store(next, std::memory_order_release);
    expireDueLocked();
    if (!advancingProcessor_) return true;
    advancingProcessor_ = false;
    runnable_++;
    return false;
}

void Scheduler::reportDeadlockLocked() {
    std::ostringstream s;
    s << "every machine thread is blocked and nothing is due on the clock; blocked:";
    for (Waiter *w = blocked_; w; w = w->nextBlocked)
        s << " [" << w->thread->name << "#" << w->thread->id << ": " << w->what << "]";
    Report(Violation::MachineDeadlock, "scheduler", s.str());
}

// The real clock's thread sleeps until the earliest deadline; one that comes earlier wakes it.
// Most deadlines land behind the one it sleeps for (every bus's next frame is the same instant),
// and waking it for those would cost two context switches each.
void Scheduler::pokeClockLocked(int64_t when) {
    if (config_.virtualClock || when >= clockSleepsUntil_) return;
    clockSleepsUntil_ = kClockAwake;
    clockCv_.notify_one();
}

void Scheduler::clockLoop() {
    NameHostThread("clock");
    std::unique_lock<std::mutex> lk(lock_);
    while (!stopping_) {
        if (deadlines_.empty()) {
            clockSleepsUntil_ = std::numeric_limits<int64_t>::max();
            clockCv_.wait(lk);
        } else {
            int64_t next = deadlines_.first().when;
            clockSleepsUntil_ = next;
            auto when = realStart_ + std::chrono::nanoseconds(next * 100);
            clockCv_.wait_until(lk, when);
        }
        clockSleepsUntil_ = kClockAwake;
        expireDueLocked();
    }
}

// ---- DPCs and processors -------------------------------------------------------------------------

bool Scheduler::insertDpcLocked(PRKDPC dpc, PVOID arg1, PVOID arg2) {
    if (dpc->DpcData) return false;
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = arg1;
    dpc->SystemArgument2 = arg2;
    if (dpc->Importance == HighImportance)
        dpcQueue_.push_front(dpc);
    else
        dpcQueue_.push_back(dpc);
    wakeProcessorLocked();
    return true;
}

bool Scheduler::insertDpc(PRKDPC dpc, PVOID arg1, PVOID arg2) {
    std::lock_guard<std::mutex> g(lock_);
    return insertDpcLocked(dpc, arg1, arg2);
}

bool Scheduler::removeDpc(PRKDPC dpc) {
    std::lock_guard<std::mutex> g(lock_);
    if (!dpc->DpcData) return false;
    if (config_.dpcRemovalRacesRun) return true;  // it runs anyway, as if a processor had it
    dpcQueue_.erase(std::remove(dpcQueue_.begin(), dpcQueue_.end(), dpc), dpcQueue_.end());
    dpc->DpcData = nullptr;
    return true;
}

void Scheduler::flushDpcs() {
    std::unique_lock<std::mutex> lk(lock_);
    // Polls on the clock's terms: a flush is a wait for the processors, which are runnable.
    flushing_++;
    while (!dpcQueue_.empty() || runningDpcs_ > 0) dpcsIdle_.wait(lk);
    flushing_--;
}

void Scheduler::wakeProcessorLocked() {
    if (advancingProcessor_) {  // the processor moving the clock takes the first work itself
        advancingProcessor_ = false;
        runnable_++;
        return;
    }
    if (idleProcessors_.empty()) return;
    Waiter *p = idleProcessors_.back();
    idleProcessors_.pop_back();
    satisfyLocked(*p, STATUS_SUCCESS);
}

void Scheduler::processorLoop(int index) {
    ThreadState &self = Self();
    self.registered = true;  // counted in startProcessors
    self.name = "cpu" + std::to_string(index);
    NameHostThread(self.name);
    self.irql = DISPATCH_LEVEL;
    std::unique_lock<std::mutex> lk(lock_);
    while (!stopping_) {
        if (!readyEvents_.empty()) {
            TimedEvent::State *timed = readyEvents_.front();
            readyEvents_.pop_front();
            std::function<void()> fn;
            if (!timed) {
                fn = std::move(readyBodies_.front());
                readyBodies_.pop_front();
            }
            const bool alone = timed && !timed->runner.load(std::memory_order_relaxed);
            if (alone) timed->runner.store(&self, std::memory_order_relaxed);
            runningDpcs_++;
            lk.unlock();
            if (!timed)
                fn();
            else if (!timed->dead.load())
                timed->body();
            fn = nullptr;
            lk.lock();
            runningDpcs_--;
            if (alone) armPendingLocked(*timed);
            if (timed) endRunLocked(lk, *timed);
        } else if (!dpcQueue_.empty()) {
            PRKDPC dpc = dpcQueue_.front();
            dpcQueue_.pop_front();
            dpc->DpcData = nullptr;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
            runningDpcs_++;
            lk.unlock();
            machine_.noisePoint();
            routine(dpc, context, a1, a2);
            if (self.irql != DISPATCH_LEVEL || !self.heldLocks.empty()) {
                Report(Violation::InvalidParameter, "DPC",
                       "a DPC returned at IRQL " + std::to_string(self.irql) + " holding " +
                           std::to_string(self.heldLocks.size()) + " spin lock(s)");
                self.irql = DISPATCH_LEVEL;
                self.heldLocks.clear();
            }
            lk.lock();
            runningDpcs_--;
        } else {
            if (runningDpcs_ == 0 && flushing_) dpcsIdle_.notify_all();
            if (advanceForIdleProcessorLocked()) continue;
            Waiter idle;
            idle.what = "idle";
            idle.wakeOnStop = true;
            idleProcessors_.push_back(&idle);
            blockLocked(lk, idle);
            if (!idle.done) {  // stopping
                idleProcessors_.erase(std::remove(idleProcessors_.begin(), idleProcessors_.end(), &idle),
                                      idleProcessors_.end());
            }
        }
    }
}

bool Scheduler::checkFreedRange(const void *base, size_t size, const char *routine) {
    auto inside = [&](const void *p) {
        auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(base);
        return a >= b && a < b + size;
    };
    std::string dpcs, timers;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (PRKDPC d : dpcQueue_)
            if (inside(d)) dpcs += " " + Hex(d);
        for (auto &[timer, it] : timers_)
            if (inside(timer)) timers += " " + Hex(timer);
    }
    if (!dpcs.empty()) Report(Violation::DpcPendingInFreedMemory, routine, "queued DPC(s) in freed memory:" + dpcs);
    if (!timers.empty())
        Report(Violation::TimerPendingInFreedMemory, routine, "armed timer(s) in freed memory:" + timers);
    return dpcs.empty() && timers.empty();
}

bool Scheduler::noteLockOrder(std::span<const PKSPIN_LOCK> held, PKSPIN_LOCK acquiring, const char *routine) {
    auto b = reinterpret_cast<uintptr_t>(acquiring);
    std::string inverted;
    {
        std::lock_guard<std::mutex> g(orderLock_);
        auto rb = ranks_.find(b);
        for (PKSPIN_LOCK h : held) {
            auto a = reinterpret_cast<uintptr_t>(h);
            auto ra = ranks_.find(a);
            if (ra != ranks_.end() && rb != ranks_.end()) {
                if (ra->second.position > rb->second.position)
                    inverted = Hex(h) + ", against the declared order (" + rb->second.order + ")";
                continue;
            }
            if (orderEdges_.count({b, a}) && !orderEdges_.count({a, b}))
                inverted = Hex(h) + ", which was earlier taken after it";
            if (orderEdges_.insert({a, b}).second) reversedEdges_.insert({b, a});
        }
    }
    if (inverted.empty()) return true;
    Report(Violation::LockOrderInversion, routine, "acquiring " + Hex(acquiring) + " while holding " + inverted);
    return false;
}

void Scheduler::declareLockOrder(const char *names, PKSPIN_LOCK const *locks, ULONG count) {
    std::lock_guard<std::mutex> g(orderLock_);
    bool changed = false;
    for (ULONG i = 0; i < count; i++) {
        Rank &rank = ranks_[reinterpret_cast<uintptr_t>(locks[i])];
        if (rank.position == i && rank.order == names) continue;
        rank = Rank{i, names};
        changed = true;
    }
    if (changed) lockOrderGeneration_.fetch_add(1, std::memory_order_release);
}

void Scheduler::forgetLocks(const void *base, size_t size) {
    auto lo = reinterpret_cast<uintptr_t>(base), hi = lo + size;
    std::lock_guard<std::mutex> g(orderLock_);
    bool changed = false;
    // Every pair with its first lock in the range, in one set and its mirror in the other.
    auto forget = [&](std::set<std::pair<uintptr_t, uintptr_t>> &by, std::set<std::pair<uintptr_t, uintptr_t>> &mirror) {
        for (auto it = by.lower_bound({lo, 0}); it != by.end() && it->first < hi; changed = true) {
            mirror.erase({it->second, it->first});
            it = by.erase(it);
        }
    };
    forget(orderEdges_, reversedEdges_);
    forget(reversedEdges_, orderEdges_);
    changed |= std::erase_if(ranks_, [&](auto &entry) { return entry.first >= lo && entry.first < hi; }) > 0;
    if (changed) lockOrderGeneration_.fetch_add(1, std::memory_order_release);
}

}  // namespace emu
