// Transmit toggle: RTS is up while the port transmits and goes down once the line is idle. The
// chip reports nothing of its transmitter, so the port keeps its own account: each bulk OUT
// completion means the chip holds those characters, and they end on the line one character time
// each after the ones before them (or after the completion, if the line was idle by then). That
// end is never early: the chip cannot have started them before it had them.
#include "control/control.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "usb/transfer.h"

static LONGLONG SystemTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

VOID NoteBytesToLine(PortExtension *Port, ULONG Bytes) {
    REQUIRE_NO_PORT_LOCK(Port);
    if (!Bytes) return;
    LONGLONG charTime = CharTime(Port);
    LONGLONG now = SystemTime();
    KIRQL irql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    LONGLONG from = Port->TxLineFreeAt > now ? Port->TxLineFreeAt : now;
    Port->TxLineFreeAt = from + charTime * (LONGLONG)Bytes;
    KeReleaseSpinLock(&Port->ControlLock, irql);
}

// One more attempt, counted before it is queued so that close never reads 0 in between.
VOID TriggerRtsDrop(PortExtension *Port) {
    InterlockedIncrement(&Port->RtsDropPending);
    if (!QueueDpcCounted(&Port->ArmRtsDropDpc, NULL, NULL, Port)) InterlockedDecrement(&Port->RtsDropPending);
}

// The attempt that is running goes on at Wait (relative, 100 ns) or merges with the one armed.
static VOID ArmCheck(PortExtension *Port, LONGLONG Wait) {
    LARGE_INTEGER due;
    due.QuadPart = -Wait;
    if (SetTimerCounted(&Port->RtsDropTimer, due, &Port->RtsDropDpc, Port)) InterlockedDecrement(&Port->RtsDropPending);
}

// Ends one attempt: lowers RTS, tries again later, or gives up when transmission is pending (its
// end triggers again), the port is out of toggle mode or closing.
static VOID RtsDropCheck(PortExtension *Port) {
    REQUIRE_NO_PORT_LOCK(Port);
    KIRQL irql, cancelIrql;
    KeAcquireSpinLock(&Port->ControlLock, &irql);
    ULONG holds = Port->TxHoldReasons;
    BOOLEAN candidate = Port->IsOpen && (Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE &&
                        !(holds & TX_HOLD_BREAK);
    LONGLONG freeAt = Port->TxLineFreeAt;
    IoAcquireCancelSpinLock(&cancelIrql);
    // Queued writes that are held are not transmission about to happen.
    candidate = candidate && !Port->CurrentWrite && !Port->CurrentImmediate &&
                (IsListEmpty(&Port->WriteQueue) || holds != 0);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&Port->ControlLock, irql);
    if (candidate) {
        LONGLONG wait = 0;
        // Bytes still on their way to the chip move the end of transmission on: look again later.
        if (TransferOutstanding(Port, BulkOut))
            wait = CharTime(Port);
        else
            wait = freeAt - SystemTime();
        if (wait > 0)
            ArmCheck(Port, wait);
        else
            (void)ClearRts(Port);
        if (wait > 0) return;  // the attempt goes on in the timer
    }
    InterlockedDecrement(&Port->RtsDropPending);
}

VOID NTAPI ArmRtsDropDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    RtsDropCheck(port);
    DpcFinished(port);
}

VOID NTAPI RtsDropDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    RtsDropCheck(port);
    DpcFinished(port);
}

// The bit time rounded up to a whole 100 ns, times start, data, parity and stop bits.
LONGLONG CharTime(PortExtension *port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    if (port->CurrentBaud == 0) port->CurrentBaud = 9600;
    ULONGLONG baud = port->CurrentBaud;
    UCHAR lc = port->LineControl;
    KeReleaseSpinLock(&port->ControlLock, irql);
    ULONGLONG bits = 1 + 5 + (lc & 0x03) + ((lc & 0x38) ? 1 : 0) + ((lc & 0x04) ? 2 : 1);
    return (LONGLONG)(((baud + 9999999) / baud) * bits);
}
