// The XOFF counter: after its XOFF character has gone out through the write queue, the request
// waits in CurrentXoff until enough characters arrive, its time-out expires or a write begins.
// XoffCounter is the hand-over: the receive path takes it to 0 and so owns RefTransfer for
// XoffCountDoneDpc; a take-back that exchanges it to 0 first drops RefTransfer itself.
#include "requests/write.h"

static VOID NTAPI TakeBackXoff(PortExtension *Port) {
    if (InterlockedExchange(&Port->XoffCounter, 0) != 0)
        SetRefBits(Port->CurrentXoff, RefBitsOf(Port->CurrentXoff) & ~RefTransfer);
}

BOOLEAN ArmXoffCounter(PortExtension *Port, PIRP Irp) {
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

VOID CountXoffChar(PortExtension *Port) {
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
    TryFinishCurrent(Port, TakeBackXoff, irql, STATUS_SERIAL_MORE_WRITES, &Port->CurrentXoff, NULL, NULL,
                     &Port->XoffCountTimer, NULL, NULL, RefXoffTrigger);
}

VOID NTAPI CancelCurrentXoff(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    TryFinishCurrent(port, TakeBackXoff, Irp->CancelIrql, STATUS_CANCELLED, &port->CurrentXoff, NULL, NULL,
                     &port->XoffCountTimer, NULL, NULL, RefCancel);
}

VOID NTAPI XoffCountDoneDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension *port = static_cast<PortExtension *>(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, NULL, irql, STATUS_SUCCESS, &port->CurrentXoff, NULL, NULL, &port->XoffCountTimer, NULL,
                     NULL, RefTransfer);
    DpcFinished(port);
}

VOID NTAPI XoffCountTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension *port = static_cast<PortExtension *>(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, TakeBackXoff, irql, STATUS_SERIAL_COUNTER_TIMEOUT, &port->CurrentXoff, NULL, NULL, NULL,
                     NULL, NULL, RefTotalTimer);
    DpcFinished(port);
}
