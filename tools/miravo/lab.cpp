#include "tools/miravo/lab.h"

#include <cstdio>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"

namespace lab {

Bench::Bench() {
    auto &io = machine_.service<emu::IoManager>();
    if (io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver_) != STATUS_SUCCESS) {
        std::fprintf(stderr, "miravo: the driver did not load\n");
        return;
    }
    // The type-2 test product is 0x7A32; the PnP manager names its first instance 1.
    machine_.service<emu::Registry>().SetString(
        std::u16string(emu::Registry::kEnumPath) + u"\\USB\\VID_1209&PID_7A32\\1\\Device Parameters", u"PortName",
        u"COM3");
    device_ = std::make_unique<emu::usb::SimulatedDevice>(emu::usb::ChipConfig::Variant(2));
    plug_ = std::make_unique<emu::usb::Loopback>(device_->chip());
    const NTSTATUS status = machine_.service<emu::PnpManager>().plugIn(driver_, device_->pdo());
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "miravo: plugging the chip in failed (status 0x%08X)\n", static_cast<unsigned>(status));
        return;
    }
    ready_ = true;
}

size_t Bench::shutDown() {
    if (device_ && device_->bus().plugged()) machine_.service<emu::PnpManager>().remove(device_->pdo());
    plug_.reset();
    device_.reset();
    if (driver_) machine_.service<emu::IoManager>().unloadDriver(driver_);
    driver_ = nullptr;
    return machine_.service<emu::Pool>().bytesInUse(MIRAVO_POOL_TAG);
}

Bench::~Bench() { shutDown(); }

}  // namespace lab
