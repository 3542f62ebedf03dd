// Data through the loopback plug at the line's pace: throughput, every rate, and runs that stall.
#include "control/control.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace {

class Loopback : public ComPort, public ::testing::WithParamInterface<int> {};

TEST_P(Loopback, MebibyteAt921600ComesBackByteExact) {
    Start({.chip = Chip(GetParam(), false)});
    OpenAt(921600);
    const auto pattern = lab::TestPattern(1 << 20);
    std::vector<uint8_t> back(pattern.size());
    Overlapped rd, wr;
    const int64_t start = Now();
    Begin(rd, true, back.data(), DWORD(back.size()));
    Begin(wr, false, pattern.data(), DWORD(pattern.size()));
    EXPECT_EQ(End(wr), Ended(ERROR_SUCCESS, pattern.size()));
    EXPECT_EQ(End(rd), Ended(ERROR_SUCCESS, pattern.size()));
    EXPECT_TRUE(back == pattern);
    // The line is the limit: 92,160 characters a second, and the port keeps it busy.
    const double seconds = double(Now() - start) / 1e7;
    EXPECT_GT(pattern.size() / seconds, 0.99 * 92160) << seconds << " s";
}

// 300,000 characters a second is more than the 256-byte transmit FIFO holds in a frame: the bus
// has to keep feeding it within the frame for the line to stay busy.
TEST_F(ComPort, WriteAt3MegabaudKeepsTheLineBusy) {
    Start({.chip = Chip(2, false), .farEnd = lab::FarEnd::Nothing});
    OpenAt(3000000, {}, 0);
    const auto pattern = lab::TestPattern(150000);
    const int64_t start = Now();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, pattern.data(), DWORD(pattern.size()), &written, nullptr));
    EXPECT_EQ(written, pattern.size());
    EXPECT_LT(double(Now() - start) / 1e7, 1.03 * 0.5);
}

// Each row of the rate table as asked for, rates the port rounds, and rates from ExtBaudrate: the
// rate the port reports, the chip's wire rate and a few bytes through the lab's loop, which must
// not end before the line could have carried them.
TEST_P(Loopback, EveryRateComesBackAtItsPace) {
    const bool newer = GetParam() >= 2;
    // 0x80000460: 384 MHz / (96 * 4^2)
    Start({.chip = Chip(GetParam(), false), .extBaudrate = u"250000,2147484768 31250,31250"});
    h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    struct Row { DWORD asked, applied; };
    std::vector<Row> rows;
    for (const StandardRate &r : StandardRateTable)
        if (r.Rate) rows.push_back({r.Rate, r.Rate});
    rows.insert(rows.end(), {{50, 75}, {110, 75}, {134, 150}, {86400, 57600}, {100000, 115200}, {7000000, 6000000},
                             {250000, newer ? 250000u : 268800u}, {31250, newer ? 31250u : 28800u}});
    const auto pattern = lab::TestPattern(8);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.asked);
        lab::Line line{.baud = row.asked};
        ASSERT_TRUE(lab::Configure(h, line));
        EXPECT_EQ(line.baud, row.applied);
        EXPECT_NEAR(bench->chip().format().baud() / row.applied, 1.0, 0.01);
        lab::Transfer t;
        EXPECT_TRUE(lab::Loop(h, bench->machine(), line, pattern, t));
        EXPECT_TRUE(t.same) << t.read << " bytes back";
        EXPECT_GE(double(t.emulated), pattern.size() * 1e7 / line.charsPerSecond());
    }
}

INSTANTIATE_TEST_SUITE_P(EachChipType, Loopback, ::testing::Range(0, 5));

// A line that does not run (the rate 37 rounds to 0) holds the write; nothing plugged in starves
// the read. The watchdog ends both runs and the port closes and unloads cleanly.
TEST_F(ComPort, StalledLabRunsEnd) {
    const struct { lab::FarEnd farEnd; DWORD baud; } cases[] = {{lab::FarEnd::Loopback, 37}, {lab::FarEnd::Nothing, 9600}};
    const auto pattern = lab::TestPattern(300);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.baud);
        Restart({.chip = Chip(2, false), .farEnd = c.farEnd});
        lab::Line line{.baud = c.baud};
        ASSERT_TRUE(lab::Configure(h, line));
        lab::Transfer t;
        EXPECT_FALSE(lab::Loop(h, bench->machine(), line, pattern, t));
        EXPECT_TRUE(t.stalled);
        EXPECT_EQ(t.read, 0u);
        EXPECT_LT(t.emulated, (2 * line.stallMs() + 500) * kMs);
    }
}

}  // namespace
}  // namespace port_test
