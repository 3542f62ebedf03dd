// The port device's kernel name: \Device\SerialN, a number never handed out twice.
#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

class DeviceTest : public PnpTest {
protected:
    std::u16string Plugged(SimulatedDevice &device) {
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
        const UNICODE_STRING &name = Ext(device)->DeviceName;
        return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
    }
};

TEST_F(DeviceTest, TakenNamesAreSkippedFailuresAreBoundedAndNoNumberIsReused) {
    EXPECT_EQ(AddDevice(driver, nullptr), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(std::tuple(driver->DeviceObject, DriverGlobals.NextPortNumber), std::tuple(nullptr, 2u));

    PDEVICE_OBJECT squatter;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Serial2");
    ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter), STATUS_SUCCESS);
    SimulatedDevice first(Variant(2)), second(Variant(2)), third(Variant(2));
    EXPECT_EQ(Plugged(first), u"\\Device\\Serial3");
    IoDeleteDevice(squatter);
    EXPECT_EQ(Plugged(second), u"\\Device\\Serial4");

    // Failures other than a collision give up after a few numbers, which are spent all the same.
    pool.failTag(emu::kDeviceTag);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(CreatePortDevice(driver, &device), STATUS_INSUFFICIENT_RESOURCES);
    pool.clearFaults();
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(Plugged(third), u"\\Device\\Serial" + std::u16string(1, char16_t(u'5' + CREATE_DEVICE_OTHER_FAILURES)));
    for (SimulatedDevice *d : {&first, &second, &third}) EXPECT_EQ(pnp.remove(d->pdo()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace pt
