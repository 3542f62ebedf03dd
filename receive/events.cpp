// Event notification: accumulated wait-on-mask events go to the waiting request, if there is one.
#include "receive/receive.h"
#include "requests/requests.h"

// The XP kernel has no InterlockedOr to import.
VOID AddHistory(PortExtension *Port, LONG Events) {
    LONG old = InterlockedCompareExchange(&Port->HistoryMask, 0, 0), seen;
    while ((seen = InterlockedCompareExchange(&Port->HistoryMask, old | Events, old)) != old) old = seen;
}

VOID NTAPI NotifyEvents(PortExtension *Port) {
    for (;;) {
        // Callers on other processors return at once; the one inside looks again on its way out.
        if (InterlockedExchange(&Port->EventNotifyBusy, 1)) return;
        PULONG result = Port->MaskResultLocation;
        LONG events = result ? InterlockedExchange(&Port->HistoryMask, 0) : 0;
        if (events) {
            *result = (ULONG)events;
            Port->CurrentWait->IoStatus.Information = sizeof(ULONG);
            Port->MaskResultLocation = NULL;
            QueueDpcCounted(&Port->CompleteWaitDpc, NULL, NULL, Port);
        }
        InterlockedExchange(&Port->EventNotifyBusy, 0);
        // Events added while the guard was up found it taken and left them for us.
        if (!Port->MaskResultLocation || !InterlockedCompareExchange(&Port->HistoryMask, 0, 0)) return;
    }
}

VOID NTAPI CompleteWaitDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    PortExtension *port = DPC_PORT(DeferredContext);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, NULL, irql, STATUS_SUCCESS, &port->CurrentWait, NULL, NULL, NULL, NULL, NULL, RefTransfer);
    DpcFinished(port);
}
