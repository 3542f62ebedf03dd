// Read requests. A read is served from the ring in the requester's thread when the ring holds
// enough, or when its time-outs say to return at once; otherwise the receive path stores the next
// characters straight into the read's buffer (direct mode) until the buffer is full, a time-out
// fires or the read is cancelled. Each of those parties holds a RefBit; the last one completes it.
#include "receive/receive.h"
#include "requests/requests.h"

// ReadIntervalMark below zero: how the read ended, for an interval DPC that was already on its way.
#define READ_MARK_CANCELLED (-1)
#define READ_MARK_TIMED_OUT (-2)
#define READ_MARK_COMPLETED (-3)

enum ReadRule {
    ReadWaitForAll,         // until the length is there, a time-out or a cancel
    ReadReturnAtOnce,       // with whatever the ring holds, even nothing
    ReadReturnIfAny,        // at once if the ring held anything
    ReadReturnIfAnyElseOne  // at once if the ring held anything, else as soon as one character arrives
};

// Only the sign and zero-ness of the mark matter; counts above MAXLONG must not look like an outcome.
static LONG MarkOf(ULONG_PTR Count) { return Count > (ULONG_PTR)MAXLONG ? MAXLONG : (LONG)Count; }

NTSTATUS NTAPI ReadDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    return DispatchDataRequest(DeviceObject, Irp, &port->ReadQueue, &port->CurrentRead, StartRead);
}

// Starts the read in CurrentRead. Returns STATUS_PENDING when it went to the receive path; else
// the read is finished (Status set) and the caller completes it.
static NTSTATUS StartOneRead(PortExtension *Port, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.Read.Length;

    // No timer of an earlier read may fire into this one.
    CancelTimerCounted(&Port->ReadTotalTimer, Port);
    CancelTimerCounted(&Port->ReadIntervalTimer, Port);

    // ControlLock is held from the copy to the switch into direct mode: PutChar runs under it, so
    // no character can land in the ring once the read has emptied it.
    KIRQL controlIrql;
    KeAcquireSpinLock(&Port->ControlLock, &controlIrql);
    ULONG ri = Port->Timeouts.ReadIntervalTimeout;
    ULONG rm = Port->Timeouts.ReadTotalTimeoutMultiplier;
    ULONG rc = Port->Timeouts.ReadTotalTimeoutConstant;

    ReadRule rule = ReadWaitForAll;
    BOOLEAN useTotal = FALSE;
    ULONGLONG totalMs = 0;
    if (ri == MAXULONG) {
        if (rm == 0 && rc == 0) {
            rule = ReadReturnAtOnce;
        } else if (rc == MAXULONG) {
            rule = ReadWaitForAll;
        } else if (rm == MAXULONG) {
            rule = ReadReturnIfAnyElseOne;
            useTotal = TRUE;
            totalMs = rc;
        } else {
            rule = ReadReturnIfAny;
            useTotal = TRUE;
            totalMs = (ULONGLONG)length * rm + rc;
        }
    } else if (rm != 0 || rc != 0) {
        useTotal = TRUE;
        totalMs = (ULONGLONG)length * rm + rc;
    }
    BOOLEAN useInterval = ri != 0 && ri != MAXULONG;

    Port->ReadNeeded = length;
    ULONG copied = CopyFromRing(Port);
    ConsumeFromRing(Port, copied);
    BOOLEAN any = Irp->IoStatus.Information != 0;
    if (rule == ReadReturnAtOnce || Port->ReadNeeded == 0 ||
        (any && (rule == ReadReturnIfAny || rule == ReadReturnIfAnyElseOne))) {
        KeReleaseSpinLock(&Port->ControlLock, controlIrql);
        return STATUS_SUCCESS;
    }

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    SetRefBits(Irp, 0);
    if (Irp->Cancel) {
        // Whatever was copied is dropped with the read: a cancelled read returns nothing.
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&Port->ControlLock, controlIrql);
        Irp->IoStatus.Information = 0;
        return STATUS_CANCELLED;
    }

    if (rule == ReadReturnIfAnyElseOne) {
        Port->ReadNeeded = 1;
        stack->Parameters.Read.Length = length = 1;
    }

    PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
    Port->RxDirectCount = 0;
    Port->RxTarget = buffer;
    Port->RxPutSlot = buffer + Irp->IoStatus.Information;
    Port->RxTargetLast = buffer + length - 1;
    KeReleaseSpinLockFromDpcLevel(&Port->RxLock);

    Port->ReadIntervalMark = MarkOf(Irp->IoStatus.Information);
    IoSetCancelRoutine(Irp, CancelCurrentRead);
    ULONG bits = RefTransfer | RefCancel;
    if (useTotal) {
        bits |= RefTotalTimer;
        SetTimerCounted(&Port->ReadTotalTimer, RelativeDueFromMs(totalMs), &Port->ReadTimeoutDpc, Port);
    }
    if (useInterval) {
        bits |= RefIntervalTimer;
        Port->ReadIntervalTime.QuadPart = (LONGLONG)((ULONGLONG)ri * 10000);
        Port->IntervalStepToUse = Port->ReadIntervalTime.QuadPart >= Port->IntervalCutOver.QuadPart
                                      ? &Port->LongIntervalStep
                                      : &Port->ShortIntervalStep;
        KeQuerySystemTime(&Port->LastReadTime);
        SetTimerCounted(&Port->ReadIntervalTimer, *Port->IntervalStepToUse, &Port->ReadIntervalTimeoutDpc, Port);
    }
    SetRefBits(Irp, bits);
    IoMarkIrpPending(Irp);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->ControlLock, controlIrql);
    return STATUS_PENDING;
}

NTSTATUS NTAPI StartRead(PortExtension *Port) {
    NTSTATUS first = STATUS_PENDING;
    BOOLEAN haveFirst = FALSE;
    for (;;) {
        PIRP irp = Port->CurrentRead;
        NTSTATUS status;
        if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) {
            status = ResizeRing(Port);  // an IOCTL_SERIAL_SET_QUEUE_SIZE: no read is current now
        } else {
            status = StartOneRead(Port, irp);
            if (status == STATUS_PENDING) return haveFirst ? first : STATUS_PENDING;
        }
        irp->IoStatus.Status = status;
        if (!haveFirst) {
            first = status;
            haveFirst = TRUE;
        }
        PIRP next = NULL;
        TakeNextRequest(&Port->CurrentRead, &Port->ReadQueue, &next, TRUE, Port);
        if (!next) return first;
    }
}

// The mark is left only by a party that still holds its bit on the current
// read, so that nothing late can rewrite the outcome of a read that followed.
static VOID FinishRead(PortExtension *Port, PTAKE_BACK_ROUTINE TakeBack, KIRQL Irql, NTSTATUS Status, LONG Mark,
                       ULONG Ref) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP read = Port->CurrentRead;
    if (Mark && read && (RefBitsOf(read) & Ref)) Port->ReadIntervalMark = Mark;
    TryFinishCurrent(Port, TakeBack, Irql, Status, &Port->CurrentRead, &Port->ReadQueue, &Port->ReadIntervalTimer,
                     &Port->ReadTotalTimer, StartRead, TakeNextRequest, Ref);
}

VOID NTAPI SwitchBackToRing(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
    // In ring mode PutChar has already filled the read and handed RefTransfer to CompleteReadDpc.
    if (Port->RxTarget != Port->RxRingStart) {
        PIRP read = Port->CurrentRead;
        ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
        read->IoStatus.Information = length - (ULONG)(Port->RxTargetLast - Port->RxPutSlot + 1);
        // The ring count is ControlLock's and stays 0 throughout direct mode: it is not written here.
        Port->RxTarget = Port->RxPutSlot = Port->RxTakeSlot = Port->RxRingStart;
        Port->RxTargetLast = Port->RxRingStart ? Port->RxRingStart + Port->RxBufferSize - 1 : NULL;
        SetRefBits(read, RefBitsOf(read) & ~RefTransfer);
    }
    KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
}

VOID NTAPI CompleteReadDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishRead(port, NULL, irql, STATUS_SUCCESS, READ_MARK_COMPLETED, RefTransfer);
    DpcFinished(port);
}

VOID NTAPI ReadTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishRead(port, SwitchBackToRing, irql, STATUS_TIMEOUT, READ_MARK_TIMED_OUT, RefTotalTimer);
    DpcFinished(port);
}

VOID NTAPI CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    FinishRead(PortOf(DeviceObject), SwitchBackToRing, Irp->CancelIrql, STATUS_CANCELLED, READ_MARK_CANCELLED,
               RefCancel);
}

VOID NTAPI ReadIntervalTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP read = port->CurrentRead;
    if (!read || !(RefBitsOf(read) & RefIntervalTimer)) {
        IoReleaseCancelSpinLock(irql);
        DpcFinished(port);
        return;
    }

    LONG mark = port->ReadIntervalMark;
    if (mark < 0) {
        // Another party ended the read but could not stop this timer: finish the same way.
        NTSTATUS status = mark == READ_MARK_CANCELLED  ? STATUS_CANCELLED
                          : mark == READ_MARK_TIMED_OUT ? STATUS_TIMEOUT
                                                        : STATUS_SUCCESS;
        FinishRead(port, SwitchBackToRing, irql, status, 0, RefIntervalTimer);
        DpcFinished(port);
        return;
    }

    KeAcquireSpinLockAtDpcLevel(&port->RxLock);
    ULONG fresh = port->RxDirectCount;
    port->RxDirectCount = 0;
    KeReleaseSpinLockFromDpcLevel(&port->RxLock);

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (fresh) {
        port->ReadIntervalMark = MarkOf(fresh);
        port->LastReadTime = now;
    } else if (mark > 0 && now.QuadPart - port->LastReadTime.QuadPart >= port->ReadIntervalTime.QuadPart) {
        FinishRead(port, SwitchBackToRing, irql, STATUS_TIMEOUT, 0, RefIntervalTimer);
        DpcFinished(port);
        return;
    }
    // The interval only starts with the first character; until then, and while characters keep
    // coming, look again after the next step.
    SetTimerCounted(&port->ReadIntervalTimer, *port->IntervalStepToUse, &port->ReadIntervalTimeoutDpc, port);
    IoReleaseCancelSpinLock(irql);
    DpcFinished(port);
}
