// Synchronous URBs: one request to the USB stack below, waited for with a time limit.
#include "usb/usbio.h"

#define SYNC_USB_TIMEOUT (-30000000LL)  // 3 s, relative

static NTSTATUS NTAPI SyncUsbRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    // The IRP stays ours: a timed-out waiter may still cancel it, so only it may free it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SyncUsbRequest(PDEVICE_OBJECT DeviceObject, PURB Urb) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return STATUS_INVALID_DEVICE_STATE;
    PDEVICE_OBJECT lower = PortOf(DeviceObject)->LowerDevice;
    if (!lower) return STATUS_NO_SUCH_DEVICE;

    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = Urb;
    IoSetCompletionRoutine(irp, SyncUsbRequestDone, &done, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(lower, irp);
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
    UCHAR Data[8];
};

static NTSTATUS SendVendorRequest(PDEVICE_OBJECT DeviceObject, USHORT Address, USHORT Index, BOOLEAN In,
                                  PUCHAR Value) {
    VendorRequestBlock *block =
        (VendorRequestBlock *)ExAllocatePoolWithTag(NonPagedPool, sizeof(VendorRequestBlock), MIRAVO_POOL_TAG);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(block, sizeof(VendorRequestBlock));
    PURB urb = (PURB)&block->Urb;
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, (USHORT)CONTROL_URB_BYTES,
                          In ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, CHIP_VENDOR_REQUEST,
                          Address, Index, In ? block->Data : NULL, NULL, In ? 1 : 0, NULL);
    NTSTATUS status = SyncUsbRequest(DeviceObject, urb);
    if (In && NT_SUCCESS(status)) {
        // A read that returned no byte did not read anything.
        if (block->Urb.TransferBufferLength < 1)
            status = STATUS_DEVICE_DATA_ERROR;
        else
            *Value = block->Data[0];
    }
    ExFreePoolWithTag(block, MIRAVO_POOL_TAG);
    return status;
}

NTSTATUS VendorRead(PDEVICE_OBJECT DeviceObject, USHORT Address, PUCHAR Value) {
    return SendVendorRequest(DeviceObject, Address, 0, TRUE, Value);
}

NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Address, USHORT Value) {
    return SendVendorRequest(DeviceObject, Address, Value, FALSE, NULL);
}
