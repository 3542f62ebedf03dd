// The PDO's Plug and Play and power requests: start and removal, capabilities and IDs from the
// device's descriptors, device power states (suspend), and wait-wake with remote wake-up.
#include <cstdio>
#include <string>
#include <utility>

#include "emulator/usbdevice/bus.h"
#include "emulator/usbdevice/bus_internal.h"

namespace emu::usb {

namespace {

VOID NTAPI CancelWaitWakeRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    BusOf(device)->cancelWaitWake(irp);
}

}  // namespace

void UsbBus::remoteWake() {
    if (!waitWake_ || !IoSetCancelRoutine(waitWake_, NULL)) return;
    PIRP irp = waitWake_;
    waitWake_ = nullptr;
    Machine::current().scheduleAt(Now(), [irp] {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
}

NTSTATUS UsbBus::pnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        WorldGuard g(World().lock);
        started_ = true;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE: {
        // The hub keeps the PDO until the device is gone for good; here until the bus object goes.
        Completions done;
        {
            WorldGuard g(World().lock);
            started_ = false;
            failEverything(USBD_STATUS_CANCELED, done);
        }
        Deliver(std::move(done))();
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        bool wake, serial;
        {
            WorldGuard g(World().lock);
            auto config = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
            auto device = descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
            wake = config.size() > 7 && (config[7] & USB_CONFIG_REMOTE_WAKEUP);
            serial = device.size() > 16 && device[16] != 0;
        }
        caps->DeviceD1 = 1;
        caps->DeviceD2 = 1;
        caps->Removable = 1;
        caps->SurpriseRemovalOK = 0;
        caps->UniqueID = serial;
        caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = wake;
        caps->WakeFromD3 = 0;
        caps->Address = caps->UINumber = config_.portNumber;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; s++) caps->DeviceState[s] = PowerDeviceD2;
        caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        caps->SystemWake = wake ? PowerSystemSleeping3 : PowerSystemUnspecified;
        caps->DeviceWake = wake ? PowerDeviceD2 : PowerDeviceUnspecified;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_ID: {
        std::vector<std::string> ids;
        {
            WorldGuard g(World().lock);
            auto d = descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0);
            d.resize(std::max<size_t>(d.size(), 18));
            auto u16 = [&](int at) { return unsigned(d[at] | d[at + 1] << 8); };
            char buf[96];
            unsigned vid = u16(8), pid = u16(10), rev = u16(12);
            uint8_t cls = d[4], sub = d[5], proto = d[6];
            if (cls == 0) {  // classes live in the interfaces: the first one names the device
                auto c = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
                if (c.size() >= 18 && c[10] == USB_INTERFACE_DESCRIPTOR_TYPE) {
                    cls = c[14];
                    sub = c[15];
                    proto = c[16];
                }
            }
            switch (stack->Parameters.QueryId.IdType) {
            case BusQueryDeviceID:
                std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", vid, pid);
                ids = {buf};
                break;
            case BusQueryHardwareIDs:
                std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X&REV_%04X", vid, pid, rev);
                ids.push_back(buf);
                std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", vid, pid);
                ids.push_back(buf);
                break;
            case BusQueryCompatibleIDs:
                std::snprintf(buf, sizeof buf, "USB\\Class_%02x&SubClass_%02x&Prot_%02x", cls, sub, proto);
                ids.push_back(buf);
                std::snprintf(buf, sizeof buf, "USB\\Class_%02x&SubClass_%02x", cls, sub);
                ids.push_back(buf);
                std::snprintf(buf, sizeof buf, "USB\\Class_%02x", cls);
                ids.push_back(buf);
                break;
            case BusQueryInstanceID:
                std::snprintf(buf, sizeof buf, "%u", unsigned(config_.portNumber));
                ids = {buf};
                break;
            default:
                break;
            }
        }
        if (ids.empty()) break;
        // Device and instance IDs are one string; the others a list ending in an empty string.
        bool multi = stack->Parameters.QueryId.IdType == BusQueryHardwareIDs ||
                     stack->Parameters.QueryId.IdType == BusQueryCompatibleIDs;
        size_t chars = multi ? 1 : 0;
        for (auto &s : ids) chars += s.size() + 1;
        auto *out = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kBusTag));
        if (!out) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        PWCHAR w = out;
        for (auto &s : ids) {
            for (char ch : s) *w++ = WCHAR(ch);
            *w++ = 0;
        }
        if (multi) *w = 0;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(out);
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Suspended, the bus holds every URB (none is scheduled until D0): a device on a suspended port
// sees no traffic, and the requests a driver sends while its power-up is on the way go through
// once it arrives instead of failing.
void UsbBus::applyPowerLocked(DEVICE_POWER_STATE state) {
    power_ = state;
    bool suspend = power_ != PowerDeviceD0;
    if (suspend != suspended_) {
        suspended_ = suspend;
        forgetNaks();
        device_.suspend(suspend);
        if (!suspend) scheduleFrame();
    }
}

std::function<void()> UsbBus::releasePowerLocked() {
    PIRP irp = std::exchange(heldPower_, nullptr);
    if (!irp) return {};
    if (plugged_) applyPowerLocked(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState);
    return [irp] {
        irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    };
}

void UsbBus::holdDevicePower(bool hold) {
    std::function<void()> after;
    {
        WorldGuard g(World().lock);
        holdPower_ = hold;
        if (!hold) after = releasePowerLocked();
    }
    if (after) after();
}

bool UsbBus::holdingDevicePower() const {
    WorldGuard g(World().lock);
    return heldPower_ != nullptr;
}

NTSTATUS UsbBus::power(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == DevicePowerState) {
            WorldGuard g(World().lock);
            if (holdPower_ && !heldPower_ && plugged_) {
                IoMarkIrpPending(irp);
                heldPower_ = irp;
                return STATUS_PENDING;
            }
            applyPowerLocked(stack->Parameters.Power.State.DeviceState);
        }
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_WAIT_WAKE: {
        bool pending = false, cancelled = false;
        {
            WorldGuard g(World().lock);
            auto config = descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0);
            if (config.size() <= 7 || !(config[7] & USB_CONFIG_REMOTE_WAKEUP)) {
                status = STATUS_NOT_SUPPORTED;
            } else if (waitWake_) {
                status = STATUS_DEVICE_BUSY;
            } else {
                pending = true;
                IoMarkIrpPending(irp);
                KIRQL irql;
                IoAcquireCancelSpinLock(&irql);
                cancelled = irp->Cancel;
                if (!cancelled) {
                    IoSetCancelRoutine(irp, CancelWaitWakeRoutine);
                    waitWake_ = irp;
                }
                IoReleaseCancelSpinLock(irql);
            }
        }
        if (!pending) break;
        if (cancelled) {
            irp->IoStatus.Status = STATUS_CANCELLED;
            PoStartNextPowerIrp(irp);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    default:
        break;
    }
    irp->IoStatus.Status = status;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void UsbBus::cancelWaitWake(PIRP irp) {
    {
        WorldGuard g(World().lock);
        if (waitWake_ != irp) return;
        waitWake_ = nullptr;
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    PoStartNextPowerIrp(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace emu::usb
