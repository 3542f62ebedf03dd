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
    const struct { DWORD baud; bool rtsCts; } rows[] = {{3000000, true}, {6000000, true}, {6000000, false}};
    const auto pattern = lab::TestPattern(256 * 1024);
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.baud << (row.rtsCts ? " RTS/CTS" : " none"));
        Restart({.chip = Chip(2, false)});
        lab::Line line{.baud = row.baud, .rtsCts = row.rtsCts};
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
    }
}

// With no reader the ring fills and the driver's receive hold must stop the far end: the newer
// chips lower RTS themselves, the older ones only when the driver moves the line.
TEST_F(ComPort, RtsHandshakeWithNoReaderLosesNothingOnEveryChip) {
    const auto pattern = lab::TestPattern(3000);
    for (int type : {1, 2}) {
        SCOPED_TRACE(type);
        Restart({.chip = Chip(type)});
        lab::Line line{.rtsCts = true};
        ASSERT_TRUE(lab::Configure(h, line));
        Overlapped wr;
        Begin(wr, false, pattern.data(), DWORD(pattern.size()));
        SleepFor(2000 * kMs);  // the whole pattern takes 260 ms on the line
        std::vector<uint8_t> back(pattern.size());
        DWORD n = 0;
        EXPECT_TRUE(SyncIo(true, back.data(), DWORD(back.size()), &n));
        EXPECT_EQ(Finish(wr), ERROR_SUCCESS);
        EXPECT_TRUE(back == pattern) << n << " of " << pattern.size() << " bytes came back";
    }
}

// A receive hold that the ring takes while a new handshake setting is being sent to the chip, and
// that the setting then gives back, must not leave the receive pipe stopped.
TEST_F(ComPort, AHoldTakenWhileTheHandshakeChangesIsGivenBackWithThePipe) {
    Start({.chip = Chip(1)});
    OpenAt(115200, {0xFFFFFFFF, 0, 0, 0, 0});  // a read takes what is there
    ASSERT_TRUE(ChangeDcb([](DCB &dcb) { dcb.fRtsControl = RTS_CONTROL_HANDSHAKE; }));
    const auto pattern = lab::TestPattern(1500);
    Overlapped wr;
    Begin(wr, false, pattern.data(), DWORD(pattern.size()));
    for (int ms = 0; ms < 1000 && Stat().cbInQue < 480; ms++) SleepFor(kMs);
    ASSERT_TRUE(ChangeDcb([](DCB &dcb) { dcb.fRtsControl = RTS_CONTROL_ENABLE, dcb.fOutxCtsFlow = TRUE; }));
    EXPECT_EQ(Finish(wr), ERROR_SUCCESS);
    // Without receive flow control now, what the ring could not take is gone, or the chip's FIFO
    // dropped it while the pipe was still stopped (which one depends on how the processors
    // interleave); either way it is counted, and what comes after must still arrive.
    auto readAll = [&] {
        std::vector<uint8_t> got;
        for (int i = 0; i < 20; i++) {
            SleepFor(50 * kMs);
            std::vector<uint8_t> chunk(4096);
            DWORD n = 0;
            EXPECT_TRUE(SyncIo(true, chunk.data(), DWORD(chunk.size()), &n));
            got.insert(got.end(), chunk.begin(), chunk.begin() + n);
        }
        return got;
    };
    const size_t got = readAll().size();
    SERIALPERF_STATS stats{};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats));
    const uint64_t chipDropped = bench->device().chip().losses().overrun;
    EXPECT_EQ(got + stats.BufferOverrunErrorCount + chipDropped, pattern.size());
    EXPECT_EQ(chipDropped > 0, stats.SerialOverrunErrorCount > 0) << "the chip's overrun reached the port";
    const std::vector<uint8_t> after(100, 0x5A);
    DWORD n = 0;
    EXPECT_TRUE(SyncIo(false, after.data(), DWORD(after.size()), &n));
    EXPECT_EQ(readAll(), after) << "the receive pipe stayed stopped";
}

}  // namespace
}  // namespace port_test
