#include "tests/driver/driver_test_support.h"

namespace {

using dt::DriverTest;

class DeviceTest : public DriverTest {
protected:
    void SetUp() override { LoadDriver(); }
};

TEST_F(DeviceTest, TakenNameIsSkippedAndNeverReused) {
    PDEVICE_OBJECT squatter;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Serial2");
    ASSERT_EQ(IoCreateDevice(busDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter), STATUS_SUCCESS);
    PortExtension *first = AddPort();
    EXPECT_EQ(Text(first->DeviceName), u"\\Device\\Serial3");
    IoDeleteDevice(squatter);
    PortExtension *second = AddPort();
    EXPECT_EQ(Text(second->DeviceName), u"\\Device\\Serial4");
}

TEST_F(DeviceTest, AddDeviceWithoutPdoCreatesNothing) {
    EXPECT_EQ(AddDevice(driver, nullptr), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(DriverGlobals.NextPortNumber, 2u);
}

TEST_F(DeviceTest, CreationFailuresOtherThanCollisionAreBounded) {
    pool.failTag(emu::kDeviceTag);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(CreatePortDevice(driver, &device), STATUS_INSUFFICIENT_RESOURCES);
    pool.clearFaults();
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(DriverGlobals.NextPortNumber, 2u + CREATE_DEVICE_OTHER_FAILURES);
    EXPECT_EQ(Text(AddPort()->DeviceName), u"\\Device\\Serial6");
}

TEST_F(DeviceTest, RestartReturnsSettingsToDefaultsWithLimitsFromRingSize) {
    PortExtension *port = AddPort();
    port->LineControl = 0x03;
    port->ValidDataMask = 0xFF;
    port->SpecialChars.XonChar = 'Q';
    port->SpecialChars.XoffChar = 'S';
    port->CurrentBaud = 9600;
    port->HandFlow.ControlHandShake = port->HandFlow.FlowReplace = 0;
    port->SpecialChars.EofChar = 0x1A;
    port->IsOpen = TRUE;
    port->RxBufferSize = 4096;
    InitPortExtension(port->DeviceObject);
    EXPECT_EQ(port->LineControl, 0x1A);  // 7 data bits, even parity, one stop bit
    EXPECT_EQ(port->ValidDataMask, 0x7F);
    EXPECT_EQ(port->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(port->SpecialChars.XoffChar, 0x13);
    EXPECT_EQ(port->SpecialChars.EofChar, 0x1A);  // not a start default: kept
    EXPECT_EQ(port->CurrentBaud, 0u);
    EXPECT_EQ(port->HandFlow.ControlHandShake, ULONG(SERIAL_DTR_CONTROL));
    EXPECT_EQ(port->HandFlow.FlowReplace, ULONG(SERIAL_RTS_CONTROL));
    EXPECT_FALSE(port->IsOpen);
    EXPECT_EQ(port->HandFlow.XonLimit, 2048);
    EXPECT_EQ(port->HandFlow.XoffLimit, 512);
    EXPECT_EQ(port->RxEightyPercent, 3072u + 256u);
}

}  // namespace
