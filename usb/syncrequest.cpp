// Synchronous URBs: one request to the USB stack below, waited for with a time limit.
#include "usb/syncrequest.h"

#define SYNC_USB_TIMEOUT (-30000000LL)  // 3 s, relative

static NTSTATUS NTAPI SyncUsbRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    // The IRP stays ours: a timed-out waiter may still cancel it, so only it may free it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID AimUrbIrp(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE Done, PVOID Context) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(Irp, Done, Context, TRUE, TRUE, TRUE);
}

PIRP BuildUrbIrp(PortExtension *Port, PURB Urb, PIO_COMPLETION_ROUTINE Done, PVOID Context) {
    PDEVICE_OBJECT lower = Port->LowerDevice;
    PIRP irp = lower ? IoAllocateIrp(lower->StackSize, FALSE) : NULL;
    if (!irp) return NULL;
    AimUrbIrp(irp, Urb, Done, Context);
    return irp;
}

NTSTATUS SyncUsbRequest(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    PortExtension *port = PortOf(DeviceObject);
    if (!port->LowerDevice) return STATUS_NO_SUCH_DEVICE;

    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = BuildUrbIrp(port, Urb, SyncUsbRequestDone, &done);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    NTSTATUS status = IoCallDriver(port->LowerDevice, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = SYNC_USB_TIMEOUT;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            // The URB belongs to the caller again only once the stack has let go of it.
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            status = STATUS_IO_TIMEOUT;
        } else {
            status = irp->IoStatus.Status;
        }
    } else {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
    return status;
}

// A control URB and its data stage, in one nonpaged block the USB stack may touch at any IRQL.
struct VendorRequestBlock {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
    UCHAR Data[VENDOR_READ_MAX_BYTES];
};

static NTSTATUS SendVendorRequest(PDEVICE_OBJECT DeviceObject, USHORT Address, USHORT Index, ULONG Length,
                                  PUCHAR Value, PULONG Received) {
    VendorRequestBlock *block =
        (VendorRequestBlock *)ExAllocatePoolWithTag(NonPagedPool, sizeof(VendorRequestBlock), MIRAVO_POOL_TAG);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, sizeof(VendorRequestBlock));
    PURB urb = (PURB)&block->Urb;
    BOOLEAN in = Length != 0;
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)CONTROL_URB_BYTES,
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, CHIP_VENDOR_REQUEST,
                          Address, Index, in ? block->Data : NULL, NULL, Length, NULL);
    NTSTATUS status = SyncUsbRequest(DeviceObject, urb);
    if (in && NT_SUCCESS(status)) {
        ULONG got = block->Urb.TransferBufferLength < Length ? block->Urb.TransferBufferLength : Length;
        // A read that returned no byte did not read anything.
        if (got < 1)
            status = STATUS_DEVICE_DATA_ERROR;
        else
            RtlCopyMemory(Value, block->Data, got);
        if (Received) *Received = NT_SUCCESS(status) ? got : 0;
    }
    ExFreePoolWithTag(block, MIRAVO_POOL_TAG);
    return status;
}

NTSTATUS VendorRead(PDEVICE_OBJECT DeviceObject, USHORT Address, PUCHAR Value) {
    return SendVendorRequest(DeviceObject, Address, 0, 1, Value, NULL);
}

NTSTATUS VendorReadBytes(PDEVICE_OBJECT DeviceObject, USHORT Address, PUCHAR Buffer, ULONG Length, PULONG Received) {
    *Received = 0;
    if (Length < 1 || Length > VENDOR_READ_MAX_BYTES) return STATUS_INVALID_PARAMETER;
    return SendVendorRequest(DeviceObject, Address, 0, Length, Buffer, Received);
}

NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Address, USHORT Value) {
    return SendVendorRequest(DeviceObject, Address, Value, 0, NULL, NULL);
}

NTSTATUS SetRemoteWakeup(PDEVICE_OBJECT Device, BOOLEAN Enable) {
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_FEATURE_REQUEST), MIRAVO_POOL_TAG);
    if (!urb) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_FEATURE_REQUEST));
    UsbBuildFeatureRequest(urb, Enable ? URB_FUNCTION_SET_FEATURE_TO_DEVICE : URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE,
                           USB_FEATURE_REMOTE_WAKEUP, 0, NULL);
    NTSTATUS status = SyncUsbRequest(Device, urb);
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return status;
}
