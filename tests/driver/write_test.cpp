// Cancels and time-outs racing a write's chunk in flight; the rest of the write side is shown
// through COM3 (tests/port).
#include <cstdio>
#include <random>

#include "receive/receive.h"
#include "requests/write.h"
#include "tests/driver/pnp_test_support.h"
#include "usb/syncrequest.h"

namespace {

using namespace emu::usb;
using pt::kMs;

const TransferHandoffs kPaths = {PutChar, nullptr, NotifyEvents, ContinueWrite, WriteChunkLost, SendWriteChunk};

struct Request { pt::Sent sent; std::vector<uint8_t> buffer; };

class WriteTest : public pt::StartedPortTest {
protected:
    using StartedPortTest::StartedPortTest;
    std::unique_ptr<ScriptedPeer> peer;
    std::vector<std::unique_ptr<Request>> requests;

    // A started port at 9600 8N1 (MaxWriteChunk 256 on any chip) with its ring, both IN chains running.
    void Plug() {
        ChipConfig config = ChipConfig::Variant(2);
        config.txFifoSize = 64;  // a held transmitter takes one bulk packet, then chunks wait on the bus
        Start(config, 9600, &kPaths);
        peer = std::make_unique<ScriptedPeer>(device->chip(), WireFormat::Rate(9600));
        peer->setLines({.cts = true, .dsr = true});
        ASSERT_EQ(AllocateRing(port), STATUS_SUCCESS);
        SubmitTransfer(Dev(), InterruptIn, nullptr, STATUS_PACKET_BYTES);
        SubmitTransfer(Dev(), BulkIn, nullptr, BULK_IN_BYTES);
        Run(5);
    }
    void SetTimeouts(ULONG multiplier, ULONG constant) {
        Ctl([&] { return port->Timeouts = {0, 0, 0, multiplier, constant}; });
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

    Request &Write(std::vector<uint8_t> data) {
        requests.push_back(std::make_unique<Request>());
        Request &r = *requests.back();
        r.buffer = std::move(data);
        Send(port, r.sent, IRP_MJ_WRITE, ULONG(r.buffer.size()), 0, r.buffer.data());
        return r;
    }
    void TearDown() override {
        if (device) {
            for (auto &r : requests)
                if (!r->sent.done()) IoCancelIrp(r->sent.irp);
            KeFlushQueuedDpcs();
            for (auto &r : requests) EXPECT_TRUE(r->sent.done());
            Close();
            KeFlushQueuedDpcs();
            EXPECT_EQ(std::tuple(port->PendingRequestCount, port->PendingDpcCount), std::tuple(1, 1));
            EXPECT_EQ(TxChars(), 0u);
            FreeRing(port);
            peer.reset();
        }
        StartedPortTest::TearDown();
    }
};

// A cancel that lands after the time-out expired, but before its DPC ran, takes the write back
// with its chunk still out: the DPC then finds nothing in flight and must not call that success.
class OneProcessorWriteTest : public WriteTest {
protected:
    OneProcessorWriteTest() : WriteTest(emu::MachineConfig{.processors = 1}) {}
};

TEST_F(OneProcessorWriteTest, CancelBetweenTheTimeOutAndItsDpcReportsTheTimeOut) {
    Plug();
    HoldChip();
    SetTimeouts(0, 50);
    // Set first, for the same tick: its DPC runs first, with the write's timer already expired.
    KTIMER timer;
    KDPC dpc;
    PIRP victim = nullptr;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, [](PKDPC, PVOID irp, PVOID, PVOID) { IoCancelIrp(*static_cast<PIRP *>(irp)); }, &victim);
    LARGE_INTEGER due;
    due.QuadPart = -50 * kMs;
    KeSetTimer(&timer, due, &dpc);
    Request &write = Write(std::vector<uint8_t>(300, 'p'));
    victim = write.sent.irp;
    ASSERT_TRUE(RunUntil([&] { return write.sent.done(); }));
    EXPECT_EQ(write.sent.status, STATUS_TIMEOUT);
    EXPECT_EQ(write.sent.information, 256u);  // the chunk on the bus counts as sent
    peer->setLines({.cts = true, .dsr = true});
    ASSERT_TRUE(RunUntil([&] { return peer->receivedBytes().size() == 256; }));
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
        PIRP victim = batch[rng() % kPerRound]->sent.irp;
        int64_t cancelAt = machine.now() + int64_t(rng() % 400) * kMs;
        emu::Thread canceller([&] { machine.sleepFor(cancelAt - machine.now()); IoCancelIrp(victim); }, "cancel");
        canceller.join();
        ASSERT_TRUE(RunUntil([&] { return batch.back()->sent.done(); }, 10000));
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
        const pt::Sent &o = all[i]->sent;
        ASSERT_TRUE(o.done());
        size_t length = all[i]->buffer.size(), got = arrived[i + 1];
        EXPECT_LE(got, length);
        if (o.status == STATUS_SUCCESS) {
            EXPECT_EQ(std::tuple(got, o.information), std::tuple(length, length));
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
