// The XOFF counter: after its XOFF character has gone out through the write queue, the request
// waits in CurrentXoff until enough characters arrive, its time-out expires or a write begins.
// XoffCounter is the hand-over: the receive path takes it to 0 and so owns RefTransfer for
// XoffCountDoneDpc; a take-back that exchanges it to 0 first drops RefTransfer itself.
#include "requests/write.h"

static const RequestKind XoffKind = {&PortExtension::CurrentXoff, NULL, NULL, &PortExtension::XoffCountTimer, NULL,
                                     NULL};

static VOID NTAPI TakeBackXoff(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    if (InterlockedExchange(&Port->XoffCounter, 0) != 0)
        SetRefBits(Port->CurrentXoff, RefBitsOf(Port->CurrentXoff) & ~RefTransfer);
}

BOOLEAN ArmXoffCounter(PortExtension *Port, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    if (Irp->Cancel) {
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return FALSE;
    }
    if (Port->CurrentXoff) {
        // The last counter's count ran out and its DPC has yet to take it.
        Irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        Irp->IoStatus.Information = 0;
        return FALSE;
    }
    IoSetCancelRoutine(Irp, CancelCurrentXoff);
    Port->CurrentXoff = Irp;
    InterlockedExchange(&Port->XoffCounter, static_cast<PSERIAL_XOFF_COUNTER>(Irp->AssociatedIrp.SystemBuffer)->Counter);
    ULONG bits = RefCancel | RefTransfer;
    ULONG timeout = static_cast<PSERIAL_XOFF_COUNTER>(Irp->AssociatedIrp.SystemBuffer)->Timeout;
    if (timeout) {
        LARGE_INTEGER due;
        due.QuadPart = (LONGLONG)timeout * -1000LL;  // units of 100 microseconds
        SetTimerCounted(&Port->XoffCountTimer, due, &Port->XoffCountTimeoutDpc, Port);
        bits |= RefTotalTimer;
    }
    SetRefBits(Irp, bits);
    return TRUE;
}

VOID CountXoffChars(PortExtension *Port, ULONG Count) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    REQUIRE_LOCK_HELD(&Port->RxLock);
    LONG old = ReadLong(&Port->XoffCounter), seen, left;
    for (;;) {
        if (old <= 0) return;
        left = (ULONG)old > Count ? old - (LONG)Count : 0;
        seen = InterlockedCompareExchange(&Port->XoffCounter, left, old);
        if (seen == old) break;
        old = seen;
    }
    if (left == 0) QueueDpcCounted(&Port->XoffCountDoneDpc, NULL, NULL, Port);
}

VOID EndXoffForNewWrite(PortExtension *Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentXoff;
    if (!irp || !RefBitsOf(irp)) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    SetRefBits(irp, RefBitsOf(irp) | RefXoffTrigger);
    FinishCurrentOf(Port, &XoffKind, TakeBackXoff, irql, STATUS_SERIAL_MORE_WRITES, RefXoffTrigger);
}

VOID NTAPI CancelCurrentXoff(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(DeviceObject);
    FinishCurrentOf(port, &XoffKind, TakeBackXoff, Irp->CancelIrql, STATUS_CANCELLED, RefCancel);
}

VOID NTAPI XoffCountDoneDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    FinishCurrentFromDpc(DPC_PORT(DeferredContext), &XoffKind, NULL, STATUS_SUCCESS, RefTransfer);
}

VOID NTAPI XoffCountTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    // Its timer has fired: stopping it again finds nothing.
    FinishCurrentFromDpc(DPC_PORT(DeferredContext), &XoffKind, TakeBackXoff, STATUS_SERIAL_COUNTER_TIMEOUT,
                         RefTotalTimer);
}
