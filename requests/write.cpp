// Writes: one chunk of at most MaxWriteChunk bytes in flight at a time, the next sent from the
// completion of the last. The write state lives under the cancel lock; chunks are submitted without
// it, because a bus that fails a transfer at once runs the completion, and so this path, inside the
// submission.
//
// Who finishes a write: the completion of its last chunk queues CompleteWriteDpc; a time-out only
// marks the write, and the completion of the transfer then out finishes it; a lost chunk ends it at
// once. A write taken back (cancel, time-out) disowns its chunk in flight, so that the chunk's late
// completion never counts for the next write.
#include "receive/receive.h"
#include "requests/write.h"

#define TX_HOLD_CTS 0x1

static DRIVER_CANCEL CancelCurrentWrite;
#define MS_TO_RELATIVE (-10000LL)
// A total beyond this many milliseconds would wrap the 100 ns count into an absolute time.
#define LONGEST_TIMEOUT_MS (0x7FFFFFFFFFFFFFFFULL / 10000ULL)

static LONG CurrentGeneration(PortExtension *Port) {
    return InterlockedCompareExchange(&Port->WriteGeneration, 0, 0);
}

static BOOLEAN IsXoffCounter(PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_XOFF_COUNTER;
}

static ULONG WriteLengthOf(PIRP Irp) {
    return IsXoffCounter(Irp) ? 1 : IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
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
    if (total > LONGEST_TIMEOUT_MS) total = LONGEST_TIMEOUT_MS;
    if (total <= 20) total = 100;
    Due->QuadPart = (LONGLONG)total * MS_TO_RELATIVE;
    return TRUE;
}

// A chunk given up still in flight counts as sent; a lost one does not
// (the caller zeroes InFlightChunk first).
static VOID NTAPI TakeBackWrite(PortExtension *Port) {
    REQUIRE_CANCEL_LOCK_HELD();
    PIRP irp = Port->CurrentWrite;
    ULONG bits = RefBitsOf(irp);
    Port->WriteStarting = FALSE;
    Port->WriteParked = FALSE;
    if (Port->WriteTimedOut) {
        // The expired timer's DPC left its bit to the transfer that is out; that transfer is given up.
        Port->WriteTimedOut = FALSE;
        bits &= ~RefTotalTimer;
    }
    // With every byte confirmed (WriteLength 0) CompleteWriteDpc owns RefTransfer.
    if ((bits & RefTransfer) && Port->WriteLength != 0) {
        DisownWriteChunk(Port);
        Port->WriteLength -= (LONG)Port->InFlightChunk;
        if (Port->WriteLength < 0) Port->WriteLength = 0;
        irp->IoStatus.Information = IsXoffCounter(irp) ? 0 : WriteLengthOf(irp) - (ULONG)Port->WriteLength;
        bits &= ~RefTransfer;
        Port->WriteLength = 0;
        Port->InFlightChunk = 0;
    }
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

static VOID FinishCurrentWrite(PortExtension *Port, PTAKE_BACK_ROUTINE TakeBack, KIRQL Irql, NTSTATUS Status,
                               ULONG Ref) {
    TryFinishCurrent(Port, TakeBack, Irql, Status, &Port->CurrentWrite, &Port->WriteQueue, NULL, &Port->WriteTotalTimer,
                     BeginWrite, TakeNextWrite, Ref);
}

// A chunk of Generation did not go. Only the write that sent it, and only while it still waits
// for it, is ended; with the confirmed bytes as its count.
static VOID EndLostWrite(PortExtension *Port, LONG Generation, NTSTATUS Why) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentWrite;
    if (CurrentGeneration(Port) != Generation || !irp || !(RefBitsOf(irp) & RefTransfer) || Port->WriteLength == 0) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    // A bus cancel or a completion after close says nothing of the bytes; STATUS_CANCELLED would
    // also wipe the confirmed count.
    NTSTATUS status = Why;
    if (Port->WriteTimedOut)
        status = STATUS_TIMEOUT;
    else if (NT_SUCCESS(Why) || Why == STATUS_CANCELLED)
        status = STATUS_IO_DEVICE_ERROR;
    FinishCurrentWrite(Port, TakeBackLostWrite, irql, status, RefTransfer);
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

// Starts the current write (Resume FALSE, once per BeginWrite) or a parked one (Resume TRUE).
// ControlLock around the decision keeps WriteHeld true to the engine: a hold released after we
// looked finds WriteHeld set and calls back.
static VOID TrySend(PortExtension *Port, BOOLEAN Resume) {
    KIRQL controlIrql, irql;
    KeAcquireSpinLock(&Port->ControlLock, &controlIrql);
    BOOLEAN held = (Port->TxHoldReasons & (TX_HOLD_CTS | TX_HOLD_XOFF)) || Port->TxXoffHeld;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentWrite;
    if (!irp || !(Resume ? Port->WriteParked : Port->WriteStarting)) {
        Port->WriteHeld = Port->WriteParked;
        IoReleaseCancelSpinLock(irql);
        KeReleaseSpinLock(&Port->ControlLock, controlIrql);
        return;
    }
    if (!Resume) {
        Port->WriteStarting = FALSE;
        Port->WriteLength = (LONG)WriteLengthOf(irp);
        Port->WriteCurrentChar = IsXoffCounter(irp)
                                     ? &static_cast<PSERIAL_XOFF_COUNTER>(irp->AssociatedIrp.SystemBuffer)->XoffChar
                                     : static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    }
    ULONG length = 0;
    if (!Port->WriteTimedOut) {
        if (held) {
            Port->WriteParked = Port->WriteHeld = TRUE;
            IoReleaseCancelSpinLock(irql);
            KeReleaseSpinLock(&Port->ControlLock, controlIrql);
            return;
        }
        length = NextChunk(Port);
    }
    // Timed out before its first chunk: an empty transfer, whose completion finishes it.
    LONG generation = CurrentGeneration(Port);
    NTSTATUS built = BuildChunk(Port, length, generation);
    if (built == STATUS_INSUFFICIENT_RESOURCES) {
        // Every bulk OUT slot is taken, typically by chunks of cancelled writes still draining: the
        // write waits parked, and the completion that frees a slot sends it on.
        Port->WriteParked = Port->WriteHeld = TRUE;
        IoReleaseCancelSpinLock(irql);
        KeReleaseSpinLock(&Port->ControlLock, controlIrql);
        return;
    }
    Port->WriteParked = Port->WriteHeld = FALSE;
    Port->InFlightChunk = length;
    SetRefBits(irp, RefBitsOf(irp) | RefTransfer);
    IoReleaseCancelSpinLock(irql);
    KeReleaseSpinLock(&Port->ControlLock, controlIrql);
    SendBuilt(Port, built, generation);
}

VOID NTAPI SendWriteChunk(PortExtension *Port) { TrySend(Port, TRUE); }

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
        Port->WriteLength = 0;
        Port->InFlightChunk = 0;
        Port->WriteParked = FALSE;
        Port->WriteTimedOut = FALSE;
        Port->WriteStarting = TRUE;
        IoReleaseCancelSpinLock(irql);
        TrySend(Port, FALSE);
        return result;
    }
}

VOID NTAPI ContinueWrite(PortExtension *Port, ULONG Sent, LONG Generation) {
    REQUIRE_NO_PORT_LOCK(Port);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentWrite;
    if (CurrentGeneration(Port) != Generation || !irp || !(RefBitsOf(irp) & RefTransfer) || Port->WriteLength == 0) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    Port->PerfStats.TransmittedCount += Sent;
    Port->WmiPerfData.TransmittedCount += Sent;
    // A short transfer leaves the rest of its chunk for the next one.
    ULONG moved = Sent < Port->InFlightChunk ? Sent : Port->InFlightChunk;
    Port->WriteCurrentChar += moved;
    Port->WriteLength -= (LONG)moved;
    Port->InFlightChunk = 0;

    if (Port->WriteLength == 0) {
        // Every byte went before a time-out could take the write: it succeeds.
        if (Port->WriteTimedOut) {
            Port->WriteTimedOut = FALSE;
            SetRefBits(irp, RefBitsOf(irp) & ~RefTotalTimer);
        }
        irp->IoStatus.Information = WriteLengthOf(irp);
        QueueDpcCounted(&Port->CompleteWriteDpc, NULL, NULL, Port);
        IoReleaseCancelSpinLock(irql);

        KeAcquireSpinLock(&Port->ControlLock, &irql);
        ULONG mask = Port->WaitMask;
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (mask & SERIAL_EV_TXEMPTY) AddHistory(Port, SERIAL_EV_TXEMPTY);
        if (mask) NotifyEvents(Port);
        return;
    }
    if (Port->WriteTimedOut) {
        Port->WriteTimedOut = FALSE;
        FinishCurrentWrite(Port, TakeBackWrite, irql, STATUS_TIMEOUT, RefTotalTimer);
        return;
    }
    ULONG chunk = NextChunk(Port);
    NTSTATUS built = BuildChunk(Port, chunk, Generation);
    if (built == STATUS_INSUFFICIENT_RESOURCES) {
        // No slot free: parked, and TrySend (which takes ControlLock for the hint) tries again.
        Port->InFlightChunk = 0;
        SetRefBits(irp, RefBitsOf(irp) & ~RefTransfer);
        Port->WriteParked = TRUE;
        IoReleaseCancelSpinLock(irql);
        TrySend(Port, TRUE);
        return;
    }
    Port->InFlightChunk = chunk;
    IoReleaseCancelSpinLock(irql);
    SendBuilt(Port, built, Generation);
}

VOID NTAPI WriteChunkLost(PortExtension *Port, NTSTATUS Why, LONG Generation) { EndLostWrite(Port, Generation, Why); }

VOID NTAPI CompleteWriteDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishCurrentWrite(port, NULL, irql, STATUS_SUCCESS, RefTransfer);
    DpcFinished(port);
}

VOID NTAPI WriteTimeoutDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL controlIrql, irql;
    KeAcquireSpinLock(&port->ControlLock, &controlIrql);
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->CurrentWrite;
    ULONG bits = irp ? RefBitsOf(irp) : 0;
    BOOLEAN drained = FALSE, empty = FALSE;
    LONG generation = 0;
    NTSTATUS built = STATUS_SUCCESS;
    if (bits & RefTotalTimer) {
        if (port->WriteParked) {
            // Nothing is out to finish it: an empty transfer will (with no slot free, once parked
            // writes are sent on).
            port->WriteTimedOut = TRUE;
            port->InFlightChunk = 0;
            generation = CurrentGeneration(port);
            built = BuildChunk(port, 0, generation);
            if (built != STATUS_INSUFFICIENT_RESOURCES) {
                port->WriteParked = port->WriteHeld = FALSE;
                SetRefBits(irp, bits | RefTransfer);
                empty = TRUE;
            }
        } else if (!port->WriteStarting && port->WriteLength == 0) {
            drained = TRUE;  // all confirmed; CompleteWriteDpc queued or already gone
        } else {
            port->WriteTimedOut = TRUE;  // a chunk is out, or the first is about to go
        }
    }
    // A write taken back (cancelled, or its chunk lost) after the timer expired also looks drained,
    // with fewer bytes counted than asked for: the time-out came first, and says so.
    NTSTATUS status = drained && irp->IoStatus.Information != WriteLengthOf(irp) ? STATUS_TIMEOUT : STATUS_SUCCESS;
    IoReleaseCancelSpinLock(irql);
    KeReleaseSpinLock(&port->ControlLock, controlIrql);
    if (empty) SendBuilt(port, built, generation);
    if (drained) {
        // Still current: nobody else drops RefTotalTimer.
        IoAcquireCancelSpinLock(&irql);
        FinishCurrentWrite(port, NULL, irql, status, RefTotalTimer);
    }
    DpcFinished(port);
}

VOID NTAPI CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    REQUIRE_CANCEL_LOCK_HELD();
    PortExtension *port = PortOf(DeviceObject);
    // A chunk in flight cannot be recalled from here (DISPATCH_LEVEL); it is disowned instead.
    FinishCurrentWrite(port, TakeBackWrite, Irp->CancelIrql, STATUS_CANCELLED, RefCancel);
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
                if (current->IoStatus.Status == STATUS_SUCCESS) {
                    if (current->Cancel) {
                        current->IoStatus.Status = STATUS_CANCELLED;
                        current->IoStatus.Information = 0;
                    } else if (Port->CurrentXoff) {
                        // The last counter's count ran out and its DPC has yet to take it.
                        current->IoStatus.Status = STATUS_DEVICE_BUSY;
                        current->IoStatus.Information = 0;
                    } else {
                        IoSetCancelRoutine(current, CancelCurrentXoff);
                        SetRefBits(current, RefCancel);
                        Port->CurrentXoff = current;
                        ArmXoffCounter(Port);
                        ULONG timeout = static_cast<PSERIAL_XOFF_COUNTER>(current->AssociatedIrp.SystemBuffer)->Timeout;
                        if (timeout) {
                            LARGE_INTEGER due;
                            due.QuadPart = (LONGLONG)timeout * -1000LL;  // units of 100 microseconds
                            SetTimerCounted(&Port->XoffCountTimer, due, &Port->XoffCountTimeoutDpc, Port);
                            SetRefBits(current, RefBitsOf(current) | RefTotalTimer);
                        }
                        complete = FALSE;
                    }
                }
            }
        }
        TakeNextRequestLocked(Slot, Queue, Next, complete, Port, irql);
        PIRP next = *Next;
        if (!next || IoGetCurrentIrpStackLocation(next)->MajorFunction != IRP_MJ_FLUSH_BUFFERS) return;
        // A flush waits only for what was queued before it: it is done now.
        next->IoStatus.Status = STATUS_SUCCESS;
        CompleteCurrent = TRUE;
    }
}
