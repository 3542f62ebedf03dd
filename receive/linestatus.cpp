// Line-status processing: the error bits of the chip's status word become statistics, CommErrors
// bits, replacement characters, the break and error events and, in LSRMST-insert mode, status
// sequences in the data.
#include "receive/receive.h"
#include "requests/requests.h"

// The errors a line-status register can report; the chip has no data-ready or transmitter bits.
#define LINE_STATUS_ERRORS (SERIAL_LSR_OE | SERIAL_LSR_PE | SERIAL_LSR_FE | SERIAL_LSR_BI | SERIAL_LSR_FIFOERR)

UCHAR NTAPI UpdateLineStatus(PortExtension *Port) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    REQUIRE_LOCK_HELD(&Port->RxLock);
    USHORT status = Port->UartStatus;
    UCHAR lsr = 0;
    if (status & UART_OVERRUN) lsr |= SERIAL_LSR_OE;
    if (status & UART_PARITY) lsr |= SERIAL_LSR_PE;
    if (status & UART_FRAMING) lsr |= SERIAL_LSR_FE;
    if (status & UART_BREAK) lsr |= SERIAL_LSR_BI;
    if (!(lsr & LINE_STATUS_ERRORS)) return lsr;

    ULONG flow = Port->HandFlow.FlowReplace;
    // The status sequence comes first, so an application sees what the replacement characters
    // that follow stand for.
    if (Port->EscapeChar) {
        PutChar(Port, Port->EscapeChar);
        PutChar(Port, SERIAL_LSRMST_LSR_NODATA);
        PutChar(Port, lsr);
    }
    if (lsr & SERIAL_LSR_OE) {
        COUNT_STATISTIC(Port, SerialOverrunErrorCount);
        Port->CommErrors |= SERIAL_ERROR_OVERRUN;
        if (flow & SERIAL_ERROR_CHAR) PutChar(Port, Port->SpecialChars.ErrorChar);
    }
    if (lsr & SERIAL_LSR_BI) {
        // A break garbles the character it interrupts: its parity and framing are not errors.
        Port->CommErrors |= SERIAL_ERROR_BREAK;
        if (flow & SERIAL_BREAK_CHAR) PutChar(Port, Port->SpecialChars.BreakChar);
    } else {
        if (lsr & SERIAL_LSR_PE) {
            COUNT_STATISTIC(Port, ParityErrorCount);
            Port->CommErrors |= SERIAL_ERROR_PARITY;
            if (flow & SERIAL_ERROR_CHAR) PutChar(Port, Port->SpecialChars.ErrorChar);
        }
        if (lsr & SERIAL_LSR_FE) {
            COUNT_STATISTIC(Port, FrameErrorCount);
            Port->CommErrors |= SERIAL_ERROR_FRAMING;
            if (flow & SERIAL_ERROR_CHAR) PutChar(Port, Port->SpecialChars.ErrorChar);
        }
    }
    if (Port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT)
        QueueDpcCounted(&Port->ErrorAbortDpc, NULL, NULL, Port);

    // An application waiting for a break or a line error hears of it. The errors are the ones
    // counted above: a break hides the parity and framing bits of the character it garbles.
    ULONG mask = CurrentWaitMask(Port), events = 0;
    if (lsr & SERIAL_LSR_BI) events |= SERIAL_EV_BREAK;
    if ((lsr & SERIAL_LSR_OE) || (!(lsr & SERIAL_LSR_BI) && (lsr & (SERIAL_LSR_PE | SERIAL_LSR_FE))))
        events |= SERIAL_EV_ERR;
    if (events & mask) {
        AddHistory(Port, (LONG)(events & mask));
        NotifyEvents(Port);
    }
    return lsr;
}
