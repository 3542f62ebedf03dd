// Flush, the file-information classes a serial port must answer, and the internal serial requests
// other drivers send.
#include "requests/write.h"

static NTSTATUS Finish(PortExtension *port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
}

// Admission and the error-abort test; FALSE when the request has been dealt with (*Result holds
// what to return).
static BOOLEAN Admitted(PDEVICE_OBJECT device, PIRP irp, NTSTATUS *result) {
    PortExtension *port = PortOf(device);
    irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitRequest(irp, port);
    if (status == STATUS_PENDING) {
        *result = status;
        return FALSE;
    }
    if (!NT_SUCCESS(status)) {
        *result = Finish(port, irp, status);
        return FALSE;
    }
    status = FailIfErrorAbort(device, irp);
    if (!NT_SUCCESS(status)) {
        *result = status;
        return FALSE;
    }
    return TRUE;
}

// The flush found the write queue idle: nothing is ahead of it.
static NTSTATUS NTAPI BeginFlush(PortExtension *Port) {
    Port->CurrentWrite->IoStatus.Status = STATUS_SUCCESS;
    PIRP next = NULL;
    TakeNextWrite(&Port->CurrentWrite, &Port->WriteQueue, &next, TRUE, Port);
    if (next) BeginWrite(Port);
    return STATUS_SUCCESS;
}

// Queued behind the writes and XOFF counters before it; TakeNextWrite completes it when it
// reaches the head. It does not wait for the characters to leave the chip.
NTSTATUS NTAPI FlushDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status;
    if (!Admitted(DeviceObject, Irp, &status)) return status;
    PortExtension *port = PortOf(DeviceObject);
    return QueueOrStart(port, Irp, &port->WriteQueue, &port->CurrentWrite, BeginFlush);
}

NTSTATUS NTAPI QueryInfoDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status;
    if (!Admitted(DeviceObject, Irp, &status)) return status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.QueryFile.Length;
    ULONG size;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation: size = sizeof(FILE_STANDARD_INFORMATION); break;
    case FilePositionInformation: size = sizeof(FILE_POSITION_INFORMATION); break;
    default: return Finish(PortOf(DeviceObject), Irp, STATUS_INVALID_PARAMETER);
    }
    // The answer is all zeroes; it must still fit the caller's buffer.
    if (length < size || !Irp->AssociatedIrp.SystemBuffer)
        return Finish(PortOf(DeviceObject), Irp, STATUS_BUFFER_TOO_SMALL);
    RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, size);
    Irp->IoStatus.Information = size;
    return Finish(PortOf(DeviceObject), Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI SetInfoDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status;
    if (!Admitted(DeviceObject, Irp, &status)) return status;
    FILE_INFORMATION_CLASS cls = IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass;
    // A port has no length to set; the two classes file copies send are accepted and ignored.
    status = cls == FileEndOfFileInformation || cls == FileAllocationInformation ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    return Finish(PortOf(DeviceObject), Irp, status);
}

// A sleeping state S1..S5 whose device state can still wake the system.
static BOOLEAN CanWakeFromSleep(PortExtension *port) {
    for (ULONG s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++) {
        DEVICE_POWER_STATE d = port->DeviceStateMap[s];
        if (d >= PowerDeviceD1 && d <= port->DeviceWake) return TRUE;
    }
    return FALSE;
}

NTSTATUS NTAPI InternalControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    NTSTATUS status;
    if (!Admitted(DeviceObject, Irp, &status)) return status;
    PortExtension *port = PortOf(DeviceObject);
    switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;
        if (CanWakeFromSleep(port)) {
            port->WaitWakeEnabled = TRUE;
            status = STATUS_SUCCESS;
        }
        break;
    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        port->WaitWakeEnabled = FALSE;
        status = STATUS_SUCCESS;
        break;
    default: status = STATUS_INVALID_PARAMETER; break;
    }
    return Finish(port, Irp, status);
}
