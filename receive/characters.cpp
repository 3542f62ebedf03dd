// The receive rules, character by character, between the bulk IN pipe and the ring: statistics,
// the data mask, null stripping, automatic transmit flow control, escape doubling and events.
#include "receive/receive.h"
#include "requests/requests.h"
#include "usb/transfer.h"

// One received byte: count, mask, strip, act on XON/XOFF, store, raise events.
VOID ReceiveByte(PortExtension *Port, UCHAR Byte) {
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
            if ((flow & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE) TriggerRtsDrop(Port);
        } else if (Port->TxHoldReasons & TX_HOLD_XOFF) {
            Port->TxHoldReasons &= ~TX_HOLD_XOFF;
            Port->TxXoffHeld = 0;
            resume = Port->WriteHeld;
        }
        KeReleaseSpinLock(&Port->ControlLock, irql);
        if (resume && h && h->SendWriteChunk) h->SendWriteChunk(Port);
        return;
    }

    if (Port->IsOpen && h && h->PutChar) {
        KeAcquireSpinLockAtDpcLevel(&Port->RxLock);
        h->PutChar(Port, c);
        if (Port->IsOpen && Port->EscapeChar && c == Port->EscapeChar) h->PutChar(Port, SERIAL_LSRMST_ESCAPE);
        KeReleaseSpinLockFromDpcLevel(&Port->RxLock);
    }
    // Events are raised even for a byte dropped because the port is closing.
    ULONG mask = CurrentWaitMask(Port), events = 0;
    if (mask & SERIAL_EV_RXCHAR) events |= SERIAL_EV_RXCHAR;
    if ((mask & SERIAL_EV_RXFLAG) && c == Port->SpecialChars.EventChar) events |= SERIAL_EV_RXFLAG;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (!mask) return;
    if (events) AddHistory(Port, (LONG)events);
    if (h && h->NotifyEvents) h->NotifyEvents(Port);
}

VOID ReceiveBytes(PortExtension *Port, PUCHAR Bytes, ULONG Count) {
    for (ULONG i = 0; i < Count; i++) ReceiveByte(Port, Bytes[i]);
}
