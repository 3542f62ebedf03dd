// Request queues, reference bits and cancellation shared by every data path; admission of
// requests into the driver; counted DPCs and timers; the purge queue.
#pragma once

#include "driver/port.h"

// RefBits: who may still touch the current request. Whoever clears the last one completes it.
enum : ULONG {
    RefTransfer = 0x1,       // the transfer side (data in flight, events armed, count armed)
    RefCancel = 0x2,         // the kind's cancel routine is installed
    RefTotalTimer = 0x4,     // the total time-out timer is armed
    RefIntervalTimer = 0x8,  // the read interval timer is armed
    RefXoffTrigger = 0x10,   // a new write is finishing the current XOFF counter
};

// PnpAcceptState bits (written by Plug and Play handling under FlagsLock; read with CurrentAcceptState).
enum : ULONG {
    PnpAcceptRemoving = 0x1,
    PnpAcceptStopPending = 0x2,
    PnpAcceptStopped = 0x4,
    PnpAcceptSurpriseRemoved = 0x8,
    PnpAcceptLeaving = PnpAcceptRemoving | PnpAcceptSurpriseRemoved,  // removal has begun
};

// A starter makes the request in its kind's slot go; it returns what the dispatch routine returns
// when the request was started there (STATUS_PENDING while it stays current).
typedef NTSTATUS(NTAPI REQUEST_STARTER)(PortExtension *Port);
typedef REQUEST_STARTER *PREQUEST_STARTER;

// A next-getter empties the slot and moves the head of the queue in, optionally completing the
// request that was current (its IoStatus already set).
typedef VOID(NTAPI NEXT_REQUEST_GETTER)(PIRP *Slot, PLIST_ENTRY Queue, PIRP *Next, BOOLEAN CompleteCurrent,
                                        PortExtension *Port);
typedef NEXT_REQUEST_GETTER *PNEXT_REQUEST_GETTER;

// A take-back step settles, under the cancel lock, what the transfer side still holds of the
// current request; it never releases the lock.
typedef VOID(NTAPI TAKE_BACK_ROUTINE)(PortExtension *Port);
typedef TAKE_BACK_ROUTINE *PTAKE_BACK_ROUTINE;

// RefBits live in the fourth parameter word of the current stack location. Until a starter clears
// it the word holds what the I/O manager put there (a Type3 pointer, a byte offset's high half).
inline ULONG RefBitsOf(PIRP Irp) {
    return (ULONG)(ULONG_PTR)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4;
}
inline VOID SetRefBits(PIRP Irp, ULONG Bits) {
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 = (PVOID)(ULONG_PTR)Bits;
}

// Admission: the first step of every dispatch routine except system control.
NTSTATUS AdmitRequest(PIRP Irp, PortExtension *Port);
VOID ReleaseRequestCount(PortExtension *Port);
NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Queues, current slots and reference bits; all guarded by the cancel lock.
NTSTATUS QueueOrStart(PortExtension *Port, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot, PREQUEST_STARTER Starter);
// The dispatch of a read or a write: admission, the error-abort test, a zero-length request
// finished at once, then the kind's queue.
NTSTATUS DispatchDataRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot,
                             PREQUEST_STARTER Starter);
// Releases the cancel lock (Irql saved when it was taken) on every path.
VOID TryFinishCurrent(PortExtension *Port, PTAKE_BACK_ROUTINE TakeBack, KIRQL Irql, NTSTATUS StatusToUse, PIRP *Slot,
                      PLIST_ENTRY Queue, PKTIMER IntervalTimer, PKTIMER TotalTimer, PREQUEST_STARTER Starter,
                      PNEXT_REQUEST_GETTER NextGetter, ULONG RefToDrop);
VOID DropOtherRefs(PIRP *Slot, PKTIMER IntervalTimer, PKTIMER TotalTimer, PortExtension *Port);
NEXT_REQUEST_GETTER TakeNextRequest;
// The same, with the cancel lock held; releases it with Irql.
VOID TakeNextRequestLocked(PIRP *Slot, PLIST_ENTRY Queue, PIRP *Next, BOOLEAN CompleteCurrent, PortExtension *Port,
                           KIRQL Irql);
// One kind of current request, as TryFinishCurrent takes it; a NULL member is a part the kind lacks.
struct RequestKind {
    PIRP PortExtension::*Slot;
    LIST_ENTRY PortExtension::*Queue;
    KTIMER PortExtension::*IntervalTimer;
    KTIMER PortExtension::*TotalTimer;
    PREQUEST_STARTER Starter;
    PNEXT_REQUEST_GETTER NextGetter;
};
// TryFinishCurrent for the kind's current request: entered holding the cancel lock, releases it.
VOID FinishCurrentOf(PortExtension *Port, const RequestKind *Kind, PTAKE_BACK_ROUTINE TakeBack, KIRQL Irql,
                     NTSTATUS Status, ULONG RefToDrop);
// The body of a DPC that ends the kind's current request: takes the cancel lock, finishes, DpcFinished.
VOID FinishCurrentFromDpc(PortExtension *Port, const RequestKind *Kind, PTAKE_BACK_ROUTINE TakeBack, NTSTATUS Status,
                          ULONG RefToDrop);
DRIVER_CANCEL CancelQueuedRequest;
DRIVER_CANCEL CancelHeldRequest;
VOID CancelAllOfKind(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *Slot);

// Counted deferred work: PendingDpcCount holds one for each queued DPC and armed timer.
// Initialises one of the port's DPCs (with the port as context) for the counted operations; Timer
// is the timer whose expiry queues it, or NULL.
VOID InitializeCountedDpc(PortExtension *Port, PKDPC Dpc, PKDEFERRED_ROUTINE Routine, PKTIMER Timer);
// Takes a queued run of the DPC out and settles its count. Before Vista SP1 KeRemoveQueueDpc may
// answer TRUE for a run that goes ahead anyway; either answer is safe here. TRUE when a run was
// settled here (it will not run).
BOOLEAN RemoveDpcCounted(PKDPC Dpc, PortExtension *Port);
BOOLEAN QueueDpcCounted(PKDPC Dpc, PVOID Argument1, PVOID Argument2, PortExtension *Port);
BOOLEAN SetTimerCounted(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, PortExtension *Port);
// A total time-out in milliseconds (N x M + C may exceed any timer's reach) as a relative due time.
LARGE_INTEGER RelativeDueFromMs(ULONGLONG Ms);
BOOLEAN CancelTimerCounted(PKTIMER Timer, PortExtension *Port);
VOID DpcFinished(PortExtension *Port);
// Opens every DPC routine of the port: a DPC runs at DISPATCH_LEVEL, with the port as its context.
#define DPC_PORT(Context) (REQUIRE_IRQL(DISPATCH_LEVEL), static_cast<PortExtension *>(Context))

KDEFERRED_ROUTINE ErrorAbortDpc;
REQUEST_STARTER BeginPurge;

// The port as a file: open, close, cleanup, flush, file information, internal serial requests.
DRIVER_DISPATCH CreateDispatch;
DRIVER_DISPATCH CloseDispatch;
DRIVER_DISPATCH CleanupDispatch;
DRIVER_DISPATCH FlushDispatch;
DRIVER_DISPATCH QueryInfoDispatch;
DRIVER_DISPATCH SetInfoDispatch;
DRIVER_DISPATCH InternalControlDispatch;
