// Request queues, reference bits and cancellation, driven through a stand-in driver whose
// dispatch routines admit, queue and park requests the way the port's data paths do: the starter
// makes a request current with a transfer in flight, its cancel routine and a total time-out; a
// device event ends the transfer and queues the completion DPC.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "requests/requests.h"

namespace {

constexpr int64_t kTick = 156250;

LARGE_INTEGER Relative(int64_t units) {
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

// What the requester saw when its request came back.
struct Outcome {
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = ~ULONG_PTR(0);
};

NTSTATUS NTAPI RequesterDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *o = static_cast<Outcome *>(context);
    o->status = irp->IoStatus.Status;
    o->information = irp->IoStatus.Information;
    o->completions.fetch_add(1, std::memory_order_release);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test owns the IRP and frees it
}

// One kind of request as the stand-in driver runs it.
struct Kind {
    LIST_ENTRY PortExtension::*queue;
    PIRP PortExtension::*slot;
    KTIMER PortExtension::*timer;
    KDPC PortExtension::*doneDpc;
    bool inFlight;  // the transfer side holds the current request; guarded by the cancel lock
};

// Knobs of the stand-in starter and the record of its work.
struct Harness {
    Kind write{&PortExtension::WriteQueue, &PortExtension::CurrentWrite, &PortExtension::WriteTotalTimer,
               &PortExtension::CompleteWriteDpc, false};
    Kind read{&PortExtension::ReadQueue, &PortExtension::CurrentRead, &PortExtension::ReadTotalTimer,
              &PortExtension::CompleteReadDpc, false};
    std::atomic<bool> gateReached{false}, gateOpen{false};
};

Harness *g_harness = nullptr;

// The transfer side gives the request back only while it still holds it; once it has queued the
// completion DPC, that DPC owns RefTransfer.
template <Kind Harness::*K> VOID NTAPI TakeBack(PortExtension *port) {
    Kind &kind = g_harness->*K;
    if (!kind.inFlight) return;
    kind.inFlight = false;
    SetRefBits(port->*kind.slot, RefBitsOf(port->*kind.slot) & ~RefTransfer);
}

template <Kind Harness::*K> NTSTATUS NTAPI Park(PortExtension *port);

template <Kind Harness::*K>
VOID Finish(PortExtension *port, PTAKE_BACK_ROUTINE takeBack, KIRQL irql, NTSTATUS status, ULONG drop) {
    Kind &kind = g_harness->*K;
    TryFinishCurrent(port, takeBack, irql, status, &(port->*kind.slot), &(port->*kind.queue), nullptr,
                     &(port->*kind.timer), Park<K>, TakeNextRequest, drop);
}

template <Kind Harness::*K> VOID NTAPI CancelCurrent(PDEVICE_OBJECT device, PIRP irp) {
    Finish<K>(PortOf(device), TakeBack<K>, irp->CancelIrql, STATUS_CANCELLED, RefCancel);
}

template <Kind Harness::*K> NTSTATUS NTAPI Park(PortExtension *port) {
    Kind &kind = g_harness->*K;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = port->*kind.slot;
    irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;  // a finished transfer
    IoMarkIrpPending(irp);
    kind.inFlight = true;
    IoSetCancelRoutine(irp, CancelCurrent<K>);
    SetRefBits(irp, RefTransfer | RefCancel);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

constexpr auto ParkWrite = Park<&Harness::write>;
constexpr auto ParkRead = Park<&Harness::read>;
constexpr auto CancelCurrentWrite = CancelCurrent<&Harness::write>;
constexpr auto TakeBackWrite = TakeBack<&Harness::write>;
constexpr auto FinishWrite = Finish<&Harness::write>;

VOID NTAPI WriteDoneDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto *port = static_cast<PortExtension *>(context);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishWrite(port, nullptr, irql, STATUS_SUCCESS, RefTransfer);
    DpcFinished(port);
}
std::atomic<int> noopRuns{0};
VOID NTAPI CountedNoopDpc(PKDPC, PVOID context, PVOID, PVOID) {
    noopRuns++;
    DpcFinished(static_cast<PortExtension *>(context));
}

void AwaitGate() {
    g_harness->gateReached = true;
    while (!g_harness->gateOpen) std::this_thread::yield();
}
// Holds its processor until the test lets it go.
VOID NTAPI GateDpc(PKDPC, PVOID context, PVOID, PVOID) {
    AwaitGate();
    DpcFinished(static_cast<PortExtension *>(context));
}
// The device confirms the transfer of the current request of a kind: it hands the request to
// the completion DPC (at DISPATCH_LEVEL, as the USB completion routine would).
void TransferDone(PortExtension *port, Kind &kind, PIRP expected) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool handOver = kind.inFlight && port->*kind.slot == expected;
    if (handOver) kind.inFlight = false;
    IoReleaseCancelSpinLock(irql);
    if (handOver) QueueDpcCounted(&(port->*kind.doneDpc), nullptr, nullptr, port);
}

NTSTATUS Refuse(PIRP irp, PortExtension *port, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
}

NTSTATUS NTAPI StandInDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) return status;
    if (status != STATUS_SUCCESS) return Refuse(irp, port, status);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) return Refuse(irp, port, STATUS_SUCCESS);
    status = FailIfErrorAbort(device, irp);
    if (status != STATUS_SUCCESS) return status;

    switch (stack->MajorFunction) {
    case IRP_MJ_WRITE:
        return QueueOrStart(port, irp, &port->WriteQueue, &port->CurrentWrite, ParkWrite);
    case IRP_MJ_READ:
        return QueueOrStart(port, irp, &port->ReadQueue, &port->CurrentRead, ParkRead);
    case IRP_MJ_DEVICE_CONTROL:
        switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            // The new ring rides with the request until it becomes current.
            stack->Parameters.DeviceIoControl.Type3InputBuffer =
                ExAllocatePoolWithTag(NonPagedPool, 4096, MIRAVO_POOL_TAG);
            return QueueOrStart(port, irp, &port->ReadQueue, &port->CurrentRead, ParkRead);
        }
        break;
    }
    return Refuse(irp, port, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS NTAPI StandInEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP})
        driver->MajorFunction[major] = StandInDispatch;
    return STATUS_SUCCESS;
}

class QueueTest : public ::testing::Test {
protected:
    explicit QueueTest(emu::MachineConfig config = {}) : machine(config) {}

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    emu::Pool &pool = machine.service<emu::Pool>();
    Harness harness;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PortExtension *port = nullptr;
    std::vector<PIRP> irps;

    void SetUp() override {
        g_harness = &harness;
        noopRuns = 0;
        ASSERT_EQ(io.loadDriver(StandInEntry, u"queues", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        ASSERT_EQ(CreatePortDevice(driver, &device), STATUS_SUCCESS);
        port = PortOf(device);
        KeInitializeTimer(&port->WriteTotalTimer);
        KeInitializeTimer(&port->ReadTotalTimer);
        KeInitializeDpc(&port->CompleteWriteDpc, WriteDoneDpc, port);
        KeInitializeDpc(&port->ErrorAbortDpc, ErrorAbortDpc, port);
    }

    void TearDown() override {
        KeFlushQueuedDpcs();
        if (port) {
            EXPECT_EQ(port->PendingRequestCount, 1);
            EXPECT_EQ(port->PendingDpcCount, 1);
        }
        for (PIRP irp : irps) IoFreeIrp(irp);
        if (device) {
            FreePortNames(port);
            IoDeleteDevice(device);
        }
        if (driver) io.unloadDriver(driver);  // the verifier reports pool left under 'COMX'
        g_harness = nullptr;
    }

    // A request as the I/O manager hands it to the port: one stack location, its parameters
    // filled, completed to the requester's routine.
    PIRP Build(UCHAR major, Outcome &o, ULONG length = 0, ULONG code = 0, PVOID systemBuffer = nullptr) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irps.push_back(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        if (major == IRP_MJ_DEVICE_CONTROL) {
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = length;
        } else {
            next->Parameters.Write.Length = length;
            next->Parameters.Write.ByteOffset.HighPart = -1;  // what a write at the file position carries
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetCompletionRoutine(irp, RequesterDone, &o, TRUE, TRUE, TRUE);
        return irp;
    }

    NTSTATUS Send(PIRP irp) { return IoCallDriver(device, irp); }

    void FinishCurrentWrite(PIRP irp) {
        TransferDone(port, harness.write, irp);
        KeFlushQueuedDpcs();
    }

    void SetAccept(ULONG state) {
        KIRQL irql;
        KeAcquireSpinLock(&port->FlagsLock, &irql);
        port->PnpAcceptState = state;
        KeReleaseSpinLock(&port->FlagsLock, irql);
    }

    static void ExpectCancelled(const Outcome &o) {
        EXPECT_EQ(o.completions, 1);
        EXPECT_EQ(o.status, STATUS_CANCELLED);
        EXPECT_EQ(o.information, 0u);
    }
};

TEST_F(QueueTest, ResizeRequestGivesBackItsRingWhenCancelledBeforeItRuns) {
    Outcome reading, queued, late;
    PIRP r = Build(IRP_MJ_READ, reading, 16);
    Send(r);
    size_t before = pool.bytesInUse(MIRAVO_POOL_TAG);
    PIRP q1 = Build(IRP_MJ_DEVICE_CONTROL, queued, 8, IOCTL_SERIAL_SET_QUEUE_SIZE);
    EXPECT_EQ(Send(q1), STATUS_PENDING);
    EXPECT_GT(pool.bytesInUse(MIRAVO_POOL_TAG), before);
    IoCancelIrp(q1);
    EXPECT_EQ(queued.status, STATUS_CANCELLED);
    EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), before);

    PIRP q2 = Build(IRP_MJ_DEVICE_CONTROL, late, 8, IOCTL_SERIAL_SET_QUEUE_SIZE);
    q2->Cancel = TRUE;
    EXPECT_EQ(Send(q2), STATUS_CANCELLED);
    EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), before);
    IoCancelIrp(r);
}

TEST_F(QueueTest, ACallerHoldingNoBitOfTheCurrentRequestLeavesItAlone) {
    Outcome o;
    PIRP w = Build(IRP_MJ_WRITE, o, 1);
    Send(w);
    // A late time-out DPC of an earlier request: the current one never had its timer armed.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    FinishWrite(port, TakeBackWrite, irql, STATUS_TIMEOUT, RefTotalTimer);
    EXPECT_EQ(port->CurrentWrite, w);
    EXPECT_EQ(RefBitsOf(w), RefTransfer | RefCancel);
    EXPECT_EQ(w->CancelRoutine, CancelCurrentWrite);
    EXPECT_EQ(o.completions, 0);
    FinishCurrentWrite(w);
    EXPECT_EQ(o.status, STATUS_SUCCESS);

    // With the slot empty it does nothing either.
    IoAcquireCancelSpinLock(&irql);
    FinishWrite(port, nullptr, irql, STATUS_SUCCESS, RefTransfer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(QueueTest, WhileAStopIsPendingRequestsAreHeldCancellableAndPlugAndPlayPasses) {
    SetAccept(PnpAcceptStopPending);
    Outcome held[2], pnp, cancelled;
    PIRP a = Build(IRP_MJ_WRITE, held[0], 3), b = Build(IRP_MJ_WRITE, held[1], 1);
    EXPECT_EQ(Send(a), STATUS_PENDING);
    EXPECT_EQ(Send(b), STATUS_PENDING);
    EXPECT_EQ(a->CancelRoutine, CancelHeldRequest);
    EXPECT_EQ(port->PendingRequestCount, 3);  // a held request keeps its count
    EXPECT_EQ(Send(Build(IRP_MJ_PNP, pnp)), STATUS_SUCCESS);
    PIRP c = Build(IRP_MJ_READ, cancelled, 1);
    c->Cancel = TRUE;
    EXPECT_EQ(Send(c), STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(port->PendingRequestCount, 3);

    // Plug and Play takes the first off the list while the I/O manager cancels it.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    RemoveEntryList(&a->Tail.Overlay.ListEntry);
    InitializeListHead(&a->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    EXPECT_TRUE(IoCancelIrp(a));
    ExpectCancelled(held[0]);
    EXPECT_EQ(port->HeldRequests.Flink, &b->Tail.Overlay.ListEntry);
    EXPECT_EQ(port->HeldRequests.Blink, &b->Tail.Overlay.ListEntry);
    IoCancelIrp(b);
    ExpectCancelled(held[1]);
    EXPECT_TRUE(IsListEmpty(&port->HeldRequests));

    // Once stopped, requests are admitted again.
    SetAccept(PnpAcceptStopped);
    Outcome after;
    PIRP r = Build(IRP_MJ_READ, after, 1);
    EXPECT_EQ(Send(r), STATUS_PENDING);
    IoCancelIrp(r);
    EXPECT_EQ(after.status, STATUS_CANCELLED);
}

TEST_F(QueueTest, ErrorAbortCancelsCurrentAndQueuedDataRequestsAndRefusesNewOnes) {
    port->HandFlow.ControlHandShake = SERIAL_ERROR_ABORT;
    port->CommErrors = 0;
    Outcome o[4];
    EXPECT_EQ(Send(Build(IRP_MJ_READ, o[0], 1)), STATUS_PENDING);  // no error recorded: passes
    Send(Build(IRP_MJ_WRITE, o[1], 5));
    Send(Build(IRP_MJ_WRITE, o[2], 6));
    Send(Build(IRP_MJ_READ, o[3], 7));
    // A line error under SERIAL_ERROR_ABORT: the receive path queues ErrorAbortDpc.
    port->CommErrors = SERIAL_ERROR_FRAMING;
    EXPECT_TRUE(QueueDpcCounted(&port->ErrorAbortDpc, nullptr, nullptr, port));
    KeFlushQueuedDpcs();
    for (auto &x : o) ExpectCancelled(x);
    EXPECT_EQ(port->CurrentRead, nullptr);
    EXPECT_EQ(port->CurrentWrite, nullptr);

    // Refusal until the errors are read is shown with the device-control requests; a data request
    // arriving meanwhile is refused the same way.
    Outcome refused;
    EXPECT_EQ(Send(Build(IRP_MJ_WRITE, refused, 3)), STATUS_CANCELLED);
    EXPECT_EQ(refused.information, 0u);

    // Without SERIAL_ERROR_ABORT a recorded error refuses nothing.
    port->HandFlow.ControlHandShake = 0;
    port->CommErrors = SERIAL_ERROR_PARITY;
    Outcome plain;
    PIRP p = Build(IRP_MJ_READ, plain, 1);
    EXPECT_EQ(Send(p), STATUS_PENDING);
    IoCancelIrp(p);
}

class OneProcessorQueueTest : public QueueTest {
protected:
    OneProcessorQueueTest() : QueueTest(emu::MachineConfig{.processors = 1}) {}
};

TEST_F(OneProcessorQueueTest, CountedDpcsAndTimersCountEachPendingRunOnce) {
    // The only processor is held, so a queued DPC stays queued.
    KDPC gate, dpc;
    KeInitializeDpc(&gate, GateDpc, port);
    KeInitializeDpc(&dpc, CountedNoopDpc, port);
    EXPECT_TRUE(QueueDpcCounted(&gate, nullptr, nullptr, port));
    while (!harness.gateReached) std::this_thread::yield();
    EXPECT_TRUE(QueueDpcCounted(&dpc, nullptr, nullptr, port));
    EXPECT_FALSE(QueueDpcCounted(&dpc, nullptr, nullptr, port));
    EXPECT_EQ(port->PendingDpcCount, 3);
    harness.gateOpen = true;
    KeFlushQueuedDpcs();
    EXPECT_EQ(noopRuns.load(), 1);
    EXPECT_EQ(port->PendingDpcCount, 1);

    KTIMER timer;
    KDPC timerDpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timerDpc, CountedNoopDpc, port);
    EXPECT_FALSE(SetTimerCounted(&timer, Relative(kTick), &timerDpc, port));
    EXPECT_TRUE(SetTimerCounted(&timer, Relative(3 * kTick), &timerDpc, port));  // re-armed: still one
    EXPECT_EQ(port->PendingDpcCount, 2);
    EXPECT_TRUE(CancelTimerCounted(&timer, port));
    EXPECT_FALSE(CancelTimerCounted(&timer, port));
    EXPECT_EQ(port->PendingDpcCount, 1);

    // Close waits until the armed timer has fired and its DPC has finished.
    SetTimerCounted(&timer, Relative(3 * kTick), &timerDpc, port);
    int64_t due = int64_t(timer.DueTime.QuadPart);
    emu::Thread closer([&] {
        if (InterlockedDecrement(&port->PendingDpcCount) != 0)
            KeWaitForSingleObject(&port->DpcsDrainedEvent, Executive, KernelMode, FALSE, nullptr);
        InterlockedIncrement(&port->PendingDpcCount);
    }, "close");
    closer.join();
    EXPECT_GE(machine.now(), due);
    EXPECT_EQ(noopRuns.load(), 2);
    EXPECT_EQ(port->PendingDpcCount, 1);
}

}  // namespace
