// A machine with the driver loaded and Miravo chips plugged in through the PnP manager, on the simulated USB bus.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "control/control.h"
#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"
#include "emulator/win32/win32.h"
#include "platform/miravo_ids.h"
#include "usb/configuration.h"
#include "usb/transfer.h"

namespace pt {

using emu::usb::ChipConfig;
using emu::usb::FaultRule;
using emu::usb::SimulatedDevice;
using emu::usb::UrbRecord;

constexpr int64_t kMs = 10000;
constexpr int64_t kSecond = 1000 * kMs;
// What the Win32 side answers a request: done, buffer too short, refused.
constexpr DWORD kOk = 0, kShort = win32::ERROR_INSUFFICIENT_BUFFER, kBad = win32::ERROR_INVALID_PARAMETER;

// A request built by hand as the I/O manager hands it to the port, and how it came back.
struct Sent {
    PIRP irp = nullptr;
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool done() const { return completions > 0; }
};

class PnpTest : public ::testing::Test {
protected:
    explicit PnpTest(emu::MachineConfig config = {}) : machine(config) {}
    emu::Machine machine;
    emu::IoManager &io = machine.service<emu::IoManager>();
    emu::PnpManager &pnp = machine.service<emu::PnpManager>();
    emu::Registry &registry = machine.service<emu::Registry>();
    emu::Namespace &names = machine.service<emu::Namespace>();
    emu::Pool &pool = machine.service<emu::Pool>();
    PDRIVER_OBJECT driver = nullptr;
    size_t driverBytes = 0;  // what the loaded driver holds without any port

    void SetUp() override {
        ASSERT_EQ(io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver), STATUS_SUCCESS);
        driverBytes = pool.bytesInUse(MIRAVO_POOL_TAG);
    }
    size_t PortBytes() const { return pool.bytesInUse(MIRAVO_POOL_TAG) - driverBytes; }

    std::vector<PIRP> irps;  // sent by hand, freed at the end
    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto *s = static_cast<Sent *>(context);
        s->status = irp->IoStatus.Status;
        s->information = irp->IoStatus.Information;
        s->completions++;
        return STATUS_MORE_PROCESSING_REQUIRED;  // the test frees the IRP
    }
    NTSTATUS Send(PortExtension *port, Sent &s, UCHAR major, ULONG length = 0, ULONG code = 0, PVOID buffer = nullptr,
                  bool cancelled = false) {
        s.irp = IoAllocateIrp(port->DeviceObject->StackSize, FALSE);
        irps.push_back(s.irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s.irp);
        next->MajorFunction = major;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        (major == IRP_MJ_DEVICE_CONTROL ? next->Parameters.DeviceIoControl.InputBufferLength
                                        : next->Parameters.Read.Length) = length;
        s.irp->AssociatedIrp.SystemBuffer = buffer;
        s.irp->Cancel = cancelled;
        IoSetCompletionRoutine(s.irp, Done, &s, TRUE, TRUE, TRUE);
        return IoCallDriver(port->DeviceObject, s.irp);
    }

    void TearDown() override {
        for (PIRP irp : irps) IoFreeIrp(irp);
        irps.clear();
        if (!driver) return;
        EXPECT_EQ(driver->DeviceObject, nullptr) << "a port was left behind";
        EXPECT_EQ(registry.OpenHandleCount(), 0u);
        io.unloadDriver(driver);  // the verifier stops the test on pool left under 'COMX'
        EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), 0u);
    }

    static ChipConfig Variant(int type, emu::usb::VendorIdAt vendorId = emu::usb::VendorIdAt::Zero) {
        ChipConfig c = ChipConfig::Variant(type);
        c.vendorIdAt = vendorId;
        return c;
    }

    // The device's hardware key, as the PnP manager names it when the device arrives.
    static std::u16string DeviceParameters(int type, int portNumber = 1) {
        static const char16_t hex[] = u"0123456789ABCDEF";
        std::u16string pid;
        for (int shift = 12; shift >= 0; shift -= 4) pid += hex[((0x7A30 + type) >> shift) & 0xF];
        return std::u16string(emu::Registry::kEnumPath) + u"\\USB\\VID_1209&PID_" + pid + u"\\" +
               std::u16string(1, char16_t(u'0' + portNumber)) + u"\\Device Parameters";
    }

    PDEVICE_OBJECT Port(SimulatedDevice &device) {
        PDEVICE_OBJECT top = pnp.stackTop(device.pdo());
        return top == device.pdo() ? nullptr : top;
    }
    PortExtension *Ext(SimulatedDevice &device) {
        PDEVICE_OBJECT port = Port(device);
        return port ? PortOf(port) : nullptr;
    }

    static std::vector<UrbRecord> Vendor(const std::vector<UrbRecord> &log, bool in) {
        std::vector<UrbRecord> out;
        for (const UrbRecord &r : log)
            if (r.function == URB_FUNCTION_VENDOR_DEVICE && r.hasSetup && r.setup.in() == in) out.push_back(r);
        return out;
    }
    static int Count(const std::vector<UrbRecord> &log, USHORT function) {
        int n = 0;
        for (const UrbRecord &r : log) n += r.function == function;
        return n;
    }
};

// COM3 on a plugged chip behind a loopback plug, as an application reaches it.
class Com3Test : public PnpTest {
protected:
    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<emu::usb::Loopback> plug;
    PortExtension *port = nullptr;
    HANDLE h = win32::INVALID_HANDLE_VALUE;
    DWORD openFlags = 0;

    void Plug(int type = 2, emu::usb::LoopbackWiring wiring = {}) {
        if (device) TearDown(), SetUp();
        registry.SetString(DeviceParameters(type), u"PortName", u"COM3");
        device = std::make_unique<SimulatedDevice>(Variant(type));
        plug = std::make_unique<emu::usb::Loopback>(device->chip(), wiring);
        ASSERT_EQ(pnp.plugIn(driver, device->pdo()), STATUS_SUCCESS);
        port = Ext(*device);
        ASSERT_NE(port, nullptr);
    }
    HANDLE Open() {
        using namespace win32;
        return CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, openFlags, nullptr);
    }
    void Close() {
        EXPECT_TRUE(win32::CloseHandle(h));
        h = win32::INVALID_HANDLE_VALUE;
    }
    void TearDown() override {
        if (h != win32::INVALID_HANDLE_VALUE) Close();
        if (device && device->bus().plugged()) { EXPECT_EQ(pnp.remove(device->pdo()), STATUS_SUCCESS); }
        plug.reset();
        device.reset();
        PnpTest::TearDown();
    }
    // The error of a device-control request on `h` (0 on success) and the bytes it returned.
    std::pair<DWORD, DWORD> Call(DWORD code, const void *in, DWORD inLen, void *out = nullptr, DWORD outLen = 0) {
        using namespace win32;
        DWORD returned = 0xDEAD;
        win32::OVERLAPPED ov{};
        if (openFlags & FILE_FLAG_OVERLAPPED) ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = DeviceIoControl(h, code, const_cast<void *>(in), inLen, out, outLen, &returned, ov.hEvent ? &ov : nullptr);
        DWORD error = ok ? 0 : GetLastError();
        if (error == ERROR_IO_PENDING) error = GetOverlappedResult(h, &ov, &returned, TRUE) ? 0 : GetLastError();
        if (ov.hEvent) CloseHandle(ov.hEvent);
        return {error, returned};
    }
};

// A started port driven through the routines themselves, at 8N1: treated as open, with
// `handoffs` above the transfer engine.
class StartedPortTest : public PnpTest {
protected:
    using PnpTest::PnpTest;
    std::unique_ptr<SimulatedDevice> device;
    PortExtension *port = nullptr;

    void Start(ChipConfig config, ULONG rate, const TransferHandoffs *handoffs) {
        device = std::make_unique<SimulatedDevice>(config);
        ASSERT_EQ(pnp.plugIn(driver, device->pdo()), STATUS_SUCCESS);
        port = Ext(*device);
        SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
        ASSERT_EQ(SetLineControl(port, &lc), STATUS_SUCCESS);
        SetBaudRate(port, rate);
        port->Handoffs = handoffs;
        port->OpenCount = 1;
        port->IsOpen = TRUE;
    }
    PDEVICE_OBJECT Dev() { return port->DeviceObject; }
    // The port's settings and receive state as the engine sees them: under ControlLock.
    template <class F> auto Ctl(F f) {
        KIRQL irql;
        KeAcquireSpinLock(&port->ControlLock, &irql);
        auto result = f();
        KeReleaseSpinLock(&port->ControlLock, irql);
        return result;
    }
    void Run(int64_t ms) { machine.sleepFor(ms * kMs); }
    template <class F> bool RunUntil(F done, int64_t limitMs = 3000) {
        for (int64_t t = 0; t < limitMs && !done(); t++) Run(1);
        return done();
    }
    // Closed (an open port refuses the query-remove) with every transfer ended.
    void Close() {
        port->IsOpen = FALSE;
        InterlockedExchange(&port->OpenCount, 0);
        CancelAllTransfers(port);
        WaitForTransfers(port);
    }
    void TearDown() override {
        if (device) pnp.remove(device->pdo());
        device.reset();
        PnpTest::TearDown();
    }
};

}  // namespace pt
