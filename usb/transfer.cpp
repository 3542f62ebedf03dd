// The transfer engine: every bulk and interrupt transfer of the port travels in an IRP of the
// driver's own, is sent without waiting and ends in TransferComplete.
//
// Ownership. A transfer sits in one TransferSlot from submission until the completion routine
// takes it out again or a canceller exchanges it out. InterruptIn and BulkIn chains send their
// completed transfer again as the next link, so that an open port receives without allocating;
// while the completion makes it ready, the slot holds it marked as relinking. The slot's holder
// and the completion routine each let go once through the transfer's Handoff word; whichever is
// second frees the IRP and the context. Bulk OUT transfers
// each have a slot of their own, so a write chunk, a flow-control character and an immediate
// character can all be in flight and each is released exactly once.
#include "receive/receive.h"
#include "requests/requests.h"
#include "usb/configuration.h"
#include "usb/syncrequest.h"
#include "usb/transfer.h"

#define WAIT_FOR_TRANSFERS_STEP (-10000LL)  // 1 ms, relative

// The context of one transfer: one nonpaged allocation, released by whichever of the completion
// routine and the slot's holder (a canceller, or the completion itself) lets go of it second.
struct UsbTransfer {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PURB CallerUrb;  // SubmitAsyncUrb: the caller's URB, freed with the transfer
    PDEVICE_OBJECT Device;
    PUCHAR Buffer;
    ULONG Length;  // requested; the URB's length becomes what moved
    PIRP Irp;
    TransferKind Kind;
    TransferOrigin Origin;
    LONG Generation;  // WriteGeneration when a write chunk was sent
    ULONG Slot;
    LONG Handoff;
    LONG Recalled;  // cancelled by CancelWriteChunk: its completion is write progress
    UsbTransfer *NextToSend;  // write chunks built but not yet sent, in build order
};

static IO_COMPLETION_ROUTINE AsyncUrbComplete;

static PVOID volatile *SlotAt(PortExtension *Port, ULONG Slot) {
    return (PVOID volatile *)&Port->TransferSlot[Slot];
}

// What a canceller finds in the slot of a chain link being made ready to go again: the transfer,
// out of its reach. Taking the mark ends the chain; the completion sees that and lets go.
static PVOID Relinking(UsbTransfer *Transfer) { return (PVOID)((ULONG_PTR)Transfer | 1); }
static BOOLEAN IsRelinking(PVOID InSlot) { return ((ULONG_PTR)InSlot & 1) != 0; }


static BOOLEAN PortOpen(PortExtension *Port) { return ReadLong(&Port->OpenCount) != 0; }

static BOOLEAN PortLeaving(PortExtension *Port) {
    return (CurrentAcceptState(Port) & PnpAcceptLeaving) != 0;
}

static VOID LetGo(UsbTransfer *Transfer) {
    if (InterlockedExchange(&Transfer->Handoff, 1) == 0) return;
    IoFreeIrp(Transfer->Irp);
    ExFreePoolWithTag(Transfer, MIRAVO_POOL_TAG);
}

// A transfer that was built but never sent.
static VOID Discard(PortExtension *Port, UsbTransfer *Transfer) {
    IoFreeIrp(Transfer->Irp);
    ExFreePoolWithTag(Transfer->Buffer, MIRAVO_POOL_TAG);
    ExFreePoolWithTag(Transfer, MIRAVO_POOL_TAG);
    InterlockedDecrement(&Port->TransfersActive);
}

// A fresh URB over the transfer's buffer. An IN buffer is cleared: a transfer that moves fewer
// bytes than asked must not leave old bytes behind them.
static VOID BuildUrb(UsbTransfer *Transfer, USBD_PIPE_HANDLE Pipe) {
    static const ULONG flags[] = {USBD_TRANSFER_DIRECTION_IN, USBD_TRANSFER_DIRECTION_OUT,
                                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK};
    if (Transfer->Kind != BulkOut) RtlZeroMemory(Transfer->Buffer, Transfer->Length ? Transfer->Length : 1);
    UsbBuildInterruptOrBulkTransferRequest((PURB)&Transfer->Urb, (USHORT)sizeof(Transfer->Urb), Pipe, Transfer->Buffer,
                                           NULL, Transfer->Length, flags[Transfer->Kind], NULL);
}

static NTSTATUS BuildTransfer(PortExtension *Port, TransferKind Kind, TransferOrigin Origin, const UCHAR *Source,
                              ULONG Length, UsbTransfer **Built) {
    static const PipeRole roles[] = {InterruptInPipe, BulkOutPipe, BulkInPipe};
    PUSBD_PIPE_INFORMATION pipe = MappedPipe(Port, roles[Kind]);
    if (!pipe || !Port->LowerDevice) return STATUS_INVALID_DEVICE_STATE;

    UsbTransfer *t = (UsbTransfer *)ExAllocatePoolWithTag(NonPagedPool, sizeof(UsbTransfer), MIRAVO_POOL_TAG);
    if (!t) return STATUS_NO_MEMORY;
    RtlZeroMemory(t, sizeof(UsbTransfer));
    t->Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Length ? Length : 1, MIRAVO_POOL_TAG);
    if (!t->Buffer) {
        ExFreePoolWithTag(t, MIRAVO_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    t->Length = Length;
    t->Kind = Kind;
    if (Kind == BulkOut && Length) RtlCopyMemory(t->Buffer, Source, Length);
    BuildUrb(t, pipe->PipeHandle);

    t->Irp = BuildUrbIrp(Port, (PURB)&t->Urb, TransferComplete, t);
    if (!t->Irp) {
        ExFreePoolWithTag(t->Buffer, MIRAVO_POOL_TAG);
        ExFreePoolWithTag(t, MIRAVO_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    t->Device = Port->DeviceObject;
    t->Origin = Origin;
    t->Generation = ReadLong(&Port->WriteGeneration);
    // Counted from here, so that a removal waiting for the engine sees it before it is in a slot.
    InterlockedIncrement(&Port->TransfersActive);
    *Built = t;
    return STATUS_SUCCESS;
}

static NTSTATUS Send(PortExtension *Port, UsbTransfer *Transfer) {
    return IoCallDriver(Port->LowerDevice, Transfer->Irp);
}

// The completion routine gives up its transfer's slot. FALSE when a canceller has taken it.
static BOOLEAN PassSlot(PortExtension *Port, UsbTransfer *Transfer) {
    if (InterlockedCompareExchangePointer(SlotAt(Port, Transfer->Slot), NULL, Transfer) != Transfer) return FALSE;
    LetGo(Transfer);
    return TRUE;
}

// Sends a completed IN transfer again as the next link of its chain. TRUE: it is on its way and
// no longer the completion's to touch. FALSE when a canceller has taken the slot: the chain ends,
// and the transfer is the completion's to release.
static BOOLEAN Relink(PortExtension *Port, UsbTransfer *Transfer) {
    PVOID volatile *slot = SlotAt(Port, Transfer->Slot);
    if (InterlockedCompareExchangePointer(slot, Relinking(Transfer), Transfer) != Transfer) return FALSE;
    USBD_PIPE_HANDLE pipe = Transfer->Urb.PipeHandle;
    IoReuseIrp(Transfer->Irp, STATUS_NOT_SUPPORTED);
    AimUrbIrp(Transfer->Irp, (PURB)&Transfer->Urb, TransferComplete, Transfer);
    BuildUrb(Transfer, pipe);
    // The slot's holder and the next completion each hold it again.
    InterlockedExchange(&Transfer->Handoff, 0);
    if (InterlockedCompareExchangePointer(slot, Transfer, Relinking(Transfer)) != Relinking(Transfer)) {
        LetGo(Transfer);  // for the canceller, which took the mark and left the transfer alone
        return FALSE;
    }
    (void)Send(Port, Transfer);
    return TRUE;
}

NTSTATUS SubmitTransfer(PDEVICE_OBJECT Device, TransferKind Kind, const UCHAR *Source, ULONG Length) {
    if (Kind == BulkOut) return SubmitBulkOut(Device, WriteChunk, Source, Length);
    PortExtension *port = PortOf(Device);
    UsbTransfer *t;
    NTSTATUS status = BuildTransfer(port, Kind, WriteChunk, NULL, Length, &t);
    if (!NT_SUCCESS(status)) return status;
    t->Slot = Kind == InterruptIn ? TRANSFER_SLOT_INTERRUPT_IN : TRANSFER_SLOT_BULK_IN;
    // One link per chain: a second would double every packet and could overtake the first.
    if (InterlockedCompareExchangePointer(SlotAt(port, t->Slot), t, NULL) != NULL) {
        Discard(port, t);
        return STATUS_SUCCESS;
    }
    return Send(port, t);
}

// A bulk OUT transfer, built and in a slot of its own, not yet sent.
static NTSTATUS BuildBulkOut(PortExtension *Port, TransferOrigin Origin, const UCHAR *Source, ULONG Length,
                             UsbTransfer **Built) {
    if (Length && !Source) return STATUS_INVALID_PARAMETER;
    UsbTransfer *t;
    NTSTATUS status = BuildTransfer(Port, BulkOut, Origin, Source, Length, &t);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG slot = TRANSFER_SLOT_FIRST_BULK_OUT; slot < TRANSFER_SLOTS; slot++) {
        t->Slot = slot;
        if (InterlockedCompareExchangePointer(SlotAt(Port, slot), t, NULL) == NULL) {
            InterlockedIncrement(&Port->BulkOutInFlight);
            *Built = t;
            return STATUS_SUCCESS;
        }
    }
    Discard(Port, t);
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS SubmitBulkOut(PDEVICE_OBJECT Device, TransferOrigin Origin, const UCHAR *Source, ULONG Length) {
    PortExtension *port = PortOf(Device);
    UsbTransfer *t;
    NTSTATUS status = BuildBulkOut(port, Origin, Source, Length, &t);
    return NT_SUCCESS(status) ? Send(port, t) : status;
}

NTSTATUS PrepareWriteChunk(PDEVICE_OBJECT Device, const UCHAR *Source, ULONG Length, LONG Generation) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(Device);
    UsbTransfer *t;
    NTSTATUS status = BuildBulkOut(port, WriteChunk, Source, Length, &t);
    if (!NT_SUCCESS(status)) return status;
    t->Generation = Generation;
    t->NextToSend = NULL;
    if (port->LastChunkToSend)
        port->LastChunkToSend->NextToSend = t;
    else
        port->ChunksToSend = t;
    port->LastChunkToSend = t;
    return STATUS_SUCCESS;
}

// A completion run inside a send may queue the next chunk; the sender already at work sends it.
VOID SendPreparedChunks(PDEVICE_OBJECT Device) {
    REQUIRE_NO_PORT_LOCK(PortOf(Device));
    PortExtension *port = PortOf(Device);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (port->ChunkSenderActive) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    port->ChunkSenderActive = TRUE;
    for (UsbTransfer *t; (t = port->ChunksToSend) != NULL;) {
        port->ChunksToSend = t->NextToSend;
        if (!port->ChunksToSend) port->LastChunkToSend = NULL;
        IoReleaseCancelSpinLock(irql);
        (void)Send(port, t);
        IoAcquireCancelSpinLock(&irql);
    }
    port->ChunkSenderActive = FALSE;
    IoReleaseCancelSpinLock(irql);
}

// ---- Completion ----

static VOID ResumeParkedWrite(PortExtension *Port) {
    const TransferHandoffs *h = Port->Handoffs;
    if (h && h->SendWriteChunk) h->SendWriteChunk(Port);
}

// The IN completions give TRUE when the transfer went out again as the next link.
static BOOLEAN StatusPacketDone(PortExtension *Port, UsbTransfer *Transfer, NTSTATUS Status, ULONG Bytes) {
    // A failed or empty packet ends status reporting until open, power-up or a restart.
    if (!NT_SUCCESS(Status) || Bytes == 0) {
        PassSlot(Port, Transfer);
        return FALSE;
    }
    const TransferHandoffs *h = Port->Handoffs;
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    if (Bytes >= STATUS_PACKET_BYTES) {
        Port->UartStatus = (USHORT)(Transfer->Buffer[8] | (Transfer->Buffer[9] << 8));
        if (PortOpen(Port) && h && h->UpdateModemStatus) {
            KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
            (void)h->UpdateModemStatus(Port);
            KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
        }
    }
    // A packet may have ended a transmit hold: a parked write gets another try.
    BOOLEAN parked = Port->WriteHeld;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (parked) ResumeParkedWrite(Port);
    // Kept going while the port is closed, so that an open starts from the lines' real state.
    // Last: once the link is out again, nothing keeps the port from going.
    return Relink(Port, Transfer);
}

static BOOLEAN ReceiveHeld(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    BOOLEAN held = (Port->RxHoldReasons & (RX_HOLD_XOFF | RX_HOLD_RTS)) != 0;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    return held;
}

static BOOLEAN ReceivedDataDone(PortExtension *Port, UsbTransfer *Transfer, NTSTATUS Status, ULONG Bytes) {
    if (!NT_SUCCESS(Status) || !PortOpen(Port)) {
        PassSlot(Port, Transfer);
        return FALSE;
    }
    if (Bytes > Transfer->Length) Bytes = Transfer->Length;
    if (!ReceiveBytes(Port, Transfer->Buffer, Bytes)) return Relink(Port, Transfer);
    if (!PassSlot(Port, Transfer)) return FALSE;
    // A release of the hold that still saw this link in the slot left the restart to us.
    if (!ReceiveHeld(Port) && PortOpen(Port) && !PortLeaving(Port))
        (void)SubmitTransfer(Port->DeviceObject, BulkIn, NULL, BULK_IN_BYTES);
    return FALSE;
}

static VOID SentDataDone(PortExtension *Port, UsbTransfer *Transfer, NTSTATUS Status, ULONG Bytes, BOOLEAN Leaving) {
    // Only a chunk of the write still current is progress of that write.
    BOOLEAN ofWrite = Transfer->Origin == WriteChunk && Transfer->Generation == ReadLong(&Port->WriteGeneration);
    // Under the cancel lock, where CancelWriteChunk looks into the bulk OUT slots.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PassSlot(Port, Transfer);
    IoReleaseCancelSpinLock(cancelIrql);
    InterlockedDecrement(&Port->BulkOutInFlight);
    if (Leaving) return;
    const TransferHandoffs *h = Port->Handoffs;
    // A chunk the write path recalled still moved what the bus reports: that is the write's progress.
    BOOLEAN moved = NT_SUCCESS(Status) || (Status == STATUS_CANCELLED && ReadLong(&Transfer->Recalled));
    if (moved) NoteBytesToLine(Port, Bytes);  // whatever their origin, they take the line's time
    if (moved && PortOpen(Port)) {
        if (ofWrite && h && h->ContinueWrite) {
            h->ContinueWrite(Port, Bytes, Transfer->Generation);
            return;
        }
        // A slot came free: a write parked for want of one may go.
        KIRQL irql;
        KeAcquireSpinLock(&Port->ControlLock, &irql);
        BOOLEAN parked = Port->WriteHeld;
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (parked) ResumeParkedWrite(Port);
        return;
    }
    if (ofWrite && h && h->WriteChunkLost) h->WriteChunkLost(Port, Status, Transfer->Generation);
    if (ReadLong(&Port->PendingRequestCount) == 0) KeSetEvent(&Port->RequestsDrainedEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS NTAPI TransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);  // NULL: the IRP has no stack location of ours
    UsbTransfer *t = (UsbTransfer *)Context;
    PortExtension *port = PortOf(t->Device);
    ULONG bytes = t->Urb.TransferBufferLength;
    Irp->IoStatus.Information = bytes;
    NTSTATUS status = Irp->IoStatus.Status;
    // During removal nothing is processed and no chain goes on.
    BOOLEAN leaving = PortLeaving(port);

    BOOLEAN relinked = FALSE;
    switch (t->Kind) {
    case InterruptIn:
    case BulkIn:
        if (leaving)
            PassSlot(port, t);
        else if (t->Kind == InterruptIn)
            relinked = StatusPacketDone(port, t, status, bytes);
        else
            relinked = ReceivedDataDone(port, t, status, bytes);
        break;
    case BulkOut:
        SentDataDone(port, t, status, bytes, leaving);
        break;
    }
    // Out again, still counted in TransfersActive: it may already have completed and gone.
    if (relinked) return STATUS_MORE_PROCESSING_REQUIRED;
    ExFreePoolWithTag(t->Buffer, MIRAVO_POOL_TAG);
    LetGo(t);
    // The last touch of the port: a removal waiting in WaitForTransfers may free it after this.
    InterlockedDecrement(&port->TransfersActive);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Cancellation ----

static VOID CancelSlot(PortExtension *Port, ULONG Slot) {
    UsbTransfer *t = (UsbTransfer *)InterlockedExchangePointer(SlotAt(Port, Slot), NULL);
    if (!t || IsRelinking(t)) return;
    // The transfer stays ours to cancel until we let go: its completion cannot free it alone.
    IoCancelIrp(t->Irp);
    LetGo(t);
}

VOID CancelTransfer(PortExtension *Port, TransferKind Kind) {
    // Completions may run inside IoCancelIrp.
    REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL);
    REQUIRE_NO_PORT_LOCK(Port);
    switch (Kind) {
    case InterruptIn: CancelSlot(Port, TRANSFER_SLOT_INTERRUPT_IN); break;
    case BulkIn: CancelSlot(Port, TRANSFER_SLOT_BULK_IN); break;
    case BulkOut:
        for (ULONG slot = TRANSFER_SLOT_FIRST_BULK_OUT; slot < TRANSFER_SLOTS; slot++) CancelSlot(Port, slot);
        break;
    }
}

VOID CancelWriteChunk(PortExtension *Port, LONG Generation) {
    REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL);
    REQUIRE_NO_PORT_LOCK(Port);
    UsbTransfer *found = NULL;
    KIRQL irql;
    // A transfer seen in a bulk OUT slot under the cancel lock cannot be freed: its completion
    // takes it out under the same lock.
    IoAcquireCancelSpinLock(&irql);
    for (ULONG slot = TRANSFER_SLOT_FIRST_BULK_OUT; slot < TRANSFER_SLOTS && !found; slot++) {
        UsbTransfer *t = (UsbTransfer *)InterlockedCompareExchangePointer(SlotAt(Port, slot), NULL, NULL);
        if (t && t->Origin == WriteChunk && t->Generation == Generation &&
            InterlockedCompareExchangePointer(SlotAt(Port, slot), NULL, t) == t) {
            InterlockedExchange(&t->Recalled, 1);
            found = t;
        }
    }
    IoReleaseCancelSpinLock(irql);
    if (!found) return;
    IoCancelIrp(found->Irp);
    LetGo(found);
}

VOID CancelAllTransfers(PortExtension *Port) {
    CancelTransfer(Port, InterruptIn);
    CancelTransfer(Port, BulkOut);
    CancelTransfer(Port, BulkIn);
}

VOID WaitForTransfers(PortExtension *Port) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
    LARGE_INTEGER step;
    step.QuadPart = WAIT_FOR_TRANSFERS_STEP;
    while (ReadLong(&Port->TransfersActive) != 0) KeDelayExecutionThread(KernelMode, FALSE, &step);
}

BOOLEAN TransferOutstanding(PortExtension *Port, TransferKind Kind) {
    if (Kind == BulkOut) return ReadLong(&Port->BulkOutInFlight) != 0;
    ULONG slot = Kind == InterruptIn ? TRANSFER_SLOT_INTERRUPT_IN : TRANSFER_SLOT_BULK_IN;
    return InterlockedCompareExchangePointer(SlotAt(Port, slot), NULL, NULL) != NULL;
}

VOID DisownWriteChunk(PortExtension *Port) { InterlockedIncrement(&Port->WriteGeneration); }

// ---- Asynchronous control requests ----

NTSTATUS SubmitAsyncUrb(PDEVICE_OBJECT Device, PURB Urb) {
    REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension *port = PortOf(Device);
    UsbTransfer *t = (UsbTransfer *)ExAllocatePoolWithTag(NonPagedPool, sizeof(UsbTransfer), MIRAVO_POOL_TAG);
    PIRP irp = t ? BuildUrbIrp(port, Urb, AsyncUrbComplete, t) : NULL;
    if (!irp) {
        if (t) ExFreePoolWithTag(t, MIRAVO_POOL_TAG);
        ExFreePoolWithTag(Urb, MIRAVO_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(t, sizeof(UsbTransfer));
    t->CallerUrb = Urb;
    t->Device = Device;
    t->Irp = irp;
    t->Origin = AsyncControl;
    InterlockedIncrement(&port->TransfersActive);
    return IoCallDriver(port->LowerDevice, irp);
}

static NTSTATUS NTAPI AsyncUrbComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UsbTransfer *t = (UsbTransfer *)Context;
    PortExtension *port = PortOf(t->Device);
    IoFreeIrp(Irp);
    ExFreePoolWithTag(t->CallerUrb, MIRAVO_POOL_TAG);
    ExFreePoolWithTag(t, MIRAVO_POOL_TAG);
    InterlockedDecrement(&port->TransfersActive);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
