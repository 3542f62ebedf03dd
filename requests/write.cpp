// Writes: one chunk of at most MaxWriteChunk bytes in flight at a time, the next sent from the
// completion of the last. The write state lives under the cancel lock; chunks are submitted without
// it, because a bus that fails a transfer at once runs the completion, and so this path, inside the
// submission.
//
// Who finishes a write: the completion of its last chunk queues CompleteWriteDpc; a time-out
// recalls the transfer out, and that transfer's completion finishes the write; a lost chunk ends it
// at once. A write taken back (cancel, time-out) disowns its chunk in flight, so that the chunk's
// late completion never counts for the next write.
//
// WriteState, under the cancel lock (the current write's; Idle once it is taken back):
//
//   from           event                                             to
//   any            BeginWrite makes a write current                  Waiting
//   Waiting        TrySend: held, or no bulk OUT slot free           Waiting (WriteHeld hint set)
//   Waiting        TrySend: chunk built                              Sending
//   Waiting        time-out: empty transfer built                    Expiring
//   Waiting        time-out: no slot free                            ExpiredWaiting
//   ExpiredWaiting TrySend: empty transfer built                     Expiring
//   Sending        chunk done, bytes left: next chunk built          Sending
//   Sending        chunk done, bytes left, no slot free              Waiting
//   Sending        time-out: the chunk out is recalled               Expiring
//   Sending,       chunk done, every byte confirmed                  Drained (CompleteWriteDpc queued)
//    Expiring
//   Expiring       chunk done, recalled or lost, bytes left          Idle, STATUS_TIMEOUT
//   Sending        chunk lost                                        Idle, the loss's status
//   Drained        CompleteWriteDpc, or the time-out racing it       Idle, STATUS_SUCCESS
//   all but        cancel                                            Idle, STATUS_CANCELLED
//    Drained
//
// RefTransfer is set exactly in Sending and Expiring (and Drained, where CompleteWriteDpc owns it);
// RefTotalTimer is left to the transfer out in Expiring and ExpiredWaiting.
#include "control/control.h"
#include "receive/receive.h"
#include "requests/write.h"

enum WriteStates : UCHAR {
    WriteIdle = 0,
    WriteWaiting,         // nothing out: before the first chunk, held, or no bulk OUT slot free
    WriteSending,         // one chunk out, InFlightChunk its size
    WriteExpiring,        // time-out expired with a transfer out; its completion ends the write
    WriteExpiredWaiting,  // time-out expired, no slot for the empty transfer that ends the write
    WriteDrained,         // every byte confirmed; CompleteWriteDpc queued
};

static DRIVER_CANCEL CancelCurrentWrite;

static LONG CurrentGeneration(PortExtension *Port) {
    return ReadLong(&Port->WriteGeneration);
}

static BOOLEAN IsXoffCounter(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_XOFF_COUNTER;
}

static ULONG WriteLengthOf(PIRP Irp) {
    return IsXoffCounter(Irp) ? 1 : IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

// What a write reports sent; the XOFF counter has no output buffer, and so reports nothing.
static ULONG SentInformation(PIRP Irp, ULONG Confirmed) { return IsXoffCounter(Irp) ? 0 : Confirmed; }

static BOOLEAN TransmitToggle(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    BOOLEAN toggle = (Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    return toggle;
}

static BOOLEAN ChunkOut(PortExtension *Port) {
    return Port->WriteState == WriteSending || Port->WriteState == WriteExpiring;
}

static BOOLEAN Expired(PortExtension *Port) {
    return Port->WriteState == WriteExpiring || Port->WriteState == WriteExpiredWaiting;
}

static ULONG NextChunk(PortExtension *Port) {
    ULONG chunk = (ULONG)Port->WriteLength;
    // No ring yet (a port written before its first open) must not make every chunk empty.
    if (Port->RxBufferSize && chunk > Port->RxBufferSize) chunk = Port->RxBufferSize;
    if (chunk > Port->MaxWriteChunk) chunk = Port->MaxWriteChunk;
    return chunk;
}

static BOOLEAN WriteDueTime(PortExtension *Port, ULONG Chars, PLARGE_INTEGER Due) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    ULONG multiplier = Port->Timeouts.WriteTotalTimeoutMultiplier;
    ULONG constant = Port->Timeouts.WriteTotalTimeoutConstant;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (!multiplier && !constant) return FALSE;
    ULONGLONG total = (ULONGLONG)Chars * multiplier + constant;  // below 2^64: no wrap
    if (total <= 20) total = 100;
    *Due = RelativeDueFromMs(total);
    return TRUE;
}

// A chunk given up still in flight counts as sent; a lost one does not (the caller zeroes
// InFlightChunk first). A drained write stays so: CompleteWriteDpc owns RefTransfer.
static VOID NTAPI TakeBackWrite(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP irp = Port->CurrentWrite;
    ULONG bits = RefBitsOf(irp);
    if (Port->WriteState == WriteDrained) return;
    // The expired timer's DPC left its bit to the transfer that is out; that transfer is given up.
    if (Expired(Port)) bits &= ~RefTotalTimer;
    if (ChunkOut(Port) && (bits & RefTransfer)) {
        DisownWriteChunk(Port);
        Port->WriteLength -= (LONG)Port->InFlightChunk;
        if (Port->WriteLength < 0) Port->WriteLength = 0;
        irp->IoStatus.Information = SentInformation(irp, WriteLengthOf(irp) - (ULONG)Port->WriteLength);
        bits &= ~RefTransfer;
    }
    Port->WriteLength = 0;
    Port->InFlightChunk = 0;
    Port->WriteState = WriteIdle;
    SetRefBits(irp, bits);
}

// Runs for the lost chunk's owner of RefTransfer, which TryFinishCurrent has already cleared: the
// bit goes back for the moment so that the settling below sees a write with a chunk out.
static VOID NTAPI TakeBackLostWrite(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    Port->InFlightChunk = 0;
    SetRefBits(Port->CurrentWrite, RefBitsOf(Port->CurrentWrite) | RefTransfer);
    TakeBackWrite(Port);
}

static const RequestKind WriteKind = {&PortExtension::CurrentWrite, &PortExtension::WriteQueue, NULL,
                                      &PortExtension::WriteTotalTimer, BeginWrite, TakeNextWrite};

// Takes the cancel lock; TRUE, holding it, when a transfer of Generation is what the current write
// waits for (a late completion of a write taken back is not).
static BOOLEAN OwnChunk(PortExtension *Port, LONG Generation, KIRQL *Irql) {
    IoAcquireCancelSpinLock(Irql);
    if (CurrentGeneration(Port) == Generation && Port->CurrentWrite && ChunkOut(Port)) return TRUE;
    IoReleaseCancelSpinLock(*Irql);
    return FALSE;
}

// A chunk of Generation did not go: the write ends, with the confirmed bytes as its count.
static VOID EndLostWrite(PortExtension *Port, LONG Generation, NTSTATUS Why) {
    KIRQL irql;
    if (!OwnChunk(Port, Generation, &irql)) return;
    // A bus cancel or a completion after close says nothing of the bytes; STATUS_CANCELLED would
    // also wipe the confirmed count.
    NTSTATUS status = Why;
    if (Port->WriteState == WriteExpiring)
        status = STATUS_TIMEOUT;
    else if (NT_SUCCESS(Why) || Why == STATUS_CANCELLED)
        status = STATUS_IO_DEVICE_ERROR;
    FinishCurrentOf(Port, &WriteKind, TakeBackLostWrite, irql, status, RefTransfer);
}

// Under the cancel lock, so that a cancel cannot complete the write, and free its bytes, while they are
// copied, and the send queue takes chunks in the order the write state went through them.
static NTSTATUS BuildChunk(PortExtension *Port, ULONG Length, LONG Generation) {
    REQUIRE_CANCEL_LOCK_HELD();
    return PrepareWriteChunk(Port->DeviceObject, Port->WriteCurrentChar, Length, Generation);
}

// Sends what BuildChunk queued, or ends the write whose chunk could not be built.
static VOID SendBuilt(PortExtension *Port, NTSTATUS Built, LONG Generation) {
    REQUIRE_NO_PORT_LOCK(Port);
    if (NT_SUCCESS(Built))
        SendPreparedChunks(Port->DeviceObject);
    else  // a failure that reached the completion routine was handled there and moved the generation on
        EndLostWrite(Port, Generation, Built);
}

// Under both locks, for a write with nothing out: sends Length bytes (0 for the time-out's empty
// transfer) and moves to Sent, or stays waiting for a free slot. TRUE when a chunk was built.
static BOOLEAN LaunchTransfer(PortExtension *Port, ULONG Length, UCHAR Sent, NTSTATUS *Built, LONG *Generation) {
    *Generation = CurrentGeneration(Port);
    *Built = BuildChunk(Port, Length, *Generation);
    // Every bulk OUT slot taken, typically by chunks of cancelled writes still draining: the
    // completion that frees a slot tries again.
    Port->WriteHeld = *Built == STATUS_INSUFFICIENT_RESOURCES;
    if (Port->WriteHeld) return FALSE;
    Port->WriteState = Sent;
    Port->InFlightChunk = Length;
    SetRefBits(Port->CurrentWrite, RefBitsOf(Port->CurrentWrite) | RefTransfer);
    return TRUE;
}

// Sends the current write if it waits and may go. ControlLock around the decision keeps WriteHeld
// true to the engine: a hold released after we looked finds WriteHeld set and calls back.
VOID NTAPI SendWriteChunk(PortExtension *Port) {
    REQUIRE_NO_PORT_LOCK(Port);
    KIRQL controlIrql, irql;
    KeAcquireSpinLock(&Port->ControlLock, &controlIrql);
    BOOLEAN held = (Port->TxHoldReasons & (TX_HOLD_CTS | TX_HOLD_XOFF)) || Port->TxXoffHeld;
    IoAcquireCancelSpinLock(&irql);
    UCHAR state = Port->CurrentWrite ? Port->WriteState : (UCHAR)WriteIdle;
    BOOLEAN built = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    LONG generation = 0;
    if (state == WriteWaiting && held)
        Port->WriteHeld = TRUE;
    else if (state == WriteWaiting)
        built = LaunchTransfer(Port, NextChunk(Port), WriteSending, &status, &generation);
    else if (state == WriteExpiredWaiting)
        built = LaunchTransfer(Port, 0, WriteExpiring, &status, &generation);
    else
        Port->WriteHeld = FALSE;
    IoReleaseCancelSpinLock(irql);
    KeReleaseSpinLock(&Port->ControlLock, controlIrql);
    if (built) SendBuilt(Port, status, generation);
}

NTSTATUS NTAPI WriteDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    return DispatchDataRequest(DeviceObject, Irp, &port->WriteQueue, &port->CurrentWrite, BeginWrite);
}

NTSTATUS NTAPI BeginWrite(PortExtension *Port) {
    NTSTATUS result = STATUS_PENDING;
    BOOLEAN chosen = FALSE;
    for (;;) {
        EndXoffForNewWrite(Port);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = Port->CurrentWrite;
        IoReleaseCancelSpinLock(irql);
        if (!irp) return result;
        LARGE_INTEGER due;
        BOOLEAN timed = WriteDueTime(Port, WriteLengthOf(irp), &due);

        IoAcquireCancelSpinLock(&irql);
        SetRefBits(irp, 0);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            if (!chosen) {
                result = STATUS_CANCELLED;
                chosen = TRUE;
            }
            PIRP next = NULL;
            TakeNextWrite(&Port->CurrentWrite, &Port->WriteQueue, &next, TRUE, Port);
            if (!next) return result;
            continue;
        }
        if (!chosen) {
            IoMarkIrpPending(irp);
            chosen = TRUE;
        }
        ULONG bits = RefCancel;
        IoSetCancelRoutine(irp, CancelCurrentWrite);
        if (timed) {
            SetTimerCounted(&Port->WriteTotalTimer, due, &Port->WriteTimeoutDpc, Port);
            bits |= RefTotalTimer;
        }
        SetRefBits(irp, bits);
        Port->WriteLength = (LONG)WriteLengthOf(irp);
        Port->WriteCurrentChar = IsXoffCounter(irp)
                                     ? &static_cast<PSERIAL_XOFF_COUNTER>(irp->AssociatedIrp.SystemBuffer)->XoffChar
                                     : static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        Port->InFlightChunk = 0;
        Port->WriteState = WriteWaiting;
        IoReleaseCancelSpinLock(irql);
        if (TransmitToggle(Port)) (void)SetRts(Port);  // up before the first start bit
        SendWriteChunk(Port);
        return result;
    }
}

VOID NTAPI ContinueWrite(PortExtension *Port, ULONG Sent, LONG Generation) {
    REQUIRE_NO_PORT_LOCK(Port);
    KIRQL irql;
    if (!OwnChunk(Port, Generation, &irql)) return;
    PIRP irp = Port->CurrentWrite;
    Port->PerfStats.TransmittedCount += Sent;
    Port->WmiPerfData.TransmittedCount += Sent;
    // A short transfer leaves the rest of its chunk for the next one.
    ULONG moved = Sent < Port->InFlightChunk ? Sent : Port->InFlightChunk;
    Port->WriteCurrentChar += moved;
    Port->WriteLength -= (LONG)moved;
    Port->InFlightChunk = 0;

    if (Port->WriteLength == 0) {
        // Every byte went before a time-out could take the write: it succeeds.
        if (Port->WriteState == WriteExpiring) SetRefBits(irp, RefBitsOf(irp) & ~RefTotalTimer);
        Port->WriteState = WriteDrained;
        irp->IoStatus.Information = SentInformation(irp, WriteLengthOf(irp));
        QueueDpcCounted(&Port->CompleteWriteDpc, NULL, NULL, Port);
        IoReleaseCancelSpinLock(irql);

        KeAcquireSpinLock(&Port->ControlLock, &irql);
        ULONG mask = CurrentWaitMask(Port);
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (mask & SERIAL_EV_TXEMPTY) AddHistory(Port, SERIAL_EV_TXEMPTY);
        if (mask) NotifyEvents(Port);
        return;
    }
    if (Port->WriteState == WriteExpiring) {
        FinishCurrentOf(Port, &WriteKind, TakeBackWrite, irql, STATUS_TIMEOUT, RefTotalTimer);
        return;
    }
    // The next chunk goes through SendWriteChunk, which looks at the transmit holds (under
    // ControlLock, which cannot be taken here): an XOFF or CTS hold that came while this chunk was
    // out parks the rest, and the chip's FIFO is all that still goes. With no bulk OUT slot free it
    // waits there too.
    SetRefBits(irp, RefBitsOf(irp) & ~RefTransfer);
    Port->WriteState = WriteWaiting;
    IoReleaseCancelSpinLock(irql);
    SendWriteChunk(Port);
}

VOID NTAPI WriteChunkLost(PortExtension *Port, NTSTATUS Why, LONG Generation) { EndLostWrite(Port, Generation, Why); }

VOID NTAPI CompleteWriteDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    FinishCurrentFromDpc(DPC_PORT(DeferredContext), &WriteKind, NULL, STATUS_SUCCESS, RefTransfer);
}

VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL controlIrql, irql;
    KeAcquireSpinLock(&port->ControlLock, &controlIrql);
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->CurrentWrite;
    UCHAR state = (irp && (RefBitsOf(irp) & RefTotalTimer)) ? port->WriteState : (UCHAR)WriteIdle;
    BOOLEAN empty = FALSE, recall = FALSE, finish = FALSE;
    LONG generation = CurrentGeneration(port);
    NTSTATUS built = STATUS_SUCCESS;
    if (state == WriteWaiting) {
        // Nothing is out to finish it: an empty transfer will (with no slot free, once one is).
        port->WriteState = WriteExpiredWaiting;
        empty = LaunchTransfer(port, 0, WriteExpiring, &built, &generation);
    } else if (state == WriteSending) {
        // The chip may never drain the chunk out: it is recalled, and its completion ends the write.
        port->WriteState = WriteExpiring;
        recall = TRUE;
    } else if (irp && (RefBitsOf(irp) & RefTotalTimer) && (state == WriteDrained || state == WriteIdle)) {
        // All confirmed (CompleteWriteDpc queued or already gone), or taken back (cancelled, or its
        // chunk lost) after the timer expired: the time-out came first in that case, and says so.
        finish = TRUE;
    }
    NTSTATUS status = state == WriteDrained ? STATUS_SUCCESS : STATUS_TIMEOUT;
    IoReleaseCancelSpinLock(irql);
    KeReleaseSpinLock(&port->ControlLock, controlIrql);
    if (empty) SendBuilt(port, built, generation);
    if (recall) CancelWriteChunk(port, generation);
    if (finish) {
        // Still current: nobody else drops RefTotalTimer.
        IoAcquireCancelSpinLock(&irql);
        FinishCurrentOf(port, &WriteKind, NULL, irql, status, RefTotalTimer);
    }
    DpcFinished(port);
}

VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(DeviceObject);
    // A chunk in flight cannot be recalled under the cancel lock; it is disowned instead.
    FinishCurrentOf(port, &WriteKind, TakeBackWrite, Irp->CancelIrql, STATUS_CANCELLED, RefCancel);
}

VOID NTAPI TakeNextWrite(PIRP *Slot, PLIST_ENTRY Queue, PIRP *Next, BOOLEAN CompleteCurrent, PortExtension *Port) {
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP current = *Slot;
        BOOLEAN complete = CompleteCurrent;
        if (current) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(current);
            if (stack->MajorFunction == IRP_MJ_WRITE) {
                Port->TxCharsQueued -= stack->Parameters.Write.Length;
            } else if (IsXoffCounter(current)) {
                Port->TxCharsQueued -= 1;
                if (current->IoStatus.Status == STATUS_SUCCESS && ArmXoffCounter(Port, current)) complete = FALSE;
            }
        }
        TakeNextRequestLocked(Slot, Queue, Next, complete, Port, irql);
        // However a write ended, RTS may go down once the line is idle.
        if (current && TransmitToggle(Port)) TriggerRtsDrop(Port);
        PIRP next = *Next;
        if (!next || IoGetCurrentIrpStackLocation(next)->MajorFunction != IRP_MJ_FLUSH_BUFFERS) return;
        // A flush waits only for what was queued before it: it is done now.
        next->IoStatus.Status = STATUS_SUCCESS;
        CompleteCurrent = TRUE;
    }
}
