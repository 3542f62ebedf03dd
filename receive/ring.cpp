// The receive ring. PutChar stores at RxPutSlot inside the current target: the ring itself, or,
// while a read waits for more than the ring held, that read's own buffer (direct mode).
#include "receive/receive.h"
#include "requests/requests.h"
#include "requests/write.h"

static VOID SetRingMode(PortExtension *Port) {
    Port->RxRingCount = 0;
    Port->RxTarget = Port->RxPutSlot = Port->RxTakeSlot = Port->RxRingStart;
    Port->RxTargetLast = Port->RxRingStart + Port->RxBufferSize - 1;
}

// The limits follow every new size, whatever an application set before.
VOID SetRingLimits(PortExtension *Port) {
    ULONG size = Port->RxBufferSize;
    Port->HandFlow.XoffLimit = (LONG)(size / 8);
    Port->HandFlow.XonLimit = (LONG)(size / 2);
    Port->WmiCommData.XoffXmitThreshold = size / 8;
    Port->WmiCommData.XonXmitThreshold = size / 2;
    Port->RxEightyPercent = (size / 4) * 3 + size / 16;
}

NTSTATUS AllocateRing(PortExtension *Port) {
    ULONG size;
    switch (MmQuerySystemSize()) {
    case MmLargeSystem: size = RING_BYTES_LARGE; break;
    case MmMediumSystem: size = RING_BYTES_MEDIUM; break;
    default: size = RING_BYTES_SMALL; break;
    }
    PUCHAR ring;
    for (;;) {
        ring = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, MIRAVO_POOL_TAG));
        if (ring || size == RING_BYTES_SMALL) break;
        size = size == RING_BYTES_LARGE ? RING_BYTES_MEDIUM : RING_BYTES_SMALL;
    }
    if (!ring) return STATUS_INSUFFICIENT_RESOURCES;

    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
    PUCHAR old = Port->RxRingStart;
    Port->RxRingStart = ring;
    Port->RxBufferSize = size;
    SetRingMode(Port);
    SetRingLimits(Port);
    KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
    KeReleaseSpinLock(&Port->ControlLock, irql);
    // An open that was never matched by a close must not strand the earlier ring.
    if (old) ExFreePoolWithTag(old, MIRAVO_POOL_TAG);
    return STATUS_SUCCESS;
}

VOID FreeRing(PortExtension *Port) {
    // The bulk IN chain only stops at its next completion, so PutChar may still be running:
    // it must find no ring rather than a freed one.
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
    PUCHAR ring = Port->RxRingStart;
    Port->RxRingStart = Port->RxTarget = Port->RxPutSlot = Port->RxTakeSlot = Port->RxTargetLast = NULL;
    Port->RxBufferSize = 0;
    Port->RxRingCount = 0;
    KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (ring) ExFreePoolWithTag(ring, MIRAVO_POOL_TAG);
}

// The hold a character must pass before anything else happens to it: FALSE drops it. UartStatus
// and the settings are ControlLock's, so one look stands for a whole run.
static BOOLEAN PassesDsrHold(PortExtension *Port) {
    // Only the DSR hold is refreshed: a full modem-status pass would consume line changes before
    // the status packet's own pass saw them, and its line-status step would store through here.
    if (!(Port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY)) return TRUE;
    if (Port->UartStatus & UART_DSR)
        Port->RxHoldReasons &= ~RX_HOLD_DSR;
    else
        Port->RxHoldReasons |= RX_HOLD_DSR;
    return !(Port->RxHoldReasons & RX_HOLD_DSR);
}

// The read's buffer is full. It cannot complete before CompleteReadDpc drops the transfer side's
// reference, so CurrentRead stays put meanwhile.
static VOID EndDirectMode(PortExtension *Port) {
    SetRingMode(Port);
    PIRP read = Port->CurrentRead;
    if (read) read->IoStatus.Information = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
    QueueDpcCounted(&Port->CompleteReadDpc, NULL, NULL, Port);
}

// With less room than RX_HOLD_HEADROOM the subtraction wraps and the RTS and XOFF holds are
// never taken: a small ring relies on the DTR hold alone.
static ULONG HoldRoom(PortExtension *Port) { return Port->RxBufferSize - (ULONG)Port->HandFlow.XoffLimit; }

// The receive holds the handshake settings have the filling ring take.
static ULONG HoldsInUse(PortExtension *Port) {
    ULONG holds = 0;
    if ((Port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) holds |= RX_HOLD_DTR;
    // Both stop the bulk IN pipe being resubmitted.
    if ((Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) holds |= RX_HOLD_RTS;
    if (Port->HandFlow.FlowReplace & SERIAL_AUTO_RECEIVE) holds |= RX_HOLD_XOFF;
    return holds;
}

// One character that passed the DSR hold and the XOFF counter.
static VOID StoreOne(PortExtension *Port, UCHAR Char) {
    ULONG handshake = Port->HandFlow.ControlHandShake;
    ULONG flow = Port->HandFlow.FlowReplace;

    if (Port->RxTarget != Port->RxRingStart) {
        Port->RxDirectCount++;
        *Port->RxPutSlot = Char;
        if (Port->RxPutSlot != Port->RxTargetLast)
            Port->RxPutSlot++;
        else
            EndDirectMode(Port);
        return;
    }

    ULONG room = HoldRoom(Port);
    ULONG next = Port->RxRingCount + 1;
    ULONG inUse = HoldsInUse(Port), holds = Port->RxHoldReasons;
    if (room <= next) holds |= inUse & RX_HOLD_DTR;
    if (room - RX_HOLD_HEADROOM <= next) holds |= inUse & (RX_HOLD_RTS | RX_HOLD_XOFF);
    if (holds != Port->RxHoldReasons) {
        Port->RxHoldReasons = holds;
        // DTR and XOFF reach the far end from RxFlowDpc: the bus must not be called under RxLock.
        if (holds & (RX_HOLD_DTR | RX_HOLD_XOFF | RX_HOLD_RTS)) RequestRxFlowUpdate(Port);
    }

    if (Port->RxRingCount < Port->RxBufferSize) {
        *Port->RxPutSlot = Char;
        if (++Port->RxRingCount == Port->RxEightyPercent && (CurrentWaitMask(Port) & SERIAL_EV_RX80FULL)) {
            AddHistory(Port, SERIAL_EV_RX80FULL);
            NotifyEvents(Port);
        }
        Port->RxPutSlot = Port->RxPutSlot == Port->RxTargetLast ? Port->RxRingStart : Port->RxPutSlot + 1;
        return;
    }

    COUNT_STATISTIC(Port, BufferOverrunErrorCount);
    Port->CommErrors |= SERIAL_ERROR_QUEUEOVERRUN;
    if (flow & SERIAL_ERROR_CHAR) {
        PUCHAR newest = Port->RxPutSlot == Port->RxRingStart ? Port->RxTargetLast : Port->RxPutSlot - 1;
        *newest = Port->SpecialChars.ErrorChar;
    }
    if (handshake & SERIAL_ERROR_ABORT) QueueDpcCounted(&Port->ErrorAbortDpc, NULL, NULL, Port);
}

VOID NTAPI PutChar(PortExtension *Port, UCHAR Char) {
    REQUIRE_IRQL(DISPATCH_LEVEL);
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    REQUIRE_LOCK_HELD(&Port->RxLock);
    if (!Port->RxRingStart) return;  // closed, or closing under a late bulk IN completion
    if (!PassesDsrHold(Port)) return;
    CountXoffChars(Port, 1);
    StoreOne(Port, Char);
}

// How many characters from the ring's count Count on can be stored before one of them takes a
// receive hold it does not have yet: the one that does is StoreOne's.
static ULONG BeforeHold(PortExtension *Port, ULONG Count) {
    ULONG missing = HoldsInUse(Port) & ~Port->RxHoldReasons, room = HoldRoom(Port), limit = MAXULONG;
    // A character stored at count m takes a hold whose mark is at most m + 1.
    ULONG dtrMark = room, pipeMark = room - RX_HOLD_HEADROOM;
    if (missing & RX_HOLD_DTR) limit = dtrMark > Count + 1 ? dtrMark - Count - 1 : 0;
    if (missing & (RX_HOLD_RTS | RX_HOLD_XOFF)) {
        ULONG before = pipeMark > Count + 1 ? pipeMark - Count - 1 : 0;
        if (before < limit) limit = before;
    }
    return limit;
}

VOID PutChars(PortExtension *Port, const UCHAR *Chars, ULONG Count) {
    REQUIRE_IRQL(DISPATCH_LEVEL);
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    REQUIRE_LOCK_HELD(&Port->RxLock);
    if (!Count || !Port->RxRingStart || !PassesDsrHold(Port)) return;
    CountXoffChars(Port, Count);
    while (Count) {
        ULONG n;
        if (Port->RxTarget != Port->RxRingStart) {
            ULONG space = (ULONG)(Port->RxTargetLast - Port->RxPutSlot) + 1;
            n = Count < space ? Count : space;
            RtlCopyMemory(Port->RxPutSlot, Chars, n);
            Port->RxDirectCount += n;
            if (n < space)
                Port->RxPutSlot += n;
            else
                EndDirectMode(Port);
        } else {
            // A run stops short of the ring's end, of the 80% mark and of a new hold; full, each
            // character is lost on its own.
            ULONG count = Port->RxRingCount;
            n = Port->RxBufferSize - count;
            ULONG tail = (ULONG)(Port->RxTargetLast - Port->RxPutSlot) + 1;
            if (tail < n) n = tail;
            if (count < Port->RxEightyPercent && Port->RxEightyPercent - count - 1 < n)
                n = Port->RxEightyPercent - count - 1;
            ULONG hold = BeforeHold(Port, count);
            if (hold < n) n = hold;
            if (Count < n) n = Count;
            if (n == 0) {
                StoreOne(Port, *Chars);
                n = 1;
            } else {
                RtlCopyMemory(Port->RxPutSlot, Chars, n);
                Port->RxRingCount = count + n;
                Port->RxPutSlot = n == tail ? Port->RxRingStart : Port->RxPutSlot + n;
            }
        }
        Chars += n;
        Count -= n;
    }
}

ULONG CopyFromRing(PortExtension *Port) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    ULONG n = Port->RxRingCount < Port->ReadNeeded ? Port->RxRingCount : Port->ReadNeeded;
    PIRP read = Port->CurrentRead;
    if (n) {
        PUCHAR to = static_cast<PUCHAR>(read->AssociatedIrp.SystemBuffer) +
                    (IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length - Port->ReadNeeded);
        // The ring's end from its start and size, which only change under ControlLock, unlike
        // RxTargetLast, which follows the store target.
        PUCHAR end = Port->RxRingStart + Port->RxBufferSize;
        ULONG tail = (ULONG)(end - Port->RxTakeSlot);
        if (tail > n) {
            RtlCopyMemory(to, Port->RxTakeSlot, n);
            Port->RxTakeSlot += n;
        } else {
            RtlCopyMemory(to, Port->RxTakeSlot, tail);
            RtlCopyMemory(to + tail, Port->RxRingStart, n - tail);
            Port->RxTakeSlot = Port->RxRingStart + (n - tail);
        }
        Port->ReadNeeded -= n;
    }
    read->IoStatus.Information += n;
    return n;
}

VOID ConsumeFromRing(PortExtension *Port, ULONG Count) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    Port->RxRingCount -= Count;
    ReleaseRxHolds(Port);
}

NTSTATUS ResizeRing(PortExtension *Port) {
    REQUIRE_NO_PORT_LOCK(Port);
    PIRP irp = Port->CurrentRead;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PUCHAR ring = static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    stack->Parameters.DeviceIoControl.Type3InputBuffer = NULL;
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;

    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    // The ring never shrinks; nor is one installed on a port that has none.
    if (!ring || !Port->RxRingStart || size <= Port->RxBufferSize) {
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (ring) ExFreePoolWithTag(ring, MIRAVO_POOL_TAG);
        return STATUS_SUCCESS;
    }

    PUCHAR old = Port->RxRingStart;
    ULONG count = Port->RxRingCount;
    ULONG tail = (ULONG)(old + Port->RxBufferSize - Port->RxTakeSlot);
    ULONG first = count < tail ? count : tail;
    RtlCopyMemory(ring, Port->RxTakeSlot, first);
    RtlCopyMemory(ring + first, old, count - first);

    // The store position is RxLock's, even though no read can be current while this runs.
    KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
    BOOLEAN ringMode = Port->RxTarget == old;
    Port->RxRingStart = Port->RxTakeSlot = ring;
    Port->RxBufferSize = size;
    if (ringMode) {
        Port->RxTarget = ring;
        Port->RxPutSlot = ring + count;
        Port->RxTargetLast = ring + size - 1;
    }
    KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
    SetRingLimits(Port);
    // The new limits may put the ring below XonLimit.
    ReleaseRxHolds(Port);
    KeReleaseSpinLock(&Port->ControlLock, irql);

    ExFreePoolWithTag(old, MIRAVO_POOL_TAG);
    return STATUS_SUCCESS;
}

VOID PurgeRing(PortExtension *Port) {
    REQUIRE_NO_PORT_LOCK(Port);
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
    // In direct mode the characters already belong to the read being filled.
    BOOLEAN purged = Port->RxRingStart && Port->RxTarget == Port->RxRingStart;
    if (purged) SetRingMode(Port);
    KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
    if (purged) ReleaseRxHolds(Port);
    KeReleaseSpinLock(&Port->ControlLock, irql);
}
