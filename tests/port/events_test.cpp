// Wait-on-mask as an application sees it: SetCommMask and WaitCommEvent against a scripted peer.
#include <functional>

#include "tests/port/com_port.h"

namespace port_test {
namespace {

using emu::usb::Parity;
using emu::usb::WireFormat;

class Events : public ComPort {
protected:
    void Begin(emu::MachineConfig machine = {}) {
        Start({.machine = machine, .farEnd = lab::FarEnd::Scripted});
        Peer().setFormat(WireFormat::Rate(115200));
        OpenAt(115200);
    }
    // Issues an overlapped WaitCommEvent; false when it did not pend.
    bool Wait(Overlapped &o, DWORD &events) {
        events = ~0u;
        return !WaitCommEvent(h, &events, &o.ov) && GetLastError() == ERROR_IO_PENDING;
    }
    void SendChars(size_t n) { Peer().send(std::vector<uint8_t>(n, 'a')); }
    void WriteOne() {
        DWORD n = 0;
        EXPECT_TRUE(SyncIo(false, "z", 1, &n));
    }
};

TEST_F(Events, EveryEventOfTheMaskReachesWaitCommEvent) {
    Begin();
    SERIAL_CHARS chars{};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_CHARS, nullptr, 0, &chars, sizeof(chars)));
    chars.EventChar = '#';
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)));
    const struct { const char *name; DWORD mask, expected; std::function<void()> raise; } rows[] = {
        {"RXCHAR", EV_RXCHAR | EV_BREAK, EV_RXCHAR, [&] { SendChars(1); }},
        {"RXFLAG", EV_RXFLAG, EV_RXFLAG, [&] { Peer().send({'x', 'y', '#'}); }},
        {"TXEMPTY", EV_TXEMPTY, EV_TXEMPTY, [&] { WriteOne(); }},
        // A break garbles its character's framing: that is no error of its own.
        {"BREAK", EV_BREAK | EV_ERR, EV_BREAK, [&] { Peer().sendBreak(5 * kMs); }},
        {"ERR framing", EV_ERR | EV_BREAK, EV_ERR, [&] { Peer().sendWithFramingError('f'); }},
        {"ERR parity", EV_ERR, EV_ERR,
         [&] {
             SERIAL_LINE_CONTROL even{STOP_BIT_1, EVEN_PARITY, 8};
             ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &even, sizeof(even)));
             Peer().setFormat(WireFormat::Rate(115200, 8, Parity::Even));
             Peer().sendWithParityError('p');
         }},
        {"RX80FULL", EV_RX80FULL, EV_RX80FULL, [&] { SendChars(bench->port()->RxEightyPercent); }},
        {"CTS", EV_CTS | EV_DSR, EV_CTS, [&] { Peer().setLines({.cts = true}); }},
        {"DSR", EV_DSR, EV_DSR, [&] { Peer().setLines({.cts = true, .dsr = true}); }},
        {"RLSD", EV_RLSD | EV_RING, EV_RLSD, [&] { Peer().setLines({.cts = true, .dsr = true, .dcd = true}); }},
        {"RING", EV_RING, EV_RING, [&] { Peer().setLines({.ri = true}); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(SetCommMask(h, 0));  // empties the history
        ASSERT_TRUE(SetCommMask(h, row.mask));
        Overlapped o;
        DWORD events = 0;
        ASSERT_TRUE(Wait(o, events));
        SleepFor(20 * kMs);
        EXPECT_FALSE(o.done()) << "satisfied before the event";
        row.raise();
        EXPECT_EQ(End(o), Ended(ERROR_SUCCESS, sizeof(DWORD)));
        EXPECT_EQ(events, row.expected);
        EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    }
}

// History the new mask still names satisfies a wait at once; what the new mask drops is gone.
TEST_F(Events, AWaitIsSatisfiedAtOnceByTheHistoryTheNewMaskKeeps) {
    Begin();
    Overlapped history;
    DWORD events = 0, bytes = 0;
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    SendChars(1);
    WriteOne();
    SleepFor(10 * kMs);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_RXFLAG));  // TXEMPTY is dropped, RXCHAR kept
    const int64_t before = Now();
    WaitCommEvent(h, &events, &history.ov);
    EXPECT_EQ(Finish(history, &bytes), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(events, DWORD(EV_RXCHAR));
    EXPECT_EQ(Now(), before) << "history satisfies a wait at once";
}

// Characters land while the application cancels its wait or sets a new mask, with schedule
// noise. Each wait ends once, with what it was owed: the character, an empty set (the new mask),
// or a cancel with nothing returned. A completion that went to the wrong wait shows next round.
TEST_F(Events, EventsRacingCancelAndNewMasksEndEachWaitOnce) {
    Begin({.processors = 2, .noiseSeed = 0x5EED3404});
    const int64_t charTime = WireFormat::Rate(115200).charTime();
    int outcomes[3] = {};
    for (int i = 0; i < 300; i++) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
        Overlapped o;
        DWORD events = 0, bytes = 0;
        ASSERT_TRUE(Wait(o, events));
        SendChars(1);
        SleepFor(charTime + (i % 7) * 2500);  // around the frame in which the character lands
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
