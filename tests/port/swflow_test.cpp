// Software flow control, DTR handshaking and transmit toggle end to end against a scripted peer.
#include "tests/port/com_port.h"

namespace port_test {
namespace {

class SoftwareFlow : public ComPort, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        Start({.chip = Chip(GetParam()), .farEnd = lab::FarEnd::Scripted});
        OpenAt(115200, {0, 0, 5000, 0, 0});
        Peer().setFormat(emu::usb::WireFormat::Rate(115200));
    }
    PortExtension &Port() { return *bench->port(); }
    // Through the handshake request, so that newer chips switch their own XON/XOFF on.
    void AddFlow(ULONG bits) {
        SERIAL_HANDFLOW flow{};
        ASSERT_TRUE(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &flow, sizeof flow));
        flow.FlowReplace |= bits;
        ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof flow));
    }
    // Reads `n` more characters onto the end of `back`.
    void ReadOn(std::vector<uint8_t> &back, size_t n) {
        back.resize(back.size() + n);
        DWORD read = 0;
        EXPECT_TRUE(SyncIo(true, back.data() + back.size() - n, DWORD(n), &read));
        back.resize(back.size() - n + read);
    }
    std::vector<uint8_t> FlowCharsSeen() {
        std::vector<uint8_t> seen;
        for (uint8_t b : Peer().receivedBytes())
            if (b == kXon || b == kXoff) seen.push_back(b);
        return seen;
    }
};

// A 4096-byte ring: XoffLimit 512, XonLimit 2048, so the hold comes when a character arrives
// with 4096 - 512 - 400 = 3184 held.
TEST_P(SoftwareFlow, AStalledReaderHoldsThePeerOffAndReleasesItAtXonLimitLosingNothing) {
    ASSERT_TRUE(SetupComm(h, 4096, 4096));
    ASSERT_EQ(Port().RxBufferSize, 4096u);
    // The RTS hold only pauses the bulk IN pipe here; both holds come and go together.
    AddFlow(SERIAL_AUTO_RECEIVE | SERIAL_RTS_HANDSHAKE);
    Peer().followXonXoff(true);
    const auto pattern = lab::TestPattern(8000);
    Peer().send(pattern);
    SleepFor(1000 * kMs);  // the whole pattern would take 700 ms

    EXPECT_EQ(FlowCharsSeen(), std::vector<uint8_t>{kXoff});
    EXPECT_GT(Peer().queued(), 0u) << "the peer was held off";
    const ULONG held = Port().RxRingCount;
    ASSERT_GE(held, 3184u);
    EXPECT_LT(held, Port().RxBufferSize);

    // Down to XonLimit + 1: still held.
    std::vector<uint8_t> back;
    ReadOn(back, held - 2049);
    SleepFor(20 * kMs);
    EXPECT_EQ(FlowCharsSeen(), std::vector<uint8_t>{kXoff});
    // At XonLimit the peer is let go; a stalled reader may hold it off again, a reading one takes everything.
    ReadOn(back, 1);
    SleepFor(5 * kMs);
    EXPECT_EQ(FlowCharsSeen(), (std::vector<uint8_t>{kXoff, kXon}));
    ReadOn(back, pattern.size() - back.size());
    EXPECT_TRUE(back == pattern);
    DWORD errors = 0;
    Stat(&errors);
    EXPECT_EQ(errors, 0u) << "no overrun anywhere";
    EXPECT_EQ(Port().PerfStats.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(FlowCharsSeen().size() % 2, 0u) << "every XOFF answered by an XON";
    // Releasing both holds restarted the pipe once: never two bulk IN transfers out at a time.
    int64_t lastEnd = -1;
    for (const auto &r : bench->device().bus().urbLog()) {
        if (r.endpoint != 0x83) continue;
        EXPECT_GE(r.submitted, lastEnd) << "transfer " << r.serial;
        lastEnd = r.completed < 0 ? INT64_MAX : r.completed;
    }
}

// The port's own transmitter: bytes already in the chip's FIFO still go after an XOFF, nothing
// from the host does, and XON sends the rest in order.
TEST_P(SoftwareFlow, PeersXoffStopsTransmissionWithinTheChipsFifoAndXonRestartsIt) {
    AddFlow(SERIAL_AUTO_TRANSMIT);
    const auto pattern = lab::TestPattern(6000);
    Overlapped wr;
    Begin(wr, false, pattern.data(), DWORD(pattern.size()));
    SleepFor(100 * kMs);
    Peer().send({kXoff});
    SleepFor(1 * kMs);  // the XOFF has arrived
    const size_t atXoff = Peer().receivedBytes().size();
    SleepFor(200 * kMs);
    const size_t stopped = Peer().receivedBytes().size();
    EXPECT_LE(stopped - atXoff, bench->chip().config().txFifoSize + Port().MaxWriteChunk);
    SleepFor(100 * kMs);
    EXPECT_EQ(Peer().receivedBytes().size(), stopped) << "held";
    EXPECT_FALSE(wr.done());

    Peer().send({kXon});
    EXPECT_EQ(End(wr), Ended(ERROR_SUCCESS, pattern.size()));
    SleepFor(600 * kMs);
    EXPECT_TRUE(Peer().receivedBytes() == pattern);
}

// DTR handshake: a filling ring drops DTR at RxBufferSize - XoffLimit and raises it again once
// the reader has drained it to XonLimit.
TEST_F(ComPort, DtrHandshakeDropsDtrAsTheRingFillsAndRaisesItAtXonLimit) {
    Start({.farEnd = lab::FarEnd::Scripted});
    OpenAt(115200, {0, 0, 1000, 0, 0}, 0);
    auto &peer = Peer();
    peer.setFormat(emu::usb::WireFormat::Rate(115200));
    ASSERT_TRUE(ChangeDcb([](DCB &dcb) { dcb.fDtrControl = DTR_CONTROL_HANDSHAKE; }));
    SleepFor(10 * kMs);
    ASSERT_TRUE(peer.chipDtr());
    const ULONG size = bench->port()->RxBufferSize, high = size - size / 8;
    peer.send(lab::TestPattern(high + 10));
    SleepFor(200 * kMs);
    EXPECT_FALSE(peer.chipDtr()) << "down with " << high << " held";
    std::vector<uint8_t> got(high + 10 - size / 2 - 1);
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, got.data(), DWORD(got.size()), &n, nullptr));
    SleepFor(10 * kMs);
    EXPECT_FALSE(peer.chipDtr()) << "still down one above XonLimit";
    ASSERT_TRUE(ReadFile(h, got.data(), 1, &n, nullptr));
    SleepFor(10 * kMs);
    EXPECT_TRUE(peer.chipDtr()) << "up again at XonLimit";
}

// Transmit toggle on the chip's line record: RTS up before the first start bit of each write, down
// after its last stop bit and within one character time of it. A 1 ms clock tick and 1200 baud
// (8.3 ms a character) leave room for the timer's tick, the bus frame and the control request.
TEST_F(ComPort, TransmitToggleRaisesRtsForEachWriteAndDropsItAfterTheLastStopBit) {
    Start({.machine = {.tickIncrement = kMs}, .farEnd = lab::FarEnd::Nothing});
    OpenAt(1200);
    ASSERT_TRUE(ChangeDcb([](DCB &dcb) { dcb.fRtsControl = RTS_CONTROL_TOGGLE; }));
    SleepFor(50 * kMs);
    ASSERT_FALSE(bench->chip().rts()) << "down while idle";
    const int64_t charTime = emu::usb::WireFormat::Rate(1200).charTime();
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        const size_t logFrom = bench->chip().lineLog().size();
        const auto pattern = lab::TestPattern(40);
        DWORD written = 0;
        ASSERT_TRUE(SyncIo(false, pattern.data(), DWORD(pattern.size()), &written));
        SleepFor(40 * charTime + 100 * kMs);
        auto log = bench->chip().lineLog();
        std::vector<int64_t> sentEnds, rtsEdges;
        std::vector<bool> rtsLevels;
        for (size_t i = logFrom; i < log.size(); i++) {
            if (log[i].kind == emu::usb::LineEvent::Sent) sentEnds.push_back(log[i].time);
            if (log[i].kind == emu::usb::LineEvent::Outputs) {
                rtsEdges.push_back(log[i].time);
                rtsLevels.push_back(log[i].rts);
            }
        }
        ASSERT_EQ(sentEnds.size(), pattern.size());
        ASSERT_EQ(rtsLevels, (std::vector<bool>{true, false}));
        EXPECT_LE(rtsEdges[0], sentEnds.front() - charTime) << "up before the first start bit";
        EXPECT_GE(rtsEdges[1], sentEnds.back()) << "down after the last stop bit";
        EXPECT_LE(rtsEdges[1], sentEnds.back() + charTime) << "and within a character time of it";
    }
    EXPECT_EQ(bench->port()->RtsDropPending, 0);
    const int64_t closing = Now();
    EXPECT_TRUE(Close());
    // Close's own waits at 1200 baud come to 1.2 s; an RTS-drop attempt that never ended would hold it for ever.
    EXPECT_LT(Now() - closing, 2000 * kMs);
}

// Types 0 and 1: the driver sends XON and XOFF. Types 2 and up do it in the chip once the
// handshake request switches it on there.
INSTANTIATE_TEST_SUITE_P(AllChips, SoftwareFlow, ::testing::Values(0, 1, 2));

}  // namespace
}  // namespace port_test
