#include "tools/miravo/lab.h"

#include <cstdio>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"

namespace lab {

std::vector<uint8_t> TestPattern(size_t n) {
    std::vector<uint8_t> p(n);
    uint32_t x = 0x2545F491;
    for (auto &b : p) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return p;
}

Bench::Bench(Options options) : machine_(options.machine) {
    auto &io = machine_.service<emu::IoManager>();
    auto &pnp = machine_.service<emu::PnpManager>();
    if (io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver_) != STATUS_SUCCESS) {
        std::fprintf(stderr, "miravo: the driver did not load\n");
        return;
    }
    device_ = std::make_unique<emu::usb::SimulatedDevice>(std::move(options.chip));
    // The port takes its name from its instance key, as the class installer left it.
    const std::u16string instance =
        pnp.queryId(device_->pdo(), BusQueryDeviceID) + u"\\" + pnp.queryId(device_->pdo(), BusQueryInstanceID);
    machine_.service<emu::Registry>().SetString(
        std::u16string(emu::Registry::kEnumPath) + u"\\" + instance + u"\\Device Parameters", u"PortName",
        options.portName);
    switch (options.farEnd) {
    case FarEnd::Loopback: plug_ = std::make_unique<emu::usb::Loopback>(device_->chip()); break;
    case FarEnd::Scripted:
        peer_ = std::make_unique<emu::usb::ScriptedPeer>(device_->chip(), emu::usb::WireFormat::Rate(9600));
        break;
    case FarEnd::Nothing: break;
    }
    const NTSTATUS status = pnp.plugIn(driver_, device_->pdo());
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "miravo: plugging the chip in failed (status 0x%08X)\n", static_cast<unsigned>(status));
        return;
    }
    port_ = PortOf(pnp.stackTop(device_->pdo()));
    ready_ = true;
}

size_t Bench::shutDown() {
    if (device_ && device_->bus().plugged()) machine_.service<emu::PnpManager>().remove(device_->pdo());
    port_ = nullptr;
    peer_.reset();
    plug_.reset();
    device_.reset();
    if (driver_) machine_.service<emu::IoManager>().unloadDriver(driver_);
    driver_ = nullptr;
    return machine_.service<emu::Pool>().bytesInUse(MIRAVO_POOL_TAG);
}

Bench::~Bench() { shutDown(); }

}  // namespace lab
