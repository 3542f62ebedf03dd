// Power: the port owns its stack's power policy. A system state becomes D0 (working) or D3
// (anything else) through a device request of the port's own; nothing is saved before a sleep,
// because the settings live in the port all along and are replayed on every return to work.
#include "control/control.h"
#include "power/power.h"
#include "requests/requests.h"
#include "usb/configuration.h"
#include "usb/transfer.h"

static NTSTATUS CompletePower(PortExtension *port, PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ReleaseRequestCount(port);
    return status;
}

NTSTATUS ForwardPower(PortExtension *Port, PDEVICE_OBJECT LowerDevice, PIRP Irp) {
    NTSTATUS status = PoCallDriver(LowerDevice, Irp);
    ReleaseRequestCount(Port);
    return status;
}

static NTSTATUS PassSystemPowerDown(PortExtension *port, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    return ForwardPower(port, port->LowerDevice, irp);
}

// The chip after a wake may have lost everything the port set: the lines, the line coding, the
// handshakes it does itself, and the IN chains.
static VOID ReplayChipSetup(PortExtension *port) {
    REQUIRE_IRQL(PASSIVE_LEVEL);
    PDEVICE_OBJECT device = port->DeviceObject;
    if (!EepromHoldsVendorId(device)) (void)ChipInit(device);
    KIRQL irql;
    KeAcquireSpinLock(&port->ModemControlLock, &irql);
    USHORT lines = port->ModemControl;
    KeReleaseSpinLock(&port->ModemControlLock, irql);
    if (lines & MODEM_CONTROL_DTR) (void)SetDtr(port);
    if (lines & MODEM_CONTROL_RTS) (void)SetRts(port);
    // The port's own line coding, sent as it stands: a detour through another rate to force a
    // change would stop the UART for the rate's settling time and garble what is on the line.
    (void)SendLineCoding(port);
    if (port->ChipRtsFlowOn) (void)ChipRtsFlow(port, TRUE);
    if (port->ChipCtsFlowOn) (void)ChipCtsFlow(port, TRUE);
    if (port->ChipDsrFlowOn) (void)ChipDsrFlow(port, TRUE);
    (void)SubmitTransfer(device, InterruptIn, NULL, STATUS_PACKET_BYTES);
    // Closed, the port keeps no bulk IN outstanding: one would take what the far end sends before
    // the next open and throw it away.
    if (port->IsOpen) (void)SubmitTransfer(device, BulkIn, NULL, BULK_IN_BYTES);
}

VOID NTAPI DevicePowerRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    PortExtension *port = PortOf((PDEVICE_OBJECT)Context);
    PIRP system = (PIRP)InterlockedExchangePointer((PVOID volatile *)&port->PendingSystemPower, NULL);
    // The system's transition goes on whatever became of the device's.
    if (system) (void)PassSystemPowerDown(port, system);
}

NTSTATUS SystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    POWER_STATE target;
    target.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    BOOLEAN waking = target.DeviceState == PowerDeviceD0;
    if ((ULONG)target.DeviceState == port->DevicePowerState) {
        // Still counted while the chip is set up; the request's own count goes with it.
        InterlockedIncrement(&port->PendingRequestCount);
        NTSTATUS status = PassSystemPowerDown(port, Irp);
        if (waking) ReplayChipSetup(port);
        ReleaseRequestCount(port);
        return status;
    }

    // The system request gives up its count when it is passed down, perhaps on another thread
    // before the replay below is done: the replay holds a count of its own.
    InterlockedIncrement(&port->PendingRequestCount);
    port->PendingSystemPower = Irp;
    IoMarkIrpPending(Irp);
    NTSTATUS requested = PoRequestPowerIrp(port->Pdo, IRP_MN_SET_POWER, target, DevicePowerRequestDone, DeviceObject, NULL);
    if (requested != STATUS_PENDING) {
        // No device request will ever pass the system request on: it goes down now, or the
        // system's transition would hang. The device stays where it was, out of the replay's reach.
        PIRP system = (PIRP)InterlockedExchangePointer((PVOID volatile *)&port->PendingSystemPower, NULL);
        if (system) (void)PassSystemPowerDown(port, system);
        ReleaseRequestCount(port);
        return STATUS_PENDING;
    }
    if (waking) ReplayChipSetup(port);
    ReleaseRequestCount(port);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DeviceD0Done(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PortExtension *port = PortOf((PDEVICE_OBJECT)Context);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    port->DevicePowerState = PowerDeviceD0;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ReleaseRequestCount(port);
    return STATUS_SUCCESS;
}

NTSTATUS DeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    ULONG state = (ULONG)IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
    BOOLEAN toD0 = state == PowerDeviceD0;
    // A power-down is recorded before the lower drivers act, so nothing new is sent meanwhile.
    if (state >= PowerDeviceD1 && state <= PowerDeviceD3) port->DevicePowerState = state;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    if (toD0) IoSetCompletionRoutine(Irp, DeviceD0Done, DeviceObject, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = PoCallDriver(port->LowerDevice, Irp);
    if (!toD0) ReleaseRequestCount(port);
    return status;
}

static VOID NTAPI PowerUpDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState, PVOID Context,
                              PIO_STATUS_BLOCK IoStatus) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
}

NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
    REQUIRE_IRQL(PASSIVE_LEVEL);
    KEVENT done;
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    POWER_STATE state;
    state.DeviceState = State;
    NTSTATUS status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, state, PowerUpDone, &done, NULL);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    NTSTATUS status = AdmitRequest(Irp, port);
    if (status == STATUS_PENDING) return status;
    if (!NT_SUCCESS(status)) return CompletePower(port, Irp, status);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState) return SystemSetPower(DeviceObject, Irp);
        if (stack->Parameters.Power.Type == DevicePowerState) return DeviceSetPower(DeviceObject, Irp);
        break;
    case IRP_MN_QUERY_POWER:
        // A state the device cannot wake from would break the wake the port has armed.
        if (port->WaitWakeEnabled && stack->Parameters.Power.Type == DevicePowerState &&
            (ULONG)stack->Parameters.Power.State.DeviceState > (ULONG)port->DeviceWake)
            return CompletePower(port, Irp, STATUS_POWER_STATE_INVALID);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return ForwardPower(port, port->LowerDevice, Irp);
    default:
        break;
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(port->LowerDevice, Irp);
    // Still counted: a removal must not free the port while the power-up uses it.
    if (port->UsbConfigured == 1 && port->DevicePowerState != PowerDeviceD0) (void)PowerUp(port->Pdo, PowerDeviceD0);
    ReleaseRequestCount(port);
    return status;
}
