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
NTSTATUS NamePort(PortExtension *Port);
VOID UndoNaming(PortExtension *Port);
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, PVOID Destination, ULONG DestinationSize);
// Frees what CreatePortDevice and NamePort leave allocated on the port; removal calls it before
// deleting the device object.
VOID FreePortNames(PortExtension *Port);
