// Transmit-toggle RTS drop. Lowering RTS waits for the end of transmission, which the chip does not
// report; until that rule is built, every attempt ends at once, so that close never waits on one.
#include "receive/receive.h"
#include "requests/requests.h"

VOID NTAPI EndRtsDropAttemptDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    InterlockedDecrement(&port->RtsDropPending);
    DpcFinished(port);
}

// One character on the line in 100 ns units: the bit time rounded up, times start, data, parity
// and stop bits. A port that never had a rate counts as 9600 and keeps it.
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

VOID TriggerRtsDrop(PortExtension *) {}
