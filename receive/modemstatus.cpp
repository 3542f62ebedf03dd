// Modem status: the chip's status word becomes a modem-status register byte, the CTS and DSR
// transmit holds, the DSR receive hold, the modem events and, in LSRMST-insert mode, a status
// sequence in the data.
#include "receive/receive.h"

// A line's change bit, with its state bit set or cleared to match the line.
static UCHAR LineChange(USHORT Now, USHORT Changed, USHORT Line, UCHAR Delta, UCHAR State) {
    if (!(Changed & Line)) return 0;
    return (UCHAR)(Delta | ((Now & Line) ? State : 0));
}

// A handshake's transmit hold follows its line while the chip does that handshake.
static VOID FollowLine(PortExtension *Port, UCHAR FlowOn, BOOLEAN LineOn, ULONG Hold) {
    if (!FlowOn) return;
    if (LineOn)
        Port->TxHoldReasons &= ~Hold;
    else
        Port->TxHoldReasons |= Hold;
}

UCHAR NTAPI UpdateModemStatus(PortExtension *Port) {
    REQUIRE_IRQL(DISPATCH_LEVEL);
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    REQUIRE_LOCK_HELD(&Port->RxLock);
    USHORT now = Port->UartStatus;
    USHORT changed = (USHORT)(now ^ Port->LastUartStatus);

    UCHAR delta = LineChange(now, changed, UART_DCD, SERIAL_MSR_DDCD, SERIAL_MSR_DCD);
    delta |= LineChange(now, changed, UART_DSR, SERIAL_MSR_DDSR, SERIAL_MSR_DSR);
    // The older chips report a ring as a level: every look while it rings is a ring.
    if (!IsNewerChip(Port))
        delta |= (now & UART_RING) ? (UCHAR)(SERIAL_MSR_TERI | SERIAL_MSR_RI) : (UCHAR)0;
    else
        delta |= LineChange(now, changed, UART_RING, SERIAL_MSR_TERI, SERIAL_MSR_RI);
    delta |= LineChange(now, changed, UART_CTS, SERIAL_MSR_DCTS, SERIAL_MSR_CTS);

    UCHAR state = 0;
    if (now & UART_DCD) state |= SERIAL_MSR_DCD;
    if (now & UART_DSR) state |= SERIAL_MSR_DSR;
    if (now & UART_RING) state |= SERIAL_MSR_RI;
    if (now & UART_CTS) state |= SERIAL_MSR_CTS;
    FollowLine(Port, Port->ChipDsrFlowOn, (now & UART_DSR) != 0, TX_HOLD_DSR);
    FollowLine(Port, Port->ChipCtsFlowOn, (now & UART_CTS) != 0, TX_HOLD_CTS);
    Port->LastUartStatus = now;

    const UCHAR changes = SERIAL_MSR_DCTS | SERIAL_MSR_DDSR | SERIAL_MSR_TERI | SERIAL_MSR_DDCD;
    if (Port->EscapeChar && (delta & changes)) {
        PutChar(Port, Port->EscapeChar);
        PutChar(Port, SERIAL_LSRMST_MST);
        PutChar(Port, state);
    }

    if ((Port->HandFlow.ControlHandShake & SERIAL_DSR_SENSITIVITY) && !(state & SERIAL_MSR_DSR))
        Port->RxHoldReasons |= RX_HOLD_DSR;
    else
        Port->RxHoldReasons &= ~RX_HOLD_DSR;

    ULONG mask = Port->WaitMask;
    if (mask) {
        ULONG events = 0;
        if (delta & SERIAL_MSR_DCTS) events |= SERIAL_EV_CTS;
        if (delta & SERIAL_MSR_DDSR) events |= SERIAL_EV_DSR;
        if (delta & SERIAL_MSR_TERI) events |= SERIAL_EV_RING;
        if (delta & SERIAL_MSR_DDCD) events |= SERIAL_EV_RLSD;
        if (events & mask) AddHistory(Port, (LONG)(events & mask));
        NotifyEvents(Port);
    }

    (void)UpdateLineStatus(Port);
    return state;
}
