// Event notification: accumulated wait-on-mask events go to the waiting request, if there is one.
#include "control/control.h"
#include "receive/receive.h"
#include "requests/requests.h"

// The XP kernel has no InterlockedOr or InterlockedAnd to import.
static VOID ChangeHistory(PortExtension *Port, LONG Keep, LONG Add) {
    LONG old = ReadLong(&Port->HistoryMask), seen;
    while ((seen = InterlockedCompareExchange(&Port->HistoryMask, (old & Keep) | Add, old)) != old) old = seen;
}

VOID AddHistory(PortExtension *Port, LONG Events) { ChangeHistory(Port, ~0L, Events); }

VOID KeepHistory(PortExtension *Port, LONG Mask) { ChangeHistory(Port, Mask, 0); }

VOID NTAPI NotifyEvents(PortExtension *Port) {
    // Bits the mask in force does not name were raised against an older mask: they wake nobody.
    LONG mask = (LONG)CurrentWaitMask(Port);
    if (!(ReadLong(&Port->HistoryMask) & mask)) return;
    // Whoever takes the result word delivers; the other callers' bits are in the history it takes.
    PULONG result = TakeArmedWait(Port);
    if (!result) return;
    DeliverToWait(Port, result, (ULONG)(InterlockedExchange(&Port->HistoryMask, 0) & mask));
}

VOID NTAPI CompleteWaitDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, NULL, irql, STATUS_SUCCESS, &port->CurrentWait, NULL, NULL, NULL, NULL, NULL, RefTransfer);
    DpcFinished(port);
}
