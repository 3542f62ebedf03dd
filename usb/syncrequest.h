// Synchronous USB requests and the chip's two vendor requests. PASSIVE_LEVEL only: they block.
#pragma once

#include "driver/port.h"

// Sends one URB to the port's lower device and waits at most 3 seconds (STATUS_IO_TIMEOUT).
NTSTATUS SyncUsbRequest(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SetRemoteWakeup(PDEVICE_OBJECT Device, BOOLEAN Enable);
// bRequest 0x01 with the register or command address in wValue; one data byte on a read.
NTSTATUS VendorRead(PDEVICE_OBJECT DeviceObject, USHORT Address, PUCHAR Value);
NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Address, USHORT Value);
// A read with a data stage of 1 to VENDOR_READ_MAX_BYTES bytes (the word registers answer 2);
// *Received is what arrived, 0 on failure.
#define VENDOR_READ_MAX_BYTES 8
NTSTATUS VendorReadBytes(PDEVICE_OBJECT DeviceObject, USHORT Address, PUCHAR Buffer, ULONG Length, PULONG Received);

#define CHIP_VENDOR_REQUEST 0x01
// A URB of this size carries every control request the driver builds.
#define CONTROL_URB_BYTES sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)

// An IRP of the driver's own that carries Urb to the port's lower device and ends in Done; NULL
// when there is no lower device or no IRP to be had. Any IRQL up to DISPATCH_LEVEL.
PIRP BuildUrbIrp(PortExtension *Port, PURB Urb, PIO_COMPLETION_ROUTINE Done, PVOID Context);
// The same for an IRP already allocated (or reinitialised by IoReuseIrp).
VOID AimUrbIrp(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Done, PVOID Context);
