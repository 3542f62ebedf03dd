// Open, close and cleanup: the port has one opener at a time; open sets the port up for a session
// and starts the USB IN transfers, close drops the session's state and drains its deferred work.
#include "control/control.h"
#include "driver/driver.h"
#include "power/power.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "requests/write.h"
#include "usb/syncrequest.h"
#include "usb/transfer.h"

#define CLEANUP_SETTLE (-300000LL)  // 30 ms, relative
#define CLOSE_CHAR_TIMES 10
#define CLOSE_FINAL_BITS 1280
// Longer than the chip's transmit FIFO takes to drain: an RTS drop that has not come by then is
// not waited for any further.
#define CLOSE_RTS_DROP_POLLS 512
#define CHIP_OPEN_RESET_A 0x0909
#define CHIP_OPEN_RESET_B 0x0808

// The upward entries of the paths built so far; the engine skips the NULL ones.
static const TransferHandoffs PortHandoffs = {PutChar, UpdateModemStatus, NotifyEvents,
                                              ContinueWrite, WriteChunkLost, SendWriteChunk};

static NTSTATUS Finish(PortExtension *port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
}

static VOID Delay(LONGLONG relative, BOOLEAN alertable) {
    LARGE_INTEGER due;
    due.QuadPart = relative;
    KeDelayExecutionThread(KernelMode, alertable, &due);
}

static VOID ResetSessionState(PortExtension *port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->WaitWakeEnabled = FALSE;
    port->TxXoffHeld = 0;
    port->WriteHeld = FALSE;
    port->WmiCommData.IsBusy = TRUE;
    port->MaskResultLocation = NULL;
    (void)InterlockedExchange((LONG volatile *)&port->WaitMask, 0);
    (void)InterlockedExchange(&port->HistoryMask, 0);
    RtlZeroMemory(&port->PerfStats, sizeof(port->PerfStats));
    RtlZeroMemory(&port->WmiPerfData, sizeof(port->WmiPerfData));
    port->EscapeChar = 0;
    KeReleaseSpinLock(&port->ControlLock, irql);

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    port->TxCharsQueued = 0;
    IoReleaseCancelSpinLock(cancelIrql);
}

static VOID OpenTimeReset(PortExtension *port) {
    RestoreChipSettings(port);
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->CommErrors = 0;
    port->IsOpen = TRUE;
    KeReleaseSpinLock(&port->ControlLock, irql);
}

NTSTATUS NTAPI CreateDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    // Refused before admission: a port that is not running takes no count.
    NTSTATUS refusal = STATUS_SUCCESS;
    if (port->PnpState != PNP_STARTED)
        refusal = STATUS_INSUFFICIENT_RESOURCES;
    else if (port->UsbConfigured != 1)
        refusal = STATUS_INSUFFICIENT_POWER;
    if (!NT_SUCCESS(refusal)) {
        Irp->IoStatus.Status = refusal;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return refusal;
    }

    NTSTATUS status = AdmitRequest(Irp, port);
    if (status == STATUS_PENDING) return status;
    if (!NT_SUCCESS(status)) return Finish(port, Irp, status);

    // Query-remove and query-stop look for an opener under OpenMutex: an open either counts
    // itself before they look, or finds the port leaving its started state and is refused.
    ExAcquireFastMutex(&port->OpenMutex);
    BOOLEAN started = port->PnpState == PNP_STARTED;
    LONG openers = started ? InterlockedIncrement(&port->OpenCount) : 0;
    ExReleaseFastMutex(&port->OpenMutex);
    if (!started) return Finish(port, Irp, STATUS_INSUFFICIENT_RESOURCES);
    if (openers != 1) {
        InterlockedDecrement(&port->OpenCount);
        return Finish(port, Irp, STATUS_ACCESS_DENIED);
    }
    if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
        InterlockedDecrement(&port->OpenCount);
        return Finish(port, Irp, STATUS_NOT_A_DIRECTORY);
    }
    if (!NT_SUCCESS(AllocateRing(port))) {
        InterlockedDecrement(&port->OpenCount);
        return Finish(port, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    MmLockPagableSectionByHandle(DriverGlobals.PagingLockHandle);
    NTSTATUS power = PowerUp(DeviceObject, PowerDeviceD0);
    if (!NT_SUCCESS(power)) {
        FreeRing(port);
        InterlockedDecrement(&port->OpenCount);
        MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);
        return Finish(port, Irp, power);
    }

    ResetSessionState(port);
    OpenTimeReset(port);
    if (IsNewerChip(port)) {
        (void)VendorWrite(DeviceObject, CHIP_OPEN_RESET_A, 0);
        (void)VendorWrite(DeviceObject, CHIP_OPEN_RESET_B, 0);
    }

    port->Handoffs = &PortHandoffs;
    // A chain still running from an earlier session is not started twice.
    (void)SubmitTransfer(DeviceObject, InterruptIn, NULL, STATUS_PACKET_BYTES);
    // A port that cannot receive is not opened: a read without time-outs would wait for ever.
    // The caller learns why: short of memory, or a device that has gone.
    NTSTATUS receiving = SubmitTransfer(DeviceObject, BulkIn, NULL, BULK_IN_BYTES);
    if (!NT_SUCCESS(receiving)) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        port->IsOpen = FALSE;
        port->WmiCommData.IsBusy = FALSE;
        KeReleaseSpinLock(&port->ControlLock, irql);
        FreeRing(port);
        InterlockedDecrement(&port->OpenCount);
        MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);
        return Finish(port, Irp, receiving == STATUS_NO_MEMORY ? STATUS_INSUFFICIENT_RESOURCES : receiving);
    }
    return Finish(port, Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CloseDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = AdmitRequest(Irp, port);
    if (status == STATUS_PENDING) return status;
    if (!NT_SUCCESS(status)) {
        // Removal is under way: the chip is gone or going, only the session's memory matters.
        if (status == STATUS_DELETE_PENDING) {
            port->IsOpen = FALSE;
            FreeRing(port);
            status = STATUS_SUCCESS;
        }
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        if (InterlockedDecrement(&port->OpenCount) == 0) MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);
        ReleaseRequestCount(port);
        return status;
    }
    if (ReadLong(&port->OpenCount) != 1) return Finish(port, Irp, STATUS_INVALID_DEVICE_REQUEST);

    LONGLONG charTime = CharTime(port);
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->IsOpen = FALSE;  // the receive path stores nothing from here on
    KeReleaseSpinLock(&port->ControlLock, irql);
    BreakOff(port);
    Delay(-CLOSE_CHAR_TIMES * charTime, TRUE);

    // The lines go down whatever the handshake says; the chip stops acting on its own.
    (void)ChipRtsFlow(port, FALSE);
    (void)ChipCtsFlow(port, FALSE);
    (void)ChipDsrFlow(port, FALSE);
    (void)ChipXonXoffFlow(port, FALSE);
    (void)ClearDtr(port);
    for (ULONG poll = 0; poll < CLOSE_RTS_DROP_POLLS && ReadLong(&port->RtsDropPending); poll++)
        Delay(-charTime, FALSE);
    LONG lineMark = ReadLong(&port->LineAsyncSends);
    (void)ClearRts(port);

    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->RxHoldReasons = 0;
    port->TxHoldReasons = 0;
    port->WmiCommData.IsBusy = FALSE;
    port->WaitWakeEnabled = FALSE;
    KeReleaseSpinLock(&port->ControlLock, irql);
    FreeRing(port);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    // No DPC of the session may run once close has returned.
    if (InterlockedDecrement(&port->PendingDpcCount) != 0)
        KeWaitForSingleObject(&port->DpcsDrainedEvent, Executive, KernelMode, FALSE, NULL);
    InterlockedIncrement(&port->PendingDpcCount);
    // A line change a DPC sent after ours must not outlive the session on the bus.
    FlushLineState(port, lineMark);

    // A bulk IN transfer would otherwise stay pending until the far end next sends, and take
    // those characters with it. The status chain keeps running, so that the next open starts
    // from the lines' real state. Cancelled before OpenCount drops, so that a new open cannot
    // lose the transfer it finds outstanding.
    CancelTransfer(port, BulkIn);
    InterlockedDecrement(&port->OpenCount);

    ULONG baud = port->CurrentBaud ? port->CurrentBaud : 9600;
    Delay(-(LONGLONG)(10000000 / baud) * CLOSE_FINAL_BITS, FALSE);
    MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);
    // Counted out last: a removal waiting for the requests inside must not free the port under us.
    ReleaseRequestCount(port);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CleanupDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    Delay(CLEANUP_SETTLE, FALSE);
    NTSTATUS status = AdmitRequest(Irp, port);
    if (status == STATUS_PENDING) return status;
    if (status == STATUS_SUCCESS) KillAllRequests(port);
    if (status == STATUS_DELETE_PENDING) status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    return Finish(port, Irp, status);
}
