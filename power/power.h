// Power management (power/power.cpp) and the WMI data blocks (power/wmi.cpp).
#pragma once

#include "driver/port.h"

// ---- Power (power/power.cpp) ----
DRIVER_DISPATCH PowerDispatch;
// Brings the stack under DeviceObject to State through a device set-power request and waits for
// it: PASSIVE_LEVEL only.
NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State);
NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
REQUEST_POWER_COMPLETE DevicePowerRequestDone;
IO_COMPLETION_ROUTINE DeviceD0Done;
// Passes a power request down and gives back its count.
NTSTATUS ForwardPower(PortExtension *Port, PDEVICE_OBJECT LowerDevice, PIRP Irp);

// ---- WMI (power/wmi.cpp) ----
DRIVER_DISPATCH SystemControlDispatch;
// Fills WmiLibContext and registers the port with WMI; the first start only. PASSIVE_LEVEL.
NTSTATUS RegisterWmi(PortExtension *Port);
// Withdraws the registration, if there is one. PASSIVE_LEVEL.
VOID DeregisterWmi(PortExtension *Port);
