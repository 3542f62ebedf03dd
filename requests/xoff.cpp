// The XOFF counter: after its XOFF character has gone out through the write queue, the request
// waits in CurrentXoff until enough characters arrive, its time-out expires or a write begins.
// XoffCounter is the hand-over: the receive path takes it to 0 and so owns RefTransfer for
// XoffCountDoneDpc; a take-back that exchanges it to 0 first drops RefTransfer itself.
#include "requests/write.h"

static VOID NTAPI TakeBackXoff(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    if (InterlockedExchange(&Port->XoffCounter, 0) != 0)
        SetRefBits(Port->CurrentXoff, RefBitsOf(Port->CurrentXoff) & ~RefTransfer);
}

// With the request already in CurrentXoff.
VOID ArmXoffCounter(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP irp = Port->CurrentXoff;
    InterlockedExchange(&Port->XoffCounter, static_cast<PSERIAL_XOFF_COUNTER>(irp->AssociatedIrp.SystemBuffer)->Counter);
    SetRefBits(irp, RefBitsOf(irp) | RefTransfer);
}

VOID CountXoffChar(PortExtension *Port) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    REQUIRE_LOCK_HELD(&Port->RxLock);
    LONG old = InterlockedCompareExchange(&Port->XoffCounter, 0, 0), seen;
    for (;;) {
        if (old <= 0) return;
        seen = InterlockedCompareExchange(&Port->XoffCounter, old - 1, old);
        if (seen == old) break;
        old = seen;
    }
    if (old == 1) QueueDpcCounted(&Port->XoffCountDoneDpc, NULL, NULL, Port);
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
    irp->IoStatus.Information = 0;
    TryFinishCurrent(Port, TakeBackXoff, irql, STATUS_SERIAL_MORE_WRITES, &Port->CurrentXoff, NULL, NULL,
                     &Port->XoffCountTimer, NULL, NULL, RefXoffTrigger);
}

VOID NTAPI CancelCurrentXoff(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(DeviceObject);
    TryFinishCurrent(port, TakeBackXoff, Irp->CancelIrql, STATUS_CANCELLED, &port->CurrentXoff, NULL, NULL,
                     &port->XoffCountTimer, NULL, NULL, RefCancel);
}

VOID NTAPI XoffCountDoneDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->CurrentXoff;
    if (irp && (RefBitsOf(irp) & RefTransfer)) irp->IoStatus.Information = 0;
    TryFinishCurrent(port, NULL, irql, STATUS_SUCCESS, &port->CurrentXoff, NULL, NULL, &port->XoffCountTimer, NULL,
                     NULL, RefTransfer);
    DpcFinished(port);
}

VOID NTAPI XoffCountTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, TakeBackXoff, irql, STATUS_SERIAL_COUNTER_TIMEOUT, &port->CurrentXoff, NULL, NULL, NULL,
                     NULL, NULL, RefTotalTimer);
    DpcFinished(port);
}
