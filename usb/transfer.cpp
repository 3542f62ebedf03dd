// The transfer engine: every bulk and interrupt transfer of the port travels in an IRP of the
// driver's own, is sent without waiting and ends in TransferComplete.
//
// Ownership. A transfer sits in one TransferSlot from submission until the completion routine
// takes it out again (InterruptIn and BulkIn put their successor in its place) or a canceller
// exchanges it out. The slot's holder and the completion routine each let go once through the
// transfer's Handoff word; whichever is second frees the IRP and the context. Bulk OUT transfers
// each have a slot of their own, so a write chunk, a flow-control character and an immediate
// character can all be in flight and each is released exactly once.
#include "requests/requests.h"
#include "usb/usbio.h"

#define WAIT_FOR_TRANSFERS_STEP (-10000LL)  // 1 ms, relative

static IO_COMPLETION_ROUTINE AsyncUrbComplete;

static PVOID volatile *SlotAt(PortExtension *Port, ULONG Slot) {
    return (PVOID volatile *)&Port->TransferSlot[Slot];
}

static LONG ReadLong(LONG volatile *Value) { return InterlockedCompareExchange(Value, 0, 0); }

static BOOLEAN PortOpen(PortExtension *Port) { return ReadLong(&Port->OpenCount) != 0; }

// The XP kernel has no InterlockedOr to import.
static VOID AddHistory(PortExtension *Port, LONG Events) {
    LONG old = ReadLong(&Port->HistoryMask);
    for (;;) {
        LONG seen = InterlockedCompareExchange(&Port->HistoryMask, old | Events, old);
        if (seen == old) return;
        old = seen;
    }
}

static BOOLEAN PortLeaving(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->FlagsLock, &irql);
    ULONG state = Port->PnpAcceptState;
    KeReleaseSpinLock(&Port->FlagsLock, irql);
    return (state & (PnpAcceptRemoving | PnpAcceptSurpriseRemoved)) != 0;
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

static NTSTATUS BuildTransfer(PortExtension *Port, TransferKind Kind, TransferOrigin Origin, const UCHAR *Source,
                              ULONG Length, UsbTransfer **Built) {
    static const PipeRole roles[] = {InterruptInPipe, BulkOutPipe, BulkInPipe};
    static const ULONG flags[] = {USBD_TRANSFER_DIRECTION_IN, USBD_TRANSFER_DIRECTION_OUT,
                                  USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK};
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
    if (Kind == BulkOut) {
        if (Length) RtlCopyMemory(t->Buffer, Source, Length);
    } else {
        // An IN transfer that moves fewer bytes than asked must not leave old pool behind them.
        RtlZeroMemory(t->Buffer, Length ? Length : 1);
    }
    UsbBuildInterruptOrBulkTransferRequest((PURB)&t->Urb, (USHORT)sizeof(t->Urb), pipe->PipeHandle, t->Buffer, NULL,
                                           Length, flags[Kind], NULL);

    t->Irp = IoAllocateIrp(Port->LowerDevice->StackSize, FALSE);
    if (!t->Irp) {
        ExFreePoolWithTag(t->Buffer, MIRAVO_POOL_TAG);
        ExFreePoolWithTag(t, MIRAVO_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &t->Urb;
    t->Device = Port->DeviceObject;
    t->Length = Length;
    t->Kind = Kind;
    t->Origin = Origin;
    t->Generation = ReadLong(&Port->WriteGeneration);
    IoSetCompletionRoutine(t->Irp, TransferComplete, t, TRUE, TRUE, TRUE);
    // Counted from here, so that a removal waiting for the engine sees it before it is in a slot.
    InterlockedIncrement(&Port->TransfersActive);
    *Built = t;
    return STATUS_SUCCESS;
}

static NTSTATUS Send(PortExtension *Port, UsbTransfer *Transfer) {
    return IoCallDriver(Port->LowerDevice, Transfer->Irp);
}

// The completion routine gives up its transfer's slot, leaving Next (built, not sent) in it.
// FALSE when a canceller has taken the slot: the cancel ends the chain, and Next is dropped.
static BOOLEAN PassSlot(PortExtension *Port, UsbTransfer *Transfer, UsbTransfer *Next) {
    if (Next) Next->Slot = Transfer->Slot;
    if (InterlockedCompareExchangePointer(SlotAt(Port, Transfer->Slot), Next, Transfer) != Transfer) {
        if (Next) Discard(Port, Next);
        return FALSE;
    }
    LetGo(Transfer);
    if (Next) (void)Send(Port, Next);
    return TRUE;
}

// Ends one link of an IN chain; with Again the next link takes over the slot. A failed
// allocation ends the chain until something starts it again.
static BOOLEAN EndChainLink(PortExtension *Port, UsbTransfer *Transfer, BOOLEAN Again) {
    UsbTransfer *next = NULL;
    if (Again && !NT_SUCCESS(BuildTransfer(Port, Transfer->Kind, WriteChunk, NULL, Transfer->Length, &next)))
        next = NULL;
    return PassSlot(Port, Transfer, next);
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

static BOOLEAN ClaimBulkOutSlot(PortExtension *Port, UsbTransfer *Transfer) {
    for (ULONG slot = TRANSFER_SLOT_FIRST_BULK_OUT; slot < TRANSFER_SLOTS; slot++) {
        Transfer->Slot = slot;
        if (InterlockedCompareExchangePointer(SlotAt(Port, slot), Transfer, NULL) == NULL) {
            InterlockedIncrement(&Port->BulkOutInFlight);
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS SubmitBulkOut(PDEVICE_OBJECT Device, TransferOrigin Origin, const UCHAR *Source, ULONG Length) {
    if (Length && !Source) return STATUS_INVALID_PARAMETER;
    PortExtension *port = PortOf(Device);
    UsbTransfer *t;
    NTSTATUS status = BuildTransfer(port, BulkOut, Origin, Source, Length, &t);
    if (!NT_SUCCESS(status)) return status;
    if (!ClaimBulkOutSlot(port, t)) {
        Discard(port, t);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return Send(port, t);
}

NTSTATUS PrepareWriteChunk(PDEVICE_OBJECT Device, const UCHAR *Source, ULONG Length, LONG Generation) {
    REQUIRE_CANCEL_LOCK_HELD();
    if (Length && !Source) return STATUS_INVALID_PARAMETER;
    PortExtension *port = PortOf(Device);
    UsbTransfer *t;
    NTSTATUS status = BuildTransfer(port, BulkOut, WriteChunk, Source, Length, &t);
    if (!NT_SUCCESS(status)) return status;
    t->Generation = Generation;
    if (!ClaimBulkOutSlot(port, t)) {
        Discard(port, t);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
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

static VOID StatusPacketDone(PortExtension *Port, UsbTransfer *Transfer, NTSTATUS Status, ULONG Bytes) {
    // A failed or empty packet ends status reporting until open, power-up or a restart.
    if (!NT_SUCCESS(Status) || Bytes == 0) {
        PassSlot(Port, Transfer, NULL);
        return;
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
    // Kept going while the port is closed, so that an open starts from the lines' real state.
    EndChainLink(Port, Transfer, TRUE);
    if (parked) ResumeParkedWrite(Port);
}

// One received byte: count, mask, strip, act on XON/XOFF, store, raise events.
static VOID ReceiveByte(PortExtension *Port, UCHAR Byte) {
    const TransferHandoffs *h = Port->Handoffs;
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->PerfStats.ReceivedCount++;
    Port->WmiPerfData.ReceivedCount++;
    UCHAR c = (UCHAR)(Byte & Port->ValidDataMask);
    ULONG flow = Port->HandFlow.FlowReplace;
    if (c == 0 && (flow & SERIAL_NULL_STRIPPING)) {
        KeReleaseSpinLock(&Port->ControlLock, irql);
        return;
    }

    if ((flow & SERIAL_AUTO_TRANSMIT) && (c == Port->SpecialChars.XoffChar || c == Port->SpecialChars.XonChar)) {
        BOOLEAN resume = FALSE;
        // XOFF first: with both characters equal, the character stops the transmitter.
        if (c == Port->SpecialChars.XoffChar) {
            Port->TxHoldReasons |= TX_HOLD_XOFF;
            Port->TxXoffHeld = 1;
            if ((flow & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
                QueueDpcCounted(&Port->ArmRtsDropDpc, NULL, NULL, Port))
                InterlockedIncrement(&Port->RtsDropPending);
        } else if (Port->TxHoldReasons & TX_HOLD_XOFF) {
            Port->TxHoldReasons &= ~TX_HOLD_XOFF;
            Port->TxXoffHeld = 0;
            resume = Port->WriteHeld;
        }
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (resume) ResumeParkedWrite(Port);
        return;
    }

    if (Port->IsOpen && h && h->PutChar) {
        KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
        h->PutChar(Port, c);
        if (Port->IsOpen && Port->EscapeChar && c == Port->EscapeChar) h->PutChar(Port, SERIAL_LSRMST_ESCAPE);
        KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
    }
    // Events are raised even for a byte dropped because the port is closing.
    ULONG mask = Port->WaitMask, events = 0;
    if (mask & SERIAL_EV_RXCHAR) events |= SERIAL_EV_RXCHAR;
    if ((mask & SERIAL_EV_RXFLAG) && c == Port->SpecialChars.EventChar) events |= SERIAL_EV_RXFLAG;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (!mask) return;
    if (events) AddHistory(Port, (LONG)events);
    if (h && h->NotifyEvents) h->NotifyEvents(Port);
}

static BOOLEAN ReceiveHeld(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    BOOLEAN held = (Port->RxHoldReasons & (RX_HOLD_XOFF | RX_HOLD_RTS)) != 0;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    return held;
}

static VOID ReceivedDataDone(PortExtension *Port, UsbTransfer *Transfer, NTSTATUS Status, ULONG Bytes) {
    if (!NT_SUCCESS(Status) || !PortOpen(Port)) {
        PassSlot(Port, Transfer, NULL);
        return;
    }
    if (Bytes > Transfer->Length) Bytes = Transfer->Length;
    for (ULONG i = 0; i < Bytes; i++) ReceiveByte(Port, Transfer->Buffer[i]);

    if (!ReceiveHeld(Port)) {
        EndChainLink(Port, Transfer, TRUE);
        return;
    }
    if (!PassSlot(Port, Transfer, NULL)) return;
    // A release of the hold that still saw this link in the slot left the restart to us.
    if (!ReceiveHeld(Port) && PortOpen(Port) && !PortLeaving(Port))
        (void)SubmitTransfer(Port->DeviceObject, BulkIn, NULL, BULK_IN_BYTES);
}

static VOID SentDataDone(PortExtension *Port, UsbTransfer *Transfer, NTSTATUS Status, ULONG Bytes, BOOLEAN Leaving) {
    // Only a chunk of the write still current is progress of that write.
    BOOLEAN ofWrite = Transfer->Origin == WriteChunk && Transfer->Generation == ReadLong(&Port->WriteGeneration);
    PassSlot(Port, Transfer, NULL);
    InterlockedDecrement(&Port->BulkOutInFlight);
    if (Leaving) return;
    const TransferHandoffs *h = Port->Handoffs;
    if (NT_SUCCESS(Status) && PortOpen(Port)) {
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

    switch (t->Kind) {
    case InterruptIn:
        if (leaving)
            PassSlot(port, t, NULL);
        else
            StatusPacketDone(port, t, status, bytes);
        break;
    case BulkIn:
        if (leaving)
            PassSlot(port, t, NULL);
        else
            ReceivedDataDone(port, t, status, bytes);
        break;
    case BulkOut:
        SentDataDone(port, t, status, bytes, leaving);
        break;
    }
    ExFreePoolWithTag(t->Buffer, MIRAVO_POOL_TAG);
    LetGo(t);
    // The last touch of the port: a removal waiting in WaitForTransfers may free it after this.
    InterlockedDecrement(&port->TransfersActive);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- Cancellation ----

static VOID CancelSlot(PortExtension *Port, ULONG Slot) {
    UsbTransfer *t = (UsbTransfer *)InterlockedExchangePointer(SlotAt(Port, Slot), NULL);
    if (!t) return;
    // The transfer stays ours to cancel until we let go: its completion cannot free it alone.
    IoCancelIrp(t->Irp);
    LetGo(t);
}

VOID CancelTransfer(PortExtension *Port, TransferKind Kind) {
    // IoCancelIrp may run the completion, and through it the paths above, right here.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return;
    switch (Kind) {
    case InterruptIn: CancelSlot(Port, TRANSFER_SLOT_INTERRUPT_IN); break;
    case BulkIn: CancelSlot(Port, TRANSFER_SLOT_BULK_IN); break;
    case BulkOut:
        for (ULONG slot = TRANSFER_SLOT_FIRST_BULK_OUT; slot < TRANSFER_SLOTS; slot++) CancelSlot(Port, slot);
        break;
    }
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

// ---- Control requests ----

NTSTATUS SetRemoteWakeup(PDEVICE_OBJECT Device, BOOLEAN Enable) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), MIRAVO_POOL_TAG);
    if (!urb) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    UsbBuildFeatureRequest(urb, Enable ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                           USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
    NTSTATUS status = SyncUsbRequest(Device, urb);
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return status;
}

NTSTATUS SubmitAsyncUrb(PDEVICE_OBJECT Device, PURB Urb) {
    REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL);
    PortExtension *port = PortOf(Device);
    PIRP irp = port->LowerDevice ? IoAllocateIrp(port->LowerDevice->StackSize, FALSE) : NULL;
    if (!irp) {
        ExFreePoolWithTag(Urb, MIRAVO_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    UsbTransfer *t = (UsbTransfer *)ExAllocatePoolWithTag(NonPagedPool, sizeof(UsbTransfer), MIRAVO_POOL_TAG);
    if (!t) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(Urb, MIRAVO_POOL_TAG);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(t, sizeof(UsbTransfer));
    t->CallerUrb = Urb;
    t->Device = Device;
    t->Irp = irp;
    t->Origin = AsyncControl;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, AsyncUrbComplete, t, TRUE, TRUE, TRUE);
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
