// The drains of the port's DPCs on a kernel whose KeRemoveQueueDpc answers as before Vista SP1:
// TRUE, and the routine runs all the same. The completion DPC of wait-on-mask stands for them all.

#include "requests/requests.h"
#include "tests/driver/driver_test_support.h"
#include "tests/emulator/kernel_test_support.h"

namespace {

std::atomic<int> g_runs{0}, g_rawRuns{0};

VOID NTAPI CountedRun(PKDPC, PVOID context, PVOID, PVOID) {
    g_runs++;
    DpcFinished(static_cast<PortExtension *>(context));
}
VOID NTAPI RawRun(PKDPC, PVOID, PVOID, PVOID) { g_rawRuns++; }
class CountedDpcDrain : public dt::RingPortTest {
protected:
    CountedDpcDrain() : RingPortTest({.processors = 1, .dpcRemovalRacesRun = true}) {}
};

TEST_F(CountedDpcDrain, CountsEachRunOnceWhateverTheRemovalAnswers) {
    InitializeCountedDpc(port, &port->CompleteWaitDpc, CountedRun, NULL);

    // Nothing queued: nothing to settle. A run that already ran settled itself.
    EXPECT_FALSE(RemoveDpcCounted(&port->CompleteWaitDpc, port));
    EXPECT_TRUE(QueueDpcCounted(&port->CompleteWaitDpc, NULL, NULL, port));
    KeFlushQueuedDpcs();
    EXPECT_FALSE(RemoveDpcCounted(&port->CompleteWaitDpc, port));
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(port->PendingDpcCount, 1);

    KDPC raw;
    KeInitializeDpc(&raw, RawRun, NULL);
    {
        kt::ProcessorHold hold(1);  // what is queued stays queued until the removal
        KeInsertQueueDpc(&raw, NULL, NULL);
        EXPECT_TRUE(KeRemoveQueueDpc(&raw));
        EXPECT_TRUE(QueueDpcCounted(&port->CompleteWaitDpc, NULL, NULL, port));
        EXPECT_EQ(port->PendingDpcCount, 2);
        EXPECT_TRUE(RemoveDpcCounted(&port->CompleteWaitDpc, port));
        EXPECT_EQ(port->PendingDpcCount, 1);
    }
    EXPECT_EQ(g_rawRuns, 1) << "the kernel let the removed DPC run";
    EXPECT_EQ(g_runs, 1) << "the port's run went ahead after its count was settled";
    EXPECT_EQ(port->PendingDpcCount, 1);
}

}  // namespace
