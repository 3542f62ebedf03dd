// COM3 as a file: one opener at a time, what close waits for, and cleanup ending every request of the handle.
#include <algorithm>

#include "tests/port/com_port.h"

namespace port_test {
namespace {

TEST_F(ComPort, OneOpenerAtATimeAndEachSessionLeavesNothingBehind) {
    Start();
    size_t closedBytes = 0;
    for (int session = 0; session < 2; session++) {
        SCOPED_TRACE(session);
        OpenAt(115200);
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        // The first handle is untouched: a character goes round the loopback.
        char back = 0;
        DWORD n = 0;
        EXPECT_TRUE(SyncIo(false, "x", 1, &n) && SyncIo(true, &back, 1, &n));
        EXPECT_EQ(back, 'x');

        EXPECT_TRUE(Close());
        // Only the status transfer stays out, so that the next open starts from the lines' state.
        EXPECT_EQ(bench->device().bus().pendingUrbs(), 1u);
        size_t bytes = bench->machine().service<emu::Pool>().bytesInUse(MIRAVO_POOL_TAG);
        if (session == 0) closedBytes = bytes;
        EXPECT_EQ(bytes, closedBytes);
    }
}

// Cleanup's 30 ms, then close: ten character times before the chip's handshakes and lines go down, the session's
// receive transfer stopped once they are, and 1280 bit times (10^7 / rate, truncated) at the end.
TEST_F(ComPort, CloseWaitsTenCharacterTimesThenTheFinalSettle) {
    Start();
    // Rate 0: a port that never had a rate counts as 9600.
    const struct { ULONG baud; SERIAL_LINE_CONTROL line; int64_t charTime, bitTime; } rows[] = {
        {9600, {STOP_BIT_1, NO_PARITY, 8}, 10 * 1042, 1041},
        {9600, {STOP_BIT_1, EVEN_PARITY, 7}, 10 * 1042, 1041},
        {19200, {STOP_BITS_2, NO_PARITY, 8}, 11 * 521, 520},
        {0, {STOP_BIT_1, NO_PARITY, 8}, 10 * 1042, 1041},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.baud);
        OpenAt(row.baud ? row.baud : 9600);
        ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &row.line, sizeof(row.line)));
        if (!row.baud) bench->port()->CurrentBaud = 0;
        auto log = bench->device().bus().urbLog();
        auto receiving =
            std::find_if(log.begin(), log.end(), [](auto &r) { return r.endpoint == kBulkIn && r.completed < 0; });
        ASSERT_NE(receiving, log.end());
        int64_t start = Now();
        EXPECT_TRUE(Close());
        const auto after = bench->device().bus().urbLog();
        const auto closing = std::find_if(after.begin() + log.size(), after.end(), [](auto &r) { return r.hasSetup; });
        ASSERT_NE(closing, after.end());
        EXPECT_EQ(closing->submitted, start + 300000 + 10 * row.charTime);
        const auto lines = std::find_if(after.rbegin(), after.rend(), [](auto &r) { return r.hasSetup; });
        // SET_CONTROL_LINE_STATE, DTR and RTS down
        EXPECT_TRUE(lines->setup.bRequest == 0x22 && lines->setup.wValue == 0);
        EXPECT_EQ(after[receiving - log.begin()].completed, lines->completed);
        EXPECT_EQ(Now() - lines->completed, 1280 * row.bitTime);
        EXPECT_EQ(bench->port()->CurrentBaud, row.baud ? row.baud : 9600);
    }
}

// Closing the handle cancels what it left: reads, the write in progress and those behind it, an
// XOFF counter and a flush queued behind them, and a counter already counting.
TEST_F(ComPort, CleanupEndsEveryRequestOfTheHandle) {
    Start({.farEnd = lab::FarEnd::Nothing});
    OpenAt(9600);  // a long write stays in progress
    Overlapped reads[2], writes[2], counter;
    char buffer[2][8];
    std::vector<char> data(2000, 'w');
    for (int i = 0; i < 2; i++) {
        EXPECT_FALSE(ReadFile(h, buffer[i], sizeof(buffer[i]), nullptr, &reads[i].ov));
        EXPECT_FALSE(WriteFile(h, data.data(), DWORD(data.size()), nullptr, &writes[i].ov));
    }
    SERIAL_XOFF_COUNTER record{0, 10, 0x13};
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_XOFF_COUNTER, &record, sizeof(record), nullptr, 0, nullptr, &counter.ov));
    BOOL flushed = TRUE;
    DWORD flushError = 0;
    emu::Thread flusher([&] { flushed = FlushFileBuffers(h); flushError = GetLastError(); });
    SleepFor(5 * kMs);  // the flush is queued once its thread waits

    EXPECT_TRUE(CloseHandle(h));
    flusher.join();
    EXPECT_FALSE(flushed);
    EXPECT_EQ(flushError, ERROR_OPERATION_ABORTED);
    for (Overlapped *o : {&reads[0], &reads[1], &writes[0], &writes[1], &counter})
        EXPECT_EQ(End(*o), Ended(ERROR_OPERATION_ABORTED, 0));

    // A counter that is already counting.
    OpenAt(9600);
    Overlapped counter2, read;
    EXPECT_FALSE(ReadFile(h, buffer[0], sizeof(buffer[0]), nullptr, &read.ov));
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_XOFF_COUNTER, &record, sizeof(record), nullptr, 0, nullptr, &counter2.ov));
    // Its XOFF leaves behind what the first session's writes left in the chip; then it counts.
    for (int ms = 0; ms < 2000 && Stat().cbOutQue; ms++) SleepFor(kMs);
    ASSERT_EQ(Stat().cbOutQue, 0u);
    EXPECT_TRUE(Close());
    EXPECT_EQ(Finish(counter2), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Finish(read), ERROR_OPERATION_ABORTED);
}

}  // namespace
}  // namespace port_test
