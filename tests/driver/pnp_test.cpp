// Plug and Play through the PnP manager: names across start and removal, surprise removal,
// capabilities, hardware IDs, stop and restart, and many devices coming and going.
#include <chrono>
#include <cstdio>

#include "requests/requests.h"
#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

class PnpHandlingTest : public PnpTest {
protected:
    ULONG SerialCount() { return names.Configuration()->SerialCount; }
};

TEST_F(PnpHandlingTest, SurpriseRemovalWithdrawsNamesOnceAndRemovalFinishes) {
    SimulatedDevice device(Variant(3));
    registry.SetString(DeviceParameters(3), u"PortName", u"COM9");
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    device.bus().unplug();
    EXPECT_EQ(pnp.surpriseRemove(device.pdo()), STATUS_SUCCESS);
    PortExtension *port = Ext(device);
    ASSERT_NE(port, nullptr) << "the port stays until the removal";
    EXPECT_TRUE(port->PnpAcceptState & PnpAcceptSurpriseRemoved);
    // The drain gave back the base count; the removal's drain must then not block.
    EXPECT_EQ(port->PendingRequestCount, 0);
    EXPECT_EQ(names.Resolve(u"\\??\\COM9"), nullptr);
    EXPECT_FALSE(registry.GetValue(emu::Registry::kSerialCommPath, u"\\Device\\Serial2"));

    EXPECT_EQ(pnp.finishSurpriseRemoval(device.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Port(device), nullptr);
    EXPECT_EQ(PortBytes(), 0u);
}

TEST_F(PnpHandlingTest, QueryRemoveAndQueryStopAreRefusedWhileOpen) {
    SimulatedDevice device(Variant(1));
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    PortExtension *port = Ext(device);
    port->IsOpen = TRUE;
    EXPECT_EQ(pnp.remove(device.pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp.stopAndRestart(device.pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port->PnpState, ULONG(PNP_STARTED));
    EXPECT_EQ(port->PnpAcceptState, 0u);
    port->IsOpen = FALSE;
    EXPECT_EQ(pnp.remove(device.pdo()), STATUS_SUCCESS);
}

TEST_F(PnpHandlingTest, RestartAfterStopReappliesDefaultsWithoutNamingAgain) {
    SimulatedDevice device(Variant(4, emu::usb::VendorIdAt::Absent));
    registry.SetString(DeviceParameters(4), u"PortName", u"COM6");
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    PortExtension *port = Ext(device);
    port->LineControl = 0x03;  // as if an application had set 8 data bits
    device.bus().clearUrbLog();

    ASSERT_EQ(pnp.stopAndRestart(device.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, ULONG(PNP_STARTED));
    EXPECT_EQ(port->PnpAcceptState, 0u);
    EXPECT_EQ(port->PendingRequestCount, 1) << "only the base count";
    EXPECT_EQ(port->LineControl, 0x1A);
    EXPECT_EQ(SerialCount(), 1u);
    EXPECT_EQ(names.Resolve(u"\\??\\COM6"), Port(device));
    // The restart identifies the chip afresh and initialises it again.
    EXPECT_EQ(Count(device.bus().urbLog(), URB_FUNCTION_SELECT_CONFIGURATION), 1);
    EXPECT_EQ(port->RegisterShadow[2], 0x44);
    EXPECT_EQ(pnp.remove(device.pdo()), STATUS_SUCCESS);
}

TEST_F(PnpHandlingTest, CapabilitiesAllowSurpriseRemovalAndRecordThePowerMap) {
    SimulatedDevice device(Variant(0));
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    PortExtension *port = Ext(device);
    // The bus's map for S1..S5 as it reported it; wait-wake decides on it.
    const DEVICE_POWER_STATE *map = port->DeviceStateMap;
    EXPECT_EQ(std::vector(map, map + 7), (std::vector{PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
                                                      PowerDeviceD2, PowerDeviceD3, PowerDeviceD3}));
    EXPECT_EQ(port->DeviceWake, PowerDeviceD2);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    EXPECT_EQ(pnp.send(device.pdo(), IRP_MN_QUERY_CAPABILITIES, nullptr,
                       [](PIO_STACK_LOCATION s, void *c) {
                           s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
                       },
                       &caps),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    pnp.remove(device.pdo());
}

TEST_F(PnpHandlingTest, HardwareIdsGainTheSerialIdentifierAfterTheBusList) {
    SimulatedDevice device(Variant(2));
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    const std::u16string busIds = std::u16string(u"USB\\VID_1209&PID_7A32&REV_0300") + u'\0' + u"USB\\VID_1209&PID_7A32";
    // Without the setting the bus's list passes unchanged.
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryHardwareIDs), busIds);
    registry.SetDword(DeviceParameters(2), u"MultiportDevice", 0);
    size_t knownSites = pool.callSites(MIRAVO_POOL_TAG).size();
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryHardwareIDs), busIds + u'\0' + u"*PNP0501");
    std::vector<const void *> sites = pool.callSites(MIRAVO_POOL_TAG);
    ASSERT_EQ(sites.size(), knownSites + 1) << "the list is the one new allocation";
    registry.SetDword(DeviceParameters(2), u"MultiportDevice", 1);
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryHardwareIDs), busIds + u'\0' + u"*PNP0502");
    // Other ID types pass through.
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryDeviceID), u"USB\\VID_1209&PID_7A32");
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryCompatibleIDs).substr(0, 9), u"USB\\Class");

    // The list cannot be extended: the bus's list is not leaked and the query fails.
    pool.failCallSite(sites.back(), 1);
    IO_STATUS_BLOCK result{};
    BUS_QUERY_ID_TYPE type = BusQueryHardwareIDs;
    EXPECT_EQ(pnp.send(device.pdo(), IRP_MN_QUERY_ID, &result,
                       [](PIO_STACK_LOCATION s, void *c) { s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE *>(c); },
                       &type),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Information, 0u);
    pool.clearFaults();
    pnp.remove(device.pdo());
}

TEST_F(PnpHandlingTest, EveryAllocationFailureDuringStartLeavesNothingBehind) {
    {
        SimulatedDevice device(Variant(3, emu::usb::VendorIdAt::Absent));
        registry.SetString(DeviceParameters(3), u"PortName", u"COM3");
        ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
        pnp.remove(device.pdo());
    }
    // Each site the driver allocates from during a start and removal, failed once in turn.
    std::vector<const void *> sites = pool.callSites(MIRAVO_POOL_TAG);
    ASSERT_GT(sites.size(), 8u);
    for (size_t i = 0; i < sites.size(); i++) {
        SCOPED_TRACE(i);
        SimulatedDevice device(Variant(3, emu::usb::VendorIdAt::Absent));
        pool.failCallSite(sites[i], 1);
        NTSTATUS status = pnp.plugIn(driver, device.pdo());
        pool.clearFaults();
        if (NT_SUCCESS(status)) {
            // Started means named: never a port that COM3 cannot reach.
            EXPECT_EQ(names.Resolve(u"\\??\\COM3"), Port(device));
            EXPECT_EQ(pnp.remove(device.pdo()), STATUS_SUCCESS);
        }
        EXPECT_EQ(Port(device), nullptr);
        EXPECT_EQ(PortBytes(), 0u);
        EXPECT_EQ(SerialCount(), 0u);
    }
}

}  // namespace
}  // namespace pt
