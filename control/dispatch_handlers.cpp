// The device-control requests the dispatcher carries out itself: time-outs, special characters,
// line-status insertion, communication status, properties, statistics and the queue-size buffer.
#include "control/dispatch.h"

#include "usb/syncrequest.h"

#define CHIP_XON_XOFF_REGISTER 0x0505

NTSTATUS AllocateQueueSizeRing(PortExtension *Port, ULONG InSize, PVOID *Ring) {
    *Ring = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    ULONG current = Port->RxBufferSize;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (InSize <= current) return STATUS_SUCCESS;
    // Charged to the caller, whose quota may be spent: a failure must come back as a value.
    *Ring = ExAllocatePoolWithQuotaTag((POOL_TYPE)(NonPagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE), InSize,
                                       MIRAVO_POOL_TAG);
    return *Ring ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The read and write paths copy Timeouts under ControlLock; taking it here keeps their copy whole.
NTSTATUS SetTimeouts(PortExtension *Port, const SERIAL_TIMEOUTS *Timeouts) {
    if (Timeouts->ReadIntervalTimeout == MAXULONG && Timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        Timeouts->ReadTotalTimeoutConstant == MAXULONG)
        return STATUS_INVALID_PARAMETER;
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->Timeouts = *Timeouts;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    return STATUS_SUCCESS;
}

VOID GetTimeouts(PortExtension *Port, PSERIAL_TIMEOUTS Timeouts) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    *Timeouts = Port->Timeouts;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

NTSTATUS SetChars(PortExtension *Port, const SERIAL_CHARS *Chars) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    // An escape character equal to a flow-control character would make the two unreadable.
    UCHAR escape = Port->EscapeChar;
    if (escape && (escape == Chars->XonChar || escape == Chars->XoffChar)) {
        KeReleaseSpinLock(&Port->ControlLock, irql);
        return STATUS_INVALID_PARAMETER;
    }
    Port->WmiCommData.XonCharacter = Chars->XonChar;
    Port->WmiCommData.XoffCharacter = Chars->XoffChar;
    Port->SpecialChars = *Chars;
    BOOLEAN newerChip = IsNewerChip(Port);
    KeReleaseSpinLock(&Port->ControlLock, irql);

    // Older chips have no character register; the port's copy is what counts either way.
    if (newerChip)
        (void)VendorWrite(Port->DeviceObject, CHIP_XON_XOFF_REGISTER,
                          (USHORT)((UCHAR)Chars->XonChar + 256 * (UCHAR)Chars->XoffChar));
    return STATUS_SUCCESS;
}

VOID GetChars(PortExtension *Port, PSERIAL_CHARS Chars) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    *Chars = Port->SpecialChars;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

NTSTATUS SetEscapeChar(PortExtension *Port, UCHAR Char) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (Char && (Char == Port->SpecialChars.XonChar || Char == Port->SpecialChars.XoffChar ||
                 (Port->HandFlow.FlowReplace & SERIAL_ERROR_CHAR)))
        status = STATUS_INVALID_PARAMETER;
    else
        Port->EscapeChar = Char;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    return status;
}

// ControlLock (the ring count and error word) outside the cancel lock (queue counts and slots),
// as the lock order requires.
VOID GetCommStatus(PortExtension *Port, PSERIAL_STATUS Status) {
    RtlZeroMemory(Status, sizeof(*Status));
    KIRQL controlIrql, cancelIrql;
    KeAcquireSpinLock(&Port->ControlLock, &controlIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    Status->Errors = Port->CommErrors;
    Port->CommErrors = 0;

    ULONG tx = Port->TxHoldReasons, rx = Port->RxHoldReasons, hold = 0;
    if (tx & 0x1) hold |= SERIAL_TX_WAITING_FOR_CTS;
    if (tx & 0x2) hold |= SERIAL_TX_WAITING_FOR_DSR;
    if (tx & 0x8) hold |= SERIAL_TX_WAITING_FOR_XON;
    if (tx & 0x10) hold |= SERIAL_TX_WAITING_ON_BREAK;
    if (rx & 0x8) hold |= SERIAL_RX_WAITING_FOR_DSR;
    if (rx & 0x2) hold |= SERIAL_TX_WAITING_XOFF_SENT;
    Status->HoldReasons = hold;
    Status->AmountInInQueue = Port->RxRingCount;

    ULONG queued = Port->TxCharsQueued;
    PIRP write = Port->CurrentWrite;
    if (Port->WriteLength && write && IoGetCurrentIrpStackLocation(write)->MajorFunction == IRP_MJ_WRITE) {
        ULONG sent = IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length - (ULONG)Port->WriteLength;
        queued -= sent < queued ? sent : queued;
    }
    Status->AmountInOutQueue = queued;
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->ControlLock, controlIrql);
}

VOID GetProperties(PortExtension *Port, PSERIAL_COMMPROP Properties) {
    RtlZeroMemory(Properties, sizeof(*Properties));
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = 2;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = 0xFF;     // handshakes, parity check, XON/XOFF, settable XON/XOFF, both time-outs
    Properties->SettableParams = 0x7F;       // parity, baud, data bits, stop bits, handshaking, parity check, carrier
    Properties->SettableBaud = Port->SettableBauds;
    Properties->SettableData = 0x000F;       // 5 to 8 data bits
    Properties->SettableStopParity = 0x1F07; // 1, 1.5, 2 stop bits; none, odd, even, mark, space
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Properties->CurrentRxQueue = Port->RxBufferSize;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

// The receive path counts under ControlLock, the write path under the cancel lock: holding both
// keeps a copy or a clear from tearing against either.
VOID GetStats(PortExtension *Port, PSERIALPERF_STATS Stats) {
    KIRQL controlIrql, cancelIrql;
    KeAcquireSpinLock(&Port->ControlLock, &controlIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    *Stats = Port->PerfStats;
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->ControlLock, controlIrql);
}

VOID ClearStats(PortExtension *Port) {
    KIRQL controlIrql, cancelIrql;
    KeAcquireSpinLock(&Port->ControlLock, &controlIrql);
    IoAcquireCancelSpinLock(&cancelIrql);
    RtlZeroMemory(&Port->PerfStats, sizeof(Port->PerfStats));
    RtlZeroMemory(&Port->WmiPerfData, sizeof(Port->WmiPerfData));
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->ControlLock, controlIrql);
}
