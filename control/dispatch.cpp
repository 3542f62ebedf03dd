// IRP_MJ_DEVICE_CONTROL: admission, the per-code buffer checks, and either the small handler
// (control/dispatch_handlers.cpp), the settings Parts, or a hand-over to a request queue.
#include "control/control.h"
#include "control/dispatch.h"
#include "power/power.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "requests/write.h"

// Requests that talk to the chip wake it first; a power-up that cannot be had ends the request.
static NTSTATUS RequireD0(PortExtension *Port) {
    if (Port->DevicePowerState == PowerDeviceD0) return STATUS_SUCCESS;
    return PowerUp(Port->Pdo, PowerDeviceD0);
}

// The checks shared by most rows, in the order the row names them.
static NTSTATUS NeedBuffer(PIRP Irp) {
    return Irp->AssociatedIrp.SystemBuffer ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

static NTSTATUS NeedIn(PIO_STACK_LOCATION Stack, ULONG Bytes) {
    return Stack->Parameters.DeviceIoControl.InputBufferLength >= Bytes ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

static NTSTATUS NeedOut(PIO_STACK_LOCATION Stack, ULONG Bytes) {
    return Stack->Parameters.DeviceIoControl.OutputBufferLength >= Bytes ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
}

static NTSTATUS BufferAndIn(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG Bytes) {
    NTSTATUS status = NeedBuffer(Irp);
    return NT_SUCCESS(status) ? NeedIn(Stack, Bytes) : status;
}

static NTSTATUS BufferAndOut(PIRP Irp, PIO_STACK_LOCATION Stack, ULONG Bytes) {
    NTSTATUS status = NeedBuffer(Irp);
    return NT_SUCCESS(status) ? NeedOut(Stack, Bytes) : status;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    if (!port->IsOpen) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = AdmitRequest(Irp, port);
    if (status == STATUS_PENDING) return status;
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        ReleaseRequestCount(port);
        return status;
    }
    if (FailIfErrorAbort(DeviceObject, Irp) != STATUS_SUCCESS) return STATUS_CANCELLED;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    status = STATUS_SUCCESS;
    BOOLEAN privateCode = FALSE;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        status = NeedIn(stack, sizeof(SERIAL_BAUD_RATE));
        if (NT_SUCCESS(status)) status = NeedBuffer(Irp);
        if (NT_SUCCESS(status)) status = RequireD0(port);
        if (NT_SUCCESS(status)) (void)SetBaudRate(port, static_cast<PSERIAL_BAUD_RATE>(buffer)->BaudRate);
        break;

    case IOCTL_SERIAL_SET_QUEUE_SIZE: {
        status = BufferAndIn(Irp, stack, sizeof(SERIAL_QUEUE_SIZE));
        if (!NT_SUCCESS(status)) break;
        PVOID ring = NULL;
        status = AllocateQueueSizeRing(port, static_cast<PSERIAL_QUEUE_SIZE>(buffer)->InSize, &ring);
        if (!NT_SUCCESS(status) || !ring) break;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = ring;
        return QueueOrStart(port, Irp, &port->ReadQueue, &port->CurrentRead, StartRead);
    }

    case IOCTL_SERIAL_SET_LINE_CONTROL:
        // The length comes before the repeat test, which reads all three bytes.
        status = BufferAndIn(Irp, stack, sizeof(SERIAL_LINE_CONTROL));
        if (!NT_SUCCESS(status) || LineControlRepeats(port, static_cast<const UCHAR *>(buffer))) break;
        status = RequireD0(port);
        if (NT_SUCCESS(status)) status = SetLineControl(port, static_cast<PSERIAL_LINE_CONTROL>(buffer));
        break;

    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        status = RequireD0(port);
        if (!NT_SUCCESS(status)) break;
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_BREAK_ON)
            BreakOn(port);
        else
            BreakOff(port);
        break;

    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        status = NeedIn(stack, 1);
        if (NT_SUCCESS(status)) status = NeedBuffer(Irp);
        if (!NT_SUCCESS(status)) break;
        status = ImmediateCharRequest(port, Irp);
        if (status == STATUS_PENDING) return status;
        break;

    case IOCTL_SERIAL_SET_TIMEOUTS:
        status = BufferAndIn(Irp, stack, sizeof(SERIAL_TIMEOUTS));
        if (NT_SUCCESS(status)) status = SetTimeouts(port, static_cast<PSERIAL_TIMEOUTS>(buffer));
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_TIMEOUTS));
        if (!NT_SUCCESS(status)) break;
        GetTimeouts(port, static_cast<PSERIAL_TIMEOUTS>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
        break;

    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        status = RequireD0(port);
        if (NT_SUCCESS(status))
            status = DtrRequest(port, stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_DTR);
        break;

    case IOCTL_SERIAL_RESET_DEVICE:
        break;

    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        status = RequireD0(port);
        if (NT_SUCCESS(status))
            status = RtsRequest(port, stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_RTS);
        break;

    case IOCTL_SERIAL_SET_XOFF:
        SetXoffHold(port);
        break;

    case IOCTL_SERIAL_SET_XON:
        ClearXoffHold(port);
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        status = NeedOut(stack, sizeof(ULONG));
        if (NT_SUCCESS(status)) status = NeedBuffer(Irp);
        if (!NT_SUCCESS(status)) break;
        *static_cast<PULONG>(buffer) = CurrentWaitMask(port);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = NeedIn(stack, sizeof(ULONG));
        if (NT_SUCCESS(status)) status = NeedBuffer(Irp);
        if (!NT_SUCCESS(status)) break;
        if (*static_cast<PULONG>(buffer) & ~WAIT_MASK_VALID_EVENTS) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return QueueOrStart(port, Irp, &port->MaskQueue, &port->CurrentMask, StartMaskRequests);

    case IOCTL_SERIAL_WAIT_ON_MASK:
        status = NeedOut(stack, sizeof(ULONG));
        if (NT_SUCCESS(status)) status = NeedBuffer(Irp);
        if (!NT_SUCCESS(status)) break;
        return QueueOrStart(port, Irp, &port->MaskQueue, &port->CurrentMask, StartMaskRequests);

    case IOCTL_SERIAL_PURGE: {
        status = BufferAndIn(Irp, stack, sizeof(ULONG));
        if (!NT_SUCCESS(status)) break;
        ULONG mask = *static_cast<PULONG>(buffer);
        if (mask == 0 || (mask & ~(ULONG)(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR |
                                            SERIAL_PURGE_RXCLEAR))) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return QueueOrStart(port, Irp, &port->PurgeQueue, &port->CurrentPurge, BeginPurge);
    }

    case IOCTL_SERIAL_GET_BAUD_RATE:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_BAUD_RATE));
        if (!NT_SUCCESS(status)) break;
        GetBaudRate(port, static_cast<PSERIAL_BAUD_RATE>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
        break;

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_LINE_CONTROL));
        if (!NT_SUCCESS(status)) break;
        GetLineControl(port, static_cast<PSERIAL_LINE_CONTROL>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
        break;

    case IOCTL_SERIAL_GET_CHARS:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_CHARS));
        if (!NT_SUCCESS(status)) break;
        GetChars(port, static_cast<PSERIAL_CHARS>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
        break;

    case IOCTL_SERIAL_SET_CHARS:
        status = BufferAndIn(Irp, stack, sizeof(SERIAL_CHARS));
        if (NT_SUCCESS(status)) status = SetChars(port, static_cast<PSERIAL_CHARS>(buffer));
        break;

    case IOCTL_SERIAL_GET_HANDFLOW:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_HANDFLOW));
        if (!NT_SUCCESS(status)) break;
        GetHandFlow(port, static_cast<PSERIAL_HANDFLOW>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
        break;

    case IOCTL_SERIAL_SET_HANDFLOW:
        status = BufferAndIn(Irp, stack, sizeof(SERIAL_HANDFLOW));
        if (NT_SUCCESS(status)) status = ValidateHandFlow(port, static_cast<PSERIAL_HANDFLOW>(buffer));
        if (NT_SUCCESS(status)) ApplyHandFlow(port, static_cast<PSERIAL_HANDFLOW>(buffer));
        break;

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        status = BufferAndOut(Irp, stack, sizeof(ULONG));
        if (!NT_SUCCESS(status)) break;
        *static_cast<PULONG>(buffer) = GetModemStatus(port);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_STATUS));
        if (!NT_SUCCESS(status)) break;
        GetCommStatus(port, static_cast<PSERIAL_STATUS>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
        break;

    case IOCTL_SERIAL_XOFF_COUNTER:
        status = BufferAndIn(Irp, stack, sizeof(SERIAL_XOFF_COUNTER));
        if (!NT_SUCCESS(status)) break;
        if (static_cast<PSERIAL_XOFF_COUNTER>(buffer)->Counter <= 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        return QueueOrStart(port, Irp, &port->WriteQueue, &port->CurrentWrite, BeginWrite);

    case IOCTL_SERIAL_GET_PROPERTIES:
        status = BufferAndOut(Irp, stack, sizeof(SERIAL_COMMPROP));
        if (!NT_SUCCESS(status)) break;
        GetProperties(port, static_cast<PSERIAL_COMMPROP>(buffer));
        Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
        break;

    case IOCTL_SERIAL_GET_DTRRTS:
        status = BufferAndOut(Irp, stack, sizeof(ULONG));
        if (!NT_SUCCESS(status)) break;
        *static_cast<PULONG>(buffer) = GetModemControl(port) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_LSRMST_INSERT:
        status = BufferAndIn(Irp, stack, 1);
        if (NT_SUCCESS(status)) status = SetEscapeChar(port, *static_cast<PUCHAR>(buffer));
        break;

    case IOCTL_SERIAL_CONFIG_SIZE:
        status = BufferAndOut(Irp, stack, sizeof(ULONG));
        if (!NT_SUCCESS(status)) break;
        *static_cast<PULONG>(buffer) = 0;
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_STATS:
        // The buffer test the row omits: a zero-length input leaves no system buffer at all.
        status = NeedOut(stack, sizeof(SERIALPERF_STATS));
        if (NT_SUCCESS(status)) status = NeedBuffer(Irp);
        if (!NT_SUCCESS(status)) break;
        GetStats(port, static_cast<PSERIALPERF_STATS>(buffer));
        Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
        break;

    case IOCTL_SERIAL_CLEAR_STATS:
        ClearStats(port);
        break;

    case IOCTL_SERIAL_GET_MODEM_CONTROL:
        status = BufferAndOut(Irp, stack, sizeof(ULONG));
        if (!NT_SUCCESS(status)) break;
        *static_cast<PULONG>(buffer) = GetModemControl(port);
        Irp->IoStatus.Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_SET_MODEM_CONTROL:
        status = BufferAndIn(Irp, stack, sizeof(ULONG));
        if (NT_SUCCESS(status)) status = RequireD0(port);
        if (NT_SUCCESS(status)) SetModemControl(port, *static_cast<PULONG>(buffer));
        break;

    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        status = BufferAndIn(Irp, stack, sizeof(ULONG));
        if (NT_SUCCESS(status)) status = RequireD0(port);
        break;

    default:
        // The private chip-access codes set their own Information, failures included; any other
        // code ends there with STATUS_INVALID_PARAMETER.
        status = PrivateRequest(port, Irp);
        privateCode = TRUE;
        break;
    }

    Irp->IoStatus.Status = status;
    if (!NT_SUCCESS(status) && !privateCode) Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
}
