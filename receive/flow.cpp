// Receive flow control: the holds PutChar takes as the ring fills are given back once it has
// drained to XonLimit. Telling the far end (XOFF/XON, DTR, RTS) and restarting the bulk IN pipe are
// requests to the bus, which may complete inside the call and so cannot be made under the port's
// locks, where the holds change: RxFlowDpc brings the far end in line with the holds instead.
#include "control/control.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "usb/transfer.h"

VOID RequestRxFlowUpdate(PortExtension *Port) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    QueueDpcCounted(&Port->RxFlowDpc, NULL, NULL, Port);
}

VOID ReleaseRxHolds(PortExtension *Port) {
    REQUIRE_LOCK_HELD(&Port->ControlLock);
    // The DSR hold follows DSR, not the ring.
    ULONG holds = Port->RxHoldReasons & (RX_HOLD_DTR | RX_HOLD_XOFF | RX_HOLD_RTS);
    if (!holds || Port->RxRingCount > (ULONG)Port->HandFlow.XonLimit) return;
    Port->RxHoldReasons &= ~holds;
    if (holds & (RX_HOLD_XOFF | RX_HOLD_RTS)) Port->RxFlowState |= RX_FLOW_RESUME_IN;
    RequestRxFlowUpdate(Port);
}

NTSTATUS SendFlowChar(PortExtension *Port, BOOLEAN Xon) {
    REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL);
    REQUIRE_NO_PORT_LOCK(Port);
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    UCHAR c = Xon ? Port->SpecialChars.XonChar : Port->SpecialChars.XoffChar;
    KeReleaseSpinLock(&Port->ControlLock, irql);
    return SubmitBulkOut(Port->DeviceObject, FlowChar, &c, 1);
}

// What the far end was told is recorded before it is told: a failed request is not repeated, and
// the next change of the holds tells it again.
VOID NTAPI RxFlowDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    ULONG holds = port->RxHoldReasons;
    UCHAR told = port->RxFlowState;
    BOOLEAN open = port->IsOpen;
    BOOLEAN sendXoff = FALSE, sendXon = FALSE, dropDtr = FALSE, raiseDtr = FALSE, resume = FALSE;
    BOOLEAN dropRts = FALSE, raiseRts = FALSE;
    if (open) {
        // The newer chips send XON and XOFF themselves.
        BOOLEAN xoff = (holds & RX_HOLD_XOFF) != 0;
        if (!IsNewerChip(port) && xoff != ((told & RX_FLOW_TOLD_XOFF) != 0)) {
            sendXoff = xoff;
            sendXon = !xoff;
            told ^= RX_FLOW_TOLD_XOFF;
        }
        BOOLEAN dtrLow = (holds & RX_HOLD_DTR) != 0;
        if ((port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_HANDSHAKE) {
            told &= ~RX_FLOW_TOLD_DTR_LOW;  // the handshake's setting owns DTR now
        } else if (dtrLow != ((told & RX_FLOW_TOLD_DTR_LOW) != 0)) {
            dropDtr = dtrLow;
            raiseDtr = !dtrLow;
            told ^= RX_FLOW_TOLD_DTR_LOW;
        }
        // A chip that does not follow its receive FIFO with RTS needs the driver to move the line;
        // on one that does, a line the handshake setting lowered only has to come back up.
        BOOLEAN rtsLow = (holds & RX_HOLD_RTS) && !port->ChipRtsFlowOn;
        if ((port->HandFlow.FlowReplace & SERIAL_RTS_MASK) != SERIAL_RTS_HANDSHAKE) {
            told &= ~RX_FLOW_TOLD_RTS_LOW;
        } else if (rtsLow != ((told & RX_FLOW_TOLD_RTS_LOW) != 0)) {
            dropRts = rtsLow;
            raiseRts = !rtsLow;
            told ^= RX_FLOW_TOLD_RTS_LOW;
        }
        resume = (told & RX_FLOW_RESUME_IN) && !(holds & (RX_HOLD_XOFF | RX_HOLD_RTS));
        if (resume) told &= ~RX_FLOW_RESUME_IN;
        port->RxFlowState = told;
    }
    KeReleaseSpinLock(&port->ControlLock, irql);
    // Restarting the bulk IN pipe first lets the far end's answer to XON find it running. A link
    // still out is left alone: its completion sees the hold gone and goes on by itself.
    if (resume) (void)SubmitTransfer(port->DeviceObject, BulkIn, NULL, BULK_IN_BYTES);
    if (sendXoff || sendXon) (void)SendFlowChar(port, sendXon);
    if (dropDtr) (void)ClearDtr(port);
    if (raiseDtr) (void)SetDtr(port);
    if (dropRts) (void)ClearRts(port);
    if (raiseRts) (void)SetRts(port);
    DpcFinished(port);
}
