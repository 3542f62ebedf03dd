// The write path on a started port over the simulated chip and a scripted peer: chunking and
// byte-exact arrival, the write total time-out and its floor, cancel of current and queued writes
// with a chunk in flight, a lost chunk, the XOFF counter and the immediate character.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "control/control.h"
#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"
#include "receive/receive.h"
#include "requests/write.h"

namespace {

using namespace emu::usb;

constexpr int64_t kMs = 10000;
constexpr int64_t kTickMs = 16;  // a timer expires on the clock tick after its due time
constexpr uint8_t kBulkOut = 0x02;

const TransferHandoffs kPaths = {PutChar, nullptr, NotifyEvents, ContinueWrite, WriteChunkLost, SendWriteChunk};

struct Outcome {
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    int64_t at = 0;
};

NTSTATUS NTAPI RequesterDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *o = static_cast<Outcome *>(context);
    o->status = irp->IoStatus.Status;
    o->information = irp->IoStatus.Information;
    o->at = emu::Machine::current().now();
    o->done.store(true, std::memory_order_release);
    return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the IRP
}

struct Request {
    PIRP irp = nullptr;
    Outcome outcome;
    std::vector<uint8_t> buffer;
};

class WriteTest : public ::testing::Test {
protected:
    explicit WriteTest(emu::MachineConfig config = {}) : machine(config) {}

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    emu::PnpManager &pnp = machine.service<emu::PnpManager>();
    emu::Pool &pool = machine.service<emu::Pool>();
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<ScriptedPeer> peer;
    PortExtension *port = nullptr;
    std::vector<std::unique_ptr<Request>> requests;

    void SetUp() override { ASSERT_EQ(io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS); }

    // A started port at 115200 8N1 with its ring, treated as open, both IN chains running.
    void Plug() {
        ChipConfig config = ChipConfig::Variant(2);
        config.txFifoSize = 64;  // a held transmitter takes one bulk packet, then chunks wait on the bus
        device = std::make_unique<SimulatedDevice>(config);
        ASSERT_EQ(pnp.plugIn(driver, device->pdo()), STATUS_SUCCESS);
        port = PortOf(pnp.stackTop(device->pdo()));
        SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
        ASSERT_EQ(SetLineControl(port, &lc), STATUS_SUCCESS);
        SetBaudRate(port, 9600);  // MaxWriteChunk 256 on any chip
        peer = std::make_unique<ScriptedPeer>(device->chip(), WireFormat::Rate(9600));
        peer->setLines({.cts = true, .dsr = true});
        ASSERT_EQ(AllocateRing(port), STATUS_SUCCESS);
        port->Handoffs = &kPaths;
        port->OpenCount = 1;
        port->IsOpen = TRUE;
        SubmitTransfer(Dev(), InterruptIn, nullptr, STATUS_PACKET_BYTES);
        SubmitTransfer(Dev(), BulkIn, nullptr, BULK_IN_BYTES);
        Run(5);
    }
    PDEVICE_OBJECT Dev() { return port->DeviceObject; }
    void Run(int64_t ms) { machine.sleepFor(ms * kMs); }
    template <class F> bool RunUntil(F done, int64_t limitMs = 3000) {
        for (int64_t t = 0; t < limitMs && !done(); t++) Run(1);
        return done();
    }
    template <class F> auto Ctl(F f) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        auto r = f();
        KeReleaseSpinLock(&port->ControlLock, irql);
        return r;
    }
    void SetTimeouts(ULONG multiplier, ULONG constant) {
        Ctl([&] {
            port->Timeouts.WriteTotalTimeoutMultiplier = multiplier;
            return port->Timeouts.WriteTotalTimeoutConstant = constant;
        });
    }
    ULONG TxChars() {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        ULONG n = port->TxCharsQueued;
        IoReleaseCancelSpinLock(irql);
        return n;
    }
    // Holds the chip's transmitter: chip-side CTS handshake with CTS low. Chunks then wait on the bus.
    void HoldChip() {
        peer->setLines({.cts = false, .dsr = true});
        ASSERT_EQ(VendorWrite(Dev(), 0, 0x40), STATUS_SUCCESS);
    }

    Request &Build(UCHAR major, std::vector<uint8_t> data, ULONG code = 0) {
        auto r = std::make_unique<Request>();
        r->buffer = std::move(data);
        r->irp = IoAllocateIrp(Dev()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(r->irp);
        next->MajorFunction = major;
        if (major == IRP_MJ_WRITE) {
            next->Parameters.Write.Length = ULONG(r->buffer.size());
        } else {
            next->Parameters.DeviceIoControl.IoControlCode = code;
            next->Parameters.DeviceIoControl.InputBufferLength = ULONG(r->buffer.size());
        }
        r->irp->AssociatedIrp.SystemBuffer = r->buffer.data();
        IoSetCompletionRoutine(r->irp, RequesterDone, &r->outcome, TRUE, TRUE, TRUE);
        requests.push_back(std::move(r));
        return *requests.back();
    }
    Request &Write(std::vector<uint8_t> data) {
        Request &r = Build(IRP_MJ_WRITE, std::move(data));
        IoCallDriver(Dev(), r.irp);
        return r;
    }
    // What the device-control dispatcher does with the two requests it hands to this path.
    Request &XoffCounter(ULONG timeout, LONG counter, UCHAR xoff = 0x13) {
        std::vector<uint8_t> record(sizeof(SERIAL_XOFF_COUNTER));
        SERIAL_XOFF_COUNTER c{timeout, counter, xoff};
        memcpy(record.data(), &c, sizeof(c));
        Request &r = Build(IRP_MJ_DEVICE_CONTROL, record, IOCTL_SERIAL_XOFF_COUNTER);
        IoSetNextIrpStackLocation(r.irp);
        IoGetCurrentIrpStackLocation(r.irp)->DeviceObject = Dev();
        EXPECT_EQ(AdmitRequest(r.irp, port), STATUS_SUCCESS);
        r.irp->IoStatus.Information = 0;
        QueueOrStart(port, r.irp, &port->WriteQueue, &port->CurrentWrite, BeginWrite);
        return r;
    }
    NTSTATUS Immediate(Request &r) {
        IoSetNextIrpStackLocation(r.irp);
        IoGetCurrentIrpStackLocation(r.irp)->DeviceObject = Dev();
        IoGetCurrentIrpStackLocation(r.irp)->DeviceObject = Dev();
        EXPECT_EQ(AdmitRequest(r.irp, port), STATUS_SUCCESS);
        NTSTATUS status = ImmediateCharRequest(port, r.irp);
        if (status != STATUS_PENDING) {
            r.irp->IoStatus.Status = status;
            IoCompleteRequest(r.irp, IO_NO_INCREMENT);
            ReleaseRequestCount(port);
        }
        return status;
    }
    std::vector<UrbRecord> OutTransfers() {
        std::vector<UrbRecord> out;
        for (const UrbRecord &r : device->bus().urbLog())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == kBulkOut) out.push_back(r);
        return out;
    }

    void TearDown() override {
        if (device) {
            for (auto &r : requests)
                if (!r->outcome.done) IoCancelIrp(r->irp);
            KeFlushQueuedDpcs();
            for (auto &r : requests) EXPECT_TRUE(r->outcome.done);
            port->IsOpen = FALSE;
            InterlockedExchange(&port->OpenCount, 0);
            CancelAllTransfers(port);
            WaitForTransfers(port);
            KeFlushQueuedDpcs();
            EXPECT_EQ(port->PendingRequestCount, 1);
            EXPECT_EQ(port->PendingDpcCount, 1);
            EXPECT_EQ(TxChars(), 0u);
            FreeRing(port);
            peer.reset();
            pnp.remove(device->pdo());
            device.reset();
        }
        for (auto &r : requests) IoFreeIrp(r->irp);
        io.unloadDriver(driver);  // the verifier stops the test on pool left under 'COMX'
        EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), 0u);
    }
};

std::vector<uint8_t> Pattern(size_t n, int seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t(i * 31 + seed);
    return v;
}

TEST_F(WriteTest, WritesGoOutInChunksByteExactAndInOrder) {
    Plug();
    std::vector<uint8_t> a = Pattern(300, 1), b = Pattern(5, 9);
    Request &first = Write(a);
    Request &second = Write(b);
    Request &empty = Write({});
    EXPECT_TRUE(empty.outcome.done);
    EXPECT_EQ(empty.outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(TxChars(), 305u);
    ASSERT_TRUE(RunUntil([&] { return second.outcome.done.load(); }));
    EXPECT_EQ(first.outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(first.outcome.information, 300u);
    EXPECT_EQ(second.outcome.information, 5u);
    EXPECT_LT(first.outcome.at, second.outcome.at);
    auto out = OutTransfers();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].requested, 256u);
    EXPECT_EQ(out[1].requested, 44u);
    EXPECT_EQ(out[2].requested, 5u);
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == 305; }));
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(peer->receivedBytes(), a);
    EXPECT_EQ(port->PerfStats.TransmittedCount, 305u);
    EXPECT_EQ(TxChars(), 0u);
}

// A write parked by the driver's CTS hold never reaches the bus; its time-out sends an empty
// transfer whose completion ends it. The total is chars x multiplier + constant, at least 100 ms.
TEST_F(WriteTest, TotalTimeOutOfAParkedWriteHasA100msFloor) {
    Plug();
    Ctl([&] { return port->TxHoldReasons = 0x1; });
    struct Row {
        ULONG multiplier, constant, length;
        int64_t dueMs;
    } rows[] = {{0, 10, 1, 100}, {0, 20, 1, 100}, {0, 21, 1, 21}, {1, 0, 100, 100}, {2, 30, 40, 110}};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.multiplier << " x " << row.length << " + " << row.constant);
        SetTimeouts(row.multiplier, row.constant);
        size_t sent = OutTransfers().size();
        int64_t start = machine.now();
        Request &w = Write(Pattern(row.length, 3));
        ASSERT_TRUE(RunUntil([&] { return w.outcome.done.load(); }));
        EXPECT_EQ(w.outcome.status, STATUS_TIMEOUT);
        EXPECT_EQ(w.outcome.information, 0u);
        int64_t elapsedMs = (w.outcome.at - start) / kMs;
        EXPECT_GE(elapsedMs, row.dueMs);
        EXPECT_LE(elapsedMs, row.dueMs + kTickMs + 2);
        auto out = OutTransfers();
        ASSERT_EQ(out.size(), sent + 1);
        EXPECT_EQ(out.back().requested, 0u);
    }
    // No time-out at all: the write waits for the hold to end, then goes from its first byte.
    SetTimeouts(0, 0);
    std::vector<uint8_t> data = Pattern(20, 5);
    Request &w = Write(data);
    Run(500);
    EXPECT_FALSE(w.outcome.done);
    EXPECT_TRUE(Ctl([&] { return port->WriteHeld; }));
    Ctl([&] { return port->TxHoldReasons = 0; });
    peer->setLines({.cts = true, .dsr = false});  // a status packet: the engine tries the parked write
    ASSERT_TRUE(RunUntil([&] { return w.outcome.done.load(); }));
    EXPECT_EQ(w.outcome.status, STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == data.size(); }));
    EXPECT_EQ(peer->receivedBytes(), data);
}

// The time-out ends a write with a chunk out only when that chunk completes, counting it; the
// next write starts at once and the rest of the first never goes.
TEST_F(WriteTest, TimeOutWithAChunkInFlightCountsItAndStartsTheNext) {
    Plug();
    HoldChip();
    SetTimeouts(0, 50);
    std::vector<uint8_t> a = Pattern(300, 1), b = Pattern(10, 7);
    Request &first = Write(a);
    Request &second = Write(b);
    Run(200);
    EXPECT_FALSE(first.outcome.done);
    peer->setLines({.cts = true, .dsr = true});
    ASSERT_TRUE(RunUntil([&] { return second.outcome.done.load(); }));
    EXPECT_EQ(first.outcome.status, STATUS_TIMEOUT);
    EXPECT_EQ(first.outcome.information, 256u);
    EXPECT_EQ(second.outcome.status, STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == 266; }));
    std::vector<uint8_t> expected(a.begin(), a.begin() + 256);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(peer->receivedBytes(), expected);
}

// Cancelling the current write disowns its chunk in flight: when that chunk lands later it does
// not count for the write that took over, which still goes out whole.
TEST_F(WriteTest, CancelOfCurrentAndQueuedWrites) {
    Plug();
    HoldChip();
    std::vector<uint8_t> a = Pattern(300, 1), b = Pattern(40, 2), c = Pattern(7, 3);
    Request &first = Write(a);
    Request &second = Write(b);
    Request &third = Write(c);
    Run(20);
    EXPECT_EQ(TxChars(), 347u);
    IoCancelIrp(third.irp);
    EXPECT_TRUE(third.outcome.done);
    EXPECT_EQ(third.outcome.status, STATUS_CANCELLED);
    EXPECT_EQ(TxChars(), 340u);
    IoCancelIrp(first.irp);
    KeFlushQueuedDpcs();
    ASSERT_TRUE(first.outcome.done);
    EXPECT_EQ(first.outcome.status, STATUS_CANCELLED);
    EXPECT_EQ(first.outcome.information, 0u);
    EXPECT_EQ(TxChars(), 40u);
    EXPECT_FALSE(second.outcome.done);

    peer->setLines({.cts = true, .dsr = true});
    ASSERT_TRUE(RunUntil([&] { return second.outcome.done.load(); }));
    EXPECT_EQ(second.outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(second.outcome.information, 40u);
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == 296; }));
    Run(50);
    std::vector<uint8_t> expected(a.begin(), a.begin() + 256);
    expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(peer->receivedBytes(), expected);
}

// A chunk the bus fails ends its write at once with the failure and what was confirmed before
// it; a later write is not affected.
TEST_F(WriteTest, ALostChunkEndsTheWriteWithTheConfirmedCount) {
    Plug();
    SetTimeouts(0, 1000);
    device->bus().addFault(FaultRule::ForEndpoint(kBulkOut).after(1).fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL));
    Request &w = Write(Pattern(300, 1));
    Request &next = Write(Pattern(3, 4));
    ASSERT_TRUE(RunUntil([&] { return next.outcome.done.load(); }));
    EXPECT_EQ(w.outcome.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(w.outcome.information, 256u);
    EXPECT_EQ(next.outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(next.outcome.information, 3u);

    // A chunk that cannot even be built ends its write the same way.
    Request &unbuilt = Build(IRP_MJ_WRITE, Pattern(2, 5));
    pool.failNth(1);
    IoCallDriver(Dev(), unbuilt.irp);
    pool.clearFaults();
    ASSERT_TRUE(unbuilt.outcome.done);
    EXPECT_EQ(unbuilt.outcome.status, STATUS_NO_MEMORY);
    EXPECT_EQ(unbuilt.outcome.information, 0u);
}

TEST_F(WriteTest, XoffCounterCountsTimesOutAndGivesWayToWrites) {
    Plug();
    // Counter 5: its XOFF goes out, then the fifth received character completes it.
    Request &counted = XoffCounter(0, 5);
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == 1; }));
    EXPECT_EQ(peer->receivedBytes()[0], 0x13);
    EXPECT_FALSE(counted.outcome.done);
    peer->send(std::vector<uint8_t>{1, 2, 3, 4});
    Run(50);
    EXPECT_FALSE(counted.outcome.done);
    peer->send(std::vector<uint8_t>{5});
    ASSERT_TRUE(RunUntil([&] { return counted.outcome.done.load(); }));
    EXPECT_EQ(counted.outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(counted.outcome.information, 0u);

    // Timeout 10000 (units of 100 us) with nothing received: one second.
    int64_t start = machine.now();
    Request &timed = XoffCounter(10000, 5);
    ASSERT_TRUE(RunUntil([&] { return timed.outcome.done.load(); }));
    EXPECT_EQ(timed.outcome.status, STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_GE(machine.now() - start, 1000 * kMs);
    EXPECT_LE(machine.now() - start, (1000 + kTickMs + 20) * kMs);

    // A write while a counter counts ends it, then goes out; a flush behind a counter ends once
    // its character is out.
    Request &waiting = XoffCounter(0, 100);
    Run(20);
    Request &w = Write(Pattern(4, 1));
    ASSERT_TRUE(RunUntil([&] { return w.outcome.done.load(); }));
    EXPECT_EQ(waiting.outcome.status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(waiting.outcome.information, 0u);
    EXPECT_LT(waiting.outcome.at, w.outcome.at);
    EXPECT_EQ(w.outcome.status, STATUS_SUCCESS);

    // Cancel while counting.
    Request &cancelled = XoffCounter(0, 100);
    Run(20);
    IoCancelIrp(cancelled.irp);
    EXPECT_TRUE(cancelled.outcome.done);
    EXPECT_EQ(cancelled.outcome.status, STATUS_CANCELLED);
}

TEST_F(WriteTest, ImmediateCharacterGoesPastAParkedWriteOneAtATime) {
    Plug();
    Ctl([&] { return port->TxHoldReasons = 0x1; });
    Request &parked = Write(Pattern(3, 1));
    Run(10);
    EXPECT_TRUE(OutTransfers().empty());

    Request &first = Build(IRP_MJ_DEVICE_CONTROL, {'!'}, IOCTL_SERIAL_IMMEDIATE_CHAR);
    EXPECT_EQ(Immediate(first), STATUS_PENDING);
    Request &second = Build(IRP_MJ_DEVICE_CONTROL, {'?'}, IOCTL_SERIAL_IMMEDIATE_CHAR);
    Request &empty = Build(IRP_MJ_DEVICE_CONTROL, {}, IOCTL_SERIAL_IMMEDIATE_CHAR);
    EXPECT_EQ(Immediate(empty), STATUS_BUFFER_TOO_SMALL);
    // The bus may finish the first on a processor before the second arrives (it is then taken
    // too); while the first is current, the second is refused.
    NTSTATUS secondStatus = Immediate(second);
    bool secondTaken = secondStatus == STATUS_PENDING;
    if (!secondTaken) {
        EXPECT_EQ(secondStatus, STATUS_INVALID_PARAMETER);
    }
    ASSERT_TRUE(RunUntil([&] { return first.outcome.done.load(); }));
    EXPECT_EQ(first.outcome.status, STATUS_SUCCESS);
    if (secondTaken) {
        ASSERT_TRUE(RunUntil([&] { return second.outcome.done.load(); }));
    }
    std::vector<uint8_t> sent{'!'};
    if (secondTaken) sent.push_back('?');
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == sent.size(); }));
    EXPECT_EQ(peer->receivedBytes(), sent);
    EXPECT_EQ(TxChars(), 3u);
    EXPECT_FALSE(parked.outcome.done);

    // A character that cannot be sent fails its request rather than succeeding.
    Request &failed = Build(IRP_MJ_DEVICE_CONTROL, {'#'}, IOCTL_SERIAL_IMMEDIATE_CHAR);
    pool.failNth(1);
    Immediate(failed);
    pool.clearFaults();
    ASSERT_TRUE(failed.outcome.done);
    EXPECT_EQ(failed.outcome.status, STATUS_NO_MEMORY);
    EXPECT_EQ(TxChars(), 3u);
}

// Writes with short time-outs, cancelled at random moments, racing their chunk completions on two
// processors with schedule noise. Each request comes back once (the verifier watches), the stream
// keeps the writes' order, a successful write arrives whole and a timed-out one as counted.
class WriteRaceTest : public WriteTest {
protected:
    static constexpr uint64_t kSeed = 0x5EED0042;
    WriteRaceTest() : WriteTest(emu::MachineConfig{.processors = 2, .noiseSeed = kSeed}) {}
};

TEST_F(WriteRaceTest, CancelsAndTimeOutsRacingChunksFinishEachWriteOnce) {
    SCOPED_TRACE("noise seed " + std::to_string(kSeed));
    Plug();
    std::mt19937 rng(kSeed);
    constexpr int kRounds = 40, kPerRound = 3;
    std::vector<Request *> all;
    for (int round = 0; round < kRounds; round++) {
        SetTimeouts(0, 21 + rng() % 300);
        std::vector<Request *> batch;
        for (int k = 0; k < kPerRound; k++) {
            uint8_t value = uint8_t(all.size() + 1);
            batch.push_back(&Write(std::vector<uint8_t>(1 + rng() % 400, value)));
            all.push_back(batch.back());
        }
        PIRP victim = batch[rng() % kPerRound]->irp;
        int64_t cancelAt = machine.now() + int64_t(rng() % 400) * kMs;
        emu::Thread canceller([&] {
            machine.sleepFor(cancelAt - machine.now());
            IoCancelIrp(victim);
        }, "cancel");
        canceller.join();
        ASSERT_TRUE(RunUntil([&] { return batch.back()->outcome.done.load(); }, 10000));
    }
    KeFlushQueuedDpcs();
    Run(2000);  // disowned chunks land too
    std::vector<size_t> arrived(all.size() + 1);
    uint8_t last = 0;
    for (uint8_t b : peer->receivedBytes()) {
        ASSERT_GE(b, last) << "a write's bytes overtook an earlier one's";
        last = b;
        arrived[b]++;
    }
    int outcomes[3] = {};
    for (size_t i = 0; i < all.size(); i++) {
        const Outcome &o = all[i]->outcome;
        ASSERT_TRUE(o.done);
        size_t length = all[i]->buffer.size(), got = arrived[i + 1];
        EXPECT_LE(got, length);
        if (o.status == STATUS_SUCCESS) {
            EXPECT_EQ(got, length);
            EXPECT_EQ(o.information, length);
            outcomes[0]++;
        } else if (o.status == STATUS_TIMEOUT) {
            EXPECT_EQ(got, o.information);
            outcomes[1]++;
        } else {
            EXPECT_EQ(o.status, STATUS_CANCELLED);
            outcomes[2]++;
        }
    }
    EXPECT_EQ(TxChars(), 0u);
    std::printf("succeeded %d, timed out %d, cancelled %d\n", outcomes[0], outcomes[1], outcomes[2]);
}

}  // namespace
