// The receive rules where a single bulk IN completion carries many characters: what the one pass
// over its bytes must do at the points inside it where a rule acts.
#include <algorithm>

#include "receive/receive.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace {

class ReceivePass : public ComPort {
protected:
    void SetUp() override {
        Start({.farEnd = lab::FarEnd::Nothing});
        OpenAt(115200);
        port = bench->port();
    }
    // The bytes as one completion hands them to the receive path.
    void Complete(std::vector<uint8_t> bytes) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        ReceiveBytes(port, bytes.data(), ULONG(bytes.size()));
        KeLowerIrql(irql);
        SleepFor(kMs);  // the DPCs it queued run
    }
    std::vector<uint8_t> Read(DWORD n) {
        std::vector<uint8_t> data(n);
        DWORD got = 0;
        EXPECT_TRUE(SyncIo(true, data.data(), n, &got));
        data.resize(got);
        return data;
    }
    PortExtension *port = nullptr;
};

TEST_F(ReceivePass, RulesActAtTheirCharacterInsideOneCompletion) {
    // An XOFF counter ends on its fifth character, though all ten come in one completion.
    Overlapped counter;
    SERIAL_XOFF_COUNTER record{0, 5, 0x13};
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_SERIAL_XOFF_COUNTER, &record, sizeof(record), nullptr, 0, nullptr, &counter.ov));
    SleepFor(10 * kMs);  // its XOFF leaves; the count starts
    EXPECT_FALSE(counter.done());
    Complete(std::vector<uint8_t>(10, 'x'));
    EXPECT_TRUE(counter.done());
    EXPECT_EQ(Finish(counter), ERROR_SUCCESS);
    EXPECT_EQ(Read(10), std::vector<uint8_t>(10, 'x'));

    // A read filled in the middle of a completion takes its share; the rest, 7-bit masked and
    // with escape characters at both edges of completions, goes to the ring in order.
    SERIAL_LINE_CONTROL sevenBits{STOP_BIT_1, NO_PARITY, 7};
    UCHAR escape = 0x1B;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &sevenBits, sizeof(sevenBits)) &&
                Ioctl(IOCTL_SERIAL_LSRMST_INSERT, &escape, sizeof(escape)));
    Overlapped reading;
    std::vector<uint8_t> first(4);
    EXPECT_FALSE(ReadFile(h, first.data(), DWORD(first.size()), nullptr, &reading.ov));
    Complete({0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0x9B});
    DWORD got = 0;
    EXPECT_EQ(Finish(reading, &got), ERROR_SUCCESS);
    EXPECT_EQ(first, (std::vector<uint8_t>{0x41, 0x42, 0x43, 0x44}));
    Complete({0x1B, 0xC6});
    EXPECT_EQ(Read(6), (std::vector<uint8_t>{0x45, 0x1B, SERIAL_LSRMST_ESCAPE, 0x1B, SERIAL_LSRMST_ESCAPE, 0x46}));
    escape = 0;
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_LSRMST_INSERT, &escape, sizeof(escape)));

    // A wait armed before a completion that crosses the 80% mark hears of its first character,
    // as with the characters one at a time; the mark and the rest are the next wait's.
    ULONG mark = port->RxEightyPercent;
    for (ULONG filled = 0; filled < mark - 10; filled += 100) Complete(std::vector<uint8_t>(std::min<ULONG>(100, mark - 10 - filled), 'y'));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_RX80FULL));
    Overlapped wait;
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, &wait.ov));
    Complete(std::vector<uint8_t>(20, 'y'));
    EXPECT_EQ(Finish(wait), ERROR_SUCCESS);
    EXPECT_EQ(events, DWORD(EV_RXCHAR));
    Overlapped next;
    WaitCommEvent(h, &events, &next.ov);
    EXPECT_EQ(Finish(next), ERROR_SUCCESS);
    EXPECT_EQ(events, DWORD(EV_RXCHAR | EV_RX80FULL));
}

}  // namespace
}  // namespace port_test
