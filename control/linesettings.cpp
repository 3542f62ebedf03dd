// Line settings: the rate tables, the line-control byte and the SET_LINE_CODING request.
#include "control/control.h"

#include "usb/syncrequest.h"

// Divisor code = 0x80000000 + e * 512 + m, with m = 384000000 / rate divided by 4 per step of e
// until it fits 8 bits (or e reaches 7); bit 8 stays clear.
const StandardRate StandardRateTable[STANDARD_RATE_ROWS] = {
    {6000000, 0x80000040}, {3000000, 0x80000080}, {2457600, 0x8000009C}, {1228800, 0x8000024E},
    {921600, 0x80000268},  {812500, 0x80000276},  {806400, 0x80000277},  {614400, 0x8000029C},
    {460800, 0x800002D0},  {406250, 0x800002EC},  {403200, 0x800002EE},  {268800, 0x80000459},
    {230400, 0x80000468},  {201600, 0x80000477},  {161280, 0x80000494},  {134400, 0x800004B2},
    {128000, 0x800004BB},  {115200, 0x800004D0},  {57600, 0x80000668},   {38400, 0x8000069C},
    {28800, 0x800006D0},   {19200, 0x8000084E},   {14400, 0x80000868},   {9600, 0x8000089C},
    {7200, 0x800008D0},    {4800, 0x80000A4E},    {3600, 0x80000A68},    {2400, 0x80000A9C},
    {1800, 0x80000AD0},    {1200, 0x80000C4E},    {600, 0x80000C9C},     {300, 0x80000E4E},
    {150, 0x80000E9C},     {75, 0x80000F38},      {0, 0x00000000},
};

#define LAST_STANDARD_ROW (STANDARD_RATE_ROWS - 1)
#define PLAIN_RATE_LIMIT 115200  // newer chips take divisor codes only above this rate
#define SMALL_WRITE_CHUNK 256
#define LARGE_WRITE_CHUNK 4096
#define RATE_CHANGE_SETTLE (-500000LL)  // 50 ms, relative

#define CDC_SET_LINE_CODING 0x20
#define LINE_CODING_BYTES 7

BOOLEAN MatchStandardRate(PULONG Rate, PULONG Row) {
    ULONG rate = *Rate;
    for (ULONG i = 0; i < STANDARD_RATE_ROWS; i++) {
        if (StandardRateTable[i].Rate == rate) {
            *Row = i;
            return TRUE;
        }
    }
    for (ULONG i = 0; i < LAST_STANDARD_ROW; i++) {
        ULONG upper = StandardRateTable[i].Rate, lower = StandardRateTable[i + 1].Rate;
        ULONG mid = (upper + lower) / 2;
        ULONG chosen;
        if (rate > mid)
            chosen = i;
        else if (rate < mid && rate > lower)
            chosen = i + 1;
        else
            continue;
        *Row = chosen;
        *Rate = StandardRateTable[chosen].Rate;
        return TRUE;
    }
    return FALSE;
}

BOOLEAN MatchExtendedRate(ULONG Rate, PULONG Row) {
    for (LONG i = 0; i < DriverGlobals.ExtendedRateCount && i < EXTENDED_RATE_ROWS; i++) {
        if ((ULONG)DriverGlobals.ExtendedRateTable[i].RequestedRate == Rate) {
            *Row = (ULONG)i;
            return TRUE;
        }
    }
    return FALSE;
}

// SET_LINE_CODING with these seven bytes. STATUS_INSUFFICIENT_RESOURCES from here means nothing
// was sent; *Sent tells it apart from the same status coming back from the USB stack.
static NTSTATUS SendLineCodingRequest(PortExtension *port, const UCHAR *coding, BOOLEAN *sent) {
    *sent = FALSE;
    struct Block {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
        UCHAR Data[8];
    };
    Block *block = (Block *)ExAllocatePoolWithTag(NonPagedPool, sizeof(Block), MIRAVO_POOL_TAG);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, sizeof(Block));
    RtlCopyMemory(block->Data, coding, LINE_CODING_BYTES);
    PURB urb = (PURB)&block->Urb;
    *sent = TRUE;
    UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, (USHORT)CONTROL_URB_BYTES, USBD_TRANSFER_DIRECTION_OUT, 0,
                          CDC_SET_LINE_CODING, 0, 0, block->Data, NULL, LINE_CODING_BYTES, NULL);
    NTSTATUS status = SyncUsbRequest(port->DeviceObject, urb);
    ExFreePoolWithTag(block, MIRAVO_POOL_TAG);
    return status;
}

NTSTATUS SetBaudRate(PortExtension *Port, ULONG Rate) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_UNSUCCESSFUL;
    if (Rate == 0 || Rate == Port->CurrentBaud) return STATUS_SUCCESS;

    BOOLEAN newerChip = IsNewerChip(Port);
    ULONG row;
    ULONG value;
    if (newerChip && MatchExtendedRate(Rate, &row)) {
        value = DriverGlobals.ExtendedRateTable[row].ChipRateValue;
    } else {
        // 37 sits exactly between 75 and 0; like every other midpoint it takes the lower rate.
        if (!MatchStandardRate(&Rate, &row)) {
            row = LAST_STANDARD_ROW;
            Rate = StandardRateTable[row].Rate;
        }
        value = newerChip && StandardRateTable[row].Rate > PLAIN_RATE_LIMIT ? StandardRateTable[row].DivisorCode
                                                                            : StandardRateTable[row].Rate;
    }

    UCHAR coding[LINE_CODING_BYTES];
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->LineCoding[0] = (UCHAR)value;
    Port->LineCoding[1] = (UCHAR)(value >> 8);
    Port->LineCoding[2] = (UCHAR)(value >> 16);
    Port->LineCoding[3] = (UCHAR)(value >> 24);
    RtlCopyMemory(coding, Port->LineCoding, LINE_CODING_BYTES);
    KeReleaseSpinLock(&Port->ControlLock, irql);

    BOOLEAN sent;
    NTSTATUS status = SendLineCodingRequest(Port, coding, &sent);
    if (!sent) return status;

    // The port keeps the setting even when the chip did not take it.
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->CurrentBaud = Rate;
    Port->WmiCommData.BaudRate = Rate;
    Port->MaxWriteChunk = newerChip && Rate >= PLAIN_RATE_LIMIT ? LARGE_WRITE_CHUNK : SMALL_WRITE_CHUNK;
    KeReleaseSpinLock(&Port->ControlLock, irql);

    LARGE_INTEGER settle;
    settle.QuadPart = RATE_CHANGE_SETTLE;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    return status;
}

NTSTATUS SendLineCoding(PortExtension *Port) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_SUCCESS;

    // Parity code by bits 3-5; the patterns without the enable bit mean no parity.
    static const UCHAR parityCodes[8] = {0, 1, 0, 2, 0, 3, 0, 4};
    UCHAR coding[LINE_CODING_BYTES];
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    UCHAR lineControl = Port->LineControl;
    UCHAR dataBits = (UCHAR)((lineControl & 3) + 5);
    Port->LineCoding[4] = (lineControl & 4) ? (dataBits == 5 ? 1 : 2) : 0;
    Port->LineCoding[5] = parityCodes[(lineControl >> 3) & 7];
    Port->LineCoding[6] = dataBits;
    RtlCopyMemory(coding, Port->LineCoding, LINE_CODING_BYTES);
    KeReleaseSpinLock(&Port->ControlLock, irql);

    BOOLEAN sent;
    return SendLineCodingRequest(Port, coding, &sent);
}

// Only a setting that was applied is remembered: a refused one must be refused again. All zero
// (WordLength 0, never valid) means nothing applied yet.
BOOLEAN LineControlRepeats(PortExtension *Port, const UCHAR *Bytes) {
    return Port->LastLineControl[2] != 0 &&
           RtlCompareMemory(Bytes, Port->LastLineControl, sizeof(Port->LastLineControl)) == sizeof(Port->LastLineControl);
}

NTSTATUS SetLineControl(PortExtension *Port, const SERIAL_LINE_CONTROL *LineControl) {
    static const UCHAR dataMasks[4] = {0x1F, 0x3F, 0x7F, 0xFF};
    static const UCHAR parityPatterns[5] = {0x00, 0x08, 0x18, 0x28, 0x38};
    // Mark and space swap their numbers between the serial and the WMI codings.
    static const ULONG wmiParity[5] = {SERIAL_WMI_PARITY_NONE, SERIAL_WMI_PARITY_ODD, SERIAL_WMI_PARITY_EVEN,
                                       SERIAL_WMI_PARITY_MARK, SERIAL_WMI_PARITY_SPACE};

    // Everything is checked before anything changes: a refused request leaves the port as it was.
    UCHAR wordLength = LineControl->WordLength;
    if (wordLength < 5 || wordLength > 8 || LineControl->Parity > SPACE_PARITY) return STATUS_INVALID_PARAMETER;
    UCHAR dataCode = (UCHAR)(wordLength - 5);

    UCHAR stopFlag;
    ULONG wmiStopBits;
    switch (LineControl->StopBits) {
    case STOP_BIT_1:
        stopFlag = 0;
        wmiStopBits = SERIAL_WMI_STOP_1;
        break;
    case STOP_BITS_1_5:
        if (wordLength != 5) return STATUS_INVALID_PARAMETER;
        stopFlag = 0x04;
        wmiStopBits = SERIAL_WMI_STOP_1_5;
        break;
    case STOP_BITS_2:
        if (wordLength == 5) return STATUS_INVALID_PARAMETER;
        stopFlag = 0x04;
        wmiStopBits = SERIAL_WMI_STOP_2;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }

    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->LineControl = (UCHAR)(stopFlag | parityPatterns[LineControl->Parity] | dataCode);
    Port->ValidDataMask = dataMasks[dataCode];
    Port->WmiCommData.BitsPerByte = wordLength;
    Port->WmiCommData.Parity = wmiParity[LineControl->Parity];
    Port->WmiCommData.StopBits = wmiStopBits;
    Port->LastLineControl[0] = LineControl->StopBits;
    Port->LastLineControl[1] = LineControl->Parity;
    Port->LastLineControl[2] = wordLength;
    KeReleaseSpinLock(&Port->ControlLock, irql);

    (void)SendLineCoding(Port);
    return STATUS_SUCCESS;
}

VOID GetBaudRate(PortExtension *Port, PSERIAL_BAUD_RATE BaudRate) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    BaudRate->BaudRate = Port->CurrentBaud;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

VOID GetLineControl(PortExtension *Port, PSERIAL_LINE_CONTROL LineControl) {
    static const UCHAR parities[8] = {NO_PARITY, ODD_PARITY, NO_PARITY, EVEN_PARITY,
                                      NO_PARITY, MARK_PARITY, NO_PARITY, SPACE_PARITY};
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    UCHAR lineControl = Port->LineControl;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    LineControl->WordLength = (UCHAR)((lineControl & 3) + 5);
    LineControl->Parity = parities[(lineControl >> 3) & 7];
    if (!(lineControl & 4))
        LineControl->StopBits = STOP_BIT_1;
    else
        LineControl->StopBits = LineControl->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
}
