// Modem control, break and handshake settings on a chip behind a loopback plug, and the line
// word's way to the chip from any IRQL.

#include "emulator/win32/comm.h"
#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

using namespace win32;
using emu::usb::LoopbackWiring;

constexpr ULONG kDtrOn = SERIAL_DTR_CONTROL, kRtsOn = SERIAL_RTS_CONTROL, kCts = SERIAL_CTS_HANDSHAKE | kDtrOn;

class ModemTest : public Com3Test {
protected:
    void Plug(int type, LoopbackWiring wiring = {}) {
        Com3Test::Plug(type, wiring);
        Open();
    }
    void Open() {
        openFlags = FILE_FLAG_OVERLAPPED;
        h = Com3Test::Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        SERIAL_BAUD_RATE rate{115200};
        ASSERT_EQ(Call(IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate)).first, kOk);
    }
    // With the limits an open gives the port's ring.
    SERIAL_HANDFLOW Flow(ULONG control, ULONG flow) { return {control, flow, Size() / 2, Size() / 8}; }
    DWORD SetFlow(ULONG control, ULONG flow) {
        SERIAL_HANDFLOW f = Flow(control, flow);
        return Call(IOCTL_SERIAL_SET_HANDFLOW, &f, sizeof(f)).first;
    }
    LONG Size() const { return LONG(port->RxBufferSize); }
    ULONG Holds() {
        SERIAL_STATUS st{};
        EXPECT_EQ(Call(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &st, sizeof(st)).first, kOk);
        return st.HoldReasons;
    }
    // The wValues of the SET_CONTROL_LINE_STATE requests from entry `from` of the bus's log on.
    std::vector<uint16_t> LineWords(size_t from) {
        std::vector<uint16_t> words;
        auto log = device->bus().urbLog();
        for (size_t i = from; i < log.size(); i++)
            if (log[i].hasSetup && log[i].setup.bRequest == 0x22) words.push_back(log[i].setup.wValue);
        return words;
    }
};

TEST_F(ModemTest, RowsCheckBuffersRefuseTheHandshakesLinesAndReadBack) {
    Plug(2);
    ASSERT_EQ(Call(IOCTL_SERIAL_LSRMST_INSERT, "\xFF", 1).first, kOk);
    struct Row {
        DWORD code, in, out;
        SERIAL_HANDFLOW payload;  // or the first word
        DWORD error, returned;
        int dtr, rts;                      // the chip's lines afterwards (-1 unchecked)
        ULONG value = 0xFFFFFFFF;          // the first word read back, when checked
        std::vector<uint16_t> words = {};  // line words sent, when checked
    };
    const SERIAL_HANDFLOW none{}, word0b{0x0B, 0, 0, 0}, both = Flow(SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE);
    const Row rows[] = {
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4, none, kOk, 4, 1, 1, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, word0b, kOk, 0, 1, 1, 0xFFFFFFFF, {0x0B, 0x0B}},
        {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, none, kOk, 4, 1, 1, 0x0B},
        {IOCTL_SERIAL_CLR_DTR, 0, 0, none, kOk, 0, 0, 1, 0xFFFFFFFF, {0x0A}},
        {IOCTL_SERIAL_CLR_RTS, 0, 0, none, kOk, 0, 0, 0},
        {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, none, kOk, 0, 0, 0},
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4, none, kOk, 4, 0, 0, 0},
        // Refused settings change nothing: the limits within the ring, DTR's two bits not both
        // set, no error character beside an escape character; a check before anything is sent.
        {IOCTL_SERIAL_SET_HANDFLOW, 15, 0, both, kShort, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 0, 0, both, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {SERIAL_DTR_MASK, 0, 0, 0}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {kDtrOn, 0x100, 0, 0}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {0x100, 0, 0, 0}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {kDtrOn, 0, -1, 0}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {kDtrOn, 0, Size() + 1, 0}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {kDtrOn, 0, 0, Size() + 1}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, {kDtrOn, SERIAL_ERROR_CHAR, 0, 0}, kBad, 0, 0, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, none, kOk, 16, 0, 0, kDtrOn},
        // Both handshakes: the lines come up below the XOFF level, and only the handshake moves them.
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, both, kOk, 0, 1, 1},
        {IOCTL_SERIAL_CLR_DTR, 0, 0, none, kBad, 0, 1, 1},
        {IOCTL_SERIAL_SET_DTR, 0, 0, none, kBad, 0, 1, 1},
        {IOCTL_SERIAL_CLR_RTS, 0, 0, none, kBad, 0, 1, 1},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, Flow(kDtrOn, SERIAL_TRANSMIT_TOGGLE), kOk, 0, 1, -1},
        {IOCTL_SERIAL_SET_RTS, 0, 0, none, kBad, 0, 1, -1},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 15, none, kShort, 0, 1, -1},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 3, none, kShort, 0, 1, -1},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, none, kOk, 4, 1, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << r.code << " " << r.payload.ControlHandShake);
        ULONG out[8] = {0xAAAAAAAA};
        Sleep(10);  // transmit toggle drops RTS on its own: that request is not the row's
        size_t before = device->bus().urbLog().size();
        EXPECT_EQ(Call(r.code, r.in ? &r.payload : nullptr, r.in, r.out ? out : nullptr, r.out),
                  std::make_pair(r.error, r.returned));
        if (r.dtr >= 0) { EXPECT_EQ(device->chip().dtr(), r.dtr == 1); }
        if (r.rts >= 0) { EXPECT_EQ(device->chip().rts(), r.rts == 1); }
        if (r.value != 0xFFFFFFFF) { EXPECT_EQ(out[0], r.value); }
        if (r.error == kBad) { EXPECT_EQ(device->bus().urbLog().size(), before); }
        if (!r.words.empty()) { EXPECT_EQ(LineWords(before), r.words); }
    }
}

// reg(0) & 0xFC: bits 7-6 CTS (01) or XON/XOFF (11), 5-4 RTS follows the FIFO (10) or CTS with DSR
// (01), 3 DSR. Each switch leaves the others' fields alone, and a reopen puts back what was set.
TEST_F(ModemTest, HandshakesReachTheChipRegistersPerType) {
    constexpr ULONG kCtsDsr = kCts | SERIAL_DSR_HANDSHAKE;
    const struct Row {
        int type;
        std::vector<std::pair<ULONG, ULONG>> settings;
        bool reopen;
        int reg0, reg1;  // reg1 & 7, -1 unchecked
        bool rts;
    } rows[] = {
        {0, {{kCts, kRtsOn}}, false, 0x40, -1, true},
        {1, {{kDtrOn, SERIAL_RTS_HANDSHAKE}}, false, 0x00, -1, true},  // RTS in software only
        {2, {{kDtrOn, SERIAL_RTS_HANDSHAKE}}, false, 0x20, -1, true},
        {3, {{kCtsDsr, kRtsOn}}, false, 0x58, 7, true},
        {3, {{SERIAL_DSR_HANDSHAKE | kDtrOn, kRtsOn}}, false, 0x08, 5, true},  // DSR alone gates on DSR alone
        {3, {{kCts, SERIAL_RTS_HANDSHAKE}, {kCtsDsr, SERIAL_RTS_HANDSHAKE}}, false, 0x68, 7, true},
        {2, {{kCts, kRtsOn | SERIAL_AUTO_RECEIVE}}, false, 0xC0, -1, true},
        {2, {{kCts, kRtsOn | SERIAL_AUTO_RECEIVE}, {kCts, kRtsOn}}, false, 0x40, -1, true},
        {2, {{kCts, SERIAL_RTS_HANDSHAKE}}, true, 0x60, -1, true},
        {4, {{kDtrOn, kRtsOn | SERIAL_AUTO_RECEIVE}}, true, 0xC0, -1, true},
        {2, {{kDtrOn, 0}}, true, 0x00, -1, false},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << ", " << r.settings.size() << " settings"
                                        << (r.reopen ? " and a reopen" : ""));
        Plug(r.type);
        for (auto [control, flow] : r.settings) EXPECT_EQ(SetFlow(control, flow), kOk);
        if (r.reopen) {
            Close();
            EXPECT_EQ(device->chip().reg(0) & 0xFC, 0);  // close switches every handshake off
            Open();
        }
        EXPECT_EQ(device->chip().reg(0) & 0xFC, r.reg0);
        if (r.reg1 >= 0) { EXPECT_EQ(device->chip().reg(1) & 7, r.reg1); }
        EXPECT_EQ(port->RegisterShadow[0], device->chip().reg(0));
        EXPECT_EQ(device->chip().rts(), r.rts);
    }
}

// A write parked behind a transmit hold goes as soon as the hold is given back, without waiting for a line to change;
// a receive hold given back by a new setting restarts the receive pipe, or what waits in the chip never arrives.
TEST_F(ModemTest, HoldsGivenBackBySettingsLetTheHeldDataMove) {
    for (DWORD hold : {ULONG(SERIAL_TX_WAITING_FOR_XON), ULONG(SERIAL_TX_WAITING_FOR_CTS)}) {
        SCOPED_TRACE(hold);
        Plug(2, LoopbackWiring::DataOnly());  // CTS stays low
        EXPECT_EQ(hold == SERIAL_TX_WAITING_FOR_XON ? Call(IOCTL_SERIAL_SET_XOFF, nullptr, 0).first
                                                     : SetFlow(kCts, kRtsOn), kOk);
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(WriteFile(h, "held", 4, nullptr, &ov));
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 100), WAIT_TIMEOUT);
        EXPECT_EQ(Holds(), hold);
        EXPECT_EQ(hold == SERIAL_TX_WAITING_FOR_XON ? Call(IOCTL_SERIAL_SET_XON, nullptr, 0).first
                                                     : SetFlow(kDtrOn, kRtsOn), kOk);
        EXPECT_EQ(WaitForSingleObject(ov.hEvent, 100), WAIT_OBJECT_0);
        CloseHandle(ov.hEvent);
    }
    Plug(2);
    ASSERT_EQ(SetFlow(kDtrOn, SERIAL_RTS_HANDSHAKE), kOk);
    std::vector<char> data(3 * Size(), 'r');
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    WriteFile(h, data.data(), DWORD(data.size()), nullptr, &ov);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    CloseHandle(ov.hEvent);
    Sleep(50);
    ASSERT_TRUE(port->RxHoldReasons & RX_HOLD_RTS);
    const ULONG held = port->RxRingCount;
    ASSERT_GT(device->chip().rxFifoLevel(), 0u);
    ASSERT_EQ(SetFlow(kDtrOn, kRtsOn), kOk);
    Sleep(50);
    EXPECT_GT(port->RxRingCount, held);
    EXPECT_EQ(device->chip().rxFifoLevel(), 0u);
}

// Close ends a break, switches the chip's handshakes off and drops both lines whatever the
// handshake says, and an RTS drop that never comes does not keep it waiting.
TEST_F(ModemTest, CloseTakesEverythingDownAndDoesNotWaitForever) {
    Plug(3);
    const ULONG everything = SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DTR_HANDSHAKE;
    ASSERT_EQ(SetFlow(everything, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE), kOk);
    ASSERT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(device->chip().breakOn());
    EXPECT_TRUE(Holds() & SERIAL_TX_WAITING_ON_BREAK);
    EXPECT_TRUE(device->chip().dtr() && (device->chip().reg(0) & 0xFC) && (device->chip().reg(1) & 7));
    port->RtsDropPending = 1;  // a drop cycle that never ends
    const int64_t start = machine.now();
    Close();
    EXPECT_LT(machine.now() - start, 500 * kMs);
    port->RtsDropPending = 0;
    EXPECT_FALSE(device->chip().breakOn() || device->chip().dtr() || device->chip().rts());
    EXPECT_EQ(device->chip().reg(0) & 0xFC, 0);
    EXPECT_EQ(device->chip().reg(1) & 7, 0);
    EXPECT_EQ(port->ModemControl & 3, 0);
    Open();
    size_t before = device->bus().urbLog().size();
    EXPECT_TRUE(ClearCommBreak(h));  // without a break: nothing is sent
    EXPECT_EQ(device->bus().urbLog().size(), before);
}

// The routines themselves on a started port that is not open.
class ModemRoutines : public ModemTest {
protected:
    void SetUp() override {
        ModemTest::SetUp();
        Com3Test::Plug(2);
    }
};

// Re-applied while the port is not open (as a restore does), a DTR or RTS handshake holds its line
// low at the XOFF level and, once held, releases it only when the ring has drained to XonLimit.
TEST_F(ModemRoutines, HandshakeLinesAreReleasedOnlyAtXonLimit) {
    const struct Row {
        ULONG count;
        bool heldBefore, heldAfter;
        int line;  // 0 lowered, 1 raised, -1 left alone
    } rows[] = {{3584, false, true, 0}, {3000, true, true, -1}, {2049, true, true, -1},
                {2048, true, false, 1}, {3000, false, false, 1}, {0, false, false, 1}};
    const SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512};
    UCHAR ring[1];
    for (const Row &r : rows) {
        SCOPED_TRACE(r.count);
        port->RxRingStart = ring;  // only its presence counts here
        port->RxBufferSize = 4096;
        port->RxRingCount = r.count;
        port->RxHoldReasons = r.heldBefore ? RX_HOLD_DTR | RX_HOLD_RTS : 0;
        size_t before = device->bus().urbLog().size();
        ApplyHandFlow(port, &flow);
        EXPECT_EQ(port->RxHoldReasons, r.heldAfter ? ULONG(RX_HOLD_DTR | RX_HOLD_RTS) : 0u);
        auto words = LineWords(before);
        EXPECT_EQ(words.empty(), r.line < 0);
        if (!words.empty()) { EXPECT_EQ(words.back() & 3, r.line ? 3 : 0); }
    }
    port->RxRingStart = nullptr;
    port->RxBufferSize = port->RxRingCount = port->RxHoldReasons = 0;
}

// The receive path changes lines at DISPATCH_LEVEL under its own locks: the change goes out from
// a DPC with the latest word, and a later change at PASSIVE_LEVEL still ends up last.
TEST_F(ModemRoutines, LineChangesUnderTheReceiveLocksReachTheChipInOrder) {
    auto last = [this](size_t from) { return LineWords(from).empty() ? -1 : LineWords(from).back(); };
    for (int round = 0; round < 20; round++) {
        size_t before = device->bus().urbLog().size();
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&port->RxLock);
        EXPECT_TRUE(SetDtr(port) && SetRts(port) && (round % 2 ? ClearDtr(port) : SetDtr(port)));
        KeReleaseSpinLockFromDpcLevel(&port->RxLock);
        KeReleaseSpinLock(&port->ControlLock, irql);
        Sleep(round % 2 ? 2 : 0);
        if (round % 2) { EXPECT_EQ(last(before), port->ModemControl); }
        EXPECT_TRUE(round % 3 ? SetRts(port) : ClearRts(port));
        Sleep(2);
        EXPECT_EQ(last(before), port->ModemControl);
        EXPECT_EQ(port->ModemControl, (round % 2 ? 0 : 1) | (round % 3 ? 2 : 0));
    }
}

}  // namespace
}  // namespace pt
