// Read requests and their time-outs, sent through the port's read dispatch on a port with its
// start defaults and an open-time ring; characters arrive from device events at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "receive/receive.h"
#include "requests/requests.h"

namespace {

using Bytes = std::vector<UCHAR>;
constexpr int64_t kMs = 10000;
constexpr int64_t kTick = 156250;
constexpr ULONG kMax = MAXULONG;

struct Outcome {
    KEVENT done;
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = ~ULONG_PTR(0);
    int64_t at = -1;
};

NTSTATUS NTAPI RequesterDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *o = static_cast<Outcome *>(context);
    o->status = irp->IoStatus.Status;
    o->information = irp->IoStatus.Information;
    o->at = emu::Machine::current().now();
    o->completions.fetch_add(1, std::memory_order_release);
    KeSetEvent(&o->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test owns the IRP
}

// What the device-control dispatcher does with a queue-size request: the new ring rides along.
NTSTATUS NTAPI QueueSizeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    AdmitRequest(irp, port);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;
    stack->Parameters.DeviceIoControl.Type3InputBuffer = ExAllocatePoolWithTag(NonPagedPool, size, MIRAVO_POOL_TAG);
    return QueueOrStart(port, irp, &port->ReadQueue, &port->CurrentRead, StartRead);
}

NTSTATUS NTAPI ReadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_READ] = ReadDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueSizeDispatch;
    return STATUS_SUCCESS;
}

class ReadTest : public ::testing::Test {
protected:
    explicit ReadTest(emu::MachineConfig config = {}) : machine(config) {}

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PortExtension *port = nullptr;
    std::vector<PIRP> irps;

    void SetUp() override {
        ASSERT_EQ(io.loadDriver(ReadEntry, u"read", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        ASSERT_EQ(CreatePortDevice(driver, &device), STATUS_SUCCESS);
        port = PortOf(device);
        InitPortExtension(device);
        ASSERT_EQ(AllocateRing(port), STATUS_SUCCESS);
    }

    void TearDown() override {
        KeFlushQueuedDpcs();
        if (port) {
            EXPECT_EQ(port->PendingRequestCount, 1);
            EXPECT_EQ(port->PendingDpcCount, 1);
            FreeRing(port);
            FreePortNames(port);
            IoDeleteDevice(device);
        }
        for (PIRP irp : irps) IoFreeIrp(irp);
        if (driver) io.unloadDriver(driver);  // the verifier reports pool left under 'COMX'
    }

    void SetTimeouts(ULONG ri, ULONG rm, ULONG rc) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        port->Timeouts.ReadIntervalTimeout = ri;
        port->Timeouts.ReadTotalTimeoutMultiplier = rm;
        port->Timeouts.ReadTotalTimeoutConstant = rc;
        KeReleaseSpinLock(&port->ControlLock, irql);
    }

    // As the bulk IN branch stores: ControlLock, then RxLock, at DISPATCH_LEVEL.
    void Put(const Bytes &chars) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&port->RxLock);
        for (UCHAR c : chars) PutChar(port, c);
        KeReleaseSpinLockFromDpcLevel(&port->RxLock);
        KeReleaseSpinLock(&port->ControlLock, irql);
    }
    void PutAt(int64_t when, Bytes chars) {
        machine.scheduleAt(when, [this, chars] { Put(chars); });
    }

    PIRP Build(UCHAR major, Outcome &o, ULONG length, PVOID buffer) {
        KeInitializeEvent(&o.done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irps.push_back(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        if (major == IRP_MJ_READ) {
            next->Parameters.Read.Length = length;
            next->Parameters.Read.ByteOffset.QuadPart = -1;  // leaves ones in the RefBits word
        } else {
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_SET_QUEUE_SIZE;
        }
        irp->AssociatedIrp.SystemBuffer = buffer;
        IoSetCompletionRoutine(irp, RequesterDone, &o, TRUE, TRUE, TRUE);
        return irp;
    }
    NTSTATUS Read(Outcome &o, Bytes &buffer, PIRP *out = nullptr) {
        PIRP irp = Build(IRP_MJ_READ, o, ULONG(buffer.size()), buffer.data());
        if (out) *out = irp;
        return IoCallDriver(device, irp);
    }

    bool WaitDone(Outcome &o, int64_t limit = 600 * 1000 * kMs) {
        LARGE_INTEGER t;
        t.QuadPart = -limit;
        return KeWaitForSingleObject(&o.done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    void Expect(const Outcome &o, NTSTATUS status, ULONG_PTR information) {
        EXPECT_EQ(o.completions.load(), 1);
        EXPECT_EQ(o.status, status);
        EXPECT_EQ(o.information, information);
    }
    ULONG RingCount() {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        ULONG n = port->RxRingCount;
        KeReleaseSpinLock(&port->ControlLock, irql);
        return n;
    }
    static int64_t Tick(int64_t t) { return (t + kTick - 1) / kTick * kTick; }
};

Bytes Seq(size_t n, UCHAR first) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = UCHAR(first + i);
    return b;
}

// RI = MAXULONG with RM = RC = 0, and a zero length: the read never waits.
TEST_F(ReadTest, ReturnsAtOnceWithWhatTheRingHolds) {
    Outcome zero, empty, some;
    Bytes none, ten(10);
    EXPECT_EQ(Read(zero, none), STATUS_SUCCESS);
    Expect(zero, STATUS_SUCCESS, 0);
    EXPECT_EQ(port->CurrentRead, nullptr);

    SetTimeouts(kMax, 0, 0);
    EXPECT_EQ(Read(empty, ten), STATUS_SUCCESS);
    Expect(empty, STATUS_SUCCESS, 0);
    Put(Seq(3, 'a'));
    EXPECT_EQ(Read(some, ten), STATUS_SUCCESS);
    Expect(some, STATUS_SUCCESS, 3);
    EXPECT_EQ(Bytes(ten.begin(), ten.begin() + 3), Seq(3, 'a'));
    EXPECT_EQ(port->RxRingCount, 0u);
}

// RI = MAXULONG, RM = MAXULONG, 0 < RC < MAXULONG: what the ring holds at once; else the first
// character to arrive within RC; else a time-out with nothing.
TEST_F(ReadTest, ReturnsAsSoonAsAnyCharacterIsThere) {
    SetTimeouts(kMax, kMax, 200);
    Outcome held, first, nothing;
    Bytes b1(10), b2(10), b3(10);
    Put(Seq(2, 'x'));
    EXPECT_EQ(Read(held, b1), STATUS_SUCCESS);
    Expect(held, STATUS_SUCCESS, 2);

    int64_t start = machine.now();
    PutAt(start + 50 * kMs, Seq(3, 'p'));
    PIRP irp;
    EXPECT_EQ(Read(first, b2, &irp), STATUS_PENDING);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 1u);
    ASSERT_TRUE(WaitDone(first));
    Expect(first, STATUS_SUCCESS, 1);
    EXPECT_EQ(first.at, start + 50 * kMs);
    EXPECT_EQ(b2[0], 'p');
    EXPECT_EQ(RingCount(), 2u);  // the rest went to the ring, once the device event is done
    PurgeRing(port);

    start = machine.now();
    EXPECT_EQ(Read(nothing, b3), STATUS_PENDING);
    ASSERT_TRUE(WaitDone(nothing));
    Expect(nothing, STATUS_TIMEOUT, 0);
    EXPECT_EQ(nothing.at, Tick(start + 200 * kMs));
}

// The other total time-out rows: N x RM + RC with N the full length, whatever the ring held.
TEST_F(ReadTest, TotalTimeOutCountsTheFullLength) {
    Outcome o;
    Bytes b(10);
    SetTimeouts(0, 100, 500);
    Put(Seq(9, 'a'));
    int64_t start = machine.now();
    EXPECT_EQ(Read(o, b), STATUS_PENDING);
    ASSERT_TRUE(WaitDone(o));
    Expect(o, STATUS_TIMEOUT, 9);
    EXPECT_EQ(o.at, Tick(start + 1500 * kMs));

    // RI = MAXULONG with other values: at once if the ring held anything, else the total time-out
    // ends it even though a character came.
    SetTimeouts(kMax, 10, 100);
    Outcome held, late;
    Bytes b2(10), b3(10);
    Put({'h'});
    EXPECT_EQ(Read(held, b2), STATUS_SUCCESS);
    Expect(held, STATUS_SUCCESS, 1);
    start = machine.now();
    PutAt(start + 50 * kMs, {'l'});
    EXPECT_EQ(Read(late, b3), STATUS_PENDING);
    ASSERT_TRUE(WaitDone(late));
    Expect(late, STATUS_TIMEOUT, 1);
    EXPECT_EQ(late.at, Tick(start + 200 * kMs));
    EXPECT_EQ(b3[0], 'l');

    // A product beyond any due time waits as long as a timer can, rather than wrapping to the past.
    SetTimeouts(0, kMax, kMax);
    Outcome huge;
    Bytes b4(0x40000);
    PIRP r4;
    EXPECT_EQ(Read(huge, b4, &r4), STATUS_PENDING);
    machine.sleepFor(3600 * 1000 * kMs);
    EXPECT_EQ(huge.completions.load(), 0);
    EXPECT_TRUE(IoCancelIrp(r4));
    Expect(huge, STATUS_CANCELLED, 0);
}

// RI = MAXULONG with RC = MAXULONG, and RI = RM = RC = 0: no timer; only the full length ends it.
TEST_F(ReadTest, WithoutTimeOutsOnlyTheFullLengthEndsTheRead) {
    for (auto t : {std::array<ULONG, 3>{kMax, 7, kMax}, std::array<ULONG, 3>{0, 0, 0}}) {
        SetTimeouts(t[0], t[1], t[2]);
        Outcome o;
        Bytes b(8);
        Put(Seq(3, 'a'));
        int64_t start = machine.now();
        PutAt(start + 100 * 1000 * kMs, Seq(2, 'd'));
        PutAt(start + 200 * 1000 * kMs, Seq(4, 'f'));
        EXPECT_EQ(Read(o, b), STATUS_PENDING);
        EXPECT_EQ(port->PendingDpcCount, 1);  // nothing armed
        EXPECT_EQ(port->RxTarget, b.data());
        ASSERT_TRUE(WaitDone(o));
        Expect(o, STATUS_SUCCESS, 8);
        EXPECT_EQ(o.at, start + 200 * 1000 * kMs);
        EXPECT_EQ(b, Seq(8, 'a'));
        // Back in ring mode: the ninth character waits in the ring.
        EXPECT_EQ(port->RxTarget, port->RxRingStart);
        EXPECT_EQ(port->RxRingCount, 1u);
        EXPECT_EQ(*port->RxTakeSlot, 'i');
        PurgeRing(port);
    }
}

// The interval runs from the last check that saw characters; never before the first one.
TEST_F(ReadTest, IntervalTimeOutStartsWithTheFirstCharacter) {
    SetTimeouts(100, 0, 0);
    Outcome o;
    Bytes b(10);
    int64_t start = machine.now();
    int64_t first = start + 5000 * kMs + kTick / 3, second = first + 80 * kMs;
    PutAt(first, Seq(2, 'a'));
    PutAt(second, Seq(3, 'c'));
    EXPECT_EQ(Read(o, b), STATUS_PENDING);
    EXPECT_EQ(port->IntervalStepToUse, &port->ShortIntervalStep);
    ASSERT_TRUE(WaitDone(o));
    Expect(o, STATUS_TIMEOUT, 5);
    // Re-examined every tick: 100 ms is 6.4 ticks after the tick that saw the last characters.
    EXPECT_EQ(o.at, Tick(second) + 7 * kTick);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 5), Seq(5, 'a'));

    // From 20 s up, once a second.
    SetTimeouts(20000, 0, 0);
    Outcome slow;
    start = machine.now();
    PutAt(start + 500 * kMs, {'z'});
    EXPECT_EQ(Read(slow, b), STATUS_PENDING);
    EXPECT_EQ(port->IntervalStepToUse, &port->LongIntervalStep);
    ASSERT_TRUE(WaitDone(slow));
    Expect(slow, STATUS_TIMEOUT, 1);
    EXPECT_EQ(slow.at, Tick(start + 1000 * kMs) + 20 * 1000 * kMs);
}

TEST_F(ReadTest, CancelEndsTheCurrentOrAQueuedReadAndTheNextOneRuns) {
    SetTimeouts(0, 0, 0);
    Outcome a, b, c, d;
    Bytes ba(4), bb(4), bc(4), bd(4);
    PIRP ra, rb, rc, rd;
    EXPECT_EQ(Read(a, ba, &ra), STATUS_PENDING);
    EXPECT_EQ(Read(b, bb, &rb), STATUS_PENDING);
    EXPECT_EQ(Read(c, bc, &rc), STATUS_PENDING);
    Put(Seq(2, 'a'));  // into a's buffer, lost with it
    EXPECT_TRUE(IoCancelIrp(rb));
    Expect(b, STATUS_CANCELLED, 0);
    EXPECT_EQ(port->CurrentRead, ra);
    EXPECT_TRUE(IoCancelIrp(ra));
    Expect(a, STATUS_CANCELLED, 0);
    EXPECT_EQ(port->CurrentRead, rc);
    EXPECT_EQ(port->RxTarget, bc.data());
    Put(Seq(4, 'w'));
    KeFlushQueuedDpcs();
    Expect(c, STATUS_SUCCESS, 4);
    EXPECT_EQ(bc, Seq(4, 'w'));

    // Cancelled before it went to the receive path: what it took from the ring is dropped too.
    Put(Seq(2, 'q'));
    rd = Build(IRP_MJ_READ, d, 4, bd.data());
    rd->Cancel = TRUE;
    EXPECT_EQ(IoCallDriver(device, rd), STATUS_CANCELLED);
    Expect(d, STATUS_CANCELLED, 0);
    EXPECT_EQ(port->RxRingCount, 0u);
    EXPECT_EQ(port->CurrentRead, nullptr);
    (void)rc;
}

// A queue-size request behind a waiting read is carried out only once that read has finished,
// before the read queued behind it starts.
TEST_F(ReadTest, QueueSizeRequestRunsBetweenReads) {
    SetTimeouts(0, 0, 0);
    Outcome a, resize, b;
    Bytes ba(3), bb(3);
    EXPECT_EQ(Read(a, ba), STATUS_PENDING);
    SERIAL_QUEUE_SIZE qs{4096, 0};
    PIRP rq = Build(IRP_MJ_DEVICE_CONTROL, resize, 0, &qs);
    EXPECT_EQ(IoCallDriver(device, rq), STATUS_PENDING);
    EXPECT_EQ(Read(b, bb), STATUS_PENDING);
    EXPECT_EQ(port->RxBufferSize, 1024u);

    Put(Seq(5, 'a'));  // fills a, the rest waits in the ring across the resize
    KeFlushQueuedDpcs();
    Expect(a, STATUS_SUCCESS, 3);
    Expect(resize, STATUS_SUCCESS, 0);
    EXPECT_EQ(port->RxBufferSize, 4096u);
    EXPECT_EQ(b.completions.load(), 0);
    Put({'f'});
    KeFlushQueuedDpcs();
    Expect(b, STATUS_SUCCESS, 3);
    EXPECT_EQ(bb, Seq(3, 'd'));
}

// A full buffer, the total time-out, the interval time-out and a cancel, all due within a tick of
// one another on two processors with schedule noise: each read is completed once, with the status
// of the party that let go last, and the read queued behind it still runs.
class ReadRaceTest : public ReadTest {
protected:
    static constexpr uint64_t kSeed = 0x5EED0203;
    ReadRaceTest() : ReadTest(emu::MachineConfig{.processors = 2, .noiseSeed = kSeed}) {}
};

TEST_F(ReadRaceTest, EachReadIsCompletedExactlyOnce) {
    SCOPED_TRACE("noise seed " + std::to_string(kSeed));
    std::mt19937 rng(kSeed);
    int success = 0, timedOut = 0, cancelled = 0;
    constexpr int kIterations = 1500;
    for (int i = 0; i < kIterations; i++) {
        SCOPED_TRACE("iteration " + std::to_string(i));
        // The interval time-out (one tick after the first character) races the total.
        SetTimeouts(10, 0, 20);
        Outcome first, second;
        Bytes b1(4), b2(4);
        PIRP r1;
        ASSERT_EQ(Read(first, b1, &r1), STATUS_PENDING);
        ASSERT_EQ(Read(second, b2), STATUS_PENDING);
        int64_t due = int64_t(port->ReadTotalTimer.DueTime.QuadPart);
        if (rng() & 1) PutAt(due - kTick - 1 + int64_t(rng() % 3), {'a'});
        PutAt(due + int64_t(rng() % 3) - 1, Seq(4, 'b'));
        int64_t cancelAt = due + int64_t(rng() % 3) - 1;
        emu::Thread canceller;
        if (rng() & 1)
            canceller = emu::Thread([&] {
                machine.sleepFor(cancelAt - machine.now());
                IoCancelIrp(r1);
            }, "cancel");
        else
            machine.scheduleAt(cancelAt, [r1] { IoCancelIrp(r1); });

        ASSERT_TRUE(WaitDone(first));
        ASSERT_TRUE(WaitDone(second));
        if (canceller.joinable()) canceller.join();
        KeFlushQueuedDpcs();
        ASSERT_EQ(first.completions.load(std::memory_order_acquire), 1);
        ASSERT_EQ(second.completions.load(std::memory_order_acquire), 1);
        switch (first.status) {
        case STATUS_SUCCESS: success++; EXPECT_EQ(first.information, 4u); break;
        case STATUS_TIMEOUT: timedOut++; EXPECT_LE(first.information, 4u); break;
        case STATUS_CANCELLED: cancelled++; EXPECT_EQ(first.information, 0u); break;
        default: ADD_FAILURE() << "status " << std::hex << first.status;
        }
        EXPECT_TRUE(second.status == STATUS_SUCCESS || second.status == STATUS_TIMEOUT);
        EXPECT_LE(first.at, second.at);
        ASSERT_EQ(port->CurrentRead, nullptr);
        ASSERT_EQ(port->PendingRequestCount, 1);
        ASSERT_EQ(port->PendingDpcCount, 1);
        ASSERT_EQ(port->RxTarget, port->RxRingStart);
        machine.sleepFor(std::max<int64_t>(0, due + kTick - machine.now()));  // every event has run
        PurgeRing(port);
    }
    EXPECT_GT(success, 0);
    EXPECT_GT(timedOut, 0);
    EXPECT_GT(cancelled, 0);
    std::printf("completed %d, timed out %d, cancelled %d\n", success, timedOut, cancelled);
}

}  // namespace
