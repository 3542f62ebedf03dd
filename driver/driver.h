// Driver entry, port state initialisation, device creation and naming.
#pragma once

#include "driver/port.h"

// Once an IoCreateDevice failure is not a name collision, the next number is unlikely to fare
// better; give up after this many such failures rather than burning numbers forever.
#define CREATE_DEVICE_OTHER_FAILURES 4

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_ADD_DEVICE AddDevice;

NTSTATUS ReadDriverSettings(PUNICODE_STRING RegistryPath);
// Fills the extended-rate table from ExtBaudrate text; all or nothing. Exposed for tests.
LONG ParseExtendedRates(const CHAR *Text, ULONG Length, ExtendedRate *Table);

NTSTATUS InitPortExtension(PDEVICE_OBJECT DeviceObject);

NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject);
// All or nothing. STATUS_OBJECT_NAME_NOT_FOUND: the device has no COM name to publish.
NTSTATUS NamePort(PortExtension *Port);
VOID UndoNaming(PortExtension *Port);
// Frees a string of our pool and leaves it empty; an empty one is left as it is.
VOID FreeString(PUNICODE_STRING String);
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, PVOID Destination, ULONG DestinationSize);
// Frees what CreatePortDevice and NamePort leave allocated on the port; removal calls it before
// deleting the device object.
VOID FreePortNames(PortExtension *Port);

// Plug and Play.
DRIVER_DISPATCH PnpDispatch;
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS FinishStart(PDEVICE_OBJECT DeviceObject);
// Brings the chip to the port's settings at every start and open.
VOID RestoreChipSettings(PortExtension *Port);
// Cancels every queued, current and held request; removal, surprise removal and cleanup.
VOID KillAllRequests(PortExtension *Port);
VOID DisableInterfaces(PDEVICE_OBJECT DeviceObject);
NTSTATUS RemoveDeviceObject(PDEVICE_OBJECT DeviceObject);
// The highest rate of a SettableBauds mask.
ULONG MaxBaudFromMask(ULONG Mask);

// PnpState values.
#define PNP_NEVER_STARTED 0
#define PNP_STARTED 1
#define PNP_STOP_PENDING 2
#define PNP_STOPPED 3
#define PNP_REMOVE_PENDING 4
#define PNP_RESTARTING 6
// DeviceFlags.
#define DEVICE_FLAG_STARTED 0x1
#define DEVICE_FLAG_STOPPED 0x2
