// Plug and Play: start, stop and removal of the port, capabilities and hardware IDs, and the
// settings restore every start and open run.
#include "control/control.h"
#include "driver/driver.h"
#include "power/power.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "usb/configuration.h"
#include "usb/syncrequest.h"
#include "usb/transfer.h"

#define REMOVAL_SETTLE (-50000LL)  // 5 ms, relative
// "*PNP0501" and its terminator, and the list's final terminator.
#define SERIAL_ID_CHARS 9
#define SERIAL_ID_LIST_EXTRA 20

static const WCHAR SingleSerialId[] = PLATFORM_WIDE("*PNP0501");
static const WCHAR MultiportSerialId[] = PLATFORM_WIDE("*PNP0502");

static NTSTATUS NTAPI ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request to the lower stack and takes it back when it has finished there.
static NTSTATUS ForwardSynchronously(PortExtension *port, PIRP irp, PKEVENT event) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ForwardAndWait, event, TRUE, TRUE, TRUE);
    if (IoCallDriver(port->LowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
    return irp->IoStatus.Status;
}

static NTSTATUS PassDown(PortExtension *port, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(port->LowerDevice, irp);
}

static NTSTATUS PassDownSucceeded(PortExtension *port, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(port, irp);
}

static NTSTATUS CompleteHere(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// FlagsLock keeps the changes from interleaving; the exchange publishes each one to the readers
// that take no lock.
static VOID ChangeAcceptStateLocked(PortExtension *port, ULONG set, ULONG clear) {
    REQUIRE_LOCK_HELD(&port->FlagsLock);
    // Read as the lock-free readers read it: a plain read would race their interlocked one.
    InterlockedExchange((LONG volatile *)&port->PnpAcceptState, (LONG)((CurrentAcceptState(port) & ~clear) | set));
}

static VOID ChangeAcceptState(PortExtension *port, ULONG set, ULONG clear) {
    KIRQL irql;
    KeAcquireSpinLock(&port->FlagsLock, &irql);
    ChangeAcceptStateLocked(port, set, clear);
    KeReleaseSpinLock(&port->FlagsLock, irql);
}

// Gives up this request's count and the base count, then waits until the requests inside the
// driver have left.
static VOID DrainRequests(PortExtension *port) {
    InterlockedDecrement(&port->PendingRequestCount);
    if (InterlockedDecrement(&port->PendingRequestCount) != 0)
        KeWaitForSingleObject(&port->RequestsDrainedEvent, Executive, KernelMode, FALSE, NULL);
}

static VOID CancelHeldRequests(PortExtension *port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!IsListEmpty(&port->HeldRequests)) {
        PIRP irp = CONTAINING_RECORD(RemoveTailList(&port->HeldRequests), IRP, Tail.Overlay.ListEntry);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
        irp->Cancel = TRUE;
        if (!routine) continue;  // its cancellation is already under way elsewhere
        irp->CancelIrql = irql;
        routine(port->DeviceObject, irp);  // releases the cancel lock
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}

VOID KillAllRequests(PortExtension *port) {
    PDEVICE_OBJECT device = port->DeviceObject;
    CancelAllOfKind(device, &port->WriteQueue, &port->CurrentWrite);
    // The write queue is empty by now: this reaches the XOFF counter alone. A counter still
    // counting may wait forever, and the close after cleanup, or a removal, would wait with it.
    CancelAllOfKind(device, &port->WriteQueue, &port->CurrentXoff);
    CancelAllOfKind(device, &port->ReadQueue, &port->CurrentRead);
    CancelAllOfKind(device, &port->PurgeQueue, &port->CurrentPurge);
    CancelAllOfKind(device, &port->MaskQueue, &port->CurrentMask);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP wait = port->CurrentWait;
    PDRIVER_CANCEL routine = wait ? IoSetCancelRoutine(wait, NULL) : NULL;
    if (wait) wait->Cancel = TRUE;
    if (routine) {
        wait->CancelIrql = irql;
        routine(device, wait);
    } else {
        IoReleaseCancelSpinLock(irql);
    }
    CancelHeldRequests(port);
}

// Sends the requests held during a stop through dispatch again, oldest first.
static VOID ReleaseHeldRequests(PortExtension *port) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    while (!IsListEmpty(&port->HeldRequests)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&port->HeldRequests), IRP, Tail.Overlay.ListEntry);
        // Without its cancel routine the request is being cancelled, and the canceller completes it.
        if (!IoSetCancelRoutine(irp, NULL)) continue;
        IoReleaseCancelSpinLock(irql);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        port->DriverObject->MajorFunction[stack->MajorFunction](stack->DeviceObject, irp);
        IoAcquireCancelSpinLock(&irql);
    }
    IoReleaseCancelSpinLock(irql);
}

// Every counted DPC of the port with the timer that queues it. An RTS-drop attempt taken away
// here is one that close would otherwise wait for after a restart.
static VOID ReleaseTimersAndDpcs(PortExtension *port) {
    for (ULONG i = 0; i < PORT_COUNTED_DPCS; i++) {
        CountedDpc *entry = &port->CountedDpcs[i];
        if (!entry->Dpc) continue;
        BOOLEAN dropAttempt = entry->Dpc == &port->ArmRtsDropDpc || entry->Dpc == &port->RtsDropDpc;
        if (entry->Timer && CancelTimerCounted(entry->Timer, port) && dropAttempt)
            InterlockedDecrement(&port->RtsDropPending);
        if (RemoveDpcCounted(entry->Dpc, port) && dropAttempt) InterlockedDecrement(&port->RtsDropPending);
    }
}

ULONG MaxBaudFromMask(ULONG Mask) {
    static const ULONG bits[][2] = {
        {0x10000, 131072}, {0x20000, 115200}, {0x8000, 57344}, {0x40000, 57600}, {0x4000, 38400}, {0x2000, 19200},
        {0x1000, 14400},   {0x800, 9600},     {0x400, 7200},    {0x200, 4800},    {0x100, 2400},   {0x80, 1800},
        {0x40, 1200},      {0x20, 600},       {0x10, 300},      {0x8, 150},       {0x4, 135},      {0x2, 110},
        {0x1, 75},
    };
    for (ULONG i = 0; i < sizeof(bits) / sizeof(bits[0]); i++)
        if (Mask & bits[i][0]) return bits[i][1];
    return 0;
}

PLATFORM_PAGEABLE VOID RestoreChipSettings(PortExtension *Port) {
    PAGED_CODE();
    PDEVICE_OBJECT device = Port->DeviceObject;
    if (Port->ChipType != ChipUnclassified && !EepromHoldsVendorId(device)) (void)ChipInit(device);
    (void)SetRemoteWakeup(device, TRUE);
    (void)SendLineCoding(Port);
    // The port is not open yet: every part of the handshake is applied afresh.
    ApplyHandFlow(Port, &Port->HandFlow);
    RefreshModemStatus(Port);  // for the transmit holds the lines call for now
    (void)SetBaudRate(Port, Port->CurrentBaud);
    if (IsNewerChip(Port)) (void)VendorWrite(device, CHIP_OPTION, 2);
    Port->TxIdle = TRUE;
}

static VOID FillWmiBlocks(PortExtension *port) {
    SERIAL_WMI_COMM_DATA *d = &port->WmiCommData;
    UCHAR lineControl = port->LineControl;
    d->BaudRate = port->CurrentBaud;
    d->BitsPerByte = (ULONG)(lineControl & 3) + 5;
    d->ParityCheckEnable = (lineControl & 0x08) ? TRUE : FALSE;
    switch (lineControl & 0x38) {
    case 0x08: d->Parity = SERIAL_WMI_PARITY_ODD; break;
    case 0x18: d->Parity = SERIAL_WMI_PARITY_EVEN; break;
    case 0x28: d->Parity = SERIAL_WMI_PARITY_MARK; break;
    case 0x38: d->Parity = SERIAL_WMI_PARITY_SPACE; break;
    default: d->Parity = SERIAL_WMI_PARITY_NONE; break;
    }
    if (!(lineControl & 0x04))
        d->StopBits = SERIAL_WMI_STOP_1;
    else
        d->StopBits = d->BitsPerByte == 5 ? SERIAL_WMI_STOP_1_5 : SERIAL_WMI_STOP_2;
    d->XoffCharacter = port->SpecialChars.XoffChar;
    d->XonCharacter = port->SpecialChars.XonChar;
    d->XoffXmitThreshold = (ULONG)port->HandFlow.XoffLimit;
    d->XonXmitThreshold = (ULONG)port->HandFlow.XonLimit;
    d->MaximumBaudRate = MaxBaudFromMask(port->SettableBauds);
    d->MaximumOutputBufferSize = 0xFFFFFFFF;
    d->MaximumInputBufferSize = 0xFFFFFFFF;
    d->Support16BitMode = FALSE;
    d->SupportDTRDSR = d->SupportIntervalTimeouts = d->SupportParityCheck = d->SupportRTSCTS = TRUE;
    d->SupportXonXoff = d->SettableBaudRate = d->SettableDataBits = d->SettableFlowControl = TRUE;
    d->SettableParity = d->SettableParityCheck = d->SettableStopBits = TRUE;
    d->IsBusy = FALSE;
    // No interrupt or port of its own; a level interrupt is what the legacy mode reads as.
    RtlZeroMemory(&port->WmiHwData, sizeof(port->WmiHwData));
    port->WmiHwData.InterruptType = SERIAL_WMI_INTTYPE_LEVEL;
    RtlZeroMemory(&port->WmiPerfData, sizeof(port->WmiPerfData));
}

NTSTATUS FinishStart(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    // A port given a COM name starts with it or not at all: half-named, it would stay unreachable
    // by that name for as long as it is plugged in. Naming first leaves nothing else to undo.
    if (port->PnpState == PNP_NEVER_STARTED) {
        NTSTATUS status = NamePort(port);
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
    }
    KIRQL irql;
    if ((port->DeviceFlags & (DEVICE_FLAG_STARTED | DEVICE_FLAG_STOPPED)) == (DEVICE_FLAG_STARTED | DEVICE_FLAG_STOPPED)) {
        KeAcquireSpinLock(&port->FlagsLock, &irql);
        port->DeviceFlags &= ~DEVICE_FLAG_STOPPED;
        KeReleaseSpinLock(&port->FlagsLock, irql);
        port->PnpState = PNP_RESTARTING;
    }
    InitPortExtension(DeviceObject);
    RestoreChipSettings(port);
    port->IsOpen = FALSE;
    // Lowered until an open: nothing answers on the line yet.
    (void)ClearRts(port);
    (void)ClearDtr(port);
    FillWmiBlocks(port);
    if (port->PnpState == PNP_NEVER_STARTED && !port->CountedAsSerialPort) {
        IoGetConfigurationInformation()->SerialCount++;
        port->CountedAsSerialPort = TRUE;
    }
    // Management software can do without the port's blocks; the port itself still works.
    if (port->PnpState == PNP_NEVER_STARTED && !port->WmiRegistered) (void)RegisterWmi(port);
    BOOLEAN restarting = port->PnpState == PNP_RESTARTING;

    KeAcquireSpinLock(&port->FlagsLock, &irql);
    port->PnpState = PNP_STARTED;
    ChangeAcceptStateLocked(port, 0, ~0u);
    port->DeviceFlags |= DEVICE_FLAG_STARTED;
    KeReleaseSpinLock(&port->FlagsLock, irql);
    if (restarting) ReleaseHeldRequests(port);
    return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    KeInitializeEvent(&port->StartEvent, SynchronizationEvent, FALSE);
    NTSTATUS status = ForwardSynchronously(port, Irp, &port->StartEvent);
    if (NT_SUCCESS(status)) status = FinishStart(DeviceObject);
    if (!NT_SUCCESS(status)) return status;
    return IdentifyChip(DeviceObject);
}

static NTSTATUS StartPort(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    MmLockPagableSectionByHandle(DriverGlobals.PagingLockHandle);
    port->ChipType = ChipUnclassified;
    port->DevicePowerState = PowerDeviceD0;
    NTSTATUS status = StartDevice(device, irp);
    if (NT_SUCCESS(status)) {
        if (!EepromHoldsVendorId(device)) (void)ChipInit(device);
        ReadBackRegisters(device);
    }
    MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);
    return CompleteHere(irp, status);
}

VOID DisableInterfaces(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    if ((port->DeviceFlags & (DEVICE_FLAG_STARTED | DEVICE_FLAG_STOPPED)) == DEVICE_FLAG_STARTED)
        ReleaseTimersAndDpcs(port);
    DeregisterWmi(port);
    UndoNaming(port);
}

NTSTATUS RemoveDeviceObject(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    if (!(CurrentAcceptState(port) & PnpAcceptSurpriseRemoved)) DisableInterfaces(DeviceObject);
    if (port->CountedAsSerialPort) {
        IoGetConfigurationInformation()->SerialCount--;
        port->CountedAsSerialPort = FALSE;
    }
    IoDetachDevice(port->LowerDevice);
    FreePortNames(port);
    if (port->FirstInterfaceInfo) ExFreePoolWithTag(port->FirstInterfaceInfo, MIRAVO_POOL_TAG);
    if (port->SecondInterfaceInfo) ExFreePoolWithTag(port->SecondInterfaceInfo, MIRAVO_POOL_TAG);
    if (port->DeviceDescriptor) ExFreePoolWithTag(port->DeviceDescriptor, MIRAVO_POOL_TAG);
    port->FirstInterfaceInfo = NULL;
    port->SecondInterfaceInfo = NULL;
    port->DeviceDescriptor = NULL;
    IoDeleteDevice(DeviceObject);
    return STATUS_SUCCESS;
}

static NTSTATUS RemovePort(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    ChangeAcceptState(port, PnpAcceptRemoving, 0);
    KillAllRequests(port);
    CancelAllTransfers(port);
    DrainRequests(port);
    LARGE_INTEGER settle;
    settle.QuadPart = REMOVAL_SETTLE;
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    // A request draining out may have sent a transfer after the first cancel; no completion may
    // run once the port is freed.
    CancelAllTransfers(port);
    WaitForTransfers(port);
    // The bus sees the removal while the stack is still whole; the port goes after it.
    NTSTATUS status = PassDownSucceeded(port, irp);
    RemoveDeviceObject(device);
    return status;
}

static NTSTATUS SurpriseRemovePort(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    ChangeAcceptState(port, PnpAcceptSurpriseRemoved, 0);
    KillAllRequests(port);
    CancelAllTransfers(port);
    FreeRing(port);
    DrainRequests(port);
    InterlockedIncrement(&port->PendingRequestCount);
    DisableInterfaces(device);
    NTSTATUS status = PassDownSucceeded(port, irp);
    ReleaseRequestCount(port);
    return status;
}

static NTSTATUS QueryCapabilities(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    PKEVENT event = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), MIRAVO_POOL_TAG);
    if (!event) return CompleteHere(irp, STATUS_INSUFFICIENT_RESOURCES);
    KeInitializeEvent(event, NotificationEvent, FALSE);
    NTSTATUS status = ForwardSynchronously(port, irp, event);
    ExFreePoolWithTag(event, MIRAVO_POOL_TAG);

    PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (caps) {
        caps->SurpriseRemovalOK = 1;
        port->DeviceStateMap[0] = PowerDeviceUnspecified;
        port->DeviceStateMap[1] = PowerDeviceD0;
        for (ULONG s = PowerSystemSleeping1; s <= PowerSystemShutdown; s++) port->DeviceStateMap[s] = caps->DeviceState[s];
        port->DeviceWake = caps->DeviceWake;
    }
    return CompleteHere(irp, status);
}

// Bytes of a multi-string, its final terminator included; 0 for no list.
static ULONG MultiStringBytes(PCWSTR list) {
    if (!list) return 0;
    ULONG chars = 0;
    while (list[chars]) {
        while (list[chars]) chars++;
        chars++;
    }
    return (chars + 1) * sizeof(WCHAR);
}

static NTSTATUS ReadMultiportSetting(PortExtension *port, PULONG multiport) {
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return status;
    static const WCHAR name[] = PLATFORM_WIDE("MultiportDevice");
    status = QueryRegistryValue(key, name, sizeof(name), multiport, sizeof(ULONG));
    ZwClose(key);
    return status;
}

// The bus builds the hardware-ID list, so it is asked first and the serial identifier appended to
// its answer; a list handed down first would be replaced, and lost, by the bus's own.
static NTSTATUS QueryHardwareIds(PDEVICE_OBJECT device, PIRP irp) {
    PortExtension *port = PortOf(device);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = ForwardSynchronously(port, irp, &event);
    PWSTR old = NT_SUCCESS(status) ? (PWSTR)irp->IoStatus.Information : NULL;
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) return CompleteHere(irp, status);

    // Without the setting the list stays as the bus gave it.
    ULONG multiport = 0;
    if (!NT_SUCCESS(ReadMultiportSetting(port, &multiport))) return CompleteHere(irp, status);
    PCWSTR id = multiport ? MultiportSerialId : SingleSerialId;

    ULONG oldBytes = MultiStringBytes(old);
    ULONG bytes = oldBytes ? oldBytes + SERIAL_ID_LIST_EXTRA : (SERIAL_ID_CHARS + 2) * sizeof(WCHAR);
    PWSTR list = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, MIRAVO_POOL_TAG);
    if (!list) {
        if (old) ExFreePool(old);
        irp->IoStatus.Information = 0;
        return CompleteHere(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    RtlZeroMemory(list, bytes);
    ULONG at = 0;
    if (old) {
        RtlCopyMemory(list, old, oldBytes);
        at = oldBytes / sizeof(WCHAR) - 1;  // over the final terminator
        ExFreePool(old);
    }
    RtlCopyMemory(&list[at], id, SERIAL_ID_CHARS * sizeof(WCHAR));
    irp->IoStatus.Information = (ULONG_PTR)list;
    return CompleteHere(irp, STATUS_SUCCESS);
}

static NTSTATUS StopPort(PortExtension *port, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&port->FlagsLock, &irql);
    port->DeviceFlags |= DEVICE_FLAG_STOPPED;
    ChangeAcceptStateLocked(port, PnpAcceptStopped, PnpAcceptStopPending);
    KeReleaseSpinLock(&port->FlagsLock, irql);
    port->PnpState = PNP_STOPPED;
    DrainRequests(port);
    InterlockedIncrement(&port->PendingRequestCount);
    if (port->DeviceFlags & DEVICE_FLAG_STARTED) ReleaseTimersAndDpcs(port);
    return PassDownSucceeded(port, irp);
}

// An open still setting up, or a close still taking down, counts as much as an open port.
static BOOLEAN PortInUse(PortExtension *port) {
    return port->IsOpen || ReadLong(&port->OpenCount) != 0;
}

// Query-remove and query-stop: refused while the port is in use; otherwise the port enters State
// and its accept state takes Accept, under OpenMutex so that no open slips in between.
static NTSTATUS QueryLeave(PortExtension *port, PIRP Irp, ULONG State, ULONG Accept) {
    ExAcquireFastMutex(&port->OpenMutex);
    if (PortInUse(port)) {
        ExReleaseFastMutex(&port->OpenMutex);
        return CompleteHere(Irp, STATUS_DEVICE_BUSY);
    }
    port->PnpState = State;
    ChangeAcceptState(port, Accept, 0);
    ExReleaseFastMutex(&port->OpenMutex);
    return PassDownSucceeded(port, Irp);
}

static NTSTATUS HandlePnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartPort(DeviceObject, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryLeave(port, Irp, PNP_REMOVE_PENDING, PnpAcceptRemoving);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        port->PnpState = PNP_STARTED;
        ChangeAcceptState(port, 0, PnpAcceptRemoving);
        return PassDownSucceeded(port, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
        if (port->PnpState != PNP_STARTED) return PassDown(port, Irp);
        return QueryLeave(port, Irp, PNP_STOP_PENDING, PnpAcceptStopPending);

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (port->PnpState == PNP_STOP_PENDING) {
            port->PnpState = PNP_STARTED;
            ChangeAcceptState(port, 0, PnpAcceptStopPending);
            ReleaseHeldRequests(port);
        }
        // A cancel must succeed on the way down, whatever the state here.
        return PassDownSucceeded(port, Irp);

    case IRP_MN_QUERY_CAPABILITIES:
        return QueryCapabilities(DeviceObject, Irp);

    case IRP_MN_QUERY_ID:
        if (stack->Parameters.QueryId.IdType == BusQueryHardwareIDs) return QueryHardwareIds(DeviceObject, Irp);
        if (stack->Parameters.QueryId.IdType == BusQueryCompatibleIDs) return PassDownSucceeded(port, Irp);
        return PassDown(port, Irp);

    default:
        return PassDown(port, Irp);
    }
}

NTSTATUS NTAPI PnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension *port = PortOf(DeviceObject);
    // Plug and Play requests are only counted in, never held or refused.
    (void)AdmitRequest(Irp, port);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    // These three give up their own count in the drain.
    case IRP_MN_STOP_DEVICE:
        return StopPort(port, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemovePort(DeviceObject, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemovePort(DeviceObject, Irp);
    default: {
        NTSTATUS status = HandlePnp(DeviceObject, Irp);
        ReleaseRequestCount(port);
        return status;
    }
    }
}
