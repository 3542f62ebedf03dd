// Purges run one at a time through their own queue, so that one purge never overtakes another.
#include "receive/receive.h"
#include "requests/requests.h"

NTSTATUS NTAPI BeginPurge(PortExtension *Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    PIRP irp;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp = Port->CurrentPurge;
    IoReleaseCancelSpinLock(irql);

    while (irp) {
        ULONG mask = *static_cast<ULONG *>(irp->AssociatedIrp.SystemBuffer);
        if (mask & SERIAL_PURGE_TXABORT) {
            CancelAllOfKind(device, &Port->WriteQueue, &Port->CurrentWrite);
            // The write queue is empty by now: this reaches the XOFF counter alone.
            CancelAllOfKind(device, &Port->WriteQueue, &Port->CurrentXoff);
        }
        if (mask & SERIAL_PURGE_RXABORT) CancelAllOfKind(device, &Port->ReadQueue, &Port->CurrentRead);
        // SERIAL_PURGE_TXCLEAR: there is no transmit buffer to empty.
        if (mask & SERIAL_PURGE_RXCLEAR) PurgeRing(Port);

        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        TakeNextRequest(&Port->CurrentPurge, &Port->PurgeQueue, &irp, TRUE, Port);
    }
    return STATUS_SUCCESS;
}
