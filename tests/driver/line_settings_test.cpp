// Rate and line control through the routines themselves on a plugged chip; the rate table row
// by row is shown through COM3 (tests/port).
#include "tests/driver/pnp_test_support.h"
#include "usb/syncrequest.h"

namespace pt {
namespace {

// Below the midpoint of the last two rows rounds down to 0; the midpoint itself matches neither.
// (The rest of the nearest-rate search is shown through COM3.)
TEST(RateTables, NearestRateSearchBelowTheLastMidpoint) {
    ULONG rate = 36, row = 99;
    ASSERT_TRUE(MatchStandardRate(&rate, &row));
    EXPECT_EQ(StandardRateTable[row].Rate, 0u);
    rate = 37;
    EXPECT_FALSE(MatchStandardRate(&rate, &row));
    EXPECT_EQ(rate, 37u);
}

class LineSettings : public Com3Test {
protected:
    void Plug(int type, const char16_t *extBaudrate = nullptr) {
        if (extBaudrate) {
            registry.SetString(emu::IoManager::ServiceKeyPath(u"miravo"), u"ExtBaudrate", extBaudrate);
            ASSERT_EQ(ReadDriverSettings(&DriverGlobals.RegistryPath), STATUS_SUCCESS);
        }
        Com3Test::Plug(type);
    }
    // The SET_LINE_CODING requests the chip received.
    std::vector<std::vector<uint8_t>> Codings() {
        std::vector<std::vector<uint8_t>> out;
        for (const UrbRecord &r : device->bus().urbLog())
            if (r.hasSetup && r.setup.bRequest == 0x20) out.push_back(r.data);
        return out;
    }
    ULONG SentRate() {
        const auto d = Codings().back();
        return ULONG(d[0]) | ULONG(d[1]) << 8 | ULONG(d[2]) << 16 | ULONG(d[3]) << 24;
    }
    ULONG Apply(ULONG rate) {
        SetBaudRate(port, rate);
        SERIAL_BAUD_RATE b;
        GetBaudRate(port, &b);
        return b.BaudRate;
    }
};

TEST_F(LineSettings, RateChangesSettleAndWhatCannotGoOutChangesNothing) {
    Plug(2, u"250000,7 500000,8");
    // An extended rate is reported as asked, sent as the chip's value and writes in larger chunks.
    EXPECT_EQ(Apply(500000), 500000u);
    EXPECT_EQ(SentRate(), 8u);
    EXPECT_EQ(port->MaxWriteChunk, 4096u);
    EXPECT_EQ(Apply(9600), 9600u);
    EXPECT_EQ(port->MaxWriteChunk, 256u);

    int64_t start = machine.now();
    SetBaudRate(port, 19200);
    EXPECT_GE(machine.now() - start, 50 * kMs) << "a rate change lets the chip settle";
    EXPECT_LT(machine.now() - start, 55 * kMs);
    start = machine.now();
    SendLineCoding(port);
    EXPECT_LT(machine.now() - start, 5 * kMs);
    size_t sent = Codings().size();
    SetBaudRate(port, 19200);
    SetBaudRate(port, 0);
    EXPECT_EQ(Codings().size(), sent) << "an unchanged or zero rate sends nothing";

    // Without memory for the request the old rate stays, though the coding holds the new one.
    pool.failTag(MIRAVO_POOL_TAG, 1);
    EXPECT_EQ(SetBaudRate(port, 38400), STATUS_INSUFFICIENT_RESOURCES);
    pool.clearFaults();
    EXPECT_EQ(port->CurrentBaud, 19200u);
    EXPECT_EQ(port->LineCoding[0] | port->LineCoding[1] << 8, 38400);
    EXPECT_EQ(Codings().size(), sent);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS rate = SetBaudRate(port, 9600);
    NTSTATUS coding = SendLineCoding(port);
    KeLowerIrql(old);
    EXPECT_EQ(std::tuple(rate, coding), std::tuple(STATUS_UNSUCCESSFUL, STATUS_SUCCESS));
    EXPECT_EQ(Codings().size(), sent);
    EXPECT_EQ(port->CurrentBaud, 19200u);

    // A chip that never answers: the request is taken back after three seconds; the port keeps the
    // rate it was asked for.
    device->bus().addFault(FaultRule::ForRequest(0x20).pendForever());
    start = machine.now();
    EXPECT_EQ(Apply(57600), 57600u);
    EXPECT_GE(machine.now() - start, 3000 * kMs);
    device->bus().clearFaults();
}

TEST_F(LineSettings, LineControlEncodingReadBackAndRepeats) {
    struct Case {
        SERIAL_LINE_CONTROL in;
        NTSTATUS status;
        UCHAR lineControl, mask;
        std::vector<uint8_t> coding;  // stop, parity, data bits as sent
    } cases[] = {
        {{STOP_BIT_1, NO_PARITY, 8}, STATUS_SUCCESS, 0x03, 0xFF, {0, 0, 8}},
        {{STOP_BIT_1, MARK_PARITY, 7}, STATUS_SUCCESS, 0x2A, 0x7F, {0, 3, 7}},
        {{STOP_BITS_1_5, NO_PARITY, 5}, STATUS_SUCCESS, 0x04, 0x1F, {1, 0, 5}},
        {{STOP_BITS_2, SPACE_PARITY, 8}, STATUS_SUCCESS, 0x3F, 0xFF, {2, 4, 8}},
        {{STOP_BITS_2, ODD_PARITY, 6}, STATUS_SUCCESS, 0x0D, 0x3F, {2, 1, 6}},
        {{STOP_BITS_1_5, NO_PARITY, 6}, STATUS_INVALID_PARAMETER, 0, 0, {}},
        {{STOP_BITS_2, NO_PARITY, 5}, STATUS_INVALID_PARAMETER, 0, 0, {}},
        {{3, NO_PARITY, 8}, STATUS_INVALID_PARAMETER, 0, 0, {}},
        {{STOP_BIT_1, 5, 8}, STATUS_INVALID_PARAMETER, 0, 0, {}},
        {{STOP_BIT_1, NO_PARITY, 9}, STATUS_INVALID_PARAMETER, 0, 0, {}},
        {{STOP_BIT_1, NO_PARITY, 4}, STATUS_INVALID_PARAMETER, 0, 0, {}},
    };
    Plug(2);
    Apply(460800);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.in.StopBits) << " " << int(c.in.Parity) << " " << int(c.in.WordLength));
        const SERIAL_LINE_CONTROL before{STOP_BIT_1, EVEN_PARITY, 7};
        ASSERT_EQ(SetLineControl(port, &before), STATUS_SUCCESS);
        const UCHAR *bytes = reinterpret_cast<const UCHAR *>(&c.in);
        size_t sent = Codings().size();
        EXPECT_EQ(SetLineControl(port, &c.in), c.status);
        // Only an applied setting counts as a repeat.
        EXPECT_EQ(LineControlRepeats(port, bytes), c.status == STATUS_SUCCESS);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(std::tuple(port->LineControl, port->WmiCommData.BitsPerByte), std::tuple(0x1A, 7u));
            EXPECT_EQ(Codings().size(), sent);
            continue;
        }
        EXPECT_EQ(std::tuple(port->LineControl, port->ValidDataMask, port->WmiCommData.BitsPerByte),
                  std::tuple(c.lineControl, c.mask, c.in.WordLength));
        ASSERT_EQ(Codings().size(), sent + 1);
        std::vector<uint8_t> coding = {0xD0, 0x02, 0x00, 0x80};  // the last rate, 460800 as this chip takes it
        coding.insert(coding.end(), c.coding.begin(), c.coding.end());
        EXPECT_EQ(Codings().back(), coding);
        SERIAL_LINE_CONTROL back;
        GetLineControl(port, &back);
        EXPECT_EQ(std::vector<UCHAR>({back.StopBits, back.Parity, back.WordLength}),
                  std::vector<UCHAR>({c.in.StopBits, c.in.Parity, c.in.WordLength}));
    }
    const SERIAL_LINE_CONTROL mark{STOP_BIT_1, MARK_PARITY, 7};
    ASSERT_EQ(SetLineControl(port, &mark), STATUS_SUCCESS);
    EXPECT_EQ(port->WmiCommData.Parity, ULONG(SERIAL_WMI_PARITY_MARK));
    EXPECT_EQ(port->WmiCommData.StopBits, ULONG(SERIAL_WMI_STOP_1));
}

TEST_F(LineSettings, SynchronousRequestsReportWhatTheChipDidNotDo) {
    Plug(2);
    UCHAR value = 0x11;
    // An answer without its byte is no answer.
    device->bus().addFault(FaultRule::ForRequest(0x01).fail(USBD_STATUS_SUCCESS, STATUS_SUCCESS));
    EXPECT_EQ(VendorRead(port->DeviceObject, 0x8484, &value), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(value, 0x11);
    device->bus().clearFaults();
    device->bus().addFault(FaultRule::ForRequest(0x01).pendForever());
    int64_t start = machine.now();
    EXPECT_EQ(VendorWrite(port->DeviceObject, 0, 1), STATUS_IO_TIMEOUT);
    EXPECT_EQ(machine.now() - start, 3000 * kMs);
    device->bus().clearFaults();
    EXPECT_EQ(VendorWrite(port->DeviceObject, 0, 0x40), STATUS_SUCCESS);
    EXPECT_EQ(device->chip().reg(0), 0x40);
    // Refused at once by a bus whose device is gone.
    device->bus().unplug();
    EXPECT_EQ(VendorWrite(port->DeviceObject, 0, 0), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pnp.surpriseRemove(device->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(pnp.finishSurpriseRemoval(device->pdo()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace pt
