// Event notification: accumulated wait-on-mask events go to the waiting request, if there is one.
#include "receive/receive.h"
#include "requests/requests.h"

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
