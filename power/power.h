// Power management (power/power.cpp) and the WMI data blocks (power/wmi.cpp).
#pragma once

#include "driver/port.h"

// ---- Power (power/power.cpp) ----
DRIVER_DISPATCH PowerDispatch;
// Brings the stack under DeviceObject to State through a device set-power request and waits for
// it: PASSIVE_LEVEL only.
NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);

// ---- WMI (power/wmi.cpp) ----
DRIVER_DISPATCH SystemControlDispatch;
