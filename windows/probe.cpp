// A small WDM driver that touches each area of the platform headers the real driver relies on:
// dispatch routines, IRP stack locations, spin locks, DPCs, URBs and the USBD routines, serial
// IOCTLs and structures, the WMI library. Built for i386 it proves that the Windows backend
// compiles with the driver's flags and links into a native image with the expected imports; it
// also compiles against the host backend. It is never loaded.
#include "platform/kernel.h"
#include "platform/serial.h"
#include "platform/usb.h"
#include "platform/wmi.h"

namespace {

struct ProbeExtension {
    PDEVICE_OBJECT LowerDevice;
    KSPIN_LOCK Lock;
    KDPC Dpc;
    ULONG BaudRate;
    URB Urb;
};

const GUID ProbeCommGuid = SERIAL_PORT_WMI_COMM_GUID;
WMIGUIDREGINFO ProbeGuids[] = {{&ProbeCommGuid, 1, 0}};

NTSTATUS NTAPI ProbeQueryRegInfo(PDEVICE_OBJECT, PULONG RegFlags, PUNICODE_STRING, PUNICODE_STRING *RegistryPath,
                                 PUNICODE_STRING, PDEVICE_OBJECT *Pdo) {
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = NULL;
    *Pdo = NULL;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ProbeQueryDataBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG, ULONG, ULONG,
                                   PULONG InstanceLengthArray, ULONG BufferAvail, PUCHAR Buffer) {
    auto *extension = static_cast<ProbeExtension *>(DeviceObject->DeviceExtension);
    if (BufferAvail < sizeof(SERIAL_WMI_COMM_DATA))
        return WmiCompleteRequest(DeviceObject, Irp, STATUS_BUFFER_TOO_SMALL, sizeof(SERIAL_WMI_COMM_DATA),
                                  IO_NO_INCREMENT);
    SERIAL_WMI_COMM_DATA data;
    RtlZeroMemory(&data, sizeof(data));
    data.BaudRate = extension->BaudRate;
    data.Parity = SERIAL_WMI_PARITY_NONE;
    data.StopBits = SERIAL_WMI_STOP_1;
    RtlCopyMemory(Buffer, &data, sizeof(data));
    *InstanceLengthArray = sizeof(data);
    return WmiCompleteRequest(DeviceObject, Irp, STATUS_SUCCESS, sizeof(data), IO_NO_INCREMENT);
}

WMILIB_CONTEXT ProbeWmi = {ARRAYSIZE(ProbeGuids), ProbeGuids, ProbeQueryRegInfo, ProbeQueryDataBlock,
                           NULL, NULL, NULL, NULL};

VOID NTAPI ProbeDpc(PKDPC, PVOID DeferredContext, PVOID, PVOID) {
    auto *extension = static_cast<ProbeExtension *>(DeferredContext);
    KeAcquireSpinLockAtDpcLevel(&extension->Lock);
    extension->BaudRate = 9600;
    KeReleaseSpinLockFromDpcLevel(&extension->Lock);
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI ProbeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto *extension = static_cast<ProbeExtension *>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_SERIAL_GET_BAUD_RATE)
        return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_BAUD_RATE))
        return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    KIRQL irql;
    KeAcquireSpinLock(&extension->Lock, &irql);
    static_cast<PSERIAL_BAUD_RATE>(Irp->AssociatedIrp.SystemBuffer)->BaudRate = extension->BaudRate;
    KeReleaseSpinLock(&extension->Lock, irql);
    return Complete(Irp, STATUS_SUCCESS, sizeof(SERIAL_BAUD_RATE));
}

// Reads the interrupt pipe: one URB handed to the bus below.
NTSTATUS NTAPI ProbeInternalDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto *extension = static_cast<ProbeExtension *>(DeviceObject->DeviceExtension);
    UsbBuildInterruptOrBulkTransferRequest(&extension->Urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), NULL,
                                           NULL, NULL, 0, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &extension->Urb;
    return IoCallDriver(extension->LowerDevice, Irp);
}

NTSTATUS NTAPI ProbeSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    auto *extension = static_cast<ProbeExtension *>(DeviceObject->DeviceExtension);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&ProbeWmi, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        return status;
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(extension->LowerDevice, Irp);
    }
}

// Selects the first vendor-specific interface of a configuration descriptor.
PURB ProbeSelectConfiguration(PUSB_CONFIGURATION_DESCRIPTOR Config) {
    PUSB_INTERFACE_DESCRIPTOR vendor =
        USBD_ParseConfigurationDescriptorEx(Config, Config, -1, 0, USB_DEVICE_CLASS_VENDOR_SPECIFIC, -1, -1);
    if (!vendor) return NULL;
    USBD_INTERFACE_LIST_ENTRY list[2] = {{vendor, NULL}, {NULL, NULL}};
    return USBD_CreateConfigurationRequestEx(Config, list);
}

NTSTATUS NTAPI ProbeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ProbeExtension), NULL, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto *extension = static_cast<ProbeExtension *>(device->DeviceExtension);
    KeInitializeSpinLock(&extension->Lock);
    KeInitializeDpc(&extension->Dpc, ProbeDpc, extension);
    extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (!extension->LowerDevice) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    KeInsertQueueDpc(&extension->Dpc, NULL, NULL);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI ProbeUnload(PDRIVER_OBJECT) {}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ProbeDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ProbeInternalDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ProbeSystemControl;
    DriverObject->DriverExtension->AddDevice = ProbeAddDevice;
    DriverObject->DriverUnload = ProbeUnload;

    // An all-zero descriptor selects nothing; the call is here for its import.
    USB_CONFIGURATION_DESCRIPTOR empty;
    RtlZeroMemory(&empty, sizeof(empty));
    PURB urb = ProbeSelectConfiguration(&empty);
    if (urb) ExFreePool(urb);

    DbgPrint("miravo probe: loaded, interface class %08lx\n", (unsigned long)GUID_DEVINTERFACE_COMPORT.Data1);
    return STATUS_SUCCESS;
}
