// Counted DPCs and timers: PendingDpcCount holds one for every queued DPC and armed timer of the
// port, so that close can wait until none of its deferred work is left to run.
#include "requests/requests.h"

BOOLEAN QueueDpcCounted(PKDPC Dpc, PVOID Argument1, PVOID Argument2, PortExtension *Port) {
    // Counted before the insert: the DPC may run and finish on another processor before
    // KeInsertQueueDpc returns here.
    InterlockedIncrement(&Port->PendingDpcCount);
    BOOLEAN queued = KeInsertQueueDpc(Dpc, Argument1, Argument2);
    if (!queued) DpcFinished(Port);
    return queued;
}

BOOLEAN SetTimerCounted(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, PortExtension *Port) {
    InterlockedIncrement(&Port->PendingDpcCount);
    // Already armed: the new due time replaces the old one and still only one DPC follows.
    BOOLEAN wasArmed = KeSetTimer(Timer, DueTime, Dpc);
    if (wasArmed) DpcFinished(Port);
    return wasArmed;
}

LARGE_INTEGER RelativeDueFromMs(ULONGLONG Ms) {
    // Half the range keeps "now + due time" from overflowing for any realistic uptime.
    const ULONGLONG longest = 0x7FFFFFFFFFFFFFFFULL / 20000;
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)((Ms < longest ? Ms : longest) * 10000);
    return due;
}

BOOLEAN CancelTimerCounted(PKTIMER Timer, PortExtension *Port) {
    BOOLEAN stopped = KeCancelTimer(Timer);
    if (stopped) DpcFinished(Port);
    return stopped;
}

VOID DpcFinished(PortExtension *Port) {
    if (InterlockedDecrement(&Port->PendingDpcCount) == 0)
        KeSetEvent(&Port->DpcsDrainedEvent, IO_NO_INCREMENT, FALSE);
}
