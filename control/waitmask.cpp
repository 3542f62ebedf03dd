// Wait-on-mask: the mask, the one armed wait and the starter of MaskQueue. The armed wait's result
// word (MaskResultLocation) is handed over by atomic exchange: the event sources, a new mask and a
// cancel may all reach for it at once, and only the one that takes it writes the wait's result.
#include "control/control.h"
#include "receive/receive.h"
#include "requests/requests.h"

PULONG TakeArmedWait(PortExtension *Port) {
    return static_cast<PULONG>(InterlockedExchangePointer((PVOID volatile *)&Port->MaskResultLocation, NULL));
}

VOID DeliverToWait(PortExtension *Port, PULONG Result, ULONG Events) {
    // The taker owns the wait's RefTransfer until CompleteWaitDpc drops it: CurrentWait stays put.
    *Result = Events;
    Port->CurrentWait->IoStatus.Information = sizeof(ULONG);
    QueueDpcCounted(&Port->CompleteWaitDpc, NULL, NULL, Port);
}

VOID ApplyWaitMask(PortExtension *Port) {
    ULONG mask = *static_cast<PULONG>(Port->CurrentMask->AssociatedIrp.SystemBuffer);
    PULONG result = TakeArmedWait(Port);
    if (result) DeliverToWait(Port, result, 0);
    // The mask first: a source that read the old one may still add a bit after the history is
    // trimmed, and NotifyEvents filters by the mask in force.
    (void)InterlockedExchange((LONG volatile *)&Port->WaitMask, (LONG)mask);
    KeepHistory(Port, (LONG)mask);
}

VOID ArmWait(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP wait = Port->CurrentWait;
    SetRefBits(wait, RefBitsOf(wait) | RefTransfer);
    (void)InterlockedExchangePointer((PVOID volatile *)&Port->MaskResultLocation, wait->AssociatedIrp.SystemBuffer);
    // Published before the history is looked at: an event added meanwhile finds the wait armed.
    NotifyEvents(Port);
}

VOID NTAPI TakeBackWait(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    PULONG result = TakeArmedWait(Port);
    // Without the word, events are on their way and CompleteWaitDpc drops RefTransfer.
    if (!result) return;
    *result = 0;
    SetRefBits(Port->CurrentWait, RefBitsOf(Port->CurrentWait) & ~RefTransfer);
}

VOID NTAPI CancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(DeviceObject);
    TryFinishCurrent(port, TakeBackWait, Irp->CancelIrql, STATUS_CANCELLED, &port->CurrentWait, NULL, NULL, NULL, NULL,
                     NULL, RefCancel);
}

NTSTATUS NTAPI StartMaskRequests(PortExtension *Port) {
    REQUIRE_IRQL(PASSIVE_LEVEL);
    NTSTATUS result = STATUS_SUCCESS;
    BOOLEAN first = TRUE;
    PIRP irp = Port->CurrentMask;
    while (irp) {
        NTSTATUS status = STATUS_SUCCESS;
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK) {
            ApplyWaitMask(Port);
        } else {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            if (!CurrentWaitMask(Port) || Port->CurrentWait) {
                status = STATUS_INVALID_PARAMETER;
            } else if (irp->Cancel) {
                status = STATUS_CANCELLED;
            } else {
                if (first) {
                    IoMarkIrpPending(irp);
                    result = STATUS_PENDING;
                    first = FALSE;
                }
                irp->IoStatus.Status = STATUS_PENDING;
                Port->CurrentWait = irp;
                SetRefBits(irp, 0);
                IoSetCancelRoutine(irp, CancelWait);
                SetRefBits(irp, RefCancel);
                ArmWait(Port);
                Port->CurrentMask = NULL;
                TakeNextRequestLocked(&Port->CurrentMask, &Port->MaskQueue, &irp, FALSE, Port, irql);
                continue;
            }
            IoReleaseCancelSpinLock(irql);
        }
        irp->IoStatus.Status = status;
        if (status == STATUS_CANCELLED) irp->IoStatus.Information = 0;
        if (first) result = status;
        first = FALSE;
        TakeNextRequest(&Port->CurrentMask, &Port->MaskQueue, &irp, TRUE, Port);
    }
    return result;
}
