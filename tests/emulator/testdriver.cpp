#include "tests/emulator/testdriver.h"

typedef struct _TESTDEV_EXTENSION {
    KSPIN_LOCK Lock;  // everything below
    PUCHAR Ring;
    ULONG Head;
    ULONG Count;
    LIST_ENTRY ReadQueue;  // IRPs linked through Tail.Overlay.ListEntry
    KTIMER Timer;
    KDPC TimerDpc;
    TESTDEV_DELAYED Delayed;
} TESTDEV_EXTENSION, *PTESTDEV_EXTENSION;

static const WCHAR DeviceNameText[] = PLATFORM_WIDE("\\Device\\TestDev0");
static const WCHAR LinkNameText[] = PLATFORM_WIDE("\\DosDevices\\TESTDEV");

static VOID Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

static ULONG DrainRingLocked(PTESTDEV_EXTENSION Ext, PUCHAR Buffer, ULONG Length) {
    ULONG n = Length < Ext->Count ? Length : Ext->Count;
    for (ULONG i = 0; i < n; i++) Buffer[i] = Ext->Ring[(Ext->Head + i) % TESTDEV_RING_SIZE];
    Ext->Head = (Ext->Head + n) % TESTDEV_RING_SIZE;
    Ext->Count -= n;
    return n;
}

static ULONG FillRingLocked(PTESTDEV_EXTENSION Ext, const UCHAR *Data, ULONG Length) {
    ULONG n = 0;
    while (n < Length && Ext->Count < TESTDEV_RING_SIZE) {
        Ext->Ring[(Ext->Head + Ext->Count) % TESTDEV_RING_SIZE] = Data[n++];
        Ext->Count++;
    }
    return n;
}

// Takes waiting reads off the queue in order while there are bytes for them and strings them on
// Done for completion once the lock is dropped. A read whose cancel routine is already running
// belongs to that routine.
static VOID ServeReadsLocked(PTESTDEV_EXTENSION Ext, PLIST_ENTRY Done) {
    while (!IsListEmpty(&Ext->ReadQueue) && Ext->Count > 0) {
        PLIST_ENTRY entry = RemoveHeadList(&Ext->ReadQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            InitializeListHead(entry);  // the cancel routine's RemoveEntryList stays harmless
            continue;
        }
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        ULONG n = DrainRingLocked(Ext, (PUCHAR)irp->AssociatedIrp.SystemBuffer, length);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
        InsertTailList(Done, entry);
    }
}

static VOID CompleteList(PLIST_ENTRY Done) {
    while (!IsListEmpty(Done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(Done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static VOID NTAPI CancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)DeviceObject->DeviceExtension;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    // A completer that took it first left the entry self-linked.
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->Lock, irql);
    Complete(Irp, STATUS_CANCELLED, 0);
}

static VOID NTAPI TimerDpc(PKDPC Dpc, PVOID Context, PVOID Arg1, PVOID Arg2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Arg1);
    UNREFERENCED_PARAMETER(Arg2);
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)Context;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KeAcquireSpinLockAtDpcLevel(&ext->Lock);
    FillRingLocked(ext, ext->Delayed.Data, ext->Delayed.Length);
    ServeReadsLocked(ext, &done);
    KeReleaseSpinLockFromDpcLevel(&ext->Lock);
    CompleteList(&done);
}

static NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Complete(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

// The handle is going away: its waiting reads end now.
static NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)DeviceObject->DeviceExtension;
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    PLIST_ENTRY entry = ext->ReadQueue.Flink;
    while (entry != &ext->ReadQueue) {
        PLIST_ENTRY next = entry->Flink;
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoGetCurrentIrpStackLocation(irp)->FileObject == file && IoSetCancelRoutine(irp, NULL) != NULL) {
            RemoveEntryList(entry);
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            InsertTailList(&done, entry);
        }
        entry = next;
    }
    KeReleaseSpinLock(&ext->Lock, irql);
    CompleteList(&done);
    Complete(Irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)DeviceObject->DeviceExtension;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (length == 0) {
        Complete(Irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    if (ext->Count > 0 && IsListEmpty(&ext->ReadQueue)) {
        ULONG n = DrainRingLocked(ext, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, length);
        KeReleaseSpinLock(&ext->Lock, irql);
        Complete(Irp, STATUS_SUCCESS, n);
        return STATUS_SUCCESS;
    }
    IoSetCancelRoutine(Irp, CancelRead);
    if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
        // Cancelled before the routine was in place: nobody else will complete it.
        KeReleaseSpinLock(&ext->Lock, irql);
        Complete(Irp, STATUS_CANCELLED, 0);
        return STATUS_CANCELLED;
    }
    // Queued even when the cancel routine is already on its way: it removes the entry.
    IoMarkIrpPending(Irp);
    InsertTailList(&ext->ReadQueue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->Lock, irql);
    return STATUS_PENDING;
}

static NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)DeviceObject->DeviceExtension;
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
    LIST_ENTRY done;
    InitializeListHead(&done);
    KIRQL irql;
    KeAcquireSpinLock(&ext->Lock, &irql);
    ULONG n = length ? FillRingLocked(ext, (const UCHAR *)Irp->AssociatedIrp.SystemBuffer, length) : 0;
    ServeReadsLocked(ext, &done);
    KeReleaseSpinLock(&ext->Lock, irql);
    CompleteList(&done);
    // A full ring takes what fits, as a device with a bounded buffer and a write time-out would.
    Complete(Irp, n == length ? STATUS_SUCCESS : STATUS_TIMEOUT, n);
    return n == length ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

static NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)DeviceObject->DeviceExtension;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    KIRQL irql;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TESTDEV_ECHO:
        // Input and output share the system buffer: the echo is already in place.
        information = in < out ? in : out;
        if (out < in) status = STATUS_BUFFER_OVERFLOW;
        break;
    case IOCTL_TESTDEV_DELAYED: {
        if (in < (ULONG)FIELD_OFFSET(TESTDEV_DELAYED, Data)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        PTESTDEV_DELAYED request = (PTESTDEV_DELAYED)buffer;
        if (request->Length > TESTDEV_DELAYED_MAX || in < (ULONG)FIELD_OFFSET(TESTDEV_DELAYED, Data) + request->Length) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        KeAcquireSpinLock(&ext->Lock, &irql);
        RtlCopyMemory(&ext->Delayed, request, FIELD_OFFSET(TESTDEV_DELAYED, Data) + request->Length);
        KeReleaseSpinLock(&ext->Lock, irql);
        LARGE_INTEGER due;
        due.QuadPart = -(LONGLONG)request->DelayMs * 10000;
        KeSetTimer(&ext->Timer, due, &ext->TimerDpc);
        break;
    }
    case IOCTL_TESTDEV_FAIL:
        status = in >= sizeof(NTSTATUS) ? *(NTSTATUS *)buffer : STATUS_INVALID_PARAMETER;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Complete(Irp, status, information);
    return status;
}

static VOID NTAPI TestDevUnload(PDRIVER_OBJECT DriverObject) {
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)device->DeviceExtension;
    KeCancelTimer(&ext->Timer);
    KeFlushQueuedDpcs();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LinkNameText);
    IoDeleteSymbolicLink(&link);
    ExFreePoolWithTag(ext->Ring, TESTDEV_POOL_TAG);
    IoDeleteDevice(device);
}

extern "C" NTSTATUS NTAPI TestDevDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, DeviceNameText);
    RtlInitUnicodeString(&link, LinkNameText);
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TESTDEV_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PTESTDEV_EXTENSION ext = (PTESTDEV_EXTENSION)device->DeviceExtension;
    ext->Ring = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TESTDEV_RING_SIZE, TESTDEV_POOL_TAG);
    if (!ext->Ring) {
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeSpinLock(&ext->Lock);
    InitializeListHead(&ext->ReadQueue);
    KeInitializeTimer(&ext->Timer);
    KeInitializeDpc(&ext->TimerDpc, TimerDpc, ext);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(ext->Ring, TESTDEV_POOL_TAG);
        IoDeleteDevice(device);
        return status;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->DriverUnload = TestDevUnload;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
