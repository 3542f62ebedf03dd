// The receive rules between the bulk IN pipe and the ring: statistics, the data mask, null
// stripping, automatic transmit flow control, escape doubling and events. A completion's bytes
// are taken in one pass under the port's locks; runs of bytes that no rule looks at go to the
// store in one piece, and only the others are taken one at a time.
#include "receive/receive.h"
#include "requests/requests.h"
#include "usb/transfer.h"

// RxSpecial bits: a byte some rule acts on, and the event character, which matters only while
// the wait mask asks for it.
#define RX_SPECIAL_RULE 0x1
#define RX_SPECIAL_EVENT 0x2

// Everything the table depends on, with a bit that no unbuilt table (key 0) has.
static ULONGLONG SpecialKey(const PortExtension *Port) {
    ULONG flow = Port->HandFlow.FlowReplace & (SERIAL_NULL_STRIPPING | SERIAL_AUTO_TRANSMIT);
    return (1ULL << 48) | ((ULONGLONG)flow << 40) | ((ULONGLONG)Port->SpecialChars.EventChar << 32) |
           ((ULONGLONG)Port->SpecialChars.XoffChar << 24) | ((ULONGLONG)Port->SpecialChars.XonChar << 16) |
           ((ULONGLONG)Port->EscapeChar << 8) | Port->ValidDataMask;
}

// Checked against the settings at every hold of the locks, so it follows them whoever changed
// them and however.
static const UCHAR *SpecialBytes(PortExtension *Port) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    ULONGLONG key = SpecialKey(Port);
    if (key == Port->RxSpecialKey) return Port->RxSpecial;
    ULONG flow = Port->HandFlow.FlowReplace;
    const SERIAL_CHARS &chars = Port->SpecialChars;
    for (ULONG b = 0; b < sizeof(Port->RxSpecial); b++) {
        UCHAR c = (UCHAR)(b & Port->ValidDataMask), bits = 0;
        if (c == 0 && (flow & SERIAL_NULL_STRIPPING)) bits |= RX_SPECIAL_RULE;
        if ((flow & SERIAL_AUTO_TRANSMIT) && (c == chars.XoffChar || c == chars.XonChar)) bits |= RX_SPECIAL_RULE;
        if (Port->EscapeChar && c == Port->EscapeChar) bits |= RX_SPECIAL_RULE;
        if (c == chars.EventChar) bits |= RX_SPECIAL_EVENT;
        Port->RxSpecial[b] = bits;
    }
    Port->RxSpecialKey = key;
    return Port->RxSpecial;
}

// The tests' stand-in store takes characters one at a time; the ring's own takes runs.
static VOID Store(PortExtension *Port, const TransferHandoffs *h, const UCHAR *Chars, ULONG Count) {
    if (h->PutChar == PutChar) {
        PutChars(Port, Chars, Count);
        return;
    }
    for (ULONG i = 0; i < Count; i++) h->PutChar(Port, Chars[i]);
}

// Bytes no rule acts on: counted, masked in place and stored.
static VOID PlainRun(PortExtension *Port, const TransferHandoffs *h, PUCHAR Bytes, ULONG Count) {
    Port->PerfStats.ReceivedCount += Count;
    Port->WmiPerfData.ReceivedCount += Count;
    UCHAR mask = Port->ValidDataMask;
    if (mask != 0xFF)
        for (ULONG i = 0; i < Count; i++) Bytes[i] &= mask;
    if (Port->IsOpen && h && h->PutChar) Store(Port, h, Bytes, Count);
}

// One byte with every rule. TRUE when it released an XOFF hold on a parked write, which must be
// resumed without the locks.
static BOOLEAN RuleByte(PortExtension *Port, const TransferHandoffs *h, UCHAR Byte, ULONG WaitMask, ULONG *Events) {
    COUNT_STATISTIC(Port, ReceivedCount);
    UCHAR c = (UCHAR)(Byte & Port->ValidDataMask);
    ULONG flow = Port->HandFlow.FlowReplace;
    if (c == 0 && (flow & SERIAL_NULL_STRIPPING)) return FALSE;

    if ((flow & SERIAL_AUTO_TRANSMIT) && (c == Port->SpecialChars.XoffChar || c == Port->SpecialChars.XonChar)) {
        // XOFF first: with both characters equal, the character stops the transmitter.
        if (c == Port->SpecialChars.XoffChar) {
            Port->TxHoldReasons |= TX_HOLD_XOFF;
            Port->TxXoffHeld = 1;
            if ((flow & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) TriggerRtsDrop(Port);
            return FALSE;
        }
        if (!(Port->TxHoldReasons & TX_HOLD_XOFF)) return FALSE;
        Port->TxHoldReasons &= ~TX_HOLD_XOFF;
        Port->TxXoffHeld = 0;
        return Port->WriteHeld;
    }

    if (Port->IsOpen && h && h->PutChar) {
        h->PutChar(Port, c);
        if (Port->EscapeChar && c == Port->EscapeChar) h->PutChar(Port, SERIAL_LSRMST_ESCAPE);
    }
    // Events are raised even for a byte dropped because the port is closing.
    if (WaitMask & SERIAL_EV_RXCHAR) *Events |= SERIAL_EV_RXCHAR;
    if ((WaitMask & SERIAL_EV_RXFLAG) && c == Port->SpecialChars.EventChar) *Events |= SERIAL_EV_RXFLAG;
    return FALSE;
}

static VOID RaiseEvents(PortExtension *Port, const TransferHandoffs *h, ULONG WaitMask, ULONG *Events) {
    if (!WaitMask) return;
    if (*Events) AddHistory(Port, (LONG)*Events);
    *Events = 0;
    if (h && h->NotifyEvents) h->NotifyEvents(Port);
}

BOOLEAN ReceiveBytes(PortExtension *Port, PUCHAR Bytes, ULONG Count) {
    REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL);
    REQUIRE_NO_PORT_LOCK(Port);
    const TransferHandoffs *h = Port->Handoffs;
    ULONG i = 0;
    // A wait armed when the pass began hears of its first event at once, alone, as it would
    // with the bytes taken one at a time; later events gather in the history.
    BOOLEAN firstRaised = FALSE;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&Port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
        const UCHAR *special = SpecialBytes(Port);
        ULONG waitMask = CurrentWaitMask(Port), events = 0;
        UCHAR wanted = RX_SPECIAL_RULE | ((waitMask & SERIAL_EV_RXFLAG) ? RX_SPECIAL_EVENT : 0);
        BOOLEAN resume = FALSE;
        while (i < Count && !resume) {
            ULONG end = i;
            while (end < Count && !(special[Bytes[end]] & wanted)) end++;
            if (end > i) {
                if (!firstRaised && (waitMask & SERIAL_EV_RXCHAR)) end = i + 1;
                PlainRun(Port, h, Bytes + i, end - i);
                if (waitMask & SERIAL_EV_RXCHAR) events |= SERIAL_EV_RXCHAR;
                i = end;
            } else {
                resume = RuleByte(Port, h, Bytes[i++], waitMask, &events);
            }
            if (!firstRaised && events) {
                RaiseEvents(Port, h, waitMask, &events);
                firstRaised = TRUE;
            }
        }
        RaiseEvents(Port, h, waitMask, &events);
        BOOLEAN held = (Port->RxHoldReasons & (RX_HOLD_XOFF | RX_HOLD_RTS)) != 0;
        KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (resume && h && h->SendWriteChunk) h->SendWriteChunk(Port);
        if (i == Count) return held;
    }
}
