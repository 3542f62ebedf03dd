// The lab's machine: the driver loaded and one simulated chip plugged in under a chosen COM name,
// with a loopback plug, a scripted peer or nothing on its serial connector. The demo, the benchmark
// and the tests that drive the port through the Win32 side all start from here.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/port.h"
#include "emulator/kernel/machine.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"

namespace lab {

// Every byte value, in an order that shows reordering and loss.
std::vector<uint8_t> TestPattern(size_t n);

enum class FarEnd { Loopback, Scripted, Nothing };

struct Options {
    emu::MachineConfig machine{};
    emu::usb::ChipConfig chip = emu::usb::ChipConfig::Variant(2);
    FarEnd farEnd = FarEnd::Loopback;
    std::u16string portName = u"COM3";
};

class Bench {
public:
    explicit Bench(Options options = {});
    ~Bench();  // unplugs and unloads; the verifier stops the run on pool left under 'COMX'
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    bool ready() const { return ready_; }
    emu::Machine &machine() { return machine_; }
    emu::usb::SimulatedDevice &device() { return *device_; }
    emu::usb::BridgeChip &chip() { return device_->chip(); }
    emu::usb::ScriptedPeer *peer() { return peer_.get(); }  // with FarEnd::Scripted
    PortExtension *port() { return port_; }                 // to look inside; null until ready
    // Removes the port and unloads the driver; returns the pool still held under 'COMX'.
    size_t shutDown();

private:
    emu::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<emu::usb::SimulatedDevice> device_;
    std::unique_ptr<emu::usb::Loopback> plug_;
    std::unique_ptr<emu::usb::ScriptedPeer> peer_;
    PortExtension *port_ = nullptr;
    bool ready_ = false;
};

}  // namespace lab
