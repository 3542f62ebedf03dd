#include "tests/driver/driver_test_support.h"

namespace {

using dt::Bytes;
using dt::DriverTest;

class LineSettings : public DriverTest {
protected:
    PortExtension *port = nullptr;

    void Start(LONG chipType, const char16_t *extBaudrate = nullptr) {
        if (extBaudrate) registry.SetString(ServiceKey(), u"ExtBaudrate", extBaudrate);
        LoadDriver();
        port = AddPort();
        port->ChipType = chipType;
    }

    // The rate field of the last SET_LINE_CODING the chip received.
    ULONG SentRate() {
        const auto &d = bus.urbs.back().data;
        return ULONG(d[0]) | ULONG(d[1]) << 8 | ULONG(d[2]) << 16 | ULONG(d[3]) << 24;
    }
    ULONG Apply(ULONG rate) {
        SetBaudRate(port, rate);
        SERIAL_BAUD_RATE b;
        GetBaudRate(port, &b);
        return b.BaudRate;
    }
};

TEST(RateTables, NearestRateSearch) {
    struct Case {
        ULONG requested, applied;
    } cases[] = {{9600, 9600},       {100000, 115200}, {86400, 57600}, {86401, 115200}, {7000000, 6000000},
                 {0xFFFFFFFF, 6000000}, {50, 75},     {38, 75},       {36, 0},         {1, 0}};
    for (const Case &c : cases) {
        ULONG rate = c.requested, row = 99;
        ASSERT_TRUE(MatchStandardRate(&rate, &row)) << c.requested;
        EXPECT_EQ(rate, c.applied) << c.requested;
        EXPECT_EQ(StandardRateTable[row].Rate, c.applied);
    }
    ULONG rate = 37, row = 99;
    EXPECT_FALSE(MatchStandardRate(&rate, &row));
    EXPECT_EQ(rate, 37u);
}

TEST_F(LineSettings, ExtendedTableServesNewerChipsOnly) {
    Start(2, u"250000,7 500000,8");
    EXPECT_EQ(Apply(500000), 500000u);  // reported unrounded
    EXPECT_EQ(SentRate(), 8u);
    EXPECT_EQ(port->MaxWriteChunk, 4096u);
    port->ChipType = 1;
    EXPECT_EQ(Apply(250000), 268800u);  // nearest standard rate
    EXPECT_EQ(SentRate(), 268800u);
    EXPECT_EQ(port->MaxWriteChunk, 256u);
}

TEST_F(LineSettings, RateChangeSettlesFiftyMillisecondsAndAnUnchangedOrZeroRateSendsNothing) {
    Start(0);
    int64_t start = machine.now();
    SetBaudRate(port, 19200);
    EXPECT_EQ(machine.now() - start, 50 * dt::kMs);
    start = machine.now();
    SendLineCoding(port);
    EXPECT_EQ(machine.now() - start, 0);
    size_t sent = bus.urbs.size();
    SetBaudRate(port, 19200);
    SetBaudRate(port, 0);
    EXPECT_EQ(bus.urbs.size(), sent);
    EXPECT_EQ(port->CurrentBaud, 19200u);
}

TEST_F(LineSettings, OutOfMemoryKeepsOldRateButNewCoding) {
    Start(0);
    Apply(9600);
    pool.failTag(MIRAVO_POOL_TAG, 1);
    EXPECT_EQ(SetBaudRate(port, 19200), STATUS_INSUFFICIENT_RESOURCES);
    pool.clearFaults();
    EXPECT_EQ(port->CurrentBaud, 9600u);
    EXPECT_EQ(port->LineCoding[0] | port->LineCoding[1] << 8, 19200);
    EXPECT_EQ(bus.urbs.size(), 1u);
}

TEST_F(LineSettings, RaisedIrqlChangesNothing) {
    Start(0);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS rate = SetBaudRate(port, 9600);
    NTSTATUS coding = SendLineCoding(port);
    KeLowerIrql(old);
    EXPECT_EQ(rate, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(coding, STATUS_SUCCESS);
    EXPECT_TRUE(bus.urbs.empty());
    EXPECT_EQ(port->CurrentBaud, 0u);
}

TEST_F(LineSettings, LineControlEncodingAndReadBack) {
    struct Case {
        SERIAL_LINE_CONTROL in;
        NTSTATUS status;
        UCHAR lineControl, mask;
        std::vector<UCHAR> coding;  // stop, parity, data bits as sent
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
    Start(0);
    for (const Case &c : cases) {
        port->LineControl = 0x1A;
        port->ValidDataMask = 0x7F;
        size_t sent = bus.urbs.size();
        EXPECT_EQ(SetLineControl(port, &c.in), c.status);
        if (c.status != STATUS_SUCCESS) {
            EXPECT_EQ(port->LineControl, 0x1A);
            EXPECT_EQ(bus.urbs.size(), sent);
            continue;
        }
        EXPECT_EQ(port->LineControl, c.lineControl);
        EXPECT_EQ(port->ValidDataMask, c.mask);
        ASSERT_EQ(bus.urbs.size(), sent + 1);
        EXPECT_EQ(std::vector<UCHAR>(bus.urbs.back().data.begin() + 4, bus.urbs.back().data.end()), c.coding);
        SERIAL_LINE_CONTROL back;
        GetLineControl(port, &back);
        EXPECT_EQ(std::vector<UCHAR>({back.StopBits, back.Parity, back.WordLength}),
                  std::vector<UCHAR>({c.in.StopBits, c.in.Parity, c.in.WordLength}));
    }
}

TEST_F(LineSettings, LineCodingCarriesLastRateAndWmiMirrorsSettings) {
    Start(2);
    Apply(460800);
    SERIAL_LINE_CONTROL lc = {STOP_BIT_1, MARK_PARITY, 7};
    SetLineControl(port, &lc);
    EXPECT_EQ(bus.urbs.back().data, Bytes({0xD0, 0x02, 0x00, 0x80, 0, 3, 7}));
    EXPECT_EQ(port->WmiCommData.Parity, ULONG(SERIAL_WMI_PARITY_MARK));
    EXPECT_EQ(port->WmiCommData.BitsPerByte, 7u);
    EXPECT_EQ(port->WmiCommData.StopBits, ULONG(SERIAL_WMI_STOP_1));
    // A refused request changes none of them.
    SERIAL_LINE_CONTROL bad = {STOP_BITS_2, SPACE_PARITY, 5};
    EXPECT_EQ(SetLineControl(port, &bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port->WmiCommData.BitsPerByte, 7u);
    EXPECT_EQ(port->WmiCommData.Parity, ULONG(SERIAL_WMI_PARITY_MARK));
    EXPECT_EQ(port->LineControl, 0x2A);
}

TEST_F(LineSettings, OnlyAnAppliedLineControlCountsAsARepeat) {
    Start(0);
    const SERIAL_LINE_CONTROL eight = {STOP_BIT_1, NO_PARITY, 8}, refused = {STOP_BITS_2, NO_PARITY, 5};
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(&eight);
    EXPECT_FALSE(LineControlRepeats(port, bytes));
    ASSERT_EQ(SetLineControl(port, &eight), STATUS_SUCCESS);
    EXPECT_TRUE(LineControlRepeats(port, bytes));
    EXPECT_EQ(SetLineControl(port, &refused), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(LineControlRepeats(port, reinterpret_cast<const UCHAR *>(&refused)));
    EXPECT_TRUE(LineControlRepeats(port, bytes));
}

class SyncRequests : public LineSettings {};

TEST_F(SyncRequests, VendorRequestsCarryAddressValueAndDirection) {
    Start(0);
    bus.readByte = 0x5A;
    UCHAR value = 0;
    EXPECT_EQ(VendorRead(port->DeviceObject, 0x8484, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(VendorWrite(port->DeviceObject, 0x0404, 0x60), STATUS_SUCCESS);
    ASSERT_EQ(bus.urbs.size(), 2u);
    EXPECT_EQ(bus.urbs[0].function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(bus.urbs[0].request, 0x01);
    EXPECT_EQ(bus.urbs[0].value, 0x8484);
    EXPECT_EQ(bus.urbs[0].index, 0);
    EXPECT_EQ(bus.urbs[0].transferFlags, ULONG(USBD_TRANSFER_DIRECTION_IN));
    EXPECT_EQ(bus.urbs[1].value, 0x0404);
    EXPECT_EQ(bus.urbs[1].index, 0x60);
    EXPECT_EQ(bus.urbs[1].transferFlags, ULONG(USBD_TRANSFER_DIRECTION_OUT));
    EXPECT_TRUE(bus.urbs[1].data.empty());

    bus.readLength = 0;
    value = 0x11;
    EXPECT_EQ(VendorRead(port->DeviceObject, 0x8383, &value), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(value, 0x11);
}

TEST_F(SyncRequests, RequestLeftPendingTimesOutAfterThreeSeconds) {
    Start(0);
    bus.mode = dt::FakeBus::PendForever;
    int64_t start = machine.now();
    EXPECT_EQ(VendorWrite(port->DeviceObject, 0, 1), STATUS_IO_TIMEOUT);
    EXPECT_EQ(machine.now() - start, 3000 * dt::kMs);
    EXPECT_EQ(bus.parked, nullptr);  // cancelled and completed before the call returned
    // The port keeps the rate it was asked for although the chip never answered.
    EXPECT_EQ(Apply(9600), 9600u);
}

}  // namespace
