// Admission: every request is counted in before anything else, so that stop and removal can wait
// for the requests inside the driver; the Plug and Play state decides whether it may go on.
#include "requests/requests.h"

// A pending stop holds what arrives, unless removal has begun.
static BOOLEAN HoldsRequests(ULONG Accept) {
    return (Accept & PnpAcceptStopPending) && !(Accept & PnpAcceptLeaving);
}

// The outcome for a request that is not held: admitted, or refused once removal has begun.
static NTSTATUS AdmitUnheld(PIRP Irp, ULONG Accept) {
    if (!(Accept & PnpAcceptLeaving)) return STATUS_SUCCESS;
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    Irp->IoStatus.Information = 0;
    return STATUS_DELETE_PENDING;
}

NTSTATUS AdmitRequest(PIRP Irp, PortExtension *Port) {
    InterlockedIncrement(&Port->PendingRequestCount);

    // Interlocked after the count: a removal that sets its bit and then drains either sees this
    // request counted or is seen here.
    ULONG accept = CurrentAcceptState(Port);
    if (accept == 0) return STATUS_SUCCESS;

    // Plug and Play requests are what move the state on; they are never held or refused here.
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP) return STATUS_SUCCESS;

    if (!HoldsRequests(accept)) return AdmitUnheld(Irp, accept);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read again under the lock that releasing and cancelling the held requests take: a stop called
    // off, or a removal begun, since the first read may already have emptied the list, which would
    // then never see this request.
    accept = CurrentAcceptState(Port);
    if (!HoldsRequests(accept)) {
        IoReleaseCancelSpinLock(irql);
        return AdmitUnheld(Irp, accept);
    }
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        Irp->IoStatus.Status = STATUS_CANCELLED;
        Irp->IoStatus.Information = 0;
        return STATUS_CANCELLED;
    }
    Irp->IoStatus.Status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    InsertTailList(&Port->HeldRequests, &Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, CancelHeldRequest);
    IoReleaseCancelSpinLock(irql);
    // Held, a request is not inside the driver: the stop drains without it, and the dispatch that
    // releases it counts it in afresh. Removal cancels the held requests before it drains.
    ReleaseRequestCount(Port);
    return STATUS_PENDING;
}

VOID ReleaseRequestCount(PortExtension *Port) {
    if (InterlockedDecrement(&Port->PendingRequestCount) == 0)
        KeSetEvent(&Port->RequestsDrainedEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS FailIfErrorAbort(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);

    // ControlLock keeps the two reads coherent with the receive path writing CommErrors on
    // another processor; it costs one uncontended acquire per request.
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    BOOLEAN abort = (port->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) && port->CommErrors != 0;
    KeReleaseSpinLock(&port->ControlLock, irql);
    if (!abort) return STATUS_SUCCESS;

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    // The one request that reads and clears the error word must get through.
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_GET_COMMSTATUS)
        return STATUS_SUCCESS;

    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return STATUS_CANCELLED;
}
