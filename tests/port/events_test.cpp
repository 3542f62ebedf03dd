// Wait-on-mask as an application sees it: SetCommMask and WaitCommEvent against a scripted peer.
#include <functional>

#include "tests/port/com_port.h"

namespace port_test {
namespace {

using emu::usb::Parity;
using emu::usb::WireFormat;

class Events : public ComPort {
public:
    using ComPort::bench;
    using ComPort::Finish;
    using ComPort::h;
    void Begin(lab::Options options = {}) {
        options.farEnd = lab::FarEnd::Scripted;
        Start(std::move(options));
        Peer().setFormat(WireFormat::Rate(115200));
        OpenAt(115200);
    }
    emu::usb::ScriptedPeer &Peer() { return *bench->peer(); }
    void Sleep(int64_t t) { bench->machine().sleepFor(t); }
    // Issues an overlapped WaitCommEvent; false when it did not pend.
    bool Wait(Overlapped &o, DWORD &events) {
        events = ~0u;
        return !WaitCommEvent(h, &events, &o.ov) && GetLastError() == ERROR_IO_PENDING;
    }
    void SetMask(DWORD mask) {
        ASSERT_TRUE(SetCommMask(h, 0));  // empties the history
        ASSERT_TRUE(SetCommMask(h, mask));
    }
};

struct EventRow {
    const char *name;
    DWORD mask, expected;
    std::function<void(Events &)> raise;
};

void RunRows(Events &t, const std::vector<EventRow> &rows) {
    for (const EventRow &row : rows) {
        SCOPED_TRACE(row.name);
        t.SetMask(row.mask);
        Overlapped o;
        DWORD events = 0;
        ASSERT_TRUE(t.Wait(o, events));
        t.Sleep(20 * kMs);
        EXPECT_FALSE(o.done()) << "satisfied before the event";
        row.raise(t);
        DWORD bytes = 0;
        EXPECT_EQ(t.Finish(o, &bytes), DWORD(ERROR_SUCCESS));
        EXPECT_EQ(bytes, sizeof(DWORD));
        EXPECT_EQ(events, row.expected);
        EXPECT_TRUE(PurgeComm(t.h, PURGE_RXCLEAR));
    }
}

void SendChars(Events &t, size_t n, uint8_t c = 'a') { t.Peer().send(std::vector<uint8_t>(n, c)); }
void WriteOne(Events &t) {
    DWORD w = 0;
    Overlapped o;
    WriteFile(t.h, "z", 1, &w, &o.ov);
    EXPECT_EQ(t.Finish(o), DWORD(ERROR_SUCCESS));
}

TEST_F(Events, EveryEventOfTheMaskReachesWaitCommEvent) {
    Begin();
    SERIAL_CHARS chars{};
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof(chars), &n, nullptr));
    chars.EventChar = '#';
    ASSERT_TRUE(DeviceIoControl(h, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars), nullptr, 0, &n, nullptr));
    auto parity = [](Events &t) {
        SERIAL_LINE_CONTROL even{STOP_BIT_1, EVEN_PARITY, 8};
        DWORD r = 0;
        ASSERT_TRUE(DeviceIoControl(t.h, IOCTL_SERIAL_SET_LINE_CONTROL, &even, sizeof(even), nullptr, 0, &r, nullptr));
        t.Peer().setFormat(WireFormat::Rate(115200, 8, Parity::Even));
        t.Peer().sendWithParityError('p');
    };
    RunRows(*this, {
        {"RXCHAR", EV_RXCHAR | EV_BREAK, EV_RXCHAR, [](Events &t) { SendChars(t, 1); }},
        {"RXFLAG", EV_RXFLAG, EV_RXFLAG, [](Events &t) { t.Peer().send({'x', 'y', '#'}); }},
        {"TXEMPTY", EV_TXEMPTY, EV_TXEMPTY, WriteOne},
        // A break garbles its character's framing: that is no error of its own.
        {"BREAK", EV_BREAK | EV_ERR, EV_BREAK, [](Events &t) { t.Peer().sendBreak(5 * kMs); }},
        {"ERR framing", EV_ERR | EV_BREAK, EV_ERR, [](Events &t) { t.Peer().sendWithFramingError('f'); }},
        {"ERR parity", EV_ERR, EV_ERR, parity},
        {"RX80FULL", EV_RX80FULL, EV_RX80FULL, [](Events &t) { SendChars(t, t.bench->port()->RxEightyPercent); }},
        {"CTS", EV_CTS | EV_DSR, EV_CTS, [](Events &t) { t.Peer().setLines({.cts = true}); }},
        {"DSR", EV_DSR, EV_DSR, [](Events &t) { t.Peer().setLines({.cts = true, .dsr = true}); }},
        {"RLSD", EV_RLSD | EV_RING, EV_RLSD, [](Events &t) { t.Peer().setLines({.cts = true, .dsr = true, .dcd = true}); }},
        {"RING", EV_RING, EV_RING, [](Events &t) { t.Peer().setLines({.ri = true}); }},
    });
}

// A wait refused without a mask, satisfied at once by history the new mask still names, refused
// while another pends, and the pending one ended by cleanup. CancelIo and a new mask: the race below.
TEST_F(Events, AWaitTakesHistoryAndIsAloneAndEndsAtCleanup) {
    Begin();
    Overlapped refused, history, pending, second;
    DWORD events = 0, bytes = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, &refused.ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER)) << "no mask yet";

    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    SendChars(*this, 1);
    WriteOne(*this);
    Sleep(10 * kMs);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_RXFLAG));  // TXEMPTY is dropped, RXCHAR kept
    const int64_t before = Now();
    WaitCommEvent(h, &events, &history.ov);
    EXPECT_EQ(Finish(history, &bytes), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(events, DWORD(EV_RXCHAR));
    EXPECT_EQ(Now(), before) << "history satisfies a wait at once";

    ASSERT_TRUE(Wait(pending, events));
    EXPECT_FALSE(WaitCommEvent(h, &bytes, &second.ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    Sleep(10 * kMs);
    EXPECT_FALSE(pending.done());
    EXPECT_TRUE(Close());
    EXPECT_TRUE(pending.done());
    EXPECT_EQ(pending.status(), STATUS_CANCELLED);
    EXPECT_EQ(pending.ov.InternalHigh, 0u);
}

// Characters land while the application cancels its wait or sets a new mask, with schedule
// noise. Each wait ends once, with what it was owed: the character, an empty set (the new mask),
// or a cancel with nothing returned. A completion that went to the wrong wait shows next round.
TEST_F(Events, EventsRacingCancelAndNewMasksEndEachWaitOnce) {
    lab::Options options;
    options.machine = {.processors = 2, .noiseSeed = 0x5EED3404};
    Begin(std::move(options));
    const int64_t charTime = WireFormat::Rate(115200).charTime();
    int outcomes[3] = {};
    for (int i = 0; i < 300; i++) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
        Overlapped o;
        DWORD events = 0, bytes = 0;
        ASSERT_TRUE(Wait(o, events));
        SendChars(*this, 1);
        Sleep(charTime + (i % 7) * 2500);  // around the frame in which the character lands
        if (i % 2) EXPECT_TRUE(CancelIo(h));
        else ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
        const DWORD error = Finish(o, &bytes);
        if (error == ERROR_OPERATION_ABORTED) {
            EXPECT_EQ(bytes, 0u);
            outcomes[0]++;
        } else {
            ASSERT_EQ(error, DWORD(ERROR_SUCCESS));
            EXPECT_EQ(bytes, sizeof(DWORD));
            ASSERT_TRUE(events == 0 || events == EV_RXCHAR) << events;
            outcomes[events ? 1 : 2]++;
        }
        ASSERT_TRUE(SetCommMask(h, 0));
    }
    for (int n : outcomes) EXPECT_GT(n, 10) << "a way of ending was never raced";
}

}  // namespace
}  // namespace port_test
