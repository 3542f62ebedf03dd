// Handshake settings: IOCTL_SERIAL_SET_HANDFLOW's checks, applying a setting to the lines, the
// receive and transmit holds and the chip's flow-control registers, and those registers' shadows.
//
// Register 0 holds every hardware handshake of the chip in separate fields: bits 7-6 the output
// handshake (01 CTS, 11 the chip's own XON/XOFF), bits 5-4 the RTS handshake (10: RTS follows the
// receive FIFO; 01 goes with CTS and DSR together), bits 3-2 the DSR output handshake (10). Each
// switch rebuilds the fields from all the handshakes in force, so that turning one on or off
// never takes another with it.
#include "control/control.h"
#include "receive/receive.h"
#include "requests/write.h"
#include "usb/configuration.h"
#include "usb/transfer.h"

#define REG0_KEPT 0x03
#define REG0_OUTPUT_CTS 0x40
#define REG0_OUTPUT_XON_XOFF 0xC0
#define REG0_RTS_FOLLOWS_FIFO 0x20
#define REG0_CTS_WITH_DSR 0x10
#define REG0_DSR 0x08
#define REG1_DSR_LINES 0x07
#define REG1_DSR_ONLY 0x05
#define OUTPUT_HANDSHAKES (SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DCD_HANDSHAKE)

NTSTATUS ReadChipRegister(PortExtension *Port, ULONG Register) {
    UCHAR value;
    NTSTATUS status = VendorRead(Port->DeviceObject, (USHORT)(CHIP_REGISTER_READ + Register), &value);
    if (NT_SUCCESS(status)) Port->RegisterShadow[Register] = value;
    return status;
}

NTSTATUS WriteChipRegister(PortExtension *Port, ULONG Register) {
    USHORT value = Port->RegisterShadow[Register];
    if (KeGetCurrentIrql() == PASSIVE_LEVEL) return VendorWrite(Port->DeviceObject, (USHORT)Register, value);
    PURB urb = BuildControlUrb(URB_FUNCTION_VENDOR_DEVICE, CHIP_VENDOR_REQUEST, (USHORT)Register, value);
    return urb ? SubmitAsyncUrb(Port->DeviceObject, urb) : STATUS_NO_MEMORY;
}

// Register 0 as just read, with its handshake fields made to say what is in force.
static VOID ComposeFlowRegister(PortExtension *port, BOOLEAN xonXoff) {
    UCHAR value = (UCHAR)(port->RegisterShadow[0] & REG0_KEPT);
    if (xonXoff)
        value |= REG0_OUTPUT_XON_XOFF;
    else if (port->ChipCtsFlowOn)
        value |= REG0_OUTPUT_CTS;
    if (port->ChipRtsFlowOn)
        value |= REG0_RTS_FOLLOWS_FIFO;
    else if (port->ChipCtsFlowOn && port->ChipDsrFlowOn)
        value |= REG0_CTS_WITH_DSR;
    if (port->ChipDsrFlowOn) value |= REG0_DSR;
    port->RegisterShadow[0] = value;
}

static BOOLEAN ChipXonXoffOn(PortExtension *port) {
    return IsNewerChip(port) && (port->RegisterShadow[0] & REG0_OUTPUT_XON_XOFF) == REG0_OUTPUT_XON_XOFF;
}

// Types 3 and 4 select the DSR handshake's lines in register 1.
static VOID SetDsrLines(PortExtension *port) {
    if (port->ChipType < ChipType3) return;
    (void)ReadChipRegister(port, 1);
    if (port->ChipDsrFlowOn)
        port->RegisterShadow[1] |= REG1_DSR_LINES;
    else
        port->RegisterShadow[1] &= (UCHAR)~REG1_DSR_LINES;
    (void)WriteChipRegister(port, 1);
}

// The output handshake's transmit hold follows its input line from now on; the line's present
// level decides the hold now. A write parked behind a hold that went gets another try.
static VOID SetOutputHold(PortExtension *port, ULONG hold, USHORT line, BOOLEAN on, UCHAR *flag) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    if (on && !(port->UartStatus & line))
        port->TxHoldReasons |= hold;
    else
        port->TxHoldReasons &= ~hold;
    *flag = on ? 1 : 0;
    BOOLEAN parked = port->WriteHeld && !(port->TxHoldReasons & hold);
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (parked) SendWriteChunk(port);
}

NTSTATUS ChipRtsFlow(PortExtension *Port, BOOLEAN On) {
    if (!IsNewerChip(Port)) return STATUS_NOT_SUPPORTED;
    (void)ReadChipRegister(Port, 0);
    if (On) SetDsrLines(Port);
    Port->ChipRtsFlowOn = On ? 1 : 0;
    ComposeFlowRegister(Port, ChipXonXoffOn(Port));
    (void)WriteChipRegister(Port, 0);
    return STATUS_SUCCESS;
}

// Before identification (the start's restore) the chip's registers are left to its initialisation.
NTSTATUS ChipCtsFlow(PortExtension *Port, BOOLEAN On) {
    BOOLEAN known = Port->ChipType != ChipUnclassified;
    if (known) (void)ReadChipRegister(Port, 0);
    if (known && On) SetDsrLines(Port);
    SetOutputHold(Port, TX_HOLD_CTS, UART_CTS, On, &Port->ChipCtsFlowOn);
    if (!known) return STATUS_SUCCESS;
    ComposeFlowRegister(Port, ChipXonXoffOn(Port));
    (void)WriteChipRegister(Port, 0);
    return STATUS_SUCCESS;
}

NTSTATUS ChipDsrFlow(PortExtension *Port, BOOLEAN On) {
    if (Port->ChipType < ChipType3) return STATUS_SUCCESS;
    (void)ReadChipRegister(Port, 1);
    Port->RegisterShadow[1] &= (UCHAR)~REG1_DSR_LINES;
    (void)WriteChipRegister(Port, 1);
    (void)ReadChipRegister(Port, 0);
    if (On) {
        Port->RegisterShadow[1] |= Port->ChipCtsFlowOn ? REG1_DSR_LINES : REG1_DSR_ONLY;
        (void)WriteChipRegister(Port, 1);
    }
    SetOutputHold(Port, TX_HOLD_DSR, UART_DSR, On, &Port->ChipDsrFlowOn);
    ComposeFlowRegister(Port, ChipXonXoffOn(Port));
    (void)WriteChipRegister(Port, 0);
    return STATUS_SUCCESS;
}

NTSTATUS ChipXonXoffFlow(PortExtension *Port, BOOLEAN On) {
    if (!IsNewerChip(Port)) return STATUS_SUCCESS;
    (void)ReadChipRegister(Port, 0);  // above PASSIVE_LEVEL the shadow stands in for the chip
    ComposeFlowRegister(Port, On);
    // Only a write that could not be made is this request's failure.
    NTSTATUS status = WriteChipRegister(Port, 0);
    return status == STATUS_NO_MEMORY || status == STATUS_INSUFFICIENT_RESOURCES ? STATUS_NO_MEMORY : STATUS_SUCCESS;
}

NTSTATUS ValidateHandFlow(PortExtension *Port, const SERIAL_HANDFLOW *HandFlow) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    LONG ringSize = (LONG)Port->RxBufferSize;
    UCHAR escape = Port->EscapeChar;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if ((HandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) || (HandFlow->FlowReplace & SERIAL_FLOW_INVALID) ||
        (HandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || HandFlow->XonLimit < 0 ||
        HandFlow->XonLimit > ringSize || HandFlow->XoffLimit < 0 || HandFlow->XoffLimit > ringSize ||
        (escape && (HandFlow->FlowReplace & SERIAL_ERROR_CHAR)))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

VOID GetHandFlow(PortExtension *Port, PSERIAL_HANDFLOW HandFlow) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    *HandFlow = Port->HandFlow;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

enum LineMode { LineLow, LineHigh, LineHandshake };
enum LineAction { LeaveLine, RaiseLine, LowerLine };

// Under ControlLock. A receive handshake line is lowered, with its hold, at the XOFF level; below it
// the line is up, except that a hold already taken lasts until the ring has drained to XonLimit,
// as the receive path releases it. Without a ring there is nothing to hold back.
// A line lowered for a hold is recorded as the receive path records it, so that the hold's release
// by the ring draining raises it again.
static LineAction ReceiveLine(PortExtension *port, const SERIAL_HANDFLOW *flow, LineMode mode, ULONG hold) {
    UCHAR told = hold == RX_HOLD_DTR ? RX_FLOW_TOLD_DTR_LOW : RX_FLOW_TOLD_RTS_LOW;
    port->RxFlowState &= ~told;
    if (mode != LineHandshake) {
        port->RxHoldReasons &= ~hold;
        return mode == LineHigh ? RaiseLine : LowerLine;
    }
    BOOLEAN ring = port->RxRingStart != NULL;
    if (ring && port->RxBufferSize - (ULONG)flow->XoffLimit <= port->RxRingCount) {
        port->RxHoldReasons |= hold;
        port->RxFlowState |= told;
        return LowerLine;
    }
    if ((port->RxHoldReasons & hold) && ring && port->RxRingCount > (ULONG)flow->XonLimit) {
        port->RxFlowState |= told;  // still lowered for the hold taken before
        return LeaveLine;
    }
    port->RxHoldReasons &= ~hold;
    return RaiseLine;
}

static LineAction ReceiveLineLocked(PortExtension *port, const SERIAL_HANDFLOW *flow, LineMode mode, ULONG hold) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    LineAction action = ReceiveLine(port, flow, mode, hold);
    KeReleaseSpinLock(&port->ControlLock, irql);
    return action;
}

static VOID ActOnDtr(PortExtension *port, LineAction action) {
    if (action == RaiseLine) (void)SetDtr(port);
    if (action == LowerLine) (void)ClearDtr(port);
}

static VOID ActOnRts(PortExtension *port, LineAction action) {
    if (action == RaiseLine) (void)SetRts(port);
    if (action == LowerLine) (void)ClearRts(port);
}

VOID ApplyHandFlow(PortExtension *Port, const SERIAL_HANDFLOW *HandFlow) {
    REQUIRE_IRQL(PASSIVE_LEVEL);
    const SERIAL_HANDFLOW next = *HandFlow;  // HandFlow may be the port's own
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    const SERIAL_HANDFLOW old = Port->HandFlow;
    const BOOLEAN all = !Port->IsOpen;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    const ULONG control = next.ControlHandShake, flow = next.FlowReplace;
    const ULONG controlChanged = control ^ old.ControlHandShake, flowChanged = flow ^ old.FlowReplace;

    if (all || (controlChanged & OUTPUT_HANDSHAKES)) {
        (void)ChipCtsFlow(Port, (control & SERIAL_CTS_HANDSHAKE) != 0);
        (void)ChipDsrFlow(Port, (control & SERIAL_DSR_HANDSHAKE) != 0);
    }

    if (all || (controlChanged & SERIAL_DTR_MASK)) {
        ULONG dtr = control & SERIAL_DTR_MASK;
        LineMode mode = dtr == SERIAL_DTR_HANDSHAKE ? LineHandshake : dtr == SERIAL_DTR_CONTROL ? LineHigh : LineLow;
        ActOnDtr(Port, ReceiveLineLocked(Port, &next, mode, RX_HOLD_DTR));
    }

    const ULONG rts = flow & SERIAL_RTS_MASK;
    const BOOLEAN rtsRuns = all || (flowChanged & SERIAL_RTS_MASK);
    if (rtsRuns) {
        (void)ChipRtsFlow(Port, rts == SERIAL_RTS_HANDSHAKE);
        LineMode mode = rts == SERIAL_RTS_HANDSHAKE ? LineHandshake : rts == 0 ? LineLow : LineHigh;
        ActOnRts(Port, ReceiveLineLocked(Port, &next, mode, RX_HOLD_RTS));
    }

    // One switch on the chip serves both directions: on while either wants it.
    const BOOLEAN receiveRuns = all || (flowChanged & SERIAL_AUTO_RECEIVE);
    const BOOLEAN transmitRuns = all || (flowChanged & SERIAL_AUTO_TRANSMIT);
    if (receiveRuns || transmitRuns)
        (void)ChipXonXoffFlow(Port, (flow & (SERIAL_AUTO_RECEIVE | SERIAL_AUTO_TRANSMIT)) != 0);

    BOOLEAN sendXoff = FALSE, sendXon = FALSE, transmitReleased = FALSE;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    if (receiveRuns && (flow & SERIAL_AUTO_RECEIVE)) {
        // The newer chips send their own XOFF and XON; the driver's hold only pauses the pipe.
        if (Port->RxRingStart && Port->RxBufferSize - (ULONG)next.XoffLimit <= Port->RxRingCount &&
            !(Port->RxHoldReasons & RX_HOLD_XOFF)) {
            Port->RxHoldReasons |= RX_HOLD_XOFF;
            sendXoff = !IsNewerChip(Port);
        }
    } else if (receiveRuns && (Port->RxHoldReasons & RX_HOLD_XOFF)) {
        Port->RxHoldReasons &= ~RX_HOLD_XOFF;
        sendXon = TRUE;
    }
    if (transmitRuns && !(flow & SERIAL_AUTO_TRANSMIT) && (Port->TxHoldReasons & TX_HOLD_XOFF)) {
        Port->TxHoldReasons &= ~TX_HOLD_XOFF;
        Port->TxXoffHeld = 0;
        sendXon = transmitReleased = TRUE;
    }
    Port->HandFlow = next;
    // A pipe hold given back here has no ring drain to restart the bulk IN pipe; the receive path
    // may have taken and parked one while the chip requests above ran, so whatever was held on
    // entry, an open port without a hold gets its pipe going (a chain already out is left alone).
    const BOOLEAN resumeReceive = Port->IsOpen && !(Port->RxHoldReasons & (RX_HOLD_RTS | RX_HOLD_XOFF));
    const BOOLEAN parked = transmitReleased && Port->WriteHeld;
    KeReleaseSpinLock(&Port->ControlLock, irql);

    if (sendXoff) (void)SendFlowChar(Port, FALSE);
    if (sendXon) (void)SendFlowChar(Port, TRUE);
    if (resumeReceive) (void)SubmitTransfer(Port->DeviceObject, BulkIn, NULL, BULK_IN_BYTES);
    if (parked) SendWriteChunk(Port);
    // Toggling starts with RTS up; the drop check lowers it once nothing is being sent.
    if (rtsRuns && rts == SERIAL_TRANSMIT_TOGGLE) TriggerRtsDrop(Port);
}
