// What the bus's files share: the PDO's extension and the bus driver's pool tag.
#pragma once

#include "emulator/kernel/pool.h"
#include "emulator/usbdevice/bus.h"

namespace emu::usb {

inline constexpr ULONG kBusTag = Tag("USBs");

struct PdoExtension {
    UsbBus *bus;
};

inline UsbBus *BusOf(PDEVICE_OBJECT device) { return static_cast<PdoExtension *>(device->DeviceExtension)->bus; }

}  // namespace emu::usb
