// DTR and RTS, break, the XOFF/XON requests and the modem-status read.
//
// The chip learns DTR and RTS from SET_CONTROL_LINE_STATE, which carries the whole ModemControl
// word. A thread at PASSIVE_LEVEL sends the word itself and waits; the receive path and the DPCs
// change the word under ModemControlLock and leave the sending to LineStateDpc, since they may hold
// locks that the USB stack's submission must not be entered under. Control requests complete in
// the order they were submitted, so the chip ends with the latest word when each sender sends the
// word as it is at that moment and looks again after its request: a PASSIVE sender whose request
// came after a newer one sends again, and a DPC sender loops while changes arrive.
#include "control/control.h"
#include "driver/driver.h"
#include "receive/receive.h"
#include "requests/write.h"
#include "usb/syncrequest.h"
#include "usb/transfer.h"

#define CDC_SEND_BREAK 0x23
#define BREAK_UNTIL_CLEARED 0xFFFF

PURB BuildControlUrb(USHORT Function, UCHAR Request, USHORT Value, USHORT Index) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, CONTROL_URB_BYTES, MIRAVO_POOL_TAG);
    if (!urb) return NULL;
    RtlZeroMemory(urb, CONTROL_URB_BYTES);
    UsbBuildVendorRequest(urb, Function, (USHORT)CONTROL_URB_BYTES, USBD_TRANSFER_DIRECTION_OUT, 0, Request, Value,
                          Index, NULL, NULL, 0, NULL);
    return urb;
}

static PURB BuildLineStateUrb(USHORT Word) {
    return BuildControlUrb(URB_FUNCTION_CLASS_INTERFACE, CDC_SET_CONTROL_LINE_STATE, Word, 0);
}

static USHORT LineWord(PortExtension *port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ModemControlLock, &irql);
    USHORT word = port->ModemControl;
    KeReleaseSpinLock(&port->ModemControlLock, irql);
    return word;
}

// Sends Word and waits; again while ModemControl has moved on meanwhile, since a request that
// overtook ours may have left the chip an older word. Frees Urb.
static BOOLEAN SendLineWord(PortExtension *port, PURB urb, USHORT word) {
    PAGED_CODE();
    NTSTATUS status;
    for (;;) {
        UsbBuildVendorRequest(urb, URB_FUNCTION_CLASS_INTERFACE, (USHORT)CONTROL_URB_BYTES,
                              USBD_TRANSFER_DIRECTION_OUT, 0, CDC_SET_CONTROL_LINE_STATE, word, 0, NULL, NULL, 0,
                              NULL);
        status = SyncUsbRequest(port->DeviceObject, urb);
        USHORT now = LineWord(port);
        if (now == word) break;
        word = now;
    }
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return NT_SUCCESS(status);
}

static BOOLEAN ChangeLines(PortExtension *port, USHORT set, USHORT clear) {
    BOOLEAN passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    PURB urb = NULL;
    if (passive && !(urb = BuildLineStateUrb(0))) return FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&port->ModemControlLock, &irql);
    port->ModemControl = (USHORT)((port->ModemControl | set) & ~clear);
    USHORT word = port->ModemControl;
    // A DPC sender between taking a word and submitting it sends an older word after ours: it
    // has to look again.
    if (!passive || port->LineSenderActive) port->LineStatePending = TRUE;
    KeReleaseSpinLock(&port->ModemControlLock, irql);
    if (passive) return SendLineWord(port, urb, word);
    QueueDpcCounted(&port->LineStateDpc, NULL, NULL, port);
    return TRUE;
}

BOOLEAN SetDtr(PortExtension *Port) { return ChangeLines(Port, MODEM_CONTROL_DTR, 0); }
BOOLEAN ClearDtr(PortExtension *Port) { return ChangeLines(Port, 0, MODEM_CONTROL_DTR); }
BOOLEAN SetRts(PortExtension *Port) { return ChangeLines(Port, MODEM_CONTROL_RTS, 0); }
BOOLEAN ClearRts(PortExtension *Port) { return ChangeLines(Port, 0, MODEM_CONTROL_RTS); }

// One sender at a time, so that the words leave in the order they were taken.
VOID NTAPI LineStateDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KeAcquireSpinLockAtDpcLevel(&port->ModemControlLock);
    if (!port->LineSenderActive) {
        port->LineSenderActive = TRUE;
        while (port->LineStatePending) {
            port->LineStatePending = FALSE;
            USHORT word = port->ModemControl;
            KeReleaseSpinLockFromDpcLevel(&port->ModemControlLock);
            PURB urb = BuildLineStateUrb(word);
            if (urb) {
                InterlockedIncrement(&port->LineAsyncSends);
                (void)SubmitAsyncUrb(port->DeviceObject, urb);
            }
            KeAcquireSpinLockAtDpcLevel(&port->ModemControlLock);
            // Without memory the change stays pending for the next sender, or close's flush.
            if (!urb) {
                port->LineStatePending = TRUE;
                break;
            }
        }
        port->LineSenderActive = FALSE;
    }
    KeReleaseSpinLockFromDpcLevel(&port->ModemControlLock);
    DpcFinished(port);
}

// The default pipe completes in order: once this request is back, every earlier one is too.
VOID FlushLineState(PortExtension *Port, LONG Mark) {
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&Port->ModemControlLock, &irql);
    BOOLEAN behind = Port->LineStatePending || Port->LineAsyncSends != Mark;
    Port->LineStatePending = FALSE;
    USHORT word = Port->ModemControl;
    KeReleaseSpinLock(&Port->ModemControlLock, irql);
    PURB urb = behind ? BuildLineStateUrb(word) : NULL;
    if (urb) (void)SendLineWord(Port, urb, word);
}

static ULONG HandFlowField(PortExtension *port, BOOLEAN control, ULONG mask) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    ULONG value = (control ? port->HandFlow.ControlHandShake : port->HandFlow.FlowReplace) & mask;
    KeReleaseSpinLock(&port->ControlLock, irql);
    return value;
}

static BOOLEAN TransmitToggle(PortExtension *port) {
    return HandFlowField(port, FALSE, SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
}

NTSTATUS DtrRequest(PortExtension *Port, BOOLEAN Set) {
    if (HandFlowField(Port, TRUE, SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) return STATUS_INVALID_PARAMETER;
    (void)(Set ? SetDtr(Port) : ClearDtr(Port));
    return STATUS_SUCCESS;
}

NTSTATUS RtsRequest(PortExtension *Port, BOOLEAN Set) {
    ULONG rts = HandFlowField(Port, FALSE, SERIAL_RTS_MASK);
    if (rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE) return STATUS_INVALID_PARAMETER;
    (void)(Set ? SetRts(Port) : ClearRts(Port));
    return STATUS_SUCCESS;
}

VOID SetModemControl(PortExtension *Port, ULONG Value) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ModemControlLock, &irql);
    Port->ModemControl = (USHORT)Value;
    KeReleaseSpinLock(&Port->ModemControlLock, irql);
    (void)((Value & MODEM_CONTROL_DTR) ? SetDtr(Port) : ClearDtr(Port));
    (void)((Value & MODEM_CONTROL_RTS) ? SetRts(Port) : ClearRts(Port));
}

ULONG GetModemControl(PortExtension *Port) { return LineWord(Port); }

static UCHAR EvaluateModemStatus(PortExtension *port, BOOLEAN request) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    KeAcquireSpinLockAtDpcLevel(&port->RxLock);
    UCHAR state = UpdateModemStatus(port);
    // These types report RI in every packet while it is on: the request reports a ring once.
    if (request && (port->ChipType == ChipType0 || port->ChipType == ChipType1))
        port->UartStatus &= (USHORT)~UART_RING;
    KeReleaseSpinLockFromDpcLevel(&port->RxLock);
    KeReleaseSpinLock(&port->ControlLock, irql);
    return state;
}

ULONG GetModemStatus(PortExtension *Port) { return EvaluateModemStatus(Port, TRUE); }
VOID RefreshModemStatus(PortExtension *Port) { (void)EvaluateModemStatus(Port, FALSE); }

NTSTATUS SendBreak(PortExtension *Port, BOOLEAN On) {
    PURB urb = BuildControlUrb(URB_FUNCTION_CLASS_INTERFACE, CDC_SEND_BREAK, On ? BREAK_UNTIL_CLEARED : 0, 0);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = SyncUsbRequest(Port->DeviceObject, urb);
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return status;
}

VOID BreakOn(PortExtension *Port) {
    if (TransmitToggle(Port)) (void)SetRts(Port);
    (void)SendBreak(Port, TRUE);
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->TxHoldReasons |= TX_HOLD_BREAK;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

VOID BreakOff(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    BOOLEAN held = (Port->TxHoldReasons & TX_HOLD_BREAK) != 0;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (!held) return;
    (void)SendBreak(Port, FALSE);
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->TxHoldReasons &= ~TX_HOLD_BREAK;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    // The drop check itself waits for anything still to be sent.
    if (TransmitToggle(Port)) TriggerRtsDrop(Port);
}

VOID SetXoffHold(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->TxHoldReasons |= TX_HOLD_XOFF;
    BOOLEAN toggle = (Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (toggle) TriggerRtsDrop(Port);
}

// As a received XON: both of the receive path's XOFF marks go, and a write parked behind them
// goes on now rather than at the next status packet.
VOID ClearXoffHold(PortExtension *Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    Port->TxHoldReasons &= ~TX_HOLD_XOFF;
    Port->TxXoffHeld = 0;
    BOOLEAN parked = Port->WriteHeld;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (parked) SendWriteChunk(Port);
}
