// The chip's UART seen end to end, from the bus to the far end of the line.
#include <fstream>
#include <map>

#include "emulator/usbdevice/capture.h"
#include "tests/device/usb_client.h"

namespace devtest {
namespace {

struct Opened {
    SimulatedDevice device;
    Client client;
    Client::Pipes pipes;
    explicit Opened(int type, ChipConfig config = {}) :
        device(config.productId ? config : ChipConfig::Variant(type)), client(device.pdo()), pipes(client.configure(type)) {}
};

// The next status packet's word (bytes 8-9), or -1 when none came within `timeout`.
int NextStatus(Client &client, USBD_PIPE_HANDLE pipe, int64_t timeout = 100 * kMillisecond) {
    auto r = client.read(pipe, 10, USBD_TRANSFER_DIRECTION_IN);
    client.start(*r);
    if (!client.wait(*r, timeout)) {
        IoCancelIrp(r->irp);
        client.wait(*r);
        return -1;
    }
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->length(), 10u);
    EXPECT_EQ(r->buffer[0], 0xA1);
    return r->buffer[8] | r->buffer[9] << 8;
}

TEST(SerialLine, SettingsThatDifferFromTheFarEndGiveLineErrors) {
    emu::Machine machine;
    Opened o(2);
    ScriptedPeer peer(o.device.chip(), WireFormat::Rate(9600));
    EXPECT_NE(NextStatus(o.client, o.pipes.interruptIn), -1) << "the first report after configuration";

    // A receiver twice as fast samples its stop bit in the sender's data bit 3.
    ASSERT_EQ(o.client.lineCoding(19200, 0, 0, 8), STATUS_SUCCESS);
    peer.send({0xF0});
    int status = NextStatus(o.client, o.pipes.interruptIn);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(status & 0x10) << "framing error";

    // Same rate, even parity expected, none sent: the stop bit lands in the parity slot.
    ASSERT_EQ(o.client.lineCoding(9600, 0, 2, 8), STATUS_SUCCESS);
    peer.send({0x03});
    status = NextStatus(o.client, o.pipes.interruptIn);
    ASSERT_NE(status, -1);
    EXPECT_EQ(status & 0x70, 0x20) << "parity error only";

    // Matching settings: the byte arrives clean and no error is reported.
    ASSERT_EQ(o.client.lineCoding(9600, 0, 0, 8), STATUS_SUCCESS);
    peer.send({0x5A});
    EXPECT_EQ(NextStatus(o.client, o.pipes.interruptIn, 20 * kMillisecond), -1);
    auto got = ReadBulk(o.client, o.pipes.bulkIn, 3, machine.now() + 50 * kMillisecond);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2], 0x5A);

    // A peer that injects errors is reported the same way.
    peer.sendWithFramingError(0x41);
    status = NextStatus(o.client, o.pipes.interruptIn);
    EXPECT_TRUE(status & 0x10);
}

TEST(SerialLine, AFullReceiveFifoOverrunsAndReportsIt) {
    emu::Machine machine;
    ChipConfig config = ChipConfig::Variant(1);
    config.rxFifoSize = 64;
    Opened o(1, config);
    ScriptedPeer peer(o.device.chip(), WireFormat::Rate(115200));
    NextStatus(o.client, o.pipes.interruptIn);
    ASSERT_EQ(o.client.lineCoding(115200, 0, 0, 8), STATUS_SUCCESS);
    peer.send(std::vector<uint8_t>(100, 0x33));
    int status = NextStatus(o.client, o.pipes.interruptIn, 20 * kMillisecond);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(status & 0x40) << "overrun";
    Delay(10 * kMillisecond);
    EXPECT_EQ(o.device.chip().rxFifoLevel(), 64u);
    auto got = ReadBulk(o.client, o.pipes.bulkIn, 100, machine.now() + 20 * kMillisecond);
    EXPECT_EQ(got.size(), 64u) << "what overflowed is lost";
}

// A receive handshake switched off and on again while the FIFO sits between its marks starts
// afresh: RTS up, and no XON for an XOFF that was given up with the old setting.
TEST(SerialLine, HandshakeReenabledBetweenTheMarksStartsAfresh) {
    emu::Machine machine;
    ChipConfig config = ChipConfig::Variant(2);
    config.rxFifoSize = 64;  // marks at 16 and 48
    Opened o(2, config);
    ScriptedPeer peer(o.device.chip(), WireFormat::Rate(115200));
    ASSERT_EQ(o.client.lineCoding(115200, 0, 0, 8), STATUS_SUCCESS);
    ASSERT_EQ(o.client.controlLines(0x03), STATUS_SUCCESS);
    for (USHORT flow : {0x21, 0xC1}) {  // RTS follows the FIFO; chip-side XON/XOFF
        SCOPED_TRACE(flow);
        ASSERT_EQ(o.client.vendorWrite(0x0000, flow), STATUS_SUCCESS);
        peer.send(std::vector<uint8_t>(50, 0x55));  // past the high mark
        Delay(10 * kMillisecond);
        auto part = o.client.read(o.pipes.bulkIn, 20);  // down between the marks
        ASSERT_EQ(o.client.call(*part), STATUS_SUCCESS);
        ASSERT_EQ(o.client.vendorWrite(0x0000, 0x00), STATUS_SUCCESS);
        ASSERT_EQ(o.client.vendorWrite(0x0000, flow), STATUS_SUCCESS);
        EXPECT_TRUE(o.device.chip().rts());
        const size_t heard = peer.receivedBytes().size();
        EXPECT_EQ(ReadBulk(o.client, o.pipes.bulkIn, 30, machine.now() + 10 * kMillisecond).size(), 30u);
        Delay(5 * kMillisecond);
        EXPECT_EQ(peer.receivedBytes().size(), heard) << "nothing sent at the low mark";
        ASSERT_EQ(o.client.vendorWrite(0x0000, 0x00), STATUS_SUCCESS);
    }
}

TEST(SerialLine, StatusPacketsFollowTheLinesOfTheLoopbackWiring) {
    emu::Machine machine;
    Opened o(0);
    Loopback plug(o.device.chip(), LoopbackWiring::All());
    EXPECT_EQ(NextStatus(o.client, o.pipes.interruptIn), 0x00);
    ASSERT_EQ(o.client.controlLines(0x01), STATUS_SUCCESS);  // DTR → DSR, DCD, RI
    EXPECT_EQ(NextStatus(o.client, o.pipes.interruptIn), 0x0B);
    ASSERT_EQ(o.client.controlLines(0x03), STATUS_SUCCESS);  // RTS → CTS
    EXPECT_EQ(NextStatus(o.client, o.pipes.interruptIn), 0x8B);
    EXPECT_EQ(NextStatus(o.client, o.pipes.interruptIn, 20 * kMillisecond), -1) << "nothing changed, nothing sent";
    ASSERT_EQ(o.client.controlLines(0x00), STATUS_SUCCESS);
    EXPECT_EQ(NextStatus(o.client, o.pipes.interruptIn), 0x00);
}

TEST(SerialLine, BreakBothWays) {
    emu::Machine machine;
    Opened o(2);
    ScriptedPeer peer(o.device.chip(), WireFormat::Rate(9600));
    ASSERT_EQ(o.client.lineCoding(9600, 0, 0, 8), STATUS_SUCCESS);
    NextStatus(o.client, o.pipes.interruptIn);
    auto on = o.client.classOut(0x23, 0xFFFF);
    ASSERT_EQ(o.client.call(*on), STATUS_SUCCESS);
    EXPECT_TRUE(peer.chipBreakOn());
    auto off = o.client.classOut(0x23, 0);
    ASSERT_EQ(o.client.call(*off), STATUS_SUCCESS);
    EXPECT_FALSE(peer.chipBreakOn());

    peer.sendBreak(20 * kMillisecond);
    int status = NextStatus(o.client, o.pipes.interruptIn);
    EXPECT_TRUE(status & 0x04);
}

// Newer chips decode divisor codes (their rates are shown row by row through COM3); older ones
// refuse them, and a refused coding changes nothing. Two stop bits are framed as two.
TEST(SerialLine, OlderChipsRefuseDivisorCodesAndBadCodingsAndFrameTwoStopBits) {
    emu::Machine machine;
    Opened older(1);
    ASSERT_EQ(older.client.lineCoding(9600, 0, 0, 8), STATUS_SUCCESS);
    EXPECT_EQ(older.client.lineCoding(0x80000468, 0, 0, 8), STATUS_UNSUCCESSFUL);
    EXPECT_NEAR(older.device.chip().format().baud(), 9600, 1e-9);
    EXPECT_EQ(older.client.lineCoding(9600, 0, 0, 9), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(older.client.lineCoding(9600, 2, 1, 7), STATUS_SUCCESS);  // 7O2: two stop bits in the frame
    EXPECT_EQ(older.device.chip().format().frameHalfBits(), 2u * (1 + 7 + 1) + 4);
    ASSERT_EQ(older.client.lineCoding(0, 0, 0, 8), STATUS_SUCCESS);
    EXPECT_FALSE(older.device.chip().format().running());
}

// A character reaches the record when its last stop bit ends, after a line that changed while it
// was on the wire: the dump still has each change at its own time, among the character's bits.
TEST(SerialLine, LineCaptureKeepsAChangeMadeMidCharacterAmongItsBits) {
    emu::Machine machine;
    Opened o(2);
    const WireFormat format = WireFormat::Rate(9600, 7, Parity::Even);
    ScriptedPeer peer(o.device.chip(), format);
    ASSERT_EQ(o.client.lineCoding(9600, 0, 2, 7), STATUS_SUCCESS);
    const std::string path = testing::TempDir() + "mid_character.vcd";
    const int64_t zero = machine.now();
    const int64_t start = zero + kMillisecond, bit = int64_t(format.bitTime()), cts = start + 9 * bit / 2;
    {
        LineCapture capture(path);
        capture.attach(o.device.chip());
        peer.send({0x35}, start);
        Delay(cts - machine.now());
        peer.setLines({.cts = true});
        Delay(2 * kMillisecond);
        capture.detach();
        ASSERT_TRUE(capture.finish()) << capture.error();
    }
    std::map<char, std::map<int64_t, int>> changes;  // by signal code: time -> level
    std::ifstream in(path);
    int64_t at = -1, previous = -1;
    for (std::string l; std::getline(in, l);) {
        if (l.size() > 1 && l[0] == '#') {
            at = std::stoll(l.substr(1));
            EXPECT_GT(at, previous) << "time goes forward";
            previous = at;
        } else if (at >= 0 && l.size() == 2) {
            changes[l[1]][at] = l[0] - '0';
        }
    }
    auto level = [&](char code, int64_t t) {
        auto &c = changes[code];
        auto it = c.upper_bound(t - zero);
        return it == c.begin() ? -1 : std::prev(it)->second;
    };
    // Start, 0x35 in seven bits from bit 0, even parity (four ones: 0), stop.
    const int expected[] = {0, 1, 0, 1, 0, 1, 1, 0, 0, 1};
    for (int i = 0; i < 10; i++) EXPECT_EQ(level('"', start + i * bit + bit / 2), expected[i]) << "rx bit " << i;
    EXPECT_EQ(level('$', cts - 1), 0);
    EXPECT_EQ(level('$', cts), 1) << "CTS rises at its time, in the middle of the character";
}

// A looped-back stream is played out in batches: every character keeps the time the line gives it,
// through frame boundaries and through a rate change made while the FIFO still holds characters;
// it arrives as it ends, and the bus finds it in the first frame after that.
TEST(SerialLine, LoopedBackCharactersKeepTheirTimesAcrossFramesAndARateChange) {
    emu::Machine machine;
    Opened o(2);
    Loopback plug(o.device.chip(), LoopbackWiring::DataOnly());
    ASSERT_EQ(o.client.lineCoding(115200, 0, 0, 8), STATUS_SUCCESS);
    std::vector<UCHAR> data(40);
    for (size_t i = 0; i < data.size(); i++) data[i] = UCHAR(0xA0 + i);
    std::vector<int64_t> deliveredAt;
    emu::Thread reader(
        [&] {
            while (deliveredAt.size() < data.size()) {
                auto r = o.client.read(o.pipes.bulkIn, 384);
                if (o.client.call(*r) != STATUS_SUCCESS) return;
                deliveredAt.insert(deliveredAt.end(), r->length(), r->completedAt);
            }
        },
        "reader");
    auto w = o.client.transfer(o.pipes.bulkOut, 0, data);
    ASSERT_EQ(o.client.call(*w), STATUS_SUCCESS);
    Delay(kMillisecond);
    ASSERT_EQ(o.client.lineCoding(57600, 0, 0, 8), STATUS_SUCCESS);
    reader.join();
    ASSERT_EQ(deliveredAt.size(), data.size());

    std::vector<LineEvent> sent, received;
    for (const LineEvent &e : o.device.chip().lineLog()) {
        if (e.kind == LineEvent::Sent) sent.push_back(e);
        if (e.kind == LineEvent::Received) received.push_back(e);
    }
    ASSERT_EQ(sent.size(), data.size());
    ASSERT_EQ(received.size(), data.size());
    const WireFormat fast = WireFormat::Rate(115200), slow = WireFormat::Rate(57600);
    int64_t base = sent[0].time - fast.charTime();
    size_t switchedAt = 0;
    for (size_t i = 0; i < sent.size(); i++) {
        SCOPED_TRACE(i);
        if (!switchedAt && i > 0 && sent[i].time != base + fast.duration(20 * (i + 1))) {
            switchedAt = i;
            base = sent[i - 1].time;
        }
        const WireFormat &f = switchedAt ? slow : fast;
        const uint64_t chars = switchedAt ? i - switchedAt + 1 : i + 1;
        EXPECT_EQ(std::tuple(sent[i].time, sent[i].data, received[i].time),
                  std::tuple(base + f.duration(f.frameHalfBits() * chars), data[i], sent[i].time));
        EXPECT_LT(deliveredAt[i] - kFrame, sent[i].time);
        EXPECT_GE(deliveredAt[i], sent[i].time);
    }
    ASSERT_GT(switchedAt, 1u) << "the rate changed while characters were still to go";
    // The one on the wire when the receiver changed rate is decoded at the new one, as garbage.
    for (size_t i = 0; i < data.size(); i++)
        if (i != switchedAt - 1) { EXPECT_EQ(received[i].data, data[i]) << i; }
}

// A looped-back stream whose line nobody records is played a run of characters at a time; a
// recorded one goes character by character. The bus sees the same either way: each read's bytes
// and time, the write's end, the losses and the status word, through receive flow marks and their
// flow characters, a data XON, an overrun, a rate change, a break and seven-bit characters.
TEST(SerialLine, AnUnrecordedLoopbackLooksToTheBusAsARecordedOne) {
    enum Change { None, Rate, Break };
    struct Case {
        const char *name;
        USHORT flow;  // register 0
        UCHAR bits;
        size_t bytes;
        int64_t readAfter;
        Change change;
    };
    const Case cases[] = {
        {"plain, the FIFO's room signalled packet by packet", 0x00, 8, 700, 0, None},
        {"RTS follows the FIFO into CTS", 0x61, 8, 200, 15 * kMillisecond, None},
        {"chip-side XON/XOFF, a data XON among the data", 0xC1, 8, 200, 15 * kMillisecond, None},
        {"overrun", 0x00, 8, 150, 20 * kMillisecond, None},
        {"rate change mid-stream", 0x00, 8, 100, 0, Rate},
        {"break mid-stream", 0x00, 8, 100, 0, Break},
        {"seven data bits", 0x00, 7, 100, 0, None},
    };
    struct Trace {
        std::vector<std::pair<int64_t, std::vector<UCHAR>>> reads;
        int64_t written = -1;
        uint64_t overrun = 0, stopped = 0;
        uint16_t status = 0;
        bool operator==(const Trace &) const = default;
    };
    auto run = [](const Case &c, bool recorded) {
        emu::Machine machine;
        ChipConfig config = ChipConfig::Variant(2);
        config.rxFifoSize = 64;  // marks at 16 and 48
        config.keepLineLog = recorded;
        Opened o(2, config);
        Loopback plug(o.device.chip());
        EXPECT_EQ(o.client.lineCoding(115200, 0, 0, c.bits), STATUS_SUCCESS);
        EXPECT_EQ(o.client.controlLines(0x03), STATUS_SUCCESS);
        EXPECT_EQ(o.client.vendorWrite(0x0000, c.flow), STATUS_SUCCESS);
        std::vector<UCHAR> data(c.bytes);
        for (size_t i = 0; i < data.size(); i++) data[i] = UCHAR(0x20 + i * 7 % 0xD0);
        data[30] = 0x11;
        Trace trace;
        const int64_t zero = machine.now(), end = zero + 120 * kMillisecond;
        emu::Thread reader(
            [&] {
                Delay(c.readAfter);
                while (machine.now() < end) {
                    auto r = o.client.read(o.pipes.bulkIn, 64);
                    o.client.start(*r);
                    if (!o.client.wait(*r, end - machine.now())) break;
                    const auto got = r->buffer.begin();
                    if (r->length()) trace.reads.emplace_back(r->completedAt - zero, std::vector<UCHAR>(got, got + r->length()));
                }
            },
            "reader");
        auto w = o.client.transfer(o.pipes.bulkOut, 0, data);
        o.client.start(*w);
        if (c.change != None) {
            Delay(2 * kMillisecond);
            if (c.change == Rate) {
                EXPECT_EQ(o.client.lineCoding(57600, 0, 0, c.bits), STATUS_SUCCESS);
            } else {
                auto on = o.client.classOut(0x23, 0xFFFF);
                EXPECT_EQ(o.client.call(*on), STATUS_SUCCESS);
                Delay(kMillisecond);
                auto off = o.client.classOut(0x23, 0);
                EXPECT_EQ(o.client.call(*off), STATUS_SUCCESS);
            }
        }
        if (o.client.wait(*w, end - machine.now())) trace.written = w->completedAt - zero;
        reader.join();
        const BridgeChip::Losses lost = o.device.chip().losses();
        trace.overrun = lost.overrun;
        trace.stopped = lost.stopped;
        trace.status = o.device.chip().statusWord();
        return trace;
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Trace recorded = run(c, true), unrecorded = run(c, false);
        EXPECT_NE(recorded.written, -1);
        EXPECT_FALSE(recorded.reads.empty());
        EXPECT_TRUE(recorded == unrecorded);
    }
}

}  // namespace
}  // namespace devtest
