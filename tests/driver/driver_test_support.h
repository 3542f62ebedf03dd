// A machine with the driver loaded and a stand-in USB device below its ports: the device records
// every URB it is sent and completes it the way the test asks.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "control/control.h"
#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "receive/receive.h"
#include "usb/configuration.h"
#include "usb/transfer.h"

namespace dt {

constexpr int64_t kMs = 10000;

struct RecordedUrb {
    USHORT function;
    ULONG transferFlags;
    UCHAR request;
    USHORT value;
    USHORT index;
    std::vector<UCHAR> data;  // what an OUT request carried
};

// The stand-in bus: one PDO, answering IOCTL_INTERNAL_USB_SUBMIT_URB.
struct FakeBus {
    enum Mode { Complete, PendForever };
    Mode mode = Complete;
    UCHAR readByte = 0;                // data of IN requests
    ULONG readLength = 1;              // bytes an IN request reports
    std::vector<RecordedUrb> urbs;
    std::mutex urbsLock;  // a DPC on another processor may submit while the test does
    PIRP parked = nullptr;

    std::vector<RecordedUrb> Urbs() {
        std::lock_guard<std::mutex> g(urbsLock);
        return urbs;
    }

    static FakeBus *current;
};

inline FakeBus *FakeBus::current = nullptr;

inline VOID NTAPI FakeBusCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    FakeBus::current->parked = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

inline NTSTATUS NTAPI FakeBusInternalControl(PDEVICE_OBJECT, PIRP irp) {
    FakeBus &bus = *FakeBus::current;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
    auto *urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    auto &c = urb->UrbControlVendorClassRequest;
    RecordedUrb r{urb->UrbHeader.Function, c.TransferFlags, c.Request, c.Value, c.Index, {}};
    bool in = c.TransferFlags & USBD_TRANSFER_DIRECTION_IN;
    if (!in && c.TransferBuffer)
        r.data.assign(static_cast<UCHAR *>(c.TransferBuffer), static_cast<UCHAR *>(c.TransferBuffer) + c.TransferBufferLength);
    {
        std::lock_guard<std::mutex> g(bus.urbsLock);
        bus.urbs.push_back(r);
    }
    if (bus.mode == FakeBus::PendForever) {
        IoMarkIrpPending(irp);
        bus.parked = irp;
        IoSetCancelRoutine(irp, FakeBusCancel);
        return STATUS_PENDING;
    }
    if (in && c.TransferBuffer && c.TransferBufferLength) {
        *static_cast<UCHAR *>(c.TransferBuffer) = bus.readByte;
        c.TransferBufferLength = bus.readLength;
    }
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI FakeBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = FakeBusInternalControl;
    return STATUS_SUCCESS;
}

inline std::vector<UCHAR> Bytes(std::initializer_list<int> b) {
    std::vector<UCHAR> v;
    for (int x : b) v.push_back(UCHAR(x));
    return v;
}

// One machine, the driver loaded (after Configure() had its chance to preload the registry).
class DriverTest : public ::testing::Test {
protected:
    static constexpr std::u16string_view kInstance = u"USB\\VID_1209&PID_0001\\5&1&0&1";

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    emu::Registry &registry = machine.service<emu::Registry>();
    emu::Namespace &names = machine.service<emu::Namespace>();
    emu::Pool &pool = machine.service<emu::Pool>();
    FakeBus bus;
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_OBJECT busDriver = nullptr;
    std::vector<PDEVICE_OBJECT> pdos;
    std::vector<PDEVICE_OBJECT> ports;

    DriverTest() { FakeBus::current = &bus; }
    ~DriverTest() override { FakeBus::current = nullptr; }

    std::u16string ServiceKey() { return emu::IoManager::ServiceKeyPath(u"miravo"); }
    std::u16string DeviceParameters(int n = 0) {
        return std::u16string(emu::Registry::kEnumPath) + u"\\" + std::u16string(kInstance) + std::u16string(1, u'0' + n) +
               u"\\Device Parameters";
    }

    void LoadDriver() {
        ASSERT_EQ(io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        ASSERT_EQ(io.loadDriver(FakeBusEntry, u"fakebus", emu::Tag("Fake"), &busDriver), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT NewPdo() {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(IoCreateDevice(busDriver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
        int n = int(pdos.size());
        names.SetDeviceInstanceId(pdo, std::u16string(kInstance) + std::u16string(1, u'0' + n));
        pdos.push_back(pdo);
        return pdo;
    }

    // AddDevice on a fresh PDO, then the start defaults.
    PortExtension *AddPort() {
        PDEVICE_OBJECT pdo = NewPdo();
        PDEVICE_OBJECT before = driver->DeviceObject;
        EXPECT_EQ(driver->DriverExtension->AddDevice(driver, pdo), STATUS_SUCCESS);
        PDEVICE_OBJECT device = driver->DeviceObject;
        EXPECT_NE(device, before);
        ports.push_back(device);
        InitPortExtension(device);
        return PortOf(device);
    }

    static std::u16string Text(const UNICODE_STRING &s) {
        return std::u16string(s.Buffer ? s.Buffer : u"", s.Length / sizeof(WCHAR));
    }

    // What removal will do once Plug and Play handling exists: withdraw names, detach, delete.
    void RemovePort(PDEVICE_OBJECT device) {
        PortExtension *port = PortOf(device);
        UndoNaming(port);
        FreePortNames(port);
        IoDetachDevice(port->LowerDevice);
        IoDeleteDevice(device);
    }

    void TearDown() override {
        for (PDEVICE_OBJECT d : ports) RemovePort(d);
        for (PDEVICE_OBJECT p : pdos) IoDeleteDevice(p);
        if (driver) {
            EXPECT_EQ(registry.OpenHandleCount(), 0u);
            io.unloadDriver(driver);  // the verifier stops the test on pool left under 'COMX'
            EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), 0u);
        }
        if (busDriver) io.unloadDriver(busDriver);
    }
};

inline NTSTATUS NTAPI NoDispatchEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// One port device with its start defaults and an open-time ring, driven through the routines.
class RingPortTest : public ::testing::Test {
protected:
    explicit RingPortTest(emu::MachineConfig config = {}) : machine(config) {}

    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PortExtension *port = nullptr;

    void SetUp() override {
        ASSERT_EQ(io.loadDriver(NoDispatchEntry, u"ring", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        ASSERT_EQ(CreatePortDevice(driver, &device), STATUS_SUCCESS);
        port = PortOf(device);
        InitPortExtension(device);
        ASSERT_EQ(AllocateRing(port), STATUS_SUCCESS);
    }
    void TearDown() override {
        KeFlushQueuedDpcs();
        if (port) {
            FreeRing(port);
            FreePortNames(port);
            IoDeleteDevice(device);
        }
        if (driver) io.unloadDriver(driver);  // the verifier reports pool left under 'COMX'
    }
    // As the bulk IN branch and status processing run: ControlLock, then RxLock.
    template <class F> auto Locked(F fn) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        KeAcquireSpinLockAtDpcLevel(&port->RxLock);
        auto result = fn();
        KeReleaseSpinLockFromDpcLevel(&port->RxLock);
        KeReleaseSpinLock(&port->ControlLock, irql);
        return result;
    }
};

}  // namespace dt
