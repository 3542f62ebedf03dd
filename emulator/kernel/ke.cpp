// Kernel and HAL routines: IRQL, spin locks, DPCs, timers, dispatcher objects, waits, time,
// debug print. Each routine checks its documented IRQL limit.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <thread>

#include "emulator/kernel/debug_log.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/kernel/thread_state.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {

[[gnu::cold, gnu::noinline]] void ReportIrqlTooHigh(const char *routine, KIRQL maximum, KIRQL irql) {
    Report(Violation::IrqlTooHigh, routine,
           "allowed up to IRQL " + std::to_string(maximum) + ", called at " + std::to_string(irql));
}

[[gnu::cold, gnu::noinline]] void ReportIrqlContract(PCSTR routine, KIRQL level, BOOLEAN exact) {
    Report(Violation::IrqlContract, routine,
           std::string(exact ? "requires IRQL " : "requires IRQL at most ") + std::to_string(level));
}

}  // namespace

bool RequireIrql(const char *routine, KIRQL maximum) {
    KIRQL irql = Self().irql;
    if (irql <= maximum) [[likely]]
        return true;
    ReportIrqlTooHigh(routine, maximum, irql);
    return false;
}

namespace {

Scheduler &Sched() { return Machine::current().scheduler(); }

// Every routine here looks its thread up once and hands the state down.
ULONG_PTR Owner(const ThreadState &self) { return kSpinLockMark | self.id; }

constexpr ULONG_PTR kMarkHalf = ~ULONG_PTR{0} << 32;

// Out of line: the messages' strings would otherwise give every fast path a large frame.
[[gnu::cold, gnu::noinline]] void ReportLock(Violation kind, const char *routine, PKSPIN_LOCK lock, const char *rest) {
    Report(kind, routine, "spin lock " + Hex(lock) + rest);
}

[[gnu::cold, gnu::noinline]] void ReportCold(Violation kind, const char *routine, const char *detail) {
    Report(kind, routine, detail);
}

[[gnu::cold, gnu::noinline]] void ReportLockContract(PCSTR routine, PKSPIN_LOCK lock, PCSTR name, BOOLEAN held) {
    Report(Violation::LockContract, routine,
           std::string(held ? "requires " : "must not hold ") + name + " (" + Hex(lock) + (held ? ") held" : ")"));
}

bool Holds(const ThreadState &self, PKSPIN_LOCK lock) {
    for (PKSPIN_LOCK h : self.heldLocks)
        if (h == lock) return true;
    return false;
}

ThreadState::LockPair &CleanOrderSlot(ThreadState &self, PKSPIN_LOCK held, PKSPIN_LOCK acquiring) {
    auto h = reinterpret_cast<uintptr_t>(held), a = reinterpret_cast<uintptr_t>(acquiring);
    return self.cleanOrders[((h >> 3) * 0x9E3779B1u ^ (a >> 3)) % self.cleanOrders.size()];
}

// A nested acquisition repeats the same few pairs; the scheduler's check under its mutex runs
// only for a pair this thread has not yet seen pass since the order's facts last changed.
bool OrderKnownClean(ThreadState &self, PKSPIN_LOCK acquiring) {
    uint64_t generation = Scheduler::lockOrderGeneration();
    if (self.cleanOrdersGeneration != generation) {
        self.cleanOrders.fill({});
        self.cleanOrdersGeneration = generation;
        return false;
    }
    for (PKSPIN_LOCK h : self.heldLocks) {
        const ThreadState::LockPair &slot = CleanOrderSlot(self, h, acquiring);
        if (slot.held != h || slot.acquired != acquiring) return false;
    }
    return true;
}

void CheckLockOrder(ThreadState &self, PKSPIN_LOCK acquiring, const char *routine) {
    if (OrderKnownClean(self, acquiring)) return;
    // Stamped with the generation read before the check: a change meanwhile clears the pairs.
    if (!Sched().noteLockOrder({self.heldLocks.begin(), self.heldLocks.end()}, acquiring, routine)) return;
    for (PKSPIN_LOCK h : self.heldLocks) CleanOrderSlot(self, h, acquiring) = {h, acquiring};
}

// False when the acquisition must not go on.
[[gnu::noinline]] bool CheckNested(ThreadState &self, PKSPIN_LOCK lock, const char *routine) {
    if (Holds(self, lock)) {
        ReportLock(Violation::SpinLockRecursion, routine, lock, " is already held by this thread");
        return false;
    }
    if (self.heldLocks.full()) {
        ReportLock(Violation::InvalidParameter, routine, lock, " would be one lock more than this thread may hold");
        return false;
    }
    CheckLockOrder(self, lock, routine);
    return true;
}

std::atomic<int> spinning{0};

// Spins while another thread holds the lock; false for a word that was never initialised.
[[gnu::noinline]] bool SpinFor(ThreadState &self, PKSPIN_LOCK lock, ULONG_PTR seen, const char *routine) {
    bool initialised = true;
    spinning.fetch_add(1, std::memory_order_relaxed);
    do {
        if ((seen & kMarkHalf) != kSpinLockMark) {
            Report(Violation::NotInitialised, routine,
                   "spin lock " + Hex(lock) + " was never given to KeInitializeSpinLock (holds " + Hex(seen) + ")");
            initialised = false;
            break;
        }
        std::this_thread::yield();
        seen = kSpinLockFree;
    } while (!__atomic_compare_exchange_n(lock, &seen, Owner(self), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED));
    spinning.fetch_sub(1, std::memory_order_relaxed);
    return initialised;
}

void AcquireLock(ThreadState &self, PKSPIN_LOCK lock, const char *routine) {
    // Alone, a lock can be neither recursive nor out of order.
    if (!self.heldLocks.empty() && !CheckNested(self, lock, routine)) return;
    Machine::current().noisePoint();
    ULONG_PTR seen = kSpinLockFree;
    if (!__atomic_compare_exchange_n(lock, &seen, Owner(self), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED) &&
        !SpinFor(self, lock, seen, routine))
        return;
    self.heldLocks.push(lock);
    self.lockAcquisitions++;
}

bool ReleaseLock(ThreadState &self, PKSPIN_LOCK lock, const char *routine) {
    HeldLocks &held = self.heldLocks;
    // Locks mostly go newest first: the search starts at the end.
    uint32_t at = held.count;
    while (at && held.at[at - 1] != lock) at--;
    if (!at || __atomic_load_n(lock, __ATOMIC_RELAXED) != Owner(self)) {
        ReportLock(Violation::SpinLockNotHeld, routine, lock, " is not held by this thread");
        return false;
    }
    held.erase(at - 1);
    __atomic_store_n(lock, kSpinLockFree, __ATOMIC_RELEASE);
    Machine::current().noisePoint();
    return true;
}

// Windows reads Type and DeferredRoutine blindly: a zeroed DPC would call address 0 when it runs.
bool DpcInitialised(PRKDPC dpc, const char *routine) {
    if (dpc->Type == kDpcObjectType && dpc->DeferredRoutine) return true;
    Report(Violation::NotInitialised, routine, "DPC " + Hex(dpc) + " was never given to KeInitializeDpc");
    return false;
}

// Timeouts: NULL waits forever; otherwise 100 ns units, negative relative, positive absolute.
NTSTATUS Wait(void *object, PLARGE_INTEGER timeout, const char *routine) {
    bool zero = timeout && timeout->QuadPart == 0;
    if (!RequireIrql(routine, zero ? DISPATCH_LEVEL : APC_LEVEL)) {
        if (CurrentIrql() >= DISPATCH_LEVEL)
            Report(Violation::WaitAtDispatch, routine, "a wait that can block runs at DISPATCH_LEVEL");
        return STATUS_TIMEOUT;
    }
    int64_t t = timeout ? timeout->QuadPart : 0;
    return Sched().waitForObject(object, timeout ? &t : nullptr, routine);
}

}  // namespace

int SpinningThreads() { return spinning.load(std::memory_order_relaxed); }

}  // namespace emu

using namespace emu;

extern "C" {

// ---- IRQL ----------------------------------------------------------------------------------------
KIRQL NTAPI KeGetCurrentIrql(void) { return CurrentIrql(); }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    KIRQL old = CurrentIrql();
    if (NewIrql < old) Report(Violation::InvalidParameter, "KeRaiseIrql", "new IRQL below the current one");
    SetIrql(NewIrql);
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
    if (NewIrql > CurrentIrql()) Report(Violation::InvalidParameter, "KeLowerIrql", "new IRQL above the current one");
    SetIrql(NewIrql);
}

// ---- Spin locks ------------------------------------------------------------------------------------
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    // The word proves nothing here: locks live in fresh pool and on the stack, which hold garbage.
    if (Holds(Self(), SpinLock)) {
        ReportLock(Violation::InvalidParameter, "KeInitializeSpinLock", SpinLock, " is held by this thread");
        return;
    }
    __atomic_store_n(SpinLock, kSpinLockFree, __ATOMIC_RELEASE);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    ThreadState &self = Self();
    KIRQL old = self.irql;
    if (old > DISPATCH_LEVEL) RequireIrql("KeAcquireSpinLock", DISPATCH_LEVEL);
    self.irql = DISPATCH_LEVEL;
    AcquireLock(self, SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ThreadState &self = Self();
    if (self.irql != DISPATCH_LEVEL) ReportCold(Violation::InvalidParameter, "KeReleaseSpinLock", "not at DISPATCH_LEVEL");
    if (ReleaseLock(self, SpinLock, "KeReleaseSpinLock")) self.irql = NewIrql;
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadState &self = Self();
    if (self.irql < DISPATCH_LEVEL)
        ReportCold(Violation::InvalidParameter, "KeAcquireSpinLockAtDpcLevel", "called below DISPATCH_LEVEL");
    AcquireLock(self, SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ReleaseLock(Self(), SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// ---- DPCs and timers --------------------------------------------------------------------------------
VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = kDpcObjectType;
    Dpc->Importance = MediumImportance;
    Dpc->Number = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->DpcData = NULL;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = NULL;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    if (!DpcInitialised(Dpc, "KeInsertQueueDpc")) return FALSE;
    return Sched().insertDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) { return Sched().removeDpc(Dpc); }

VOID NTAPI KeFlushQueuedDpcs(void) {
    RequireIrql("KeFlushQueuedDpcs", PASSIVE_LEVEL);
    Sched().flushDpcs();
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    RequireIrql("KeInitializeTimer", DISPATCH_LEVEL);
    Timer->Header.Type = kNotificationTimer;
    Timer->Header.SignalState = 0;
    Timer->Header.Inserted = 0;
    Timer->Dpc = NULL;
    Timer->DueTime.QuadPart = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    RequireIrql("KeSetTimer", DISPATCH_LEVEL);
    if (Timer->Header.Type != kNotificationTimer) {
        Report(Violation::NotInitialised, "KeSetTimer", "timer " + Hex(Timer) + " was never initialised");
        return FALSE;
    }
    if (Dpc && !DpcInitialised(Dpc, "KeSetTimer")) return FALSE;
    return Sched().setTimer(Timer, DueTime.QuadPart, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    RequireIrql("KeCancelTimer", DISPATCH_LEVEL);
    return Sched().cancelTimer(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) { return Sched().readState(Timer) != 0; }

// ---- Events and waits ---------------------------------------------------------------------------------
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Inserted = 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
    RequireIrql("KeSetEvent", Wait ? APC_LEVEL : DISPATCH_LEVEL);
    return Sched().setEvent(Event);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { Sched().resetEvent(Event); }

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    RequireIrql("KeResetEvent", DISPATCH_LEVEL);
    return Sched().resetEvent(Event);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return Sched().readState(Event); }

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    return Wait(Object, Timeout, "KeWaitForSingleObject");
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    if (CurrentIrql() > APC_LEVEL) {
        Report(Violation::WaitAtDispatch, "KeDelayExecutionThread", "a delay at IRQL " + std::to_string(CurrentIrql()));
        return STATUS_SUCCESS;
    }
    return Sched().delay(Interval->QuadPart);
}

// ---- Fast mutexes ----------------------------------------------------------------------------------------
VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    RequireIrql("ExAcquireFastMutex", APC_LEVEL);
    KIRQL old = CurrentIrql();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == KeGetCurrentThread())
        Report(Violation::InvalidParameter, "ExAcquireFastMutex", "fast mutex " + Hex(FastMutex) + " acquired twice");
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        __atomic_fetch_add(&FastMutex->Contention, 1, __ATOMIC_RELAXED);  // waiters count concurrently
        Sched().waitForObject(&FastMutex->Event, nullptr, "ExAcquireFastMutex");
    }
    SetIrql(APC_LEVEL);
    __atomic_store_n(&FastMutex->Owner, KeGetCurrentThread(), __ATOMIC_RELAXED);
    FastMutex->OldIrql = old;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        Report(Violation::InvalidParameter, "ExReleaseFastMutex", "fast mutex " + Hex(FastMutex) + " is not owned");
        return;
    }
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    __atomic_store_n(&FastMutex->Owner, nullptr, __ATOMIC_RELAXED);
    if (InterlockedIncrement(&FastMutex->Count) != 1) Sched().setEvent(&FastMutex->Event);
    SetIrql(old);
}

PKTHREAD NTAPI KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(&Self()); }

// ---- Time ---------------------------------------------------------------------------------------------------
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Machine &m = Machine::current();
    CurrentTime->QuadPart = m.bootSystemTime() + m.now();
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
    Machine &m = Machine::current();
    TickCount->QuadPart = m.now() / m.config().tickIncrement;
}

ULONG NTAPI KeQueryTimeIncrement(void) { return static_cast<ULONG>(Machine::current().config().tickIncrement); }

// ---- Memory manager -----------------------------------------------------------------------------------------
MM_SYSTEM_SIZE NTAPI MmQuerySystemSize(void) { return MmMediumSystem; }

// Code and data are always resident here; the handle only has to be a valid, lockable token.
PVOID NTAPI MmLockPagableDataSection(PVOID AddressWithinSection) {
    RequireIrql("MmLockPagableDataSection", APC_LEVEL);
    return AddressWithinSection;
}

VOID NTAPI MmLockPagableSectionByHandle(PVOID) { RequireIrql("MmLockPagableSectionByHandle", APC_LEVEL); }

VOID NTAPI MmUnlockPagableImageSection(PVOID) { RequireIrql("MmUnlockPagableImageSection", APC_LEVEL); }

// ---- Contracts of driver routines ----------------------------------------------------------------------------
VOID NTAPI EmuRequireIrql(PCSTR Routine, KIRQL Level, BOOLEAN Exact) {
    KIRQL irql = Self().irql;
    if (Exact ? irql == Level : irql <= Level) [[likely]]
        return;
    ReportIrqlContract(Routine, Level, Exact);
}

VOID NTAPI EmuRequireLock(PCSTR Routine, PKSPIN_LOCK Lock, PCSTR LockName, BOOLEAN Held) {
    // A thread the kernel has not seen yet holds nothing; the check stays free of calls.
    const ThreadState *self = tlsSelf;
    if ((self && Holds(*self, Lock)) != bool(Held)) [[unlikely]]
        ReportLockContract(Routine, Lock, LockName, Held);
}

PKSPIN_LOCK NTAPI EmuCancelSpinLock(void) { return &Sched().cancelLock; }

VOID NTAPI EmuDeclareLockOrder(PCSTR Names, PKSPIN_LOCK const *Locks, ULONG Count) {
    Sched().declareLockOrder(Names, Locks, Count);
}

// ---- Debug output -------------------------------------------------------------------------------------------------
ULONG DbgPrint(PCSTR Format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(buffer, sizeof(buffer), Format, args);
    va_end(args);
    Machine::current().service<DebugLog>().append(buffer);
    return STATUS_SUCCESS;
}

}  // extern "C"
