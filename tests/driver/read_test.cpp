// Read requests and their time-outs, sent through the port's read dispatch on a port with its
// start defaults and an open-time ring; characters arrive from device events at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <list>
#include <random>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "receive/receive.h"
#include "requests/requests.h"

namespace {

using Bytes = std::vector<UCHAR>;
constexpr int64_t kMs = 10000, kTick = 156250;
constexpr ULONG kMax = MAXULONG;

// One request and what its requester saw when it came back.
struct Req {
    Bytes buffer;
    PIRP irp = nullptr;
    KEVENT done;
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = ~ULONG_PTR(0);
    int64_t at = -1;
    SERIAL_QUEUE_SIZE size{};
};

NTSTATUS NTAPI RequesterDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *r = static_cast<Req *>(context);
    r->status = irp->IoStatus.Status;
    r->information = irp->IoStatus.Information;
    r->at = emu::Machine::current().now();
    r->completions.fetch_add(1, std::memory_order_release);
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the IRP
}

// As the device-control dispatcher queues a queue-size request: the new ring rides along.
NTSTATUS NTAPI QueueSizeDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    AdmitRequest(irp, port);
    ULONG size = static_cast<PSERIAL_QUEUE_SIZE>(irp->AssociatedIrp.SystemBuffer)->InSize;
    IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer =
        ExAllocatePoolWithTag(NonPagedPool, size, MIRAVO_POOL_TAG);
    return QueueOrStart(port, irp, &port->ReadQueue, &port->CurrentRead, StartRead);
}

NTSTATUS NTAPI ReadEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_READ] = ReadDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = QueueSizeDispatch;
    return STATUS_SUCCESS;
}

Bytes Seq(size_t n, UCHAR first) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = UCHAR(first + i);
    return b;
}

class ReadTest : public ::testing::Test {
protected:
    explicit ReadTest(emu::MachineConfig config = {}) : machine(config) {}

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PortExtension *port = nullptr;
    std::list<Req> reqs;

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
        for (Req &r : reqs) IoFreeIrp(r.irp);
        if (driver) io.unloadDriver(driver);  // the verifier reports pool left under 'COMX'
    }

    void SetTimeouts(ULONG ri, ULONG rm, ULONG rc) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        port->Timeouts = SERIAL_TIMEOUTS{ri, rm, rc, 0, 0};
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
    void PutAt(int64_t when, Bytes chars) { machine.scheduleAt(when, [this, chars] { Put(chars); }); }
    ULONG RingCount() {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        ULONG n = port->RxRingCount;
        KeReleaseSpinLock(&port->ControlLock, irql);
        return n;
    }

    // A read of `length` (or, with major IRP_MJ_DEVICE_CONTROL, a queue-size request for `length`).
    Req &Build(ULONG length, UCHAR major = IRP_MJ_READ) {
        Req &r = reqs.emplace_back();
        KeInitializeEvent(&r.done, NotificationEvent, FALSE);
        r.irp = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r.irp);
        next->MajorFunction = major;
        if (major == IRP_MJ_READ) {
            r.buffer.resize(length);
            r.irp->AssociatedIrp.SystemBuffer = r.buffer.data();
            next->Parameters.Read.Length = length;
            next->Parameters.Read.ByteOffset.QuadPart = -1;  // leaves ones in the RefBits word
        } else {
            r.size.InSize = length;
            r.irp->AssociatedIrp.SystemBuffer = &r.size;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_SET_QUEUE_SIZE;
        }
        IoSetCompletionRoutine(r.irp, RequesterDone, &r, TRUE, TRUE, TRUE);
        return r;
    }
    NTSTATUS Send(Req &r) { return IoCallDriver(device, r.irp); }
    Req &Read(ULONG length, NTSTATUS expected) {
        Req &r = Build(length);
        EXPECT_EQ(Send(r), expected);
        return r;
    }

    bool WaitDone(Req &r) {
        LARGE_INTEGER t;
        t.QuadPart = -600 * 1000 * kMs;
        return KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS;
    }
    void Expect(Req &r, NTSTATUS status, ULONG_PTR information) {
        ASSERT_TRUE(WaitDone(r));
        EXPECT_EQ(r.completions.load(), 1);
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.information, information);
    }
    static int64_t Tick(int64_t t) { return (t + kTick - 1) / kTick * kTick; }
};

// A zero length, and RI = MAXULONG with RM = RC = 0: the read never waits.
TEST_F(ReadTest, ReturnsAtOnceWithWhatTheRingHolds) {
    Expect(Read(0, STATUS_SUCCESS), STATUS_SUCCESS, 0);
    SetTimeouts(kMax, 0, 0);
    Expect(Read(10, STATUS_SUCCESS), STATUS_SUCCESS, 0);
    Put(Seq(3, 'a'));
    Req &some = Read(10, STATUS_SUCCESS);
    Expect(some, STATUS_SUCCESS, 3);
    EXPECT_EQ(Bytes(some.buffer.begin(), some.buffer.begin() + 3), Seq(3, 'a'));
    EXPECT_EQ(RingCount(), 0u);
}

// RI = MAXULONG, RM = MAXULONG, 0 < RC < MAXULONG: what the ring holds at once; else the first
// character to arrive within RC; else a time-out with nothing.
TEST_F(ReadTest, ReturnsAsSoonAsAnyCharacterIsThere) {
    SetTimeouts(kMax, kMax, 200);
    Put(Seq(2, 'x'));
    Expect(Read(10, STATUS_SUCCESS), STATUS_SUCCESS, 2);

    int64_t start = machine.now();
    PutAt(start + 50 * kMs, Seq(3, 'p'));
    Req &first = Read(10, STATUS_PENDING);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(first.irp)->Parameters.Read.Length, 1u);
    Expect(first, STATUS_SUCCESS, 1);
    EXPECT_EQ(first.at, start + 50 * kMs);
    EXPECT_EQ(first.buffer[0], 'p');
    EXPECT_EQ(RingCount(), 2u);  // the rest went to the ring, once the device event is done
    PurgeRing(port);

    start = machine.now();
    Req &nothing = Read(10, STATUS_PENDING);
    Expect(nothing, STATUS_TIMEOUT, 0);
    EXPECT_EQ(nothing.at, Tick(start + 200 * kMs));
}

// The other total time-out rows: N x RM + RC with N the full length, whatever the ring held.
TEST_F(ReadTest, TotalTimeOutCountsTheFullLength) {
    SetTimeouts(0, 100, 500);
    Put(Seq(9, 'a'));
    int64_t start = machine.now();
    Req &nine = Read(10, STATUS_PENDING);
    Expect(nine, STATUS_TIMEOUT, 9);
    EXPECT_EQ(nine.at, Tick(start + 1500 * kMs));

    // RI = MAXULONG with other values: at once if the ring held anything; else only the total
    // time-out ends it, even though a character came.
    SetTimeouts(kMax, 10, 100);
    Put({'h'});
    Expect(Read(10, STATUS_SUCCESS), STATUS_SUCCESS, 1);
    start = machine.now();
    PutAt(start + 50 * kMs, {'l'});
    Req &late = Read(10, STATUS_PENDING);
    Expect(late, STATUS_TIMEOUT, 1);
    EXPECT_EQ(late.at, Tick(start + 200 * kMs));
    EXPECT_EQ(late.buffer[0], 'l');

    // A product beyond any due time waits as long as a timer can, rather than wrapping to the past.
    SetTimeouts(0, kMax, kMax);
    Req &huge = Read(0x40000, STATUS_PENDING);
    machine.sleepFor(3600 * 1000 * kMs);
    EXPECT_EQ(huge.completions.load(), 0);
    EXPECT_TRUE(IoCancelIrp(huge.irp));
    Expect(huge, STATUS_CANCELLED, 0);
}

// RI = MAXULONG with RC = MAXULONG, and RI = RM = RC = 0: no timer; only the full length ends it.
TEST_F(ReadTest, WithoutTimeOutsOnlyTheFullLengthEndsTheRead) {
    for (ULONG rm : {7u, 0u}) {
        rm ? SetTimeouts(kMax, rm, kMax) : SetTimeouts(0, 0, 0);
        Put(Seq(3, 'a'));
        int64_t start = machine.now();
        PutAt(start + 100 * 1000 * kMs, Seq(2, 'd'));
        PutAt(start + 200 * 1000 * kMs, Seq(4, 'f'));
        Req &r = Read(8, STATUS_PENDING);
        EXPECT_EQ(port->PendingDpcCount, 1);  // nothing armed
        Expect(r, STATUS_SUCCESS, 8);
        EXPECT_EQ(r.at, start + 200 * 1000 * kMs);
        EXPECT_EQ(r.buffer, Seq(8, 'a'));
        EXPECT_EQ(port->RxTarget, port->RxRingStart);  // the ninth waits in the ring
        EXPECT_EQ(RingCount(), 1u);
        EXPECT_EQ(*port->RxTakeSlot, 'i');
        PurgeRing(port);
    }
}

// The interval runs from the last check that saw characters; never before the first one.
TEST_F(ReadTest, IntervalTimeOutStartsWithTheFirstCharacter) {
    SetTimeouts(100, 0, 0);
    int64_t first = machine.now() + 5000 * kMs + kTick / 3, second = first + 80 * kMs;
    PutAt(first, Seq(2, 'a'));
    PutAt(second, Seq(3, 'c'));
    Req &r = Read(10, STATUS_PENDING);
    EXPECT_EQ(port->IntervalStepToUse, &port->ShortIntervalStep);
    Expect(r, STATUS_TIMEOUT, 5);
    // Checked every tick: 100 ms is 6.4 ticks after the tick that saw the last characters.
    EXPECT_EQ(r.at, Tick(second) + 7 * kTick);
    EXPECT_EQ(Bytes(r.buffer.begin(), r.buffer.begin() + 5), Seq(5, 'a'));

    // From 20 s up, once a second.
    SetTimeouts(20000, 0, 0);
    int64_t start = machine.now();
    PutAt(start + 500 * kMs, {'z'});
    Req &slow = Read(10, STATUS_PENDING);
    EXPECT_EQ(port->IntervalStepToUse, &port->LongIntervalStep);
    Expect(slow, STATUS_TIMEOUT, 1);
    EXPECT_EQ(slow.at, Tick(start + 1000 * kMs) + 20 * 1000 * kMs);
}

TEST_F(ReadTest, CancelEndsTheCurrentOrAQueuedReadAndTheNextOneRuns) {
    SetTimeouts(0, 0, 0);
    Req &a = Read(4, STATUS_PENDING), &b = Read(4, STATUS_PENDING), &c = Read(4, STATUS_PENDING);
    Put(Seq(2, 'a'));  // into a's buffer, lost with it
    EXPECT_TRUE(IoCancelIrp(b.irp));
    Expect(b, STATUS_CANCELLED, 0);
    EXPECT_EQ(port->CurrentRead, a.irp);
    EXPECT_TRUE(IoCancelIrp(a.irp));
    Expect(a, STATUS_CANCELLED, 0);
    EXPECT_EQ(port->RxTarget, c.buffer.data());
    Put(Seq(4, 'w'));
    Expect(c, STATUS_SUCCESS, 4);
    EXPECT_EQ(c.buffer, Seq(4, 'w'));

    // Cancelled before it went to the receive path: what it took from the ring is dropped too.
    Put(Seq(2, 'q'));
    Req &d = Build(4);
    d.irp->Cancel = TRUE;
    EXPECT_EQ(Send(d), STATUS_CANCELLED);
    Expect(d, STATUS_CANCELLED, 0);
    EXPECT_EQ(RingCount(), 0u);
    EXPECT_EQ(port->CurrentRead, nullptr);
}

// A queue-size request behind a waiting read is carried out only once that read has finished,
// before the read queued behind it starts; the ring keeps what it held.
TEST_F(ReadTest, QueueSizeRequestRunsBetweenReads) {
    SetTimeouts(0, 0, 0);
    Req &a = Read(3, STATUS_PENDING);
    Req &resize = Build(4096, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(Send(resize), STATUS_PENDING);
    Req &b = Read(3, STATUS_PENDING);
    EXPECT_EQ(port->RxBufferSize, 1024u);
    Put(Seq(5, 'a'));
    Expect(a, STATUS_SUCCESS, 3);
    Expect(resize, STATUS_SUCCESS, 0);
    EXPECT_EQ(port->RxBufferSize, 4096u);
    EXPECT_EQ(b.completions.load(), 0);
    Put({'f'});
    Expect(b, STATUS_SUCCESS, 3);
    EXPECT_EQ(b.buffer, Seq(3, 'd'));
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
    int counts[3] = {};
    for (int i = 0; i < 1500; i++) {
        SCOPED_TRACE("iteration " + std::to_string(i));
        SetTimeouts(10, 0, 20);  // the interval ends a tick after the first character
        Req &first = Read(4, STATUS_PENDING), &second = Read(4, STATUS_PENDING);
        int64_t due = int64_t(port->ReadTotalTimer.DueTime.QuadPart);
        if (rng() & 1) PutAt(due - kTick - 1 + int64_t(rng() % 3), {'a'});
        PutAt(due + int64_t(rng() % 3) - 1, Seq(4, 'b'));
        int64_t cancelAt = due + int64_t(rng() % 3) - 1;
        PIRP irp = first.irp;
        emu::Thread canceller;
        if (rng() & 1)
            canceller = emu::Thread([&] {
                machine.sleepFor(cancelAt - machine.now());
                IoCancelIrp(irp);
            }, "cancel");
        else
            machine.scheduleAt(cancelAt, [irp] { IoCancelIrp(irp); });

        ASSERT_TRUE(WaitDone(first));
        ASSERT_TRUE(WaitDone(second));
        if (canceller.joinable()) canceller.join();
        machine.sleepFor(std::max<int64_t>(0, due + kTick - machine.now()));  // every event has run
        KeFlushQueuedDpcs();
        ASSERT_EQ(first.completions.load(std::memory_order_acquire), 1);
        ASSERT_EQ(second.completions.load(std::memory_order_acquire), 1);
        switch (first.status) {
        case STATUS_SUCCESS: counts[0]++; EXPECT_EQ(first.information, 4u); break;
        case STATUS_TIMEOUT: counts[1]++; EXPECT_LE(first.information, 4u); break;
        case STATUS_CANCELLED: counts[2]++; EXPECT_EQ(first.information, 0u); break;
        default: ADD_FAILURE() << "status " << std::hex << first.status;
        }
        EXPECT_TRUE(second.status == STATUS_SUCCESS || second.status == STATUS_TIMEOUT);
        EXPECT_LE(first.at, second.at);
        ASSERT_EQ(port->CurrentRead, nullptr);
        ASSERT_EQ(port->PendingRequestCount, 1);
        ASSERT_EQ(port->PendingDpcCount, 1);
        ASSERT_EQ(port->RxTarget, port->RxRingStart);
        PurgeRing(port);
    }
    for (int n : counts) EXPECT_GT(n, 0);  // every party won some races
    std::printf("completed %d, timed out %d, cancelled %d\n", counts[0], counts[1], counts[2]);
}

}  // namespace
