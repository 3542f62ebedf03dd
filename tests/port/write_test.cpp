// Writing to COM3 as an application does, with a scripted peer on the line.
#include <atomic>
#include <thread>

#include "tests/port/com_port.h"

namespace port_test {
namespace {

constexpr uint8_t kBulkOut = 0x02;

class WritePort : public ComPort {
protected:
    void SetUp() override { Start(Options()); }
    virtual lab::Options Options() { return {.farEnd = lab::FarEnd::Scripted}; }

    bool Arrived(size_t n) {
        for (int ms = 0; ms < 5000 && Peer().receivedBytes().size() < n; ms++) SleepFor(kMs);
        return Peer().receivedBytes().size() >= n;
    }
    std::vector<emu::usb::UrbRecord> OutTransfers() {
        std::vector<emu::usb::UrbRecord> out;
        for (const auto &r : bench->device().bus().urbLog())
            if (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint == kBulkOut) out.push_back(r);
        return out;
    }
    void StartWrite(Overlapped &o, const std::vector<uint8_t> &data) {
        EXPECT_EQ(ErrorOf(WriteFile(h, data.data(), DWORD(data.size()), nullptr, &o.ov)), ERROR_IO_PENDING);
    }
    void StartXoffCounter(Overlapped &o, ULONG timeout, LONG counter) {
        SERIAL_XOFF_COUNTER record{timeout, counter, kXoff};
        EXPECT_EQ(ErrorOf(DeviceIoControl(h, IOCTL_SERIAL_XOFF_COUNTER, &record, sizeof(record), nullptr, 0, nullptr, &o.ov)),
                  ERROR_IO_PENDING);
    }
    // The peer stops the port's transmitter with XOFF, as output XON/XOFF control lets it. The
    // handshake request that switches that control on is not built yet, so it is set directly.
    void HoldTransmitter() {
        Locked([](PortExtension &p) { return p.HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT; });
        Peer().send({kXoff});
        SleepFor(5 * kMs);
        ASSERT_TRUE(Stat().fXoffHold);
    }
    // The bus completes a transfer on the first 1 ms frame after it was submitted.
    static int64_t NextFrame(int64_t t) { return (t / kMs + 1) * kMs; }
};

TEST_F(WritePort, WritesLeaveInChunksAndArriveByteExactWithAFlushBehindThem) {
    OpenAt(9600);  // MaxWriteChunk 256
    int64_t start = Now();
    EXPECT_TRUE(FlushFileBuffers(h));  // nothing ahead of it
    DWORD written = 1;
    EXPECT_TRUE(SyncIo(false, "", 0, &written) && written == 0);
    EXPECT_EQ(Now(), start);

    std::vector<uint8_t> a = lab::TestPattern(300), b = lab::TestPattern(5);
    Overlapped first, second;
    StartWrite(first, a);
    StartWrite(second, b);
    ASSERT_TRUE(FlushFileBuffers(h));
    std::vector<ULONG> chunks;
    for (const auto &r : OutTransfers()) chunks.push_back(r.requested);
    EXPECT_EQ(chunks, (std::vector<ULONG>{256, 44, 5}));
    // The flush ends as the last write does: when its chunk is confirmed, not when it leaves the chip.
    EXPECT_EQ(Now(), OutTransfers().back().completed);
    EXPECT_EQ(End(first), Ended(ERROR_SUCCESS, 300));
    EXPECT_EQ(End(second), Ended(ERROR_SUCCESS, 5));
    ASSERT_TRUE(Arrived(305));
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(Peer().receivedBytes(), a);
}

// A chunk the bus fails ends its write at once with what was confirmed before it, and so does a
// chunk that cannot even be built; later writes are not affected.
TEST_F(WritePort, ALostChunkEndsItsWriteWithTheConfirmedCount) {
    OpenAt(9600);
    bench->device().bus().addFault(
        emu::usb::FaultRule::ForEndpoint(kBulkOut).after(1).fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL));
    Overlapped lost, next;
    StartWrite(lost, lab::TestPattern(300));
    StartWrite(next, lab::TestPattern(3));
    EXPECT_EQ(End(lost), Ended(ERROR_GEN_FAILURE, 256));
    EXPECT_EQ(End(next), Ended(ERROR_SUCCESS, 3));
    DWORD written = 0;
    EXPECT_EQ(WithoutPool([&] { return SyncIo(false, "ab", 2, &written); }), ERROR_NOT_ENOUGH_MEMORY);
}

// A held write never reaches the bus; its time-out sends an empty transfer whose completion ends
// it. The total is characters x multiplier + constant, and never under 100 ms. (Without a time-out
// a held write waits: see the immediate character.)
TEST_F(WritePort, TimeOutOfAHeldWriteHasA100msFloor) {
    OpenAt(9600);
    HoldTransmitter();
    struct Row { DWORD multiplier, constant, length; int64_t dueMs; } rows[] = {
        {0, 10, 1, 100}, {0, 20, 1, 100}, {0, 21, 1, 21}, {1, 0, 20, 100}, {2, 30, 40, 110}
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.multiplier << " x " << row.length << " + " << row.constant);
        COMMTIMEOUTS timeouts{0, 0, 0, row.multiplier, row.constant};
        ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
        Overlapped w;
        int64_t start = Now();
        StartWrite(w, lab::TestPattern(row.length));
        DWORD written = 1;
        // A time-out is no failure to the application: it reads how much was written.
        EXPECT_TRUE(GetOverlappedResult(h, &w.ov, &written, TRUE));
        EXPECT_EQ(w.status(), STATUS_TIMEOUT);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(Now(), NextFrame(Tick(start + row.dueMs * kMs)));
        EXPECT_EQ(OutTransfers().back().requested, 0u);
    }
}

// The total time-out recalls the chunk out, however long the chip would take or if the bus never ends it: the write
// ends on the tick its timer expires, counting what the recalled chunk moved, and exactly those bytes reach the line.
TEST_F(WritePort, TimeOutRecallsTheChunkOutAndCountsWhatItMoved) {
    struct Row { DWORD baud; size_t length; bool busNeverEnds; } rows[] = {{300, 2000, false}, {9600, 300, true}};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << row.baud << " baud, " << row.length << " bytes");
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        size_t before = Peer().receivedBytes().size();
        OpenAt(row.baud, {0, 0, 0, 0, 500});
        Peer().setFormat(emu::usb::WireFormat::Rate(row.baud));
        size_t sent = OutTransfers().size();
        if (row.busNeverEnds) bench->device().bus().addFault(emu::usb::FaultRule::ForEndpoint(kBulkOut).pendForever());
        std::vector<uint8_t> data = lab::TestPattern(row.length);
        Overlapped w;
        int64_t start = Now();
        StartWrite(w, data);
        DWORD written = 0;
        EXPECT_TRUE(GetOverlappedResult(h, &w.ov, &written, TRUE));
        EXPECT_EQ(w.status(), STATUS_TIMEOUT);
        EXPECT_EQ(Now(), Tick(start + 500 * kMs));
        auto out = OutTransfers();
        ULONG moved = 0;
        for (size_t i = sent; i < out.size(); i++) moved += out[i].length;
        EXPECT_EQ(std::tuple(written, written == 0), std::tuple(moved, row.busNeverEnds));
        SleepFor(int64_t(written) * 1000 * kMs / (row.baud / 10) + 50 * kMs);
        std::vector<uint8_t> line = Peer().receivedBytes();
        EXPECT_EQ(std::vector<uint8_t>(line.begin() + before, line.end()),
                  std::vector<uint8_t>(data.begin(), data.begin() + written));
        bench->device().bus().clearFaults();
    }
}

TEST_F(WritePort, XoffCounterEndsOnItsCountItsTimeOutOrTheNextWrite) {
    OpenAt(9600);
    // Its XOFF goes out first; then the fifth character received ends it.
    Overlapped counted;
    StartXoffCounter(counted, 0, 5);
    ASSERT_TRUE(Arrived(1));
    EXPECT_EQ(Peer().receivedBytes()[0], kXoff);
    int64_t fifth = Now() + 50 * kMs;
    Peer().send({1, 2, 3, 4});
    Peer().send({5}, fifth);
    SleepFor(fifth - Now());
    EXPECT_FALSE(counted.done());
    EXPECT_EQ(Finish(counted), ERROR_SUCCESS);

    // A time-out of 10000 x 100 us runs from the moment its XOFF was confirmed sent.
    Overlapped timed;
    StartXoffCounter(timed, 10000, 5);
    EXPECT_EQ(Finish(timed), ERROR_COUNTER_TIMEOUT);
    EXPECT_EQ(Now(), Tick(OutTransfers().back().completed + 1000 * kMs));

    // A flush behind a counter waits only for its XOFF; a write ends the counting at once.
    Overlapped waiting, w;
    StartXoffCounter(waiting, 0, 100);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_EQ(Now(), OutTransfers().back().completed);
    EXPECT_FALSE(waiting.done());
    StartWrite(w, {'o', 'k'});
    EXPECT_TRUE(waiting.done());
    EXPECT_EQ(Finish(waiting), ERROR_MORE_WRITES);
    EXPECT_EQ(Finish(w), ERROR_SUCCESS);
    ASSERT_TRUE(Arrived(5));
    EXPECT_EQ(Peer().receivedBytes(), (std::vector<uint8_t>{kXoff, kXoff, kXoff, 'o', 'k'}));
}

// One processor, so that a completion DPC can be made to wait.
class OneProcessorWritePort : public WritePort {
protected:
    lab::Options Options() override { return {.machine = {.processors = 1}, .farEnd = lab::FarEnd::Scripted}; }
};

TEST_F(OneProcessorWritePort, ImmediateCharacterPassesAHeldWriteOneAtATime) {
    OpenAt(9600);
    HoldTransmitter();
    Overlapped held;
    StartWrite(held, {'a', 'b', 'c'});

    // The processor is kept busy, so the first character's completion waits and the second finds it in flight.
    std::atomic<bool> busy{true};
    HANDLE started = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bench->machine().scheduleAt(Now(), [&] {
        SetEvent(started);
        while (busy) std::this_thread::yield();
    });
    EXPECT_EQ(WaitForSingleObject(started, INFINITE), WAIT_OBJECT_0);
    CloseHandle(started);
    Overlapped first;
    UCHAR c = '!';
    EXPECT_EQ(ErrorOf(DeviceIoControl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, nullptr, 0, nullptr, &first.ov)),
              ERROR_IO_PENDING);
    EXPECT_EQ(ErrorOf(TransmitCommChar(h, '?')), ERROR_INVALID_PARAMETER);
    busy = false;
    EXPECT_EQ(Finish(first), ERROR_SUCCESS);
    EXPECT_TRUE(TransmitCommChar(h, '#'));
    ASSERT_TRUE(Arrived(2));
    EXPECT_FALSE(held.done());

    // A character that cannot be sent fails its request rather than succeeding.
    EXPECT_EQ(WithoutPool([&] { return TransmitCommChar(h, '%'); }), ERROR_NOT_ENOUGH_MEMORY);

    Peer().send({kXon});
    EXPECT_EQ(Finish(held), ERROR_SUCCESS);
    ASSERT_TRUE(Arrived(5));
    EXPECT_EQ(Peer().receivedBytes(), (std::vector<uint8_t>{'!', '#', 'a', 'b', 'c'}));
}

}  // namespace
}  // namespace port_test
