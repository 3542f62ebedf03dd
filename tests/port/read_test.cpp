// The read side as an application sees it: time-outs, the receive queue's size, purges and the
// receive thresholds, with a scripted peer sending numbered characters at chosen moments.
#include <algorithm>

#include "emulator/kernel/pool.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace {

constexpr int64_t kTick = 156250, kFrame = kMs, kSecond = 1000 * kMs;
constexpr DWORD kMax = ~DWORD(0);

int64_t TickOf(int64_t t) { return (t + kTick - 1) / kTick * kTick; }
uint8_t Nth(size_t i) { return uint8_t(i % 251); }  // a period no ring size divides

class ReadPort : public ComPort {
protected:
    void SetUp() override { Restart(); }

    // A fresh machine: what a receive hold stops is not restarted before the port closes.
    void Restart() {
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        h = INVALID_HANDLE_VALUE;
        if (bench) {
            EXPECT_EQ(bench->shutDown(), 0u);
        }
        bench.reset();
        lab::Options options;
        options.farEnd = lab::FarEnd::Scripted;
        Start(std::move(options));
        format = emu::usb::WireFormat::Rate(115200);
        bench->peer()->setFormat(format);
        OpenAt(115200);
        sent = taken = 0;
    }

    // The next `n` characters of the sequence leave the peer at `at`; returns when the last of
    // them reaches the port: the first bus frame after its stop bit.
    int64_t Send(size_t n, int64_t at = -1) {
        if (at < 0) at = Now();
        std::vector<uint8_t> chars(n);
        for (auto &c : chars) c = Nth(sent++);
        bench->peer()->send(chars, at);
        return ((at + format.duration(n * format.frameHalfBits())) / kFrame + 1) * kFrame;
    }
    void SendAndLand(size_t n) { SleepUntil(Send(n) + kFrame); }
    void SleepUntil(int64_t t) {
        if (t > Now()) bench->machine().sleepFor(t - Now());
    }

    void SetTimeouts(DWORD ri, DWORD rm, DWORD rc) {
        COMMTIMEOUTS t{ri, rm, rc, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }
    COMSTAT Stat(DWORD *errors = nullptr) {
        COMSTAT s{};
        EXPECT_TRUE(ClearCommError(h, errors, &s));
        return s;
    }
    DWORD RingSize() {
        COMMPROP p{};
        EXPECT_TRUE(GetCommProperties(h, &p));
        return p.dwCurrentRxQueue;
    }

    // Checks that `data` holds the next characters of the sequence, none lost, none repeated.
    void ExpectNext(const std::vector<uint8_t> &data, size_t n) {
        for (size_t i = 0; i < n; i++)
            if (data[i] != Nth(taken + i)) {
                ADD_FAILURE() << "character " << taken + i << " is " << int(data[i]);
                break;
            }
        taken += n;
    }
    // Reads whatever the ring holds, at once.
    void Drain() {
        SetTimeouts(kMax, 0, 0);
        std::vector<uint8_t> data(8192);
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(h, data.data(), DWORD(data.size()), &n, nullptr));
        ExpectNext(data, n);
        EXPECT_EQ(taken, sent);
    }

    // The port's fields behind what the application cannot reach yet, under their lock.
    template <class F> auto Inside(F f) {
        KIRQL irql;
        KeAcquireSpinLock(&bench->port()->ControlLock, &irql);
        auto r = f(*bench->port());
        KeReleaseSpinLock(&bench->port()->ControlLock, irql);
        return r;
    }

    // An overlapped request, its buffer, and whether it finished inside the call.
    struct Async : Overlapped {
        std::vector<uint8_t> data;
        BOOL immediate = FALSE;
        // The error it ended with (0: success) and its count.
        std::pair<DWORD, DWORD> Wait(HANDLE h) {
            DWORD n = 0xDEAD;
            BOOL ok = GetOverlappedResult(h, &ov, &n, TRUE);
            return {ok ? 0 : GetLastError(), n};
        }
    };
    void StartRead(Async &a, DWORD length) {
        a.data.assign(std::max<DWORD>(length, 1), 0);
        a.immediate = ReadFile(h, a.data.data(), length, nullptr, &a.ov);
        if (!a.immediate) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        }
    }
    void StartWrite(Async &a, DWORD length) {
        a.data.assign(length, 'w');
        a.immediate = WriteFile(h, a.data.data(), length, nullptr, &a.ov);
        if (!a.immediate) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        }
    }

    emu::usb::WireFormat format;
    size_t sent = 0, taken = 0;
};

// When a read should end, from its start and from when each burst of characters reached the port.
struct When {
    enum Kind { AtOnce, Landing, Total, Interval, StillWaiting } kind;
    int64_t ms = 0;  // Total: the time-out; Interval: the interval; StillWaiting: how long to wait
    size_t burst = 0;

    // Intervals below 20 s are checked on every clock tick, longer ones once a second from the
    // read's start; the interval runs from the first check that saw the burst.
    int64_t At(int64_t start, const std::vector<int64_t> &landed) const {
        switch (kind) {
        case AtOnce: return start;
        case Landing: return landed[burst];
        case Total: return TickOf(start + ms * kMs);
        case Interval: {
            const bool everyTick = ms < 20000;
            auto next = [&](int64_t t) { return TickOf(t + (everyTick ? 1 : kSecond)); };
            int64_t check = next(start);
            while (check < landed[burst]) check = next(check);
            const int64_t seen = check;
            while (check - seen < ms * kMs) check = next(check);
            return check;
        }
        case StillWaiting: return start + ms * kMs;
        }
        return 0;
    }
};

// Every row of the read time-out rules, with the moment the read ends, its status and count. The
// characters it returns are the oldest ones; whatever it did not take stays in the ring, in order.
TEST_F(ReadPort, TimeOutRulesEndReadsWhenTheyShould) {
    struct Burst {
        int64_t ms;  // after the read starts
        size_t chars;
    };
    struct Row {
        const char *name;
        DWORD ri, rm, rc;
        size_t inRing;  // characters waiting before the read starts
        std::vector<Burst> bursts;
        DWORD length;
        NTSTATUS status;  // STATUS_PENDING: still waiting, then cancelled
        DWORD count;
        When when;
    };
    const Row rows[] = {
        {"zero length", 0, 0, 0, 3, {}, 0, STATUS_SUCCESS, 0, {When::AtOnce}},
        {"return at once, empty ring", kMax, 0, 0, 0, {}, 10, STATUS_SUCCESS, 0, {When::AtOnce}},
        {"return at once with what is there", kMax, 0, 0, 3, {}, 10, STATUS_SUCCESS, 3, {When::AtOnce}},
        {"any character: some waiting", kMax, kMax, 200, 2, {}, 10, STATUS_SUCCESS, 2, {When::AtOnce}},
        {"any character: the first to come", kMax, kMax, 200, 0, {{50, 3}}, 10, STATUS_SUCCESS, 1,
         {When::Landing, 0, 0}},
        {"any character: none comes", kMax, kMax, 200, 0, {}, 10, STATUS_TIMEOUT, 0, {When::Total, 200}},
        {"constant forever: full length only", kMax, 7, kMax, 3, {{100000, 2}, {200000, 4}}, 8, STATUS_SUCCESS,
         8, {When::Landing, 0, 1}},
        {"total with at-once: something waiting", kMax, 10, 100, 1, {}, 10, STATUS_SUCCESS, 1, {When::AtOnce}},
        {"total with at-once: nothing waiting", kMax, 10, 100, 0, {{50, 1}}, 10, STATUS_TIMEOUT, 1,
         {When::Total, 200}},
        {"no time-outs: full length only", 0, 0, 0, 3, {{100000, 2}, {200000, 4}}, 8, STATUS_SUCCESS, 8,
         {When::Landing, 0, 1}},
        {"interval only: nothing comes", 100, 0, 0, 0, {}, 10, STATUS_PENDING, 0, {When::StillWaiting, 10000}},
        {"interval only: starts with the first character", 100, 0, 0, 0, {{5005, 2}, {5085, 3}}, 10,
         STATUS_TIMEOUT, 5, {When::Interval, 100, 1}},
        {"interval of 20 s: checked once a second", 20000, 0, 0, 0, {{500, 1}}, 10, STATUS_TIMEOUT, 1,
         {When::Interval, 20000, 0}},
        {"total counts the full length", 0, 100, 500, 9, {}, 10, STATUS_TIMEOUT, 9, {When::Total, 1500}},
        {"interval before total", 50, 10, 1000, 0, {{20, 2}}, 10, STATUS_TIMEOUT, 2, {When::Interval, 50, 0}},
        {"total before interval", 100, 0, 300, 0, {{50, 1}, {130, 1}, {210, 1}, {290, 1}}, 10, STATUS_TIMEOUT,
         4, {When::Total, 300}},
        {"total beyond any due time", 0, kMax, kMax, 0, {}, 0x40000, STATUS_PENDING, 0,
         {When::StillWaiting, 3600 * 1000}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        SendAndLand(row.inRing);
        SetTimeouts(row.ri, row.rm, row.rc);
        // A fixed phase against ticks and frames, so that no burst arrives on a tick.
        SleepUntil((Now() / (125 * kMs) + 1) * 125 * kMs + kTick / 3);
        const int64_t start = Now();
        std::vector<int64_t> landed;
        for (const Burst &b : row.bursts) {
            landed.push_back(Send(b.chars, start + b.ms * kMs));
            ASSERT_NE(landed.back() % kTick, 0) << "burst on a tick";
        }
        const int64_t due = row.when.At(start, landed);

        Async read;
        StartRead(read, row.length);
        EXPECT_EQ(read.immediate, row.when.kind == When::AtOnce);
        if (row.status == STATUS_PENDING) {
            SleepUntil(due);
            EXPECT_FALSE(read.done());
            EXPECT_TRUE(CancelIo(h));
            EXPECT_EQ(read.Wait(h), std::make_pair(DWORD(ERROR_OPERATION_ABORTED), DWORD(0)));
        } else {
            EXPECT_EQ(read.Wait(h), std::make_pair(DWORD(0), row.count));
            EXPECT_EQ(Now(), due);
            EXPECT_EQ(read.status(), row.status);
            ExpectNext(read.data, row.count);
        }
        if (!landed.empty()) SleepUntil(*std::max_element(landed.begin(), landed.end()) + kFrame);
        EXPECT_EQ(Stat().cbInQue, sent - taken);
        Drain();
    }
}

// A larger receive queue takes over what the ring holds, wrapped or not, in order; a smaller one
// changes nothing; and a resize waits behind the read that is current.
TEST_F(ReadPort, QueueSizeGrowsTheRingKeepingItsDataAndNeverShrinks) {
    const DWORD size = RingSize();
    ASSERT_EQ(size, 1024u);
    SendAndLand(1000);
    SetTimeouts(kMax, 0, 0);
    std::vector<uint8_t> data(4096);
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, data.data(), 900, &n, nullptr));
    ExpectNext(data, n);
    SendAndLand(800);  // runs past the ring's end
    ASSERT_EQ(Stat().cbInQue, 900u);

    EXPECT_TRUE(SetupComm(h, 4096, 0));
    EXPECT_EQ(RingSize(), 4096u);
    SendAndLand(3000);  // more than the old ring could hold
    DWORD errors = 0;
    EXPECT_EQ(Stat(&errors).cbInQue, 3900u);
    EXPECT_EQ(errors, 0u);

    EXPECT_TRUE(SetupComm(h, 2048, 0));
    EXPECT_EQ(RingSize(), 4096u);
    emu::Pool &pool = bench->machine().service<emu::Pool>();
    pool.failTag(MIRAVO_POOL_TAG, 1);
    EXPECT_FALSE(SetupComm(h, 8192, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SYSTEM_RESOURCES));
    pool.clearFaults();
    EXPECT_EQ(RingSize(), 4096u);
    Drain();

    SetTimeouts(0, 0, 0);
    Async read, resize;
    StartRead(read, 3);
    SERIAL_QUEUE_SIZE bigger{8192, 0};
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_SET_QUEUE_SIZE, &bigger, sizeof(bigger), nullptr, 0, nullptr,
                                 &resize.ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    SleepUntil(Now() + 100 * kMs);
    EXPECT_FALSE(resize.done());
    EXPECT_EQ(RingSize(), 4096u);
    SendAndLand(5);
    EXPECT_EQ(read.Wait(h), std::make_pair(DWORD(0), DWORD(3)));
    ExpectNext(read.data, 3);
    EXPECT_EQ(resize.Wait(h), std::make_pair(DWORD(0), DWORD(0)));
    EXPECT_EQ(RingSize(), 8192u);
    Drain();
}

// Which requests each purge mask ends, and what received data it drops: the ring's content, but
// never characters already in the buffer of a read being filled.
TEST_F(ReadPort, PurgeAbortsAndClearsByMask) {
    struct Row {
        DWORD mask;
        bool refused, abortsWrites, abortsReads, clearsRing;
    };
    const Row rows[] = {
        {PURGE_TXABORT, false, true, false, false},
        {PURGE_RXABORT, false, false, true, false},
        {PURGE_TXCLEAR, false, false, false, false},
        {PURGE_RXCLEAR, false, false, false, true},
        {PURGE_RXABORT | PURGE_RXCLEAR, false, false, true, true},
        {PURGE_TXABORT | PURGE_RXABORT | PURGE_RXCLEAR, false, true, true, true},
        {0xF, false, true, true, true},
        {0, true, false, false, false},
        {0x10, true, false, false, false},
        {0x1F, true, false, false, false},
        {0xFFFFFFF0, true, false, false, false},
    };
    SetTimeouts(0, 0, 0);
    const std::pair<DWORD, DWORD> aborted{ERROR_OPERATION_ABORTED, 0};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "mask 0x" << std::hex << row.mask);
        auto purge = [&] {
            EXPECT_EQ(PurgeComm(h, row.mask), !row.refused);
            if (row.refused) {
                EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
            }
        };

        // Characters waiting in the ring, a write going out and one queued behind it.
        SendAndLand(3);
        Async w1, w2;
        StartWrite(w1, 200);
        StartWrite(w2, 10);
        purge();
        ASSERT_EQ(w1.done() && w2.done(), row.abortsWrites);
        EXPECT_EQ(w1.Wait(h), row.abortsWrites ? aborted : std::make_pair(DWORD(0), DWORD(200)));
        EXPECT_EQ(w2.Wait(h), row.abortsWrites ? aborted : std::make_pair(DWORD(0), DWORD(10)));
        EXPECT_EQ(Stat().cbInQue, row.clearsRing ? 0u : 3u);
        if (row.clearsRing) taken = sent;
        Drain();
        SetTimeouts(0, 0, 0);

        // A read being filled, with two characters in its buffer, and one queued behind it.
        Async r1, r2;
        StartRead(r1, 4);
        StartRead(r2, 3);
        SendAndLand(2);
        purge();
        ASSERT_EQ(r1.done() && r2.done(), row.abortsReads);
        if (row.abortsReads) {
            EXPECT_EQ(r1.Wait(h), aborted);
            EXPECT_EQ(r2.Wait(h), aborted);
            taken = sent;  // the two were the aborted read's
        } else {
            SendAndLand(5);
            EXPECT_EQ(r1.Wait(h), std::make_pair(DWORD(0), DWORD(4)));
            ExpectNext(r1.data, 4);
            EXPECT_EQ(r2.Wait(h), std::make_pair(DWORD(0), DWORD(3)));
            ExpectNext(r2.data, 3);
        }
        EXPECT_EQ(Stat().cbInQue, 0u);
        EXPECT_EQ(taken, sent);
    }
}

// The 80 % event and the receive holds, each taken by the character that reaches its threshold
// and not by the one before: XoffLimit below the top for DTR, 400 more for RTS and XOFF, which a
// ring with less room than that never takes. Sizing the ring resets the limits an application set.
TEST_F(ReadPort, ReceiveThresholdsTakeTheirMarkAtTheRightCharacter) {
    constexpr ULONG kRx80 = 0x10000;  // stands for the event in `mark`
    struct Row {
        const char *name;
        DWORD queue;  // 0: the ring open gives
        LONG xoffLimit;  // set before any resize; 0: as sized
        ULONG handshake, flow;
        ULONG mark;      // an RxHoldReasons bit, or kRx80
        size_t at;       // the character that takes it; 0: none does, even with the ring full
    };
    const Row rows[] = {
        {"80 % of 1024", 0, 0, 0, 0, kRx80, 832},
        {"80 % of 4096", 4096, 0, 0, 0, kRx80, 3328},
        {"DTR on 1024", 0, 0, SERIAL_DTR_HANDSHAKE, 0, 0x1, 896},
        {"RTS on 1024", 0, 0, 0, SERIAL_RTS_HANDSHAKE, 0x4, 496},
        {"XOFF on 1024", 0, 0, 0, SERIAL_AUTO_RECEIVE, 0x2, 496},
        {"DTR on 4096", 4096, 0, SERIAL_DTR_HANDSHAKE, 0, 0x1, 3584},
        {"RTS on 4096, limit reset", 4096, 700, 0, SERIAL_RTS_HANDSHAKE, 0x4, 3184},
        {"DTR with little room", 0, 700, SERIAL_DTR_HANDSHAKE, 0, 0x1, 324},
        {"RTS with little room", 0, 700, 0, SERIAL_RTS_HANDSHAKE, 0x4, 0},
        {"XOFF with little room", 0, 700, 0, SERIAL_AUTO_RECEIVE, 0x2, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        Inside([&](PortExtension &p) {
            if (row.xoffLimit) p.HandFlow.XoffLimit = row.xoffLimit;
            if (row.handshake) p.HandFlow.ControlHandShake = (p.HandFlow.ControlHandShake & ~SERIAL_DTR_MASK) | row.handshake;
            if (row.flow & SERIAL_RTS_MASK) p.HandFlow.FlowReplace &= ~SERIAL_RTS_MASK;
            p.HandFlow.FlowReplace |= row.flow;
            p.WaitMask |= row.mark == kRx80 ? SERIAL_EV_RX80FULL : 0;
            return 0;
        });
        if (row.queue) {
            ASSERT_TRUE(SetupComm(h, row.queue, 0));
        }
        auto marked = [&] {
            return Inside([&](PortExtension &p) {
                return row.mark == kRx80 ? (p.HistoryMask & SERIAL_EV_RX80FULL) != 0 : (p.RxHoldReasons & row.mark) != 0;
            });
        };
        const size_t before = row.at ? row.at - 1 : RingSize();
        SendAndLand(before);
        ASSERT_EQ(Stat().cbInQue, before);
        EXPECT_FALSE(marked());
        SendAndLand(1);
        EXPECT_EQ(marked(), row.at != 0);
        if (!row.at) continue;

        if (row.mark == kRx80) {
            // Not again while the count stays above the mark; again once it comes back to it.
            Inside([](PortExtension &p) { return p.HistoryMask = 0; });
            SendAndLand(1);
            EXPECT_FALSE(marked());
            SetTimeouts(kMax, 0, 0);
            Async read;
            StartRead(read, 2);
            EXPECT_EQ(read.Wait(h).second, 2u);
            ExpectNext(read.data, 2);
            SendAndLand(1);
            EXPECT_TRUE(marked());
        } else if (row.mark != 0x1) {
            // RTS and XOFF stop reception: nothing more reaches the ring.
            SendAndLand(10);
            EXPECT_EQ(Stat().cbInQue, row.at);
            EXPECT_EQ(Stat().fXoffSent, row.mark == 0x2);
        }
    }
}

}  // namespace
}  // namespace port_test
