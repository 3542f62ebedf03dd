// Serial device-control requests through the Win32 side on an opened type-2 port.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

using namespace win32;

class IoctlTest : public Com3Test {
protected:
    void SetUp() override {
        PnpTest::SetUp();
        Plug();
        h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
    }
    template <class T> DWORD Set(DWORD code, const T &value) {
        return Call(code, &value, sizeof(T), nullptr, 0).first;
    }
    template <class T> T Get(DWORD code) {
        T value;
        std::memset(&value, 0xAA, sizeof(value));
        auto r = Call(code, nullptr, 0, &value, sizeof(T));
        EXPECT_EQ(r, std::make_pair(DWORD(0), DWORD(sizeof(T)))) << std::hex << code;
        return value;
    }
    // Out through the plug and back into the ring, at 115200 8N1.
    void Loop(const char *text) {
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{115200}), 0u);
        ASSERT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), 0u);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, text, DWORD(strlen(text)), &n, nullptr));
        Sleep(50);
    }
};

TEST_F(IoctlTest, BufferChecksAndReturnedLengthsByCode) {
    struct Row { DWORD code; DWORD in, out; std::vector<uint8_t> payload; DWORD error, returned; };
    std::vector<Row> rows = {
        // The length test comes before the buffer test here.
        {IOCTL_SERIAL_SET_BAUD_RATE, 0, 0, {}, kShort, 0},
        {IOCTL_SERIAL_SET_BAUD_RATE, 3, 0, {}, kShort, 0},
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, {0x80, 0x25}, kOk, 0},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 0, {}, kBad, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 0, 0, {}, kBad, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 2, 0, {0, 0}, kShort, 0},
        // A refused setting is refused again when repeated; all zero is no setting either.
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {0, 0, 0}, kBad, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {0, 0, 9}, kBad, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {0, 0, 9}, kBad, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {0, 0, 7}, kOk, 0},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, 0, 0, {}, kShort, 0},
        {IOCTL_SERIAL_RESET_DEVICE, 0, 0, {}, kOk, 0},
        {IOCTL_SERIAL_PURGE, 3, 0, {}, kShort, 0},
        {IOCTL_SERIAL_SET_CHARS, 5, 0, {}, kShort, 0},
        {IOCTL_SERIAL_SET_CHARS, 6, 0, {0, 0, 0, 0, 0x11, 0x13}, kOk, 0},
        {IOCTL_SERIAL_XOFF_COUNTER, 11, 0, {}, kShort, 0},
        {IOCTL_SERIAL_XOFF_COUNTER, 12, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0x13}, kBad, 0},
        {IOCTL_SERIAL_XOFF_COUNTER, 12, 0, {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x13}, kBad, 0},
        {IOCTL_SERIAL_LSRMST_INSERT, 0, 0, {}, kBad, 0},
        {IOCTL_SERIAL_LSRMST_INSERT, 1, 0, {0}, kOk, 0},
        {IOCTL_SERIAL_GET_COMMCONFIG, 0, 64, {}, kBad, 0},
        {IOCTL_SERIAL_SET_COMMCONFIG, 64, 0, {}, kBad, 0},
        {IOCTL_SERIAL_CLEAR_STATS, 0, 0, {}, kOk, 0},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, {}, kBad, 0},
        {IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0, {}, kOk, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, {}, kBad, 0},  // no mask yet
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 3, {}, kShort, 0},
        {IOCTL_SERIAL_SET_WAIT_MASK, 0, 0, {}, kShort, 0},
        {IOCTL_SERIAL_SET_WAIT_MASK, 3, 0, {1}, kShort, 0},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, {0, 0x20}, kBad, 0},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, {0xFF, 0x1F}, kOk, 0},
        // Codes outside the table.
        {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0, METHOD_BUFFERED, FILE_ANY_ACCESS), 0, 0, {}, kBad, 0},
        {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS), 4, 4, {}, kBad, 0},
        {0x222038, 4, 4, {}, kBad, 0},
    };
    // Fixed sizes, in and out: one byte short is refused as short, the exact size is served.
    const std::tuple<DWORD, DWORD, DWORD> sizes[] = {
        {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0}, {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},  {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},  {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3}, {IOCTL_SERIAL_GET_CHARS, 0, 6},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20}, {IOCTL_SERIAL_GET_PROPERTIES, 0, 64}, {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
        {IOCTL_SERIAL_GET_STATS, 0, 24},     {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4}};
    for (auto [code, in, out] : sizes) {
        rows.push_back({code, in ? in - 1 : 0, out ? out - 1 : 0, {}, kShort, 0});
        rows.push_back({code, in, out, {}, kOk, out});
    }
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << "code 0x" << r.code << std::dec << " in " << r.in
                                        << " out " << r.out);
        uint8_t in[128] = {}, out[128] = {};
        if (!r.payload.empty()) std::memcpy(in, r.payload.data(), r.payload.size());
        auto got = Call(r.code, r.in ? in : nullptr, r.in, r.out ? out : nullptr, r.out);
        EXPECT_EQ(got, std::make_pair(r.error, r.returned));
    }
}

TEST_F(IoctlTest, TimeoutsRoundTripAndAllWaitForeverIsRefused) {
    const SERIAL_TIMEOUTS set = {1, 2, 3, 4, 5};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, set), kOk);
    SERIAL_TIMEOUTS got = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(std::memcmp(&got, &set, sizeof(set)), 0);

    const SERIAL_TIMEOUTS refused = {MAXULONG, MAXULONG, MAXULONG, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, refused), kBad);
    const SERIAL_TIMEOUTS returnAtOnce = {MAXULONG, 0, 0, 0, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, returnAtOnce), kOk);
    got = Get<SERIAL_TIMEOUTS>(IOCTL_SERIAL_GET_TIMEOUTS);
    EXPECT_EQ(std::memcmp(&got, &returnAtOnce, sizeof(got)), 0);
}

TEST_F(IoctlTest, StatisticsCountBothWaysAndClear) {
    ASSERT_EQ(Set(IOCTL_SERIAL_CLEAR_STATS, 0), kOk);  // ignores its input
    Loop("0123456789");
    SERIALPERF_STATS s = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(s.TransmittedCount, 10u);
    EXPECT_EQ(s.ReceivedCount, 10u);
    EXPECT_EQ(s.FrameErrorCount + s.ParityErrorCount + s.SerialOverrunErrorCount + s.BufferOverrunErrorCount, 0u);
    EXPECT_EQ(Call(IOCTL_SERIAL_CLEAR_STATS, nullptr, 0, nullptr, 0).first, kOk);
    s = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(s.TransmittedCount + s.ReceivedCount, 0u);
    EXPECT_EQ(port->WmiPerfData.ReceivedCount + port->WmiPerfData.TransmittedCount, 0u);
}

TEST_F(IoctlTest, PropertiesDescribeTheBridge) {
    SERIAL_COMMPROP p = Get<SERIAL_COMMPROP>(IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(std::vector<ULONG>({p.PacketLength, p.PacketVersion, p.ServiceMask, p.MaxBaud, p.ProvSubType,
                                  p.ProvCapabilities, p.SettableParams, p.SettableBaud, p.SettableData,
                                  p.SettableStopParity, p.CurrentRxQueue}),
              std::vector<ULONG>({64, 2, 1, 0x10000000, 1, 0xFF, 0x7F, 0x10067FF9, 0x000F, 0x1F07, port->RxBufferSize}));
    EXPECT_EQ(p.MaxTxQueue + p.MaxRxQueue + p.CurrentTxQueue + p.ProvSpec1 + p.ProvSpec2 + p.ProvChar[0], 0u);
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);
}

TEST_F(IoctlTest, EscapeCharacterAndFlowCharactersExcludeEachOther) {
    SERIAL_CHARS chars = Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(std::tuple(chars.XonChar, chars.XoffChar), std::tuple(0x11, 0x13));
    EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR(0x13)), kBad);
    EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR(0x55)), kOk);
    EXPECT_EQ(port->EscapeChar, 0x55);

    SERIAL_CHARS clash = chars;
    clash.XonChar = 0x55;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, clash), kBad);
    EXPECT_EQ(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS).XonChar, 0x11);

    EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, UCHAR(0)), kOk);
    size_t before = device->bus().urbLog().size();
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, clash), kOk);
    EXPECT_EQ(Get<SERIAL_CHARS>(IOCTL_SERIAL_GET_CHARS).XonChar, 0x55);
    EXPECT_EQ(port->WmiCommData.XonCharacter, 0x55u);
    auto log = device->bus().urbLog();
    EXPECT_TRUE(std::any_of(log.begin() + before, log.end(), [](const UrbRecord &u) {
        return u.hasSetup && u.setup.bRequest == 0x01 && u.setup.wValue == 0x0505 && u.setup.wIndex == 0x1355;
    }));
}

TEST_F(IoctlTest, ClosedPortAndErrorAbortRefuseRequests) {
    port->IsOpen = FALSE;
    EXPECT_EQ(Call(IOCTL_SERIAL_GET_STATS, nullptr, 0, nullptr, 0).first, ERROR_INVALID_FUNCTION);
    port->IsOpen = TRUE;

    // With SERIAL_ERROR_ABORT, a pending line error fails everything but the status request, which
    // reports the errors once and clears them.
    port->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    port->CommErrors = SERIAL_ERROR_PARITY;
    EXPECT_EQ(Call(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, nullptr, 0).first, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, ULONG(SERIAL_ERROR_PARITY));
    EXPECT_EQ(Get<ULONG>(IOCTL_SERIAL_CONFIG_SIZE), 0u);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
    port->HandFlow.ControlHandShake &= ~ULONG(SERIAL_ERROR_ABORT);
}

}  // namespace
}  // namespace pt
