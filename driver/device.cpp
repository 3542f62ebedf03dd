// The port's device object: created and numbered at AddDevice, attached above the USB device.
#include "control/control.h"
#include "driver/driver.h"

#define NAME_BUFFER_BYTES 258

NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT *DeviceObject) {
    *DeviceObject = NULL;
    PDEVICE_OBJECT device = NULL;
    UNICODE_STRING name;
    ULONG otherFailures = 0;

    for (;;) {
        name.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, MIRAVO_POOL_TAG);
        if (!name.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(name.Buffer, NAME_BUFFER_BYTES);
        name.Length = 0;
        name.MaximumLength = NAME_BUFFER_BYTES - sizeof(WCHAR);

        WCHAR digits[12];
        UNICODE_STRING number;
        number.Buffer = digits;
        number.Length = 0;
        number.MaximumLength = sizeof(digits);
        RtlAppendUnicodeToString(&name, PLATFORM_WIDE("\\Device\\Serial"));
        RtlIntegerToUnicodeString(DriverGlobals.NextPortNumber, 10, &number);
        RtlAppendUnicodeStringToString(&name, &number);
        // A number is spent whether or not its name could be used.
        DriverGlobals.NextPortNumber++;

        NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PortExtension), &name, FILE_DEVICE_SERIAL_PORT,
                                         FILE_DEVICE_SECURE_OPEN, TRUE, &device);
        if (NT_SUCCESS(status)) break;
        ExFreePoolWithTag(name.Buffer, MIRAVO_POOL_TAG);
        if (status != STATUS_OBJECT_NAME_COLLISION && ++otherFailures >= CREATE_DEVICE_OTHER_FAILURES)
            return status;
    }

    PortExtension *port = PortOf(device);
    RtlZeroMemory(port, sizeof(PortExtension));
    port->PendingRequestCount = 1;
    port->PendingDpcCount = 1;
    port->IsOpen = FALSE;
    port->DeviceObject = device;
    port->DriverObject = DriverObject;
    port->DevicePowerState = PowerDeviceD0;
    port->ChipType = ChipUnclassified;
    // Until a rate is applied the write path still needs a non-zero bound; 256 suits every chip.
    port->MaxWriteChunk = 256;
    InitializeListHead(&port->ReadQueue);
    InitializeListHead(&port->WriteQueue);
    InitializeListHead(&port->MaskQueue);
    InitializeListHead(&port->PurgeQueue);
    InitializeListHead(&port->HeldRequests);
    ExInitializeFastMutex(&port->OpenMutex);
    KeInitializeEvent(&port->RequestsDrainedEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&port->DpcsDrainedEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&port->ControlLock);
    KeInitializeSpinLock(&port->FlagsLock);
    KeInitializeSpinLock(&port->RxLock);
    KeInitializeSpinLock(&port->ModemControlLock);

    USHORT bytes = (USHORT)(name.Length + sizeof(WCHAR));
    port->DeviceName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, MIRAVO_POOL_TAG);
    if (!port->DeviceName.Buffer) {
        ExFreePoolWithTag(name.Buffer, MIRAVO_POOL_TAG);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(port->DeviceName.Buffer, bytes);
    port->DeviceName.MaximumLength = bytes;
    RtlCopyUnicodeString(&port->DeviceName, &name);

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ExFreePoolWithTag(name.Buffer, MIRAVO_POOL_TAG);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    if (!PhysicalDeviceObject) return STATUS_NO_MORE_ENTRIES;

    PDEVICE_OBJECT device;
    NTSTATUS status = CreatePortDevice(DriverObject, &device);
    if (!NT_SUCCESS(status)) return status;

    PortExtension *port = PortOf(device);
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (!lower) {
        // Without a device below, no request could ever reach the chip: leave nothing behind.
        FreePortNames(port);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    port->LowerDevice = lower;
    port->Pdo = PhysicalDeviceObject;
    device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    return STATUS_SUCCESS;
}

VOID FreePortNames(PortExtension *Port) {
    FreeString(&Port->DeviceName);
    FreeString(&Port->SymbolicLinkName);
    FreeString(&Port->DosName);
    FreeString(&Port->WmiPortName);
    if (Port->InterfaceName.Buffer) RtlFreeUnicodeString(&Port->InterfaceName);
    Port->InterfaceName.Buffer = NULL;
}
