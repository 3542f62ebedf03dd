// The receive ring and per-character processing, driven through the routines themselves on a
// port device with its start defaults and an open-time ring.
#include <atomic>
#include <random>
#include <string>
#include <vector>

#include "requests/requests.h"
#include "tests/driver/driver_test_support.h"

namespace {

using Bytes = std::vector<UCHAR>;

std::atomic<int> g_readDone{0}, g_waitDone{0}, g_errorAbort{0};

// Stands in for the read, wait and error-abort DPCs of the Parts that own them.
VOID NTAPI CountDpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
    auto *port = static_cast<PortExtension *>(context);
    (dpc == &port->CompleteReadDpc ? g_readDone : dpc == &port->CompleteWaitDpc ? g_waitDone : g_errorAbort)++;
    DpcFinished(port);
}

Bytes Sequence(ULONG n, UCHAR first = 0) {
    Bytes b(n);
    for (ULONG i = 0; i < n; i++) b[i] = UCHAR(first + i);
    return b;
}

class RingTest : public dt::RingPortTest {
protected:
    using RingPortTest::RingPortTest;

    emu::Pool &pool = machine.service<emu::Pool>();
    std::vector<PIRP> irps;

    void SetUp() override {
        g_readDone = g_waitDone = g_errorAbort = 0;
        RingPortTest::SetUp();
        KeInitializeDpc(&port->CompleteReadDpc, CountDpc, port);
        KeInitializeDpc(&port->CompleteWaitDpc, CountDpc, port);
        KeInitializeDpc(&port->ErrorAbortDpc, CountDpc, port);
    }
    void TearDown() override {
        KeFlushQueuedDpcs();
        if (port) { EXPECT_EQ(port->PendingDpcCount, 1); }
        for (PIRP irp : irps) IoFreeIrp(irp);
        irps.clear();
        RingPortTest::TearDown();
    }
    void Put(const Bytes &chars) {
        Locked([&] {
            for (UCHAR c : chars) PutChar(port, c);
            return 0;
        });
    }
    UCHAR LineStatus() { return Locked([&] { return UpdateLineStatus(port); }); }

    PUCHAR After(PUCHAR p) { return p == port->RxRingStart + port->RxBufferSize - 1 ? port->RxRingStart : p + 1; }
    // What a reader would find, oldest first.
    Bytes Content() {
        return Locked([&] {
            Bytes out;
            for (PUCHAR p = port->RxTakeSlot; out.size() < port->RxRingCount; p = After(p)) out.push_back(*p);
            return out;
        });
    }
    // A reader taking n characters, as the read path's copy and consume do.
    void Take(ULONG n) {
        Locked([&] {
            for (ULONG i = 0; i < n; i++) port->RxTakeSlot = After(port->RxTakeSlot);
            return port->RxRingCount -= n;
        });
    }
    void TakeAll() { Take(port->RxRingCount); }

    PIRP NewIrp() {
        PIRP irp = IoAllocateIrp(1, FALSE);
        irps.push_back(irp);
        IoSetNextIrpStackLocation(irp);
        return irp;
    }

    // A SET_QUEUE_SIZE made current in the read queue, carrying the buffer the dispatcher allocated.
    NTSTATUS Resize(ULONG size, SERIAL_QUEUE_SIZE &qs) {
        PIRP irp = NewIrp();
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_SET_QUEUE_SIZE;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = ExAllocatePoolWithTag(NonPagedPool, size, MIRAVO_POOL_TAG);
        qs.InSize = size;
        irp->AssociatedIrp.SystemBuffer = &qs;
        irp->IoStatus.Status = STATUS_PENDING;
        irp->IoStatus.Information = 99;
        port->CurrentRead = irp;
        NTSTATUS status = ResizeRing(port);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.Type3InputBuffer, nullptr);
        EXPECT_EQ(std::tuple(irp->IoStatus.Status, irp->IoStatus.Information), std::tuple(STATUS_SUCCESS, 0u));
        port->CurrentRead = nullptr;
        return status;
    }
    NTSTATUS Resize(ULONG size) {
        SERIAL_QUEUE_SIZE qs{};
        return Resize(size, qs);
    }
};

TEST_F(RingTest, OpenSizesTheRingAndStepsDownWhenPoolIsShort) {
    // The 1024-byte ring and its limits are shown through the port; here, a ring short of pool.
    EXPECT_EQ(port->WmiCommData.XonXmitThreshold, 512u);

    FreeRing(port);
    FreeRing(port);
    EXPECT_EQ(port->RxBufferSize, 0u);
    Put({1, 2, 3});  // a bulk IN completion after close stores nothing and touches nothing
    EXPECT_EQ(port->PerfStats.BufferOverrunErrorCount, 0u);

    pool.failTag(MIRAVO_POOL_TAG, 1);
    ASSERT_EQ(AllocateRing(port), STATUS_SUCCESS);
    EXPECT_EQ(std::tuple(port->RxBufferSize, port->HandFlow.XoffLimit, port->RxEightyPercent, port->RxRingCount),
              std::tuple(128u, 16, 104u, 0u));
    EXPECT_EQ(std::vector<const void *>({port->RxTarget, port->RxPutSlot, port->RxTakeSlot, port->RxTargetLast}),
              std::vector<const void *>({port->RxRingStart, port->RxRingStart, port->RxRingStart, port->RxRingStart + 127}));
    FreeRing(port);

    pool.failTag(MIRAVO_POOL_TAG, 2);
    EXPECT_EQ(AllocateRing(port), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(port->RxRingStart, nullptr);
}

TEST_F(RingTest, CopiesIntoAReadAcrossTheWrapInPieces) {
    Put(Sequence(1000));
    Take(900);
    Put(Sequence(300, 1000 % 256));
    Bytes buffer(500);
    PIRP read = NewIrp();
    IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length = 500;
    read->AssociatedIrp.SystemBuffer = buffer.data();
    read->IoStatus.Information = 0;
    port->CurrentRead = read;
    port->ReadNeeded = 500;
    auto copy = [&] {
        return Locked([&] { ULONG n = CopyFromRing(port); ConsumeFromRing(port, n); return n; });
    };
    EXPECT_EQ(copy(), 400u);
    EXPECT_EQ(port->RxTakeSlot, port->RxRingStart + 276);
    Put(Sequence(150, 1300 % 256));
    EXPECT_EQ(copy(), 100u);
    EXPECT_EQ(std::tuple(buffer, read->IoStatus.Information, port->ReadNeeded),
              std::tuple(Sequence(500, 900 % 256), 500u, 0u));
    EXPECT_EQ(Content(), Sequence(50, 1400 % 256));
    EXPECT_EQ(copy(), 0u);
    port->CurrentRead = nullptr;
}

TEST_F(RingTest, OverflowLosesTheNewCharacterAndCountsIt) {
    Put(Sequence(1024));
    Bytes full = Content();
    Put({0xAA, 0xBB, 0xCC});
    EXPECT_EQ(Content(), full);
    EXPECT_EQ(port->PerfStats.BufferOverrunErrorCount, 3u);
    EXPECT_EQ(port->WmiPerfData.BufferOverrunErrorCount, 3u);
    EXPECT_EQ(port->CommErrors, ULONG(SERIAL_ERROR_QUEUEOVERRUN));

    // The error character replaces the newest: with the put slot at the start, the ring's last byte.
    ASSERT_EQ(port->RxPutSlot, port->RxRingStart);
    port->HandFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    port->SpecialChars.ErrorChar = '?';
    port->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    Put({0xDD});
    full.back() = '?';
    EXPECT_EQ(Content(), full);
    KeFlushQueuedDpcs();
    EXPECT_EQ(g_errorAbort, 1);

    Take(10);
    Put(Sequence(10, 0x50));
    Put({0xEE});
    EXPECT_EQ(std::tuple(port->RxRingStart[9], port->RxRingStart[10], port->RxRingCount), std::tuple('?', 10, 1024u));
}

TEST_F(RingTest, LineErrorsAreCountedFlaggedAndInsertedInOrder) {
    port->UartStatus = 0x80 | 0x02 | 0x01 | 0x08;  // lines only
    EXPECT_EQ(LineStatus(), 0);
    EXPECT_EQ(port->RxRingCount, 0u);

    port->EscapeChar = 0xFF;
    port->HandFlow.FlowReplace |= SERIAL_ERROR_CHAR | SERIAL_BREAK_CHAR;
    port->SpecialChars.ErrorChar = 'E';
    port->SpecialChars.BreakChar = 'B';
    port->WaitMask = SERIAL_EV_BREAK | SERIAL_EV_ERR;
    port->UartStatus = 0x40 | 0x20 | 0x10 | 0x80;  // overrun, parity, framing
    EXPECT_EQ(LineStatus(), 0x0E);
    EXPECT_EQ(Content(), Bytes({0xFF, SERIAL_LSRMST_LSR_NODATA, 0x0E, 'E', 'E', 'E'}));
    EXPECT_EQ(port->CommErrors, ULONG(SERIAL_ERROR_OVERRUN | SERIAL_ERROR_PARITY | SERIAL_ERROR_FRAMING));
    auto counted = [](const auto &s, ULONG n) {
        EXPECT_EQ(std::tuple(s.SerialOverrunErrorCount, s.ParityErrorCount, s.FrameErrorCount), std::tuple(n, n, n));
    };
    counted(port->PerfStats, 1);
    counted(port->WmiPerfData, 1);
    EXPECT_EQ(port->HistoryMask, SERIAL_EV_ERR);
    port->HistoryMask = 0;

    // The same status word counts again; a break hides its character's parity and framing.
    TakeAll();
    port->CommErrors = 0;
    port->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    port->UartStatus = 0x04 | 0x20 | 0x10 | 0x40;
    EXPECT_EQ(LineStatus(), 0x1E);
    EXPECT_EQ(Content(), Bytes({0xFF, SERIAL_LSRMST_LSR_NODATA, 0x1E, 'E', 'B'}));
    EXPECT_EQ(port->CommErrors, ULONG(SERIAL_ERROR_BREAK | SERIAL_ERROR_OVERRUN));
    EXPECT_EQ(port->PerfStats.SerialOverrunErrorCount, 2u);
    EXPECT_EQ(std::tuple(port->WmiPerfData.ParityErrorCount, port->PerfStats.FrameErrorCount), std::tuple(1u, 1u));
    EXPECT_EQ(port->HistoryMask, SERIAL_EV_BREAK | SERIAL_EV_ERR);  // the overrun is still an error
    KeFlushQueuedDpcs();
    EXPECT_EQ(g_errorAbort, 1);
}

// Characters arrive in a DPC on one processor while a passive thread purges and grows the ring
// without pause, with schedule noise. The ring is larger than everything sent, so nothing may be
// lost: whatever survives the purges must be an unbroken run ending with the newest character.
class RingRaceTest : public RingTest {
protected:
    static constexpr uint64_t kSeed = 0x5EED2202;
    static constexpr int kBatches = 400, kBatch = 16;
    RingRaceTest() : RingTest(emu::MachineConfig{.processors = 2, .noiseSeed = kSeed}) {}

    KDPC producer;
    KEVENT sent;
    std::atomic<int> batches{0};
    UCHAR next = 0;

    // Each batch queues the next: the DPCs run back to back on the processors.
    static VOID NTAPI Produce(PKDPC dpc, PVOID context, PVOID, PVOID) {
        auto *t = static_cast<RingRaceTest *>(context);
        t->Put(Sequence(kBatch, t->next));
        t->next = UCHAR(t->next + kBatch);
        if (++t->batches == kBatches)
            KeSetEvent(&t->sent, IO_NO_INCREMENT, FALSE);
        else
            KeInsertQueueDpc(dpc, nullptr, nullptr);
    }
};

TEST_F(RingRaceTest, PurgeAndResizeAgainstPutChar) {
    SCOPED_TRACE("noise seed " + std::to_string(kSeed));
    ULONG size = kBatches * kBatch;
    ASSERT_EQ(Resize(size), STATUS_SUCCESS);
    KeInitializeEvent(&sent, NotificationEvent, FALSE);
    KeInitializeDpc(&producer, Produce, this);

    std::mt19937 rng(kSeed);
    std::vector<SERIAL_QUEUE_SIZE> sizes(20000);
    int purges = 0, resizes = 0;
    KeInsertQueueDpc(&producer, nullptr, nullptr);
    for (size_t i = 0; i < sizes.size() && batches < kBatches; i++) {
        if (rng() % 3 == 0) {
            size += 16;
            Resize(size, sizes[i]);
            resizes++;
        } else {
            PurgeRing(port);
            purges++;
        }
    }
    KeWaitForSingleObject(&sent, Executive, KernelMode, FALSE, nullptr);
    EXPECT_GT(purges, 0);
    EXPECT_GT(resizes, 0);

    Bytes left = Content();
    for (size_t i = 1; i < left.size(); i++) ASSERT_EQ(UCHAR(left[i - 1] + 1), left[i]) << "at " << i;
    EXPECT_EQ(port->PerfStats.BufferOverrunErrorCount, 0u);
    if (!left.empty()) { EXPECT_EQ(left.back(), UCHAR(next - 1)); }
}

}  // namespace
