#include <cstring>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {

// What the PnP manager tells a stack that has already happened (the device went, a query was
// withdrawn) reaches it whatever the pool's state: such a request lost would leave the stack in a
// state nothing can leave.
bool MustReach(UCHAR major, UCHAR minor) {
    return major == IRP_MJ_PNP && (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                                   minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_CANCEL_STOP_DEVICE ||
                                   minor == IRP_MN_STOP_DEVICE);
}

// Builds an IRP for the stack above `pdo` whose final completion fills `result` and sets `event`.
PIRP BuildSystemIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, PKEVENT event, IO_STATUS_BLOCK *result) {
    IoManager &io = Machine::current().service<IoManager>();
    PIRP irp = io.allocateIrp(top->StackSize, __builtin_return_address(0), MustReach(major, minor));
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    // Windows starts every PnP request as "not supported" so that untouched requests say so.
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    std::lock_guard g(io.lock);
    io.irps[irp].onComplete = [event, result](PIRP done) {
        *result = done->IoStatus;
        IoFreeIrp(done);
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    };
    return irp;
}

}  // namespace

PDEVICE_OBJECT PnpManager::stackTop(PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(top);
    return top;
}

NTSTATUS PnpManager::sendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, IO_STATUS_BLOCK *result,
                                 void (*prepare)(PIO_STACK_LOCATION, void *), void *context) {
    RequireIrql(major == IRP_MJ_PNP ? "PnP manager" : "power manager", PASSIVE_LEVEL);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = BuildSystemIrp(top, major, minor, &event, &status);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (prepare) prepare(IoGetNextIrpStackLocation(irp), context);
    if (major == IRP_MJ_POWER)
        PoCallDriver(top, irp);
    else
        IoCallDriver(top, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(top);
    if (result) *result = status;
    return status.Status;
}

NTSTATUS PnpManager::send(PDEVICE_OBJECT pdo, UCHAR minor, IO_STATUS_BLOCK *result,
                          void (*prepare)(PIO_STACK_LOCATION, void *), void *context) {
    return sendAndWait(pdo, IRP_MJ_PNP, minor, result, prepare, context);
}

NTSTATUS PnpManager::sendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    struct Request {
        UCHAR minor;
        POWER_STATE_TYPE type;
        POWER_STATE state;
    } request{minor, type, state};
    return sendAndWait(pdo, IRP_MJ_POWER, minor, nullptr,
                       [](PIO_STACK_LOCATION s, void *c) {
                           auto r = static_cast<Request *>(c);
                           if (r->minor == IRP_MN_WAIT_WAKE) {
                               s->Parameters.WaitWake.PowerState = r->state.SystemState;
                           } else {
                               s->Parameters.Power.Type = r->type;
                               s->Parameters.Power.State = r->state;
                           }
                       },
                       &request);
}

std::u16string PnpManager::queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    std::u16string id;
    queryId(pdo, type, id);
    return id;
}

NTSTATUS PnpManager::queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::u16string &id) {
    IO_STATUS_BLOCK result{};
    NTSTATUS status = send(pdo, IRP_MN_QUERY_ID, &result,
                           [](PIO_STACK_LOCATION s, void *c) { s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE *>(c); },
                           &type);
    auto text = reinterpret_cast<PWSTR>(result.Information);
    id.clear();
    if (!NT_SUCCESS(status)) return status;
    if (!text) return STATUS_UNSUCCESSFUL;
    // A multi-string answer is kept whole: its strings end at the double terminator.
    size_t n = 0;
    while (text[n] || (type != BusQueryDeviceID && type != BusQueryInstanceID && text[n + 1])) n++;
    id.assign(text, n);
    ExFreePool(text);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::plugIn(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    RequireIrql("PnP manager", PASSIVE_LEVEL);
    if (!driver->DriverExtension->AddDevice) return STATUS_NOT_SUPPORTED;
    // Enumeration: the bus names its child; the device's registry key follows from that name. A
    // device whose name cannot be had for want of memory is not enumerated.
    std::u16string deviceId, instanceId;
    NTSTATUS status = queryId(pdo, BusQueryDeviceID, deviceId);
    if (NT_SUCCESS(status)) status = queryId(pdo, BusQueryInstanceID, instanceId);
    if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
    if (!deviceId.empty()) {
        std::u16string instance = deviceId + u"\\" + (instanceId.empty() ? u"0" : instanceId);
        Machine::current().service<Namespace>().SetDeviceInstanceId(pdo, instance);
    }
    status = driver->DriverExtension->AddDevice(driver, pdo);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT top = stackTop(pdo);
    if (top != pdo && (top->Flags & DO_DEVICE_INITIALIZING))
        Report(Violation::InvalidParameter, "AddDevice", "the new device still has DO_DEVICE_INITIALIZING set");
    status = send(pdo, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        send(pdo, IRP_MN_REMOVE_DEVICE);
        return status;
    }
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = capabilities.UINumber = 0xFFFFFFFF;
    send(pdo, IRP_MN_QUERY_CAPABILITIES, nullptr,
         [](PIO_STACK_LOCATION s, void *c) { s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c); },
         &capabilities);
    send(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE);
    return status;
}

NTSTATUS PnpManager::remove(PDEVICE_OBJECT pdo) {
    NTSTATUS status = send(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
        send(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    return send(pdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::surpriseRemove(PDEVICE_OBJECT pdo) { return send(pdo, IRP_MN_SURPRISE_REMOVAL); }

NTSTATUS PnpManager::finishSurpriseRemoval(PDEVICE_OBJECT pdo) { return send(pdo, IRP_MN_REMOVE_DEVICE); }

NTSTATUS PnpManager::stopAndRestart(PDEVICE_OBJECT pdo) {
    NTSTATUS status = send(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        send(pdo, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    status = send(pdo, IRP_MN_STOP_DEVICE);
    if (!NT_SUCCESS(status)) return status;
    return send(pdo, IRP_MN_START_DEVICE);
}

}  // namespace emu

using namespace emu;

extern "C" {

NTSTATUS NTAPI IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action) {
    RequireIrql("IoWMIRegistrationControl", PASSIVE_LEVEL);
    PnpManager &pnp = Machine::current().service<PnpManager>();
    NTSTATUS status = STATUS_SUCCESS;
    const char *fault = nullptr;
    {
        std::lock_guard<std::mutex> g(pnp.lock);
        auto it = pnp.wmiRegistrations.find(DeviceObject);
        const bool registered = it != pnp.wmiRegistrations.end();
        switch (Action) {
        case WMIREG_ACTION_REGISTER:
            // A second registration would have WMI ask the same provider twice.
            if (registered) fault = "the device object is already registered";
            else pnp.wmiRegistrations[DeviceObject] = 1;
            break;
        case WMIREG_ACTION_DEREGISTER:
            if (!registered) fault = "the device object is not registered";
            else pnp.wmiRegistrations.erase(it);
            break;
        case WMIREG_ACTION_REREGISTER:
        case WMIREG_ACTION_UPDATE_GUIDS:
            if (!registered) status = STATUS_INVALID_PARAMETER;
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
        }
    }
    if (fault) {
        Report(Violation::InvalidParameter, "IoWMIRegistrationControl", std::string(fault) + ": " + Hex(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    return status;
}

}  // extern "C"
