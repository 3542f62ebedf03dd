// Host backend: kernel executive services — IRQL, spin locks, DPCs, timers, dispatcher objects,
// waits, time, pool and debug print. Implemented by the emulated kernel.
#pragma once

#include "platform/host/ntdef.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 31

#define KernelMode 0
#define UserMode 1

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _EPROCESS *PEPROCESS;

// ---- Dispatcher objects -----------------------------------------------------------------------
typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6, Suspended = 5 } KWAIT_REASON;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KDPC;
typedef VOID(NTAPI KDEFERRED_ROUTINE)(struct _KDPC *Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                      PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance } KDPC_IMPORTANCE;

typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;  // non-NULL while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;  // Inserted: armed
    ULARGE_INTEGER DueTime;    // absolute expiry, 100 ns units
    LIST_ENTRY TimerListEntry;
    struct _KDPC *Dpc;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _FAST_MUTEX {
    LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

#define EVENT_INCREMENT 1
#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2

extern "C" {

// ---- IRQL and spin locks ----------------------------------------------------------------------
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(void);
NTHALAPI KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(a, b) (*(b) = KfRaiseIrql(a))
#define KeLowerIrql(a) KfLowerIrql(a)

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
NTHALAPI VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(a, b) (*(b) = KfAcquireSpinLock(a))
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock(a, b)
NTKERNELAPI VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLockAtDpcLevel(a) KefAcquireSpinLockAtDpcLevel(a)
#define KeReleaseSpinLockFromDpcLevel(a) KefReleaseSpinLockFromDpcLevel(a)

// ---- DPCs and timers ---------------------------------------------------------------------------
NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
NTKERNELAPI VOID NTAPI KeFlushQueuedDpcs(void);

NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);

// ---- Events, waits, fast mutexes, delays --------------------------------------------------------
NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event);

// Object may be a KEVENT or a KTIMER.
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval);

NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
FORCEINLINE VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = NULL;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(void);

// ---- Time ----------------------------------------------------------------------------------------
NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(void);

// ---- Pool ------------------------------------------------------------------------------------------
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    // The session types widen the enumeration's range, so that a type with the quota flag (8) in
    // it is still a value of the type.
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolMustSucceedSession = 34,
    DontUseThisTypeSession = 35,
    NonPagedPoolCacheAlignedSession = 36,
    PagedPoolCacheAlignedSession = 37,
    NonPagedPoolCacheAlignedMustSSession = 38,
} POOL_TYPE;
#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

// ---- Memory manager -------------------------------------------------------------------------------
typedef enum _MM_SYSTEM_SIZE { MmSmallSystem, MmMediumSystem, MmLargeSystem } MM_SYSTEM_SIZE;
NTKERNELAPI MM_SYSTEM_SIZE NTAPI MmQuerySystemSize(void);
NTKERNELAPI PVOID NTAPI MmLockPagableDataSection(PVOID AddressWithinSection);
NTKERNELAPI VOID NTAPI MmLockPagableSectionByHandle(PVOID ImageSectionHandle);
NTKERNELAPI VOID NTAPI MmUnlockPagableImageSection(PVOID ImageSectionHandle);
#define MmLockPagableCodeSection(Address) MmLockPagableDataSection(Address)

// ---- Debug print -------------------------------------------------------------------------------------
NTKERNELAPI ULONG DbgPrint(PCSTR Format, ...) __attribute__((format(printf, 1, 2)));

// ---- Contracts ------------------------------------------------------------------------------------
// What a driver routine requires on entry, checked by the emulator's verifier (a broken contract is
// a report naming the routine, the IRQL and the lock). Reached through the macros below only.
NTKERNELAPI VOID NTAPI EmuRequireIrql(PCSTR Routine, KIRQL Level, BOOLEAN Exact);
NTKERNELAPI VOID NTAPI EmuRequireLock(PCSTR Routine, PKSPIN_LOCK Lock, PCSTR LockName, BOOLEAN Held);
NTKERNELAPI PKSPIN_LOCK NTAPI EmuCancelSpinLock(void);
// Locks[0] is outermost. The verifier reports any acquisition against this order at once.
NTKERNELAPI VOID NTAPI EmuDeclareLockOrder(PCSTR Names, PKSPIN_LOCK const *Locks, ULONG Count);

}  // extern "C"

#define REQUIRE_IRQL(Level) EmuRequireIrql(__func__, (Level), TRUE)
#define REQUIRE_IRQL_AT_MOST(Level) EmuRequireIrql(__func__, (Level), FALSE)
#define PAGED_CODE() EmuRequireIrql(__func__, APC_LEVEL, FALSE)
#define REQUIRE_LOCK_HELD(Lock) EmuRequireLock(__func__, (Lock), #Lock, TRUE)
#define REQUIRE_LOCK_NOT_HELD(Lock) EmuRequireLock(__func__, (Lock), #Lock, FALSE)
#define REQUIRE_CANCEL_LOCK_HELD() EmuRequireLock(__func__, EmuCancelSpinLock(), "the cancel lock", TRUE)
#define REQUIRE_CANCEL_LOCK_NOT_HELD() EmuRequireLock(__func__, EmuCancelSpinLock(), "the cancel lock", FALSE)
// In DECLARE_LOCK_ORDER's list, the I/O manager's cancel spin lock.
#define CANCEL_SPIN_LOCK EmuCancelSpinLock()
#define DECLARE_LOCK_ORDER(...)                                                                  \
    do {                                                                                         \
        PKSPIN_LOCK const order_[] = {__VA_ARGS__};                                              \
        EmuDeclareLockOrder(#__VA_ARGS__, order_, (ULONG)(sizeof order_ / sizeof order_[0]));    \
    } while (0)
