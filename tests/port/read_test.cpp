// The read side as an application sees it: time-outs, the receive queue's size, purges and the
// receive thresholds, with a scripted peer sending numbered characters at chosen moments.
#include <algorithm>
#include <random>
#include <string>

#include "tests/port/com_port.h"

namespace port_test {
namespace {

constexpr int64_t kFrame = kMs, kSecond = 1000 * kMs;
constexpr DWORD kMax = ~DWORD(0);
const Ended kAborted{ERROR_OPERATION_ABORTED, 0};

uint8_t Nth(size_t i) { return uint8_t(i % 251); }  // a period no ring size divides

struct Async : Overlapped { std::vector<uint8_t> data; };

class ReadPort : public ComPort {
protected:
    void SetUp() override { Restart(); }
    // A fresh machine: receive holds are not released before the port closes.
    void Restart(emu::MachineConfig machine = {}) {
        TearDown();
        Start({.machine = machine, .farEnd = lab::FarEnd::Scripted});
        Peer().setFormat(format);
        OpenAt(115200);
        sent = taken = 0;
    }

    // The next `n` characters leave the peer at `at`; returns when the last reaches the port:
    // the first bus frame after its stop bit.
    int64_t Send(size_t n, int64_t at = -1) {
        if (at < 0) at = Now();
        std::vector<uint8_t> chars(n);
        for (auto &c : chars) c = Nth(sent++);
        Peer().send(chars, at);
        return ((at + format.duration(n * format.frameHalfBits())) / kFrame + 1) * kFrame;
    }
    void SendAndLand(size_t n) { SleepUntil(Send(n) + kFrame); }
    void SleepUntil(int64_t t) { SleepFor(std::max<int64_t>(t - Now(), 0)); }

    void SetTimeouts(DWORD ri, DWORD rm, DWORD rc) {
        COMMTIMEOUTS t{ri, rm, rc, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }
    DWORD RingSize() {
        COMMPROP p{};
        return GetCommProperties(h, &p) ? p.dwCurrentRxQueue : 0;
    }

    void Begin(Async &a, bool read, DWORD length) {
        a.data.assign(std::max<DWORD>(length, 1), 'w');
        ComPort::Begin(a, read, a.data.data(), length);
    }
    // `data` holds the next characters of the sequence: none lost, none repeated.
    void ExpectNext(const std::vector<uint8_t> &data, size_t n) {
        for (size_t i = 0; i < n; i++) {
            if (data[i] != Nth(taken + i)) {
                ADD_FAILURE() << "character " << taken + i << " is " << int(data[i]);
                break;
            }
        }
        taken += n;
    }
    // Reads whatever the ring holds, at once; that is all that was sent and not yet read.
    void Drain() {
        SetTimeouts(kMax, 0, 0);
        std::vector<uint8_t> data(8192);
        DWORD n = 0;
        ASSERT_TRUE(SyncIo(true, data.data(), DWORD(data.size()), &n));
        ExpectNext(data, n);
        EXPECT_EQ(taken, sent);
    }

    emu::usb::WireFormat format = emu::usb::WireFormat::Rate(115200);
    size_t sent = 0, taken = 0;
};

// Every read time-out rule: when the read ends, with which status and count. A read returns the
// oldest characters; what it does not take stays in the ring, in order.
TEST_F(ReadPort, TimeOutRulesEndReadsWhenTheyShould) {
    enum Kind { AtOnce, Landing, Total, Interval, StillWaiting };
    struct Row {
        const char *name;
        DWORD ri, rm, rc;
        size_t inRing;                                   // characters waiting when the read starts
        std::vector<std::pair<int64_t, size_t>> bursts;  // ms after the start, characters
        DWORD length;
        NTSTATUS status;  // STATUS_CANCELLED: still waiting after `ms`, then cancelled
        DWORD count;
        Kind kind;
        int64_t ms = 0;  // the total time-out, the interval, or how long it waits
        size_t burst = 0;
    };
    const Row rows[] = {
        {"zero length", 0, 0, 0, 3, {}, 0, STATUS_SUCCESS, 0, AtOnce},
        {"at once, empty ring", kMax, 0, 0, 0, {}, 10, STATUS_SUCCESS, 0, AtOnce},
        {"at once with what is there", kMax, 0, 0, 3, {}, 10, STATUS_SUCCESS, 3, AtOnce},
        {"any character: some waiting", kMax, kMax, 200, 2, {}, 10, STATUS_SUCCESS, 2, AtOnce},
        {"any character: the first to come", kMax, kMax, 200, 0, {{50, 3}}, 10, STATUS_SUCCESS, 1, Landing},
        {"any character: none comes", kMax, kMax, 200, 0, {}, 10, STATUS_TIMEOUT, 0, Total, 200},
        {"constant forever", kMax, 7, kMax, 3, {{100000, 2}, {200000, 4}}, 8, STATUS_SUCCESS, 8, Landing, 0, 1},
        {"total or at once: some waiting", kMax, 10, 100, 1, {}, 10, STATUS_SUCCESS, 1, AtOnce},
        {"total or at once: none waiting", kMax, 10, 100, 0, {{50, 1}}, 10, STATUS_TIMEOUT, 1, Total, 200},
        {"no time-outs", 0, 0, 0, 3, {{100000, 2}, {200000, 4}}, 8, STATUS_SUCCESS, 8, Landing, 0, 1},
        {"interval only: nothing comes", 100, 0, 0, 0, {}, 10, STATUS_CANCELLED, 0, StillWaiting, 10000},
        {"interval from the first character", 100, 0, 0, 0, {{5005, 2}, {5085, 3}}, 10, STATUS_TIMEOUT, 5, Interval,
         100, 1},
        {"20 s interval, checked each second", 20000, 0, 0, 0, {{500, 1}}, 10, STATUS_TIMEOUT, 1, Interval, 20000},
        {"total counts the full length", 0, 100, 500, 9, {}, 10, STATUS_TIMEOUT, 9, Total, 1500},
        {"interval first", 50, 10, 1000, 0, {{20, 2}}, 10, STATUS_TIMEOUT, 2, Interval, 50},
        {"total first", 100, 0, 300, 0, {{50, 1}, {130, 1}, {210, 1}, {290, 1}}, 10, STATUS_TIMEOUT, 4, Total, 300},
        {"total beyond any due time", 0, kMax, kMax, 0, {}, 0x40000, STATUS_CANCELLED, 0, StillWaiting, 3600000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SendAndLand(row.inRing);
        SetTimeouts(row.ri, row.rm, row.rc);
        // A fixed phase against ticks and frames, so that no burst lands on a tick.
        const int64_t tick = bench->machine().config().tickIncrement;
        SleepUntil((Now() / (125 * kMs) + 1) * 125 * kMs + tick / 3);
        const int64_t start = Now();
        std::vector<int64_t> landed;
        for (auto [ms, n] : row.bursts) {
            landed.push_back(Send(n, start + ms * kMs));
            ASSERT_NE(landed.back() % tick, 0);
        }
        int64_t due = start;
        switch (row.kind) {
        case AtOnce: break;
        case Landing: due = landed[row.burst]; break;
        case Total: due = Tick(start + row.ms * kMs); break;
        case StillWaiting: due = start + row.ms * kMs; break;
        case Interval: {
            // Checked every tick below 20 s, else once a second from the start; the interval
            // runs from the first check that saw the burst.
            auto next = [&](int64_t t) { return Tick(t + (row.ms < 20000 ? 1 : kSecond)); };
            int64_t seen = next(start);
            while (seen < landed[row.burst]) seen = next(seen);
            for (due = seen; due - seen < row.ms * kMs;) due = next(due);
        }
        }

        Async read;
        Begin(read, true, row.length);
        EXPECT_EQ(read.done(), row.kind == AtOnce);
        if (row.kind == StillWaiting) {
            SleepUntil(due);
            EXPECT_FALSE(read.done());
            EXPECT_TRUE(CancelIo(h));
        }
        EXPECT_EQ(End(read), Ended(RtlNtStatusToDosError(row.status), row.count));
        EXPECT_EQ(Now(), due);
        ExpectNext(read.data, row.count);
        if (!landed.empty()) SleepUntil(*std::max_element(landed.begin(), landed.end()) + kFrame);
        Drain();
    }
}

// Once open, the port receives with no pool to be had: a read without time-outs gets every
// character of bursts far apart, and the lines' changes still come in.
TEST_F(ReadPort, ReceptionNeedsNoPoolOnceOpen) {
    auto lines = [&] { return Locked([](PortExtension &p) { return p.UartStatus; }); };
    auto &pool = bench->machine().service<emu::Pool>();
    pool.failTag(MIRAVO_POOL_TAG);
    SetTimeouts(0, 0, 0);
    Async read;
    Begin(read, true, 12);
    Peer().setLines({.cts = true});
    int64_t landed = 0;
    for (int64_t i = 1; i <= 3; i++) landed = Send(4, Now() + i * 200 * kMs);
    SleepUntil(landed + 100 * kMs);
    const USHORT seen = lines();
    Peer().setLines({.cts = true, .dsr = true});
    SleepUntil(Now() + 100 * kMs);
    const bool done = read.done();
    if (!done) CancelIo(h);
    pool.clearFaults();
    EXPECT_TRUE(done);
    EXPECT_EQ(End(read), Ended(0, 12));
    ExpectNext(read.data, 12);
    EXPECT_NE(lines(), seen) << "no status packet came in for the second change";
}

// A larger receive queue takes over what the ring holds, wrapped round its end, in order; a
// smaller one changes nothing; a resize waits behind the current read.
TEST_F(ReadPort, QueueSizeGrowsTheRingKeepingItsDataAndNeverShrinks) {
    ASSERT_EQ(RingSize(), 1024u);
    SendAndLand(1000);
    SetTimeouts(kMax, 0, 0);
    std::vector<uint8_t> data(900);
    DWORD n = 0;
    ASSERT_TRUE(SyncIo(true, data.data(), 900, &n));
    ExpectNext(data, n);
    SendAndLand(800);
    ASSERT_EQ(Stat().cbInQue, 900u);

    EXPECT_TRUE(SetupComm(h, 4096, 0));
    EXPECT_EQ(RingSize(), 4096u);
    SendAndLand(3000);  // more than the old ring could hold
    DWORD errors = 0;
    EXPECT_EQ(Stat(&errors).cbInQue, 3900u);
    EXPECT_EQ(errors, 0u);
    EXPECT_TRUE(SetupComm(h, 2048, 0));
    EXPECT_EQ(WithoutPool([&] { return SetupComm(h, 8192, 0); }), ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(RingSize(), 4096u);
    Drain();

    SetTimeouts(0, 0, 0);
    Async read, resize;
    Begin(read, true, 3);
    SERIAL_QUEUE_SIZE bigger{8192, 0};
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_SET_QUEUE_SIZE, &bigger, sizeof(bigger), nullptr, 0, nullptr,
                                 &resize.ov));
    SleepUntil(Now() + 100 * kMs);
    EXPECT_FALSE(resize.done());
    SendAndLand(5);
    EXPECT_EQ(End(read), Ended(0, 3));
    ExpectNext(read.data, 3);
    EXPECT_EQ(End(resize), Ended(0, 0));
    EXPECT_EQ(RingSize(), 8192u);
    Drain();
}

// Which requests each purge mask ends, and what received data it drops: the ring's content, but
// never characters already in the buffer of a read being filled.
TEST_F(ReadPort, PurgeAbortsAndClearsByMask) {
    const struct { DWORD mask; bool refused, abortsWrites, abortsReads, clearsRing; } rows[] = {
        {PURGE_TXABORT, false, true, false, false},
        {PURGE_RXABORT, false, false, true, false},
        {PURGE_TXCLEAR, false, false, false, false},
        {PURGE_RXCLEAR, false, false, false, true},
        {0xF, false, true, true, true},
        {0, true, false, false, false},
        {0x10, true, false, false, false},
        {0xFFFFFFF0, true, false, false, false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << row.mask);
        auto purge = [&] {
            EXPECT_EQ(PurgeComm(h, row.mask) ? DWORD(0) : GetLastError(), DWORD(row.refused ? ERROR_INVALID_PARAMETER : 0));
        };
        // Characters in the ring, a write going out and one queued behind it.
        SendAndLand(3);
        Async w1, w2;
        Begin(w1, false, 200);
        Begin(w2, false, 10);
        purge();
        ASSERT_EQ(w1.done() && w2.done(), row.abortsWrites);
        EXPECT_EQ(End(w1), row.abortsWrites ? kAborted : Ended(0, 200));
        EXPECT_EQ(End(w2), row.abortsWrites ? kAborted : Ended(0, 10));
        EXPECT_EQ(Stat().cbInQue, row.clearsRing ? 0u : 3u);
        if (row.clearsRing) taken = sent;
        Drain();

        // A read being filled, two characters in its buffer, and one queued behind it.
        SetTimeouts(0, 0, 0);
        Async r1, r2;
        Begin(r1, true, 4);
        Begin(r2, true, 3);
        SendAndLand(2);
        purge();
        ASSERT_EQ(r1.done() && r2.done(), row.abortsReads);
        if (row.abortsReads) {
            for (Async *r : {&r1, &r2}) EXPECT_EQ(End(*r), kAborted);
            taken = sent;  // the two went with the aborted read
        } else {
            SendAndLand(5);
            EXPECT_EQ(End(r1), Ended(0, 4));
            ExpectNext(r1.data, 4);
            EXPECT_EQ(End(r2), Ended(0, 3));
            ExpectNext(r2.data, 3);
        }
        Drain();
    }
}

// The 80 % event and the receive holds, each taken by the character that reaches its threshold
// and not by the one before: XoffLimit below the top for DTR, 400 more for RTS and XOFF, which a
// ring with less room than that never takes. Sizing the ring resets the limits an application set.
TEST_F(ReadPort, ReceiveThresholdsAreTakenByTheRightCharacter) {
    constexpr ULONG kRx80 = 0;  // the event, instead of a hold bit
    struct Row {
        const char *name;
        DWORD queue;     // 0: the ring the open gives
        LONG xoffLimit;  // set before any resize; 0: as sized
        ULONG handshake, flow, mark;
        size_t at;  // the character that takes it; 0: none, even with the ring full
    };
    const Row rows[] = {
        {"80 % of 1024", 0, 0, 0, 0, kRx80, 832},
        {"80 % of 4096", 4096, 0, 0, 0, kRx80, 3328},
        {"DTR on 1024", 0, 0, SERIAL_DTR_HANDSHAKE, 0, 0x1, 896},
        {"RTS on 1024", 0, 0, 0, SERIAL_RTS_HANDSHAKE, 0x4, 496},
        {"XOFF on 1024", 0, 0, 0, SERIAL_AUTO_RECEIVE, 0x2, 496},
        {"DTR on 4096", 4096, 0, SERIAL_DTR_HANDSHAKE, 0, 0x1, 3584},
        {"RTS on 4096, limit reset", 4096, 700, 0, SERIAL_RTS_HANDSHAKE, 0x4, 3184},
        {"DTR, little room", 0, 700, SERIAL_DTR_HANDSHAKE, 0, 0x1, 324},
        {"RTS, little room", 0, 700, 0, SERIAL_RTS_HANDSHAKE, 0x4, 0},
        {"XOFF, little room", 0, 700, 0, SERIAL_AUTO_RECEIVE, 0x2, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        Locked([&](PortExtension &p) {
            if (row.xoffLimit) p.HandFlow.XoffLimit = row.xoffLimit;
            SERIAL_HANDFLOW &f = p.HandFlow;
            if (row.handshake) f.ControlHandShake = (f.ControlHandShake & ~SERIAL_DTR_MASK) | row.handshake;
            if (row.flow & SERIAL_RTS_MASK) f.FlowReplace &= ~SERIAL_RTS_MASK;
            f.FlowReplace |= row.flow;
            return p.WaitMask |= row.mark == kRx80 ? SERIAL_EV_RX80FULL : 0;
        });
        if (row.queue) { ASSERT_TRUE(SetupComm(h, row.queue, 0)); }
        auto marked = [&] {
            return Locked([&](PortExtension &p) {
                return (row.mark == kRx80 ? p.HistoryMask & SERIAL_EV_RX80FULL : p.RxHoldReasons & row.mark) != 0;
            });
        };
        const size_t before = row.at ? row.at - 1 : RingSize();
        SendAndLand(before);
        ASSERT_EQ(Stat().cbInQue, before);
        EXPECT_FALSE(marked());
        SendAndLand(1);
        EXPECT_EQ(marked(), row.at != 0);
        if (row.mark != kRx80) {  // past 80 % without asking for the event: none recorded
            EXPECT_EQ(Locked([](PortExtension &p) { return p.HistoryMask & SERIAL_EV_RX80FULL; }), 0);
        }
        if (row.at && row.mark == kRx80) {
            // Not again while the count stays above the mark; again once it comes back to it.
            Locked([](PortExtension &p) { return p.HistoryMask = 0; });
            SendAndLand(1);
            EXPECT_FALSE(marked());
            SetTimeouts(kMax, 0, 0);
            Async read;
            Begin(read, true, 2);
            EXPECT_EQ(End(read), Ended(0, 2));
            SendAndLand(1);
            EXPECT_TRUE(marked());
        } else if (row.at && row.mark != 0x1) {
            // RTS and XOFF stop reception: nothing more reaches the ring.
            SendAndLand(10);
            EXPECT_EQ(Stat().cbInQue, row.at);
            EXPECT_EQ(Stat().fXoffSent, row.mark == 0x2);
        }
    }
}

// A full buffer, the total and interval time-outs and a cancel, all due on one clock tick, on two
// processors with schedule noise: the read ends once, with the status of whichever party let go
// last, and the read queued behind it still runs.
TEST_F(ReadPort, RacingPartiesEndEachReadOnce) {
    constexpr uint64_t kSeed = 0x5EED0203;
    SCOPED_TRACE("noise seed " + std::to_string(kSeed));
    Restart({.processors = 2, .noiseSeed = kSeed});
    std::mt19937 rng(kSeed);
    int ended[3] = {};  // full, timed out, cancelled
    for (int i = 0; i < 400; i++) {
        SCOPED_TRACE("iteration " + std::to_string(i));
        SetTimeouts(10, 0, 20);  // the interval ends a tick after the check that saw a character
        const int64_t due = (Now() / (125 * kMs) + 2) * 125 * kMs;  // a tick and a frame
        SleepUntil(due - 25 * kMs);
        if (rng() & 1) Send(1, due - 21 * kMs);  // seen by the check a tick before
        Send(4, due + (int64_t(rng() % 3) - 2) * kFrame);  // lands a frame before, on or after `due`
        const int64_t cancelAt = rng() % 4 ? due + int64_t(rng() % 3) - 1 : 0;  // 100 ns either side
        Async first, second;
        emu::Thread reader([&] {  // CancelIo reaches only the calling thread's requests
            Begin(first, true, 4);
            if (cancelAt) {
                SleepUntil(cancelAt);
                CancelIo(h);
            }
        }, "reader");
        SleepUntil(Now() + 1);
        EXPECT_FALSE(first.done());
        Begin(second, true, 4);
        reader.join();
        const Ended a = End(first), b = End(second);
        switch (first.status()) {
        case STATUS_SUCCESS: ended[0]++; EXPECT_EQ(a.second, 4u); break;
        case STATUS_TIMEOUT: ended[1]++; EXPECT_LE(a.second, 4u); break;
        case STATUS_CANCELLED: ended[2]++; EXPECT_EQ(a, kAborted); break;
        default: ADD_FAILURE() << "status " << std::hex << first.status();
        }
        EXPECT_TRUE(second.status() == STATUS_SUCCESS || second.status() == STATUS_TIMEOUT) << b.first;
        SleepUntil(due + 50 * kMs);  // past the second read's time-out
        ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    }
    for (int n : ended) EXPECT_GT(n, 0) << ended[0] << " full, " << ended[1] << " timed out, " << ended[2];
}

}  // namespace
}  // namespace port_test
