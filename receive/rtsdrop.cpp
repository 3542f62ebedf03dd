// Transmit-toggle RTS drop. Lowering RTS waits for the end of transmission, which the chip does not
// report; until that rule is built, every attempt ends at once, so that close never waits on one.
#include "receive/receive.h"
#include "requests/requests.h"

VOID NTAPI EndRtsDropAttemptDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    InterlockedDecrement(&port->RtsDropPending);
    DpcFinished(port);
}
