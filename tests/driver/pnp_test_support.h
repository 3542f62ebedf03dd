// A machine with the driver loaded and Miravo chips plugged in through the PnP manager, on the
// simulated USB bus.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "emulator/usbdevice/device.h"
#include "platform/miravo_ids.h"
#include "usb/configuration.h"
#include "usb/transfer.h"

namespace pt {

using emu::usb::ChipConfig;
using emu::usb::FaultRule;
using emu::usb::SimulatedDevice;
using emu::usb::UrbRecord;

constexpr int64_t kMs = 10000;
constexpr int64_t kSecond = 1000 * kMs;

class PnpTest : public ::testing::Test {
protected:
    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    emu::PnpManager &pnp = machine.service<emu::PnpManager>();
    emu::Registry &registry = machine.service<emu::Registry>();
    emu::Namespace &names = machine.service<emu::Namespace>();
    emu::Pool &pool = machine.service<emu::Pool>();
    PDRIVER_OBJECT driver = nullptr;
    size_t driverBytes = 0;  // what the loaded driver holds without any port

    void SetUp() override {
        ASSERT_EQ(io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        driverBytes = pool.bytesInUse(MIRAVO_POOL_TAG);
    }
    size_t PortBytes() const { return pool.bytesInUse(MIRAVO_POOL_TAG) - driverBytes; }

    void TearDown() override {
        if (!driver) return;
        EXPECT_EQ(driver->DeviceObject, nullptr) << "a port was left behind";
        EXPECT_EQ(registry.OpenHandleCount(), 0u);
        io.unloadDriver(driver);  // the verifier stops the test on pool left under 'COMX'
        EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), 0u);
    }

    static ChipConfig Variant(int type, emu::usb::VendorIdAt vendorId = emu::usb::VendorIdAt::Zero) {
        ChipConfig c = ChipConfig::Variant(type);
        c.vendorIdAt = vendorId;
        return c;
    }

    // The device's hardware key, as the PnP manager names it when the device arrives.
    static std::u16string DeviceParameters(int type, int portNumber = 1) {
        static const char16_t hex[] = u"0123456789ABCDEF";
        std::u16string pid;
        for (int shift = 12; shift >= 0; shift -= 4) pid += hex[((0x7A30 + type) >> shift) & 0xF];
        return std::u16string(emu::Registry::kEnumPath) + u"\\USB\\VID_1209&PID_" + pid + u"\\" +
               std::u16string(1, char16_t(u'0' + portNumber)) + u"\\Device Parameters";
    }

    PDEVICE_OBJECT Port(SimulatedDevice &device) {
        PDEVICE_OBJECT top = pnp.stackTop(device.pdo());
        return top == device.pdo() ? nullptr : top;
    }
    PortExtension *Ext(SimulatedDevice &device) {
        PDEVICE_OBJECT port = Port(device);
        return port ? PortOf(port) : nullptr;
    }

    static std::vector<UrbRecord> Vendor(const std::vector<UrbRecord> &log, bool in) {
        std::vector<UrbRecord> out;
        for (const UrbRecord &r : log)
            if (r.function == URB_FUNCTION_VENDOR_DEVICE && r.hasSetup && r.setup.in() == in) out.push_back(r);
        return out;
    }
    static int Count(const std::vector<UrbRecord> &log, USHORT function) {
        int n = 0;
        for (const UrbRecord &r : log) n += r.function == function;
        return n;
    }
};

}  // namespace pt
