// Per-kind request queues and current-request slots. A queued request is owned by its cancel
// routine until a next-getter takes it out; a current request is owned by the parties named in its
// RefBits, and the one that clears the last bit completes it.
#include "requests/requests.h"

static PIRP IrpOfLink(PLIST_ENTRY Link) { return CONTAINING_RECORD(Link, IRP, Tail.Overlay.ListEntry); }

// A request can be unlinked by its cancel routine after CancelAllOfKind or Plug and Play already
// took it off the list; leaving the link pointing at itself makes the second unlink harmless.
static VOID UnlinkRequest(PIRP Irp) {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
}

static BOOLEAN IsControl(PIO_STACK_LOCATION Stack, ULONG Code) {
    return Stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && Stack->Parameters.DeviceIoControl.IoControlCode == Code;
}

// What the request counts in TxCharsQueued while it waits.
static ULONG TxCharsOf(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_WRITE) return stack->Parameters.Write.Length;
    if (IsControl(stack, IOCTL_SERIAL_XOFF_COUNTER)) return 1;
    return 0;
}

// A queued IOCTL_SERIAL_SET_QUEUE_SIZE carries the ring it will install in its fourth parameter
// word; a request that never becomes current must not take the ring with it.
static PVOID DetachQueueSizeBuffer(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (!IsControl(stack, IOCTL_SERIAL_SET_QUEUE_SIZE)) return NULL;
    PVOID buffer = stack->Parameters.DeviceIoControl.Type3InputBuffer;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    return buffer;
}

NTSTATUS DispatchDataRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot,
                             PREQUEST_STARTER Starter) {
    PortExtension *port = PortOf(DeviceObject);
    NTSTATUS status = AdmitRequest(Irp, port);
    if (status == STATUS_PENDING) return status;
    if (status != STATUS_SUCCESS) {
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        ReleaseRequestCount(port);
        return status;
    }
    if (FailIfErrorAbort(DeviceObject, Irp) == STATUS_CANCELLED) return STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    // Read and Write parameters share one layout: the length is the same word for both.
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        ReleaseRequestCount(port);
        return STATUS_SUCCESS;
    }
    return QueueOrStart(port, Irp, Queue, Slot, Starter);
}

NTSTATUS QueueOrStart(PortExtension *Port, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot, PREQUEST_STARTER Starter) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    ULONG chars = TxCharsOf(Irp);
    Port->TxCharsQueued += chars;

    if (IsListEmpty(Queue) && !*Slot) {
        // Started even when already cancelled: the starter tests the flag under its own rules.
        *Slot = Irp;
        IoReleaseCancelSpinLock(irql);
        return Starter(Port);
    }

    if (Irp->Cancel) {
        Port->TxCharsQueued -= chars;
        IoReleaseCancelSpinLock(irql);
        PVOID buffer = DetachQueueSizeBuffer(Irp);
        if (buffer) ExFreePoolWithTag(buffer, MIRAVO_POOL_TAG);
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        ReleaseRequestCount(Port);
        return STATUS_CANCELLED;
    }

    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelQueuedRequest);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

VOID DropOtherRefs(PIRP *Slot, PKTIMER IntervalTimer, PKTIMER TotalTimer, PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP irp = *Slot;
    ULONG bits = RefBitsOf(irp);
    if (IoSetCancelRoutine(irp, NULL)) bits &= ~RefCancel;
    // A timer that already expired is not stopped: its DPC is on its way and drops its own bit.
    if (IntervalTimer && CancelTimerCounted(IntervalTimer, Port)) bits &= ~RefIntervalTimer;
    if (TotalTimer && CancelTimerCounted(TotalTimer, Port)) bits &= ~RefTotalTimer;
    SetRefBits(irp, bits);
}

VOID TryFinishCurrent(PortExtension *Port, PTAKE_BACK_ROUTINE TakeBack, KIRQL Irql, NTSTATUS StatusToUse, PIRP *Slot,
                      PLIST_ENTRY Queue, PKTIMER IntervalTimer, PKTIMER TotalTimer, PREQUEST_STARTER Starter,
                      PNEXT_REQUEST_GETTER NextGetter, ULONG RefToDrop) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP irp = *Slot;
    if (!irp) {
        IoReleaseCancelSpinLock(Irql);
        return;
    }
    // A caller that holds none of the bits it drops was queued for a request that has since been
    // finished (the slot may still show it while its next-getter runs, or show its successor). It
    // owns nothing here: going on would complete a finished request again or rob the next one.
    if (RefToDrop && !(RefBitsOf(irp) & RefToDrop)) {
        IoReleaseCancelSpinLock(Irql);
        return;
    }
    SetRefBits(irp, RefBitsOf(irp) & ~RefToDrop);
    if (TakeBack) TakeBack(Port);
    DropOtherRefs(Slot, IntervalTimer, TotalTimer, Port);
    if (RefBitsOf(irp)) {
        IoReleaseCancelSpinLock(Irql);
        return;
    }

    irp->IoStatus.Status = StatusToUse;
    if (StatusToUse == STATUS_CANCELLED) irp->IoStatus.Information = 0;

    if (NextGetter) {
        IoReleaseCancelSpinLock(Irql);
        PIRP next = NULL;
        NextGetter(Slot, Queue, &next, TRUE, Port);
        if (next && Starter) Starter(Port);
        return;
    }
    *Slot = NULL;
    IoReleaseCancelSpinLock(Irql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    ReleaseRequestCount(Port);
}

VOID FinishCurrentOf(PortExtension *Port, const RequestKind *Kind, PTAKE_BACK_ROUTINE TakeBack, KIRQL Irql,
                     NTSTATUS Status, ULONG RefToDrop) {
    TryFinishCurrent(Port, TakeBack, Irql, Status, &(Port->*Kind->Slot), Kind->Queue ? &(Port->*Kind->Queue) : NULL,
                     Kind->IntervalTimer ? &(Port->*Kind->IntervalTimer) : NULL,
                     Kind->TotalTimer ? &(Port->*Kind->TotalTimer) : NULL, Kind->Starter, Kind->NextGetter, RefToDrop);
}

VOID FinishCurrentFromDpc(PortExtension *Port, const RequestKind *Kind, PTAKE_BACK_ROUTINE TakeBack, NTSTATUS Status,
                          ULONG RefToDrop) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishCurrentOf(Port, Kind, TakeBack, irql, Status, RefToDrop);
    DpcFinished(Port);
}

VOID TakeNextRequestLocked(PIRP *Slot, PLIST_ENTRY Queue, PIRP *Next, BOOLEAN CompleteCurrent, PortExtension *Port,
                           KIRQL Irql) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP old = *Slot;
    if (IsListEmpty(Queue)) {
        *Slot = NULL;
    } else {
        PLIST_ENTRY link = RemoveHeadList(Queue);
        InitializeListHead(link);
        PIRP head = IrpOfLink(link);
        IoSetCancelRoutine(head, NULL);
        *Slot = head;
    }
    *Next = *Slot;
    IoReleaseCancelSpinLock(Irql);
    if (CompleteCurrent && old) {
        IoCompleteRequest(old, IO_SERIAL_INCREMENT);
        ReleaseRequestCount(Port);
    }
}

VOID NTAPI TakeNextRequest(PIRP *Slot, PLIST_ENTRY Queue, PIRP *Next, BOOLEAN CompleteCurrent, PortExtension *Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TakeNextRequestLocked(Slot, Queue, Next, CompleteCurrent, Port, irql);
}

VOID NTAPI CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    UnlinkRequest(Irp);
    port->TxCharsQueued -= TxCharsOf(Irp);
    PVOID buffer = DetachQueueSizeBuffer(Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    if (buffer) ExFreePoolWithTag(buffer, MIRAVO_POOL_TAG);
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRequestCount(port);
}

VOID NTAPI CancelHeldRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    UNREFERENCED_PARAMETER(DeviceObject);  // a held request took no count to give back
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    UnlinkRequest(Irp);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    // A power request held through a stop lets the next one through as it ends.
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

VOID CancelAllOfKind(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *Slot) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Newest first, so that the current request (finished last) never sees a successor started.
    while (!IsListEmpty(Queue)) {
        PLIST_ENTRY link = RemoveTailList(Queue);
        InitializeListHead(link);
        PIRP irp = IrpOfLink(link);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        // Every queued request carries its cancel routine; the I/O manager can only have taken it
        // under this lock, and then the request would no longer be on the queue.
        if (!routine) routine = CancelQueuedRequest;
        irp->CancelIrql = irql;
        irp->Cancel = TRUE;
        routine(DeviceObject, irp);
        IoAcquireCancelSpinLock(&irql);
    }

    PIRP current = *Slot;
    if (current) {
        current->Cancel = TRUE;
        PDRIVER_CANCEL routine = IoSetCancelRoutine(current, NULL);
        if (routine) {
            current->CancelIrql = irql;
            routine(DeviceObject, current);
            return;
        }
    }
    // Without a cancel routine the request is only marked: whoever holds it finishes it.
    IoReleaseCancelSpinLock(irql);
}

VOID NTAPI ErrorAbortDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    CancelAllOfKind(port->DeviceObject, &port->WriteQueue, &port->CurrentWrite);
    CancelAllOfKind(port->DeviceObject, &port->ReadQueue, &port->CurrentRead);
    DpcFinished(port);
}
