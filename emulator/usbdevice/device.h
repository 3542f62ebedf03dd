// A Miravo chip on its own simulated USB port: what a test or the lab plugs in.
//
//   emu::Machine machine;
//   emu::usb::SimulatedDevice device(emu::usb::ChipConfig::Variant(3));
//   emu::usb::Loopback plug(device.chip());
//   PnpManager::plugIn(driver, device.pdo()) ... device.bus().unplug() ...
#pragma once

#include "emulator/usbdevice/bus.h"
#include "emulator/usbdevice/chip.h"

namespace emu::usb {

class SimulatedDevice {
public:
    explicit SimulatedDevice(ChipConfig chip = ChipConfig::Variant(2), BusConfig bus = {})
        : chip_(std::move(chip)), bus_(chip_, bus) {}
    BridgeChip &chip() { return chip_; }
    UsbBus &bus() { return bus_; }
    PDEVICE_OBJECT pdo() const { return bus_.pdo(); }

private:
    BridgeChip chip_;  // outlives the bus that drives it
    UsbBus bus_;
};

}  // namespace emu::usb
