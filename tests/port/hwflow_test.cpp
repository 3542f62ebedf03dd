// RTS/CTS through a loopback plug that wires RTS to CTS, set with SetCommState. The port takes in
// one 384-byte transfer per frame (384,000 B/s): at 6,000,000 baud the line brings 600,000, and
// without flow control the chip's receive FIFO overruns; with it the chip lowers RTS as its FIFO
// fills and holds its own transmitter on CTS, losing nothing. The driver holds its writes too while
// CTS is low and resumes on the next status packet, which costs some of the bus's pace.
// (The bench moves 1 MiB each way; a quarter of that shows the same here in less time.)
#include "tests/port/com_port.h"

namespace port_test {
namespace {

TEST_F(ComPort, RtsCtsHandshakeMovesDataWithoutLoss) {
    const struct {
        DWORD baud;
        bool rtsCts;
    } rows[] = {{3000000, true}, {6000000, true}, {6000000, false}};
    const auto pattern = lab::TestPattern(256 * 1024);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.baud << (row.rtsCts ? " RTS/CTS" : " none"));
        lab::Options options;
        options.chip.keepLineLog = false;
        bench.reset();
        Start(std::move(options));
        h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        lab::Line line;
        line.baud = row.baud;
        line.rtsCts = row.rtsCts;
        ASSERT_TRUE(lab::Configure(h, line));
        // CTS output handshake and RTS following the receive FIFO, on the chip itself.
        EXPECT_EQ(bench->chip().reg(0) & 0xF0, row.rtsCts ? 0x60 : 0x00);
        lab::Transfer t;
        ASSERT_TRUE(lab::Loop(h, bench->machine(), line, pattern, t));
        EXPECT_TRUE(t.inOrder);
        const double rate = t.read / (double(t.emulated) / 1e7);
        if (row.rtsCts) {
            EXPECT_TRUE(t.same) << pattern.size() - t.read << " bytes lost";
            EXPECT_GT(rate, 0.6 * std::min(line.charsPerSecond(), 384000.0));
        } else {
            EXPECT_LT(t.read, pattern.size() * 9 / 10);
        }
        EXPECT_TRUE(CloseHandle(h));
        h = INVALID_HANDLE_VALUE;
        EXPECT_EQ(bench->shutDown(), 0u);
    }
}

}  // namespace
}  // namespace port_test
