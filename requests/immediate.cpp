// The immediate character: one byte sent ahead of the write queue and past any transmit hold, with
// a slot of its own. The request does not wait for the transfer; CompleteImmediateDpc ends it.
#include "requests/write.h"

static NEXT_REQUEST_GETTER ReleaseImmediate;

NTSTATUS ImmediateCharRequest(PortExtension *Port, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < 1)
        return STATUS_BUFFER_TOO_SMALL;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    NTSTATUS refusal = Port->CurrentImmediate ? STATUS_INVALID_PARAMETER : Irp->Cancel ? STATUS_CANCELLED : STATUS_SUCCESS;
    if (refusal != STATUS_SUCCESS) {
        IoReleaseCancelSpinLock(irql);
        return refusal;
    }
    Port->CurrentImmediate = Irp;
    Port->TxCharsQueued += 1;
    IoReleaseCancelSpinLock(irql);
    BeginImmediate(Port);
    return STATUS_PENDING;
}

static const RequestKind ImmediateKind = {&PortExtension::CurrentImmediate, NULL, NULL,
                                          &PortExtension::ImmediateTotalTimer, NULL, ReleaseImmediate};

VOID BeginImmediate(PortExtension *Port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentImmediate;
    IoReleaseCancelSpinLock(irql);
    irp->IoStatus.Status = STATUS_PENDING;
    irp->IoStatus.Information = 0;
    IoMarkIrpPending(irp);

    KeAcquireSpinLock(&Port->ControlLock, &irql);
    ULONG multiplier = Port->Timeouts.WriteTotalTimeoutMultiplier;
    ULONG constant = Port->Timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    ULONGLONG total = (ULONGLONG)multiplier + constant;
    LARGE_INTEGER due = RelativeDueFromMs(total);

    SetRefBits(irp, 0);
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        Port->CurrentImmediate = NULL;
        Port->TxCharsQueued -= 1;
        IoReleaseCancelSpinLock(irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        ReleaseRequestCount(Port);
        return;
    }
    ULONG bits = RefCancel | RefTransfer;
    IoSetCancelRoutine(irp, CancelCurrentImmediate);
    if (total) {
        SetTimerCounted(&Port->ImmediateTotalTimer, due, &Port->ImmediateTimeoutDpc, Port);
        bits |= RefTotalTimer;
    }
    SetRefBits(irp, bits);
    UCHAR c = *static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    IoReleaseCancelSpinLock(irql);

    // Sent without the cancel lock: a bus that fails it at once completes it inside the call.
    NTSTATUS status = SubmitBulkOut(Port->DeviceObject, ImmediateChar, &c, 1);
    IoAcquireCancelSpinLock(&irql);
    if (NT_SUCCESS(status)) {
        QueueDpcCounted(&Port->CompleteImmediateDpc, NULL, NULL, Port);
        IoReleaseCancelSpinLock(irql);
        return;
    }
    // The character never left: the request says so rather than succeeding.
    FinishCurrentOf(Port, &ImmediateKind, NULL, irql, status, RefTransfer);
}

static VOID NTAPI ReleaseImmediate(PIRP *Slot, PLIST_ENTRY Queue, PIRP *Next, BOOLEAN CompleteCurrent, PortExtension *Port) {
    UNREFERENCED_PARAMETER(Queue);
    UNREFERENCED_PARAMETER(CompleteCurrent);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = *Slot;
    Port->TxCharsQueued -= 1;
    *Slot = NULL;
    *Next = NULL;
    IoReleaseCancelSpinLock(irql);
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    ReleaseRequestCount(Port);
}

VOID NTAPI CancelCurrentImmediate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    FinishCurrentOf(PortOf(DeviceObject), &ImmediateKind, NULL, Irp->CancelIrql, STATUS_CANCELLED, RefCancel);
}

VOID NTAPI CompleteImmediateDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    FinishCurrentFromDpc(DPC_PORT(DeferredContext), &ImmediateKind, NULL, STATUS_SUCCESS, RefTransfer);
}

VOID NTAPI ImmediateTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    FinishCurrentFromDpc(DPC_PORT(DeferredContext), &ImmediateKind, NULL, STATUS_TIMEOUT, RefTotalTimer);
}
