// Counted DPCs and timers: PendingDpcCount holds one for every queued DPC and armed timer of the
// port, so that close can wait until none of its deferred work is left to run.
//
// A drain cannot trust KeRemoveQueueDpc to say whether a run was stopped (before Vista SP1 a TRUE
// may come with the routine still to run), so every counted run of a port DPC is settled by
// whoever claims it first from its CountedDpc: the run itself, through CountedDpcEntry, or the
// drain. A run the drain claimed returns at once if it starts after all.
#include "requests/requests.h"

static CountedDpc *CountedDpcOf(PortExtension *Port, PKDPC Dpc) {
    for (ULONG i = 0; i < PORT_COUNTED_DPCS; i++)
        if (Port->CountedDpcs[i].Dpc == Dpc) return &Port->CountedDpcs[i];
    return NULL;
}

static CountedDpc *CountedDpcOfTimer(PortExtension *Port, PKTIMER Timer) {
    for (ULONG i = 0; i < PORT_COUNTED_DPCS; i++)
        if (Port->CountedDpcs[i].Dpc && Port->CountedDpcs[i].Timer == Timer) return &Port->CountedDpcs[i];
    return NULL;
}

static VOID AddUnsettled(CountedDpc *Entry, LONG Change) {
    if (!Entry) return;
    if (Change > 0)
        InterlockedIncrement(&Entry->Unsettled);
    else
        InterlockedDecrement(&Entry->Unsettled);
}

// TRUE when the caller took one unsettled run and now settles it.
static BOOLEAN ClaimRun(CountedDpc *Entry) {
    LONG old = ReadLong(&Entry->Unsettled), seen;
    while (old > 0) {
        seen = InterlockedCompareExchange(&Entry->Unsettled, old - 1, old);
        if (seen == old) return TRUE;
        old = seen;
    }
    return FALSE;
}

static VOID NTAPI CountedDpcEntry(PKDPC Dpc, PVOID DeferredContext, PVOID Argument1, PVOID Argument2) {
    PortExtension *port = DPC_PORT(DeferredContext);
    CountedDpc *entry = CountedDpcOf(port, Dpc);
    // A drain settled this run already: it counts as removed.
    if (!ClaimRun(entry)) return;
    entry->Routine(Dpc, port, Argument1, Argument2);
}

VOID InitializeCountedDpc(PortExtension *Port, PKDPC Dpc, PKDEFERRED_ROUTINE Routine, PKTIMER Timer) {
    CountedDpc *entry = CountedDpcOf(Port, Dpc);
    if (!entry) entry = CountedDpcOf(Port, NULL);
    if (!entry) {
        // More DPCs than entries: this one is counted the plain way.
        KeInitializeDpc(Dpc, Routine, Port);
        return;
    }
    entry->Dpc = Dpc;
    entry->Routine = Routine;
    entry->Timer = Timer;
    entry->Unsettled = 0;
    KeInitializeDpc(Dpc, CountedDpcEntry, Port);
}

BOOLEAN QueueDpcCounted(PKDPC Dpc, PVOID Argument1, PVOID Argument2, PortExtension *Port) {
    // Counted before the insert: the DPC may run and finish on another processor before
    // KeInsertQueueDpc returns here.
    CountedDpc *entry = CountedDpcOf(Port, Dpc);
    InterlockedIncrement(&Port->PendingDpcCount);
    AddUnsettled(entry, 1);
    BOOLEAN queued = KeInsertQueueDpc(Dpc, Argument1, Argument2);
    if (!queued) {
        AddUnsettled(entry, -1);
        DpcFinished(Port);
    }
    return queued;
}

BOOLEAN SetTimerCounted(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, PortExtension *Port) {
    CountedDpc *entry = CountedDpcOf(Port, Dpc);
    InterlockedIncrement(&Port->PendingDpcCount);
    AddUnsettled(entry, 1);
    // Already armed: the new due time replaces the old one and still only one DPC follows.
    BOOLEAN wasArmed = KeSetTimer(Timer, DueTime, Dpc);
    if (wasArmed) {
        AddUnsettled(entry, -1);
        DpcFinished(Port);
    }
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
    if (stopped) {
        AddUnsettled(CountedDpcOfTimer(Port, Timer), -1);
        DpcFinished(Port);
    }
    return stopped;
}

BOOLEAN RemoveDpcCounted(PKDPC Dpc, PortExtension *Port) {
    CountedDpc *entry = CountedDpcOf(Port, Dpc);
    // FALSE: no run was queued, or one is on its way and settles itself. TRUE: the run may still
    // start, and whichever of it and this drain claims it first settles it.
    BOOLEAN settled = KeRemoveQueueDpc(Dpc) && (!entry || ClaimRun(entry));
    if (settled) DpcFinished(Port);
    return settled;
}

VOID DpcFinished(PortExtension *Port) {
    if (InterlockedDecrement(&Port->PendingDpcCount) == 0)
        KeSetEvent(&Port->DpcsDrainedEvent, IO_NO_INCREMENT, FALSE);
}
