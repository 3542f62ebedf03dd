// The lab's machine: the driver loaded, one type-2 chip behind a loopback plug plugged in as COM3.
#pragma once

#include <memory>

#include "emulator/kernel/machine.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"

namespace lab {

class Bench {
public:
    Bench();
    ~Bench();  // unplugs and unloads; the verifier stops the run on pool left under 'COMX'
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    bool ready() const { return ready_; }
    emu::Machine &machine() { return machine_; }
    // Removes the port and unloads the driver; returns the pool still held under 'COMX'.
    size_t shutDown();

private:
    emu::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<emu::usb::SimulatedDevice> device_;
    std::unique_ptr<emu::usb::Loopback> plug_;
    bool ready_ = false;
};

}  // namespace lab
