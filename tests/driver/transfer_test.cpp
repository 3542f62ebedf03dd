// The transfer engine against a started port on the simulated chip, with stand-ins above it.
#include <mutex>
#include <random>

#include "requests/requests.h"
#include "tests/driver/pnp_test_support.h"
#include "usb/syncrequest.h"

namespace {

using namespace emu::usb;
using pt::kMs;

// What the engine handed to the paths above it.
struct Seams {
    std::mutex m;
    std::vector<uint8_t> chars;
    std::vector<USHORT> statuses;  // UartStatus at each modem-status run
    std::vector<ULONG> sent;       // ContinueWrite
    std::vector<NTSTATUS> lost;    // WriteChunkLost
    int notifies = 0, resumes = 0, rtsDrops = 0;
    bool wrongContext = false;
};
Seams *g_seams;

// Notes a hand-over; the receive side's run in the engine's DPC.
template <class F> void Note(bool receiveSide, F f) {
    std::lock_guard<std::mutex> g(g_seams->m);
    if (receiveSide && KeGetCurrentIrql() != DISPATCH_LEVEL) g_seams->wrongContext = true;
    f(*g_seams);
}
VOID NTAPI SeamPutChar(PortExtension *, UCHAR c) { Note(true, [&](Seams &s) { s.chars.push_back(c); }); }
UCHAR NTAPI SeamModemStatus(PortExtension *port) {
    Note(true, [&](Seams &s) { s.statuses.push_back(port->UartStatus); });
    return 0;
}
VOID NTAPI SeamNotify(PortExtension *) { Note(false, [](Seams &s) { s.notifies++; }); }
VOID NTAPI SeamContinueWrite(PortExtension *, ULONG n, LONG) { Note(false, [&](Seams &s) { s.sent.push_back(n); }); }
VOID NTAPI SeamLost(PortExtension *, NTSTATUS why, LONG) { Note(false, [&](Seams &s) { s.lost.push_back(why); }); }
VOID NTAPI SeamResume(PortExtension *) { Note(false, [](Seams &s) { s.resumes++; }); }
const TransferHandoffs kSeams = {SeamPutChar, SeamModemStatus, SeamNotify, SeamContinueWrite, SeamLost, SeamResume};

VOID NTAPI ArmRtsDropStandIn(PKDPC, PVOID context, PVOID, PVOID) {
    auto *port = static_cast<PortExtension *>(context);
    InterlockedDecrement(&port->RtsDropPending);
    Note(false, [](Seams &s) { s.rtsDrops++; });
    DpcFinished(port);
}

class TransferTest : public pt::StartedPortTest {
protected:
    using StartedPortTest::StartedPortTest;
    Seams seams;
    size_t idleBytes = 0;  // the port's pool with no transfer outstanding

    void SetUp() override {
        g_seams = &seams;
        StartedPortTest::SetUp();
    }
    // A started port at 115200 8N1 with the test's stand-ins above the engine.
    void Plug(ChipConfig config = ChipConfig::Variant(2)) {
        Start(config, 115200, &kSeams);
        ASSERT_EQ(device->chip().format(), WireFormat::Rate(115200));
        KeInitializeDpc(&port->ArmRtsDropDpc, ArmRtsDropStandIn, port);
        idleBytes = pool.bytesInUse(MIRAVO_POOL_TAG);
    }
    USHORT Uart() { return Ctl([&] { return port->UartStatus; }); }
    ULONG Received() { return Ctl([&] { return port->PerfStats.ReceivedCount; }); }
    void StartReading() {
        EXPECT_EQ(SubmitTransfer(Dev(), InterruptIn, nullptr, STATUS_PACKET_BYTES), STATUS_PENDING);
        EXPECT_EQ(SubmitTransfer(Dev(), BulkIn, nullptr, BULK_IN_BYTES), STATUS_PENDING);
    }
    // What the engine handed on so far.
    template <class F> auto Seen(F f) {
        std::lock_guard<std::mutex> g(seams.m);
        return f(seams);
    }
    size_t StatusRuns() { return Seen([](Seams &s) { return s.statuses.size(); }); }
    std::vector<uint8_t> Chars() { return Seen([](Seams &s) { return s.chars; }); }
    std::vector<UrbRecord> Transfers(uint8_t endpoint) {
        std::vector<UrbRecord> out;
        for (const UrbRecord &r : device->bus().urbLog())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == endpoint) out.push_back(r);
        return out;
    }
    // Nothing outstanding and nothing of a transfer left in pool.
    void ExpectIdle() {
        WaitForTransfers(port);
        EXPECT_EQ(std::tuple(port->TransfersActive, port->BulkOutInFlight), std::tuple(0, 0));
        for (ULONG s = 0; s < TRANSFER_SLOTS; s++) EXPECT_EQ(port->TransferSlot[s], nullptr) << "slot " << s;
        EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), idleBytes);
    }

    void TearDown() override {
        if (port) Close();
        StartedPortTest::TearDown();
        EXPECT_FALSE(seams.wrongContext);
        g_seams = nullptr;
    }
};

TEST_F(TransferTest, InChainsStartOnceAndWhileClosedOnlyTheStatusWordGoesOn) {
    Plug();
    ScriptedPeer peer(device->chip(), WireFormat::Rate(115200));
    StartReading();
    // A second start while one link is outstanding sends nothing.
    size_t links = Transfers(0x83).size();
    EXPECT_EQ(SubmitTransfer(Dev(), BulkIn, nullptr, BULK_IN_BYTES), STATUS_SUCCESS);
    EXPECT_EQ(Transfers(0x83).size(), links);
    peer.send(std::vector<uint8_t>{1, 2, 3});
    ASSERT_TRUE(RunUntil([&] { return Chars().size() == 3; }));
    EXPECT_TRUE(TransferOutstanding(port, BulkIn));
    // Closed: the status chain goes on and keeps the word, without modem-status processing; the
    // bulk IN chain ends and hands nothing on.
    Run(2);
    InterlockedExchange(&port->OpenCount, 0);
    size_t runs = StatusRuns(), chars = Chars().size();
    peer.setLines({.cts = false, .dsr = true, .dcd = false, .ri = true});
    ASSERT_TRUE(RunUntil([&] { return Uart() == (UART_DSR | UART_RING); }));
    peer.send(std::vector<uint8_t>{4});
    ASSERT_TRUE(RunUntil([&] { return !TransferOutstanding(port, BulkIn); }));
    EXPECT_EQ(StatusRuns(), runs);
    EXPECT_EQ(Chars().size(), chars);
    EXPECT_TRUE(TransferOutstanding(port, InterruptIn));
    CancelAllTransfers(port);
    ExpectIdle();
}

// Each row sends some bytes with some settings and says what reaches the ring.
TEST_F(TransferTest, ReceiveRulesStripNullsAndActOnFlowControlCharacters) {
    Plug();
    ScriptedPeer peer(device->chip(), WireFormat::Rate(115200));
    StartReading();
    auto feed = [&](std::vector<uint8_t> bytes) {
        size_t before = Received();
        Seen([](Seams &s) { s.chars.clear(); return 0; });
        peer.send(bytes);
        EXPECT_TRUE(RunUntil([&] { return Received() == before + bytes.size(); }));
        Run(2);
        return Chars();
    };
    using Hold = std::pair<ULONG, LONG>;  // the transmit hold reasons and the XOFF hold
    auto held = [&] { return Ctl([&] { return Hold(port->TxHoldReasons, port->TxXoffHeld); }); };
    auto resumes = [&] { return Seen([](Seams &s) { return s.resumes; }); };
    // The 7-bit mask and the escape character: the receive pass test.
    Ctl([&] { return port->HandFlow.FlowReplace = SERIAL_NULL_STRIPPING; });
    EXPECT_EQ(feed({0x41, 0x00, 0x42}), (std::vector<uint8_t>{0x41, 0x42}));

    // Automatic transmit flow control: XOFF holds, XON releases and resumes a parked write.
    Ctl([&] { return port->HandFlow.FlowReplace = SERIAL_AUTO_TRANSMIT; });
    EXPECT_EQ(feed({0x41, 0x13, 0x42}), (std::vector<uint8_t>{0x41, 0x42}));
    EXPECT_EQ(held(), Hold(TX_HOLD_XOFF, 1));
    Ctl([&] { return port->WriteHeld = TRUE; });
    EXPECT_TRUE(feed({0x11}).empty());
    EXPECT_EQ(held(), Hold(0, 0));
    EXPECT_EQ(resumes(), 1);
    // An XON with no hold changes nothing; XON equal to XOFF stops the transmitter.
    EXPECT_TRUE(feed({0x11}).empty());
    EXPECT_EQ(resumes(), 1);
    Ctl([&] { return port->SpecialChars.XonChar = 0x13; });
    EXPECT_TRUE(feed({0x13}).empty());
    EXPECT_EQ(held().first, ULONG(TX_HOLD_XOFF));
    // In transmit-toggle mode an XOFF also starts the RTS drop.
    Ctl([&] { port->WriteHeld = FALSE; return port->HandFlow.FlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_TRANSMIT_TOGGLE; });
    feed({0x13});
    KeFlushQueuedDpcs();
    EXPECT_EQ(Ctl([&] { return std::pair(port->RtsDropPending, port->PendingDpcCount); }), (std::pair<LONG, LONG>(0, 1)));
    EXPECT_EQ(Seen([](Seams &s) { return s.rtsDrops; }), 1);

    // Closing: nothing is stored, yet RXCHAR and RXFLAG are still raised.
    Ctl([&] {
        port->HandFlow.FlowReplace = 0;
        port->WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG;
        port->SpecialChars.EventChar = 0x7E;
        return port->IsOpen = FALSE;
    });
    EXPECT_TRUE(feed({0x7E}).empty());
    EXPECT_EQ(InterlockedCompareExchange(&port->HistoryMask, 0, 0), LONG(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    EXPECT_GE(Seen([](Seams &s) { return s.notifies; }), 1);
}

// A write chunk, a flow-control character and an immediate character in flight together behind a transmitter held by
// CTS: each is released once, byte-exact and in order, and only the write's own chunks count for it.
TEST_F(TransferTest, OverlappingBulkOutTransfersEachReleasedOnceAndOnlyWriteChunksCount) {
    ChipConfig config = ChipConfig::Variant(2);
    config.txFifoSize = 64;
    Plug(config);
    ScriptedPeer peer(device->chip(), WireFormat::Rate(115200));
    peer.setLines({});
    ASSERT_EQ(VendorWrite(Dev(), 0, 0x40), STATUS_SUCCESS);  // chip-side CTS handshake, CTS low

    // The first chunk fills the held transmitter's FIFO; everything after it waits on the bus.
    std::vector<uint8_t> primer(64), scratch(64);
    for (size_t i = 0; i < primer.size(); i++) primer[i] = uint8_t(i * 5 + 3);
    scratch = primer;
    EXPECT_EQ(SubmitTransfer(Dev(), BulkOut, scratch.data(), 64), STATUS_PENDING);
    std::fill(scratch.begin(), scratch.end(), 0xEE);  // the source is copied at once
    ASSERT_TRUE(RunUntil([&] { return !TransferOutstanding(port, BulkOut); }));
    const uint8_t chunk[] = {'a', 'b', 'c', 'd'};
    const uint8_t xoff = 0x13, immediate = '!';
    EXPECT_EQ(SubmitTransfer(Dev(), BulkOut, chunk, 2), STATUS_PENDING);
    EXPECT_EQ(SubmitBulkOut(Dev(), FlowChar, &xoff, 1), STATUS_PENDING);
    EXPECT_EQ(SubmitBulkOut(Dev(), ImmediateChar, &immediate, 1), STATUS_PENDING);
    // The write gives its chunk in flight up (cancelled or timed out) and the next write starts.
    DisownWriteChunk(port);
    EXPECT_EQ(SubmitTransfer(Dev(), BulkOut, chunk + 2, 2), STATUS_PENDING);
    Run(20);
    EXPECT_EQ(port->BulkOutInFlight, 4);
    EXPECT_TRUE(peer.receivedBytes().empty());
    EXPECT_EQ(seams.sent, std::vector<ULONG>{64});

    peer.setLines({.cts = true});
    std::vector<uint8_t> expected = primer;
    expected.insert(expected.end(), {'a', 'b', xoff, immediate, 'c', 'd'});
    ASSERT_TRUE(RunUntil([&] { return peer.receivedBytes().size() == expected.size(); }));
    EXPECT_EQ(peer.receivedBytes(), expected);
    EXPECT_EQ(SubmitTransfer(Dev(), BulkOut, nullptr, 0), STATUS_PENDING);  // a zero-length packet
    WaitForTransfers(port);
    EXPECT_EQ(seams.sent, (std::vector<ULONG>{64, 2, 0}));
    auto out = Transfers(0x02);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out.back().requested, 0u);
    ExpectIdle();
}

TEST_F(TransferTest, BulkOutSlotsRunOutWithoutLosingTrack) {
    ChipConfig config = ChipConfig::Variant(2);
    config.txFifoSize = 1;
    Plug(config);
    ASSERT_EQ(VendorWrite(Dev(), 0, 0x40), STATUS_SUCCESS);
    const uint8_t c = 'x';
    for (int i = 0; i < TRANSFER_BULK_OUT_SLOTS; i++) ASSERT_EQ(SubmitBulkOut(Dev(), ImmediateChar, &c, 1), STATUS_PENDING);
    EXPECT_EQ(SubmitBulkOut(Dev(), ImmediateChar, &c, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SubmitBulkOut(Dev(), FlowChar, nullptr, 1), STATUS_INVALID_PARAMETER);
    // A failed write chunk is reported to the write path; the others are not.
    EXPECT_EQ(port->BulkOutInFlight, TRANSFER_BULK_OUT_SLOTS);
    CancelTransfer(port, BulkOut);
    ExpectIdle();
    EXPECT_TRUE(seams.lost.empty());
    EXPECT_EQ(SubmitTransfer(Dev(), BulkOut, &c, 1), STATUS_PENDING);
    CancelTransfer(port, BulkOut);
    WaitForTransfers(port);
    EXPECT_EQ(seams.lost, std::vector<NTSTATUS>{STATUS_CANCELLED});
    ExpectIdle();
}

TEST_F(TransferTest, AsyncUrbFromDispatchLevelOrWithoutMemory) {
    Plug();
    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), MIRAVO_POOL_TAG));
    RtlZeroMemory(urb, sizeof(URB));
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, USHORT(CONTROL_URB_BYTES), USBD_TRANSFER_DIRECTION_OUT, 0,
                          CHIP_VENDOR_REQUEST, 0, 0xC0, nullptr, nullptr, 0, nullptr);
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_EQ(SubmitAsyncUrb(Dev(), urb), STATUS_PENDING);
    KeLowerIrql(irql);
    ExpectIdle();
    EXPECT_EQ(device->chip().reg(0), 0xC0);

    // The caller does not see its end, so its URB goes either way; a failed write chunk or read is
    // the session's to see (every allocation of one fails in the fault sweep).
    for (uint64_t nth = 1; nth <= 2; nth++) {  // the IRP, the context
        urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(URB), MIRAVO_POOL_TAG));
        pool.failNth(nth);
        EXPECT_EQ(SubmitAsyncUrb(Dev(), urb), STATUS_NO_MEMORY) << nth;
        pool.clearFaults();
        ExpectIdle();
    }
}

// Cancel and completion of both IN chains due within a frame of each other, on two processors
// with schedule noise, from a passive thread: every IRP freed exactly once (the verifier watches
// double frees and frees in use), nothing left in pool, no slot left behind.
class TransferRaceTest : public TransferTest {
protected:
    static constexpr uint64_t kSeed = 0x7A4F0021;
    TransferRaceTest() : TransferTest(emu::MachineConfig{.processors = 2, .noiseSeed = kSeed}) {}
};

TEST_F(TransferRaceTest, CancelRacingCompletionFreesEachTransferOnce) {
    SCOPED_TRACE("noise seed " + std::to_string(kSeed));
    Plug();
    ScriptedPeer peer(device->chip(), WireFormat::Rate(115200));
    std::mt19937 rng(kSeed);
    int processed = 0, cancelledFirst = 0;
    constexpr int kIterations = 300;
    for (int i = 0; i < kIterations; i++) {
        SCOPED_TRACE("iteration " + std::to_string(i));
        StartReading();
        Run(2);
        size_t before = StatusRuns();
        int64_t at = machine.now() + 2 * kMs;
        bool on = i & 1;
        machine.scheduleAt(at, [&peer, on] { peer.setLines({.cts = on}); });
        peer.send(std::vector<uint8_t>{uint8_t(i)}, at);
        // The status packet completes at the first frame after `at`. Only a cancel at that very
        // instant races it (the noise decides who goes first); a tick either side fixes the order.
        static const int64_t kOffset[] = {-1, 0, 0, 1};
        const int64_t cancelAt = (at / kMs + 1) * kMs + kOffset[rng() % 4];
        emu::Thread canceller([&] {
            machine.sleepFor(cancelAt - machine.now());
            CancelAllTransfers(port);
        }, "cancel");
        canceller.join();
        ExpectIdle();
        ASSERT_FALSE(HasFailure());
        (StatusRuns() > before ? processed : cancelledFirst)++;
        // The line byte may still sit in the chip: take it now, so it does not cross iterations.
        Run(1);
    }
    EXPECT_GT(processed, 0);
    EXPECT_GT(cancelledFirst, 0);
    std::printf("packet processed before the cancel %d, cancelled first %d\n", processed, cancelledFirst);
}

}  // namespace
