// I/O manager semantics, driven from below the Win32 side: stacks of configurable layers, IRPs
// built by hand, and the verifier's view of drivers that break the rules.
#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/powermgr.h"
#include "emulator/kernel/verifier.h"
#include "tests/emulator/kernel_test_support.h"

namespace {

using emu::Violation;

struct Call {
    int layer;  // -1: the IRP's originator
    PDEVICE_OBJECT device;
    BOOLEAN pendingReturned;
};

// A device extension: how the layer treats each IRP it gets.
struct Layer {
    int index = 0;
    std::vector<Call> *log = nullptr;
    PDEVICE_OBJECT lower = nullptr;  // NULL: the bottom, which completes or holds the IRP
    bool completionRoutine = false;  // else the layer skips its location
    bool pend = false;  // hold requests other than create, cleanup and close
    bool markPending = true;
    int closes = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PIRP held = nullptr;
};

NTSTATUS NTAPI LayerCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto *layer = static_cast<Layer *>(context);
    layer->log->push_back({layer->index, device, irp->PendingReturned});
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI LayerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto *layer = static_cast<Layer *>(device->DeviceExtension);
    if (layer->lower && !layer->completionRoutine) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(layer->lower, irp);
    }
    if (layer->lower) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LayerCompletion, layer, TRUE, TRUE, TRUE);
        return IoCallDriver(layer->lower, irp);
    }
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_CLOSE) layer->closes++;
    if (layer->pend && major != IRP_MJ_CREATE && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
        if (layer->markPending) IoMarkIrpPending(irp);
        layer->held = irp;
        return STATUS_PENDING;
    }
    // Fill the whole buffer: the I/O manager must copy back only what Information says.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (irp->AssociatedIrp.SystemBuffer) {
        ULONG length = stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length
                                                           : stack->Parameters.DeviceIoControl.OutputBufferLength;
        std::memset(irp->AssociatedIrp.SystemBuffer, 0xAB, length);
    }
    NTSTATUS status = layer->status;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = layer->information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI LayersUnload(PDRIVER_OBJECT driver) {
    while (PDEVICE_OBJECT device = driver->DeviceObject) {
        auto *layer = static_cast<Layer *>(device->DeviceExtension);
        if (layer->lower) IoDetachDevice(layer->lower);
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI LayersEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = LayerDispatch;
    driver->DriverUnload = LayersUnload;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI OriginatorCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    auto *log = static_cast<std::vector<Call> *>(context);
    log->push_back({-1, device, irp->PendingReturned});
    return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours again
}

class IoTest : public ::testing::Test {
protected:
    IoTest() { EXPECT_EQ(io().loadDriver(LayersEntry, u"Layers", emu::Tag("Layr"), &driver), STATUS_SUCCESS); }
    ~IoTest() override { io().unloadDriver(driver); }

    emu::IoManager &io() { return machine.service<emu::IoManager>(); }

    // Layers 0 (bottom) to n-1; the last one is the top of the stack.
    Layer *stack(int n, const char16_t *bottomName = nullptr) {
        for (int i = 0; i < n; i++) {
            UNICODE_STRING name;
            if (bottomName) RtlInitUnicodeString(&name, bottomName);
            PDEVICE_OBJECT device;
            EXPECT_EQ(IoCreateDevice(driver, sizeof(Layer), i == 0 && bottomName ? &name : nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                      STATUS_SUCCESS);
            auto *layer = new (device->DeviceExtension) Layer;
            layer->index = i;
            layer->log = &log;
            if (i > 0) layer->lower = IoAttachDeviceToDeviceStack(device, devices.back());
            devices.push_back(device);
        }
        return layerAt(0);
    }
    Layer *layerAt(int i) { return static_cast<Layer *>(devices[i]->DeviceExtension); }

    // An IRP of ours for the top of the stack, its completion logged as layer -1.
    PIRP send(NTSTATUS *returned) {
        PIRP irp = IoAllocateIrp(devices.back()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, OriginatorCompletion, &log, TRUE, TRUE, TRUE);
        *returned = IoCallDriver(devices.back(), irp);
        return irp;
    }

    emu::Machine machine{emu::MachineConfig{}};
    PDRIVER_OBJECT driver = nullptr;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<Call> log;
};

// Marks its IRP pending and completes it; its owner's completion routine reuses it and sends it
// again, and that second pass completes at once, all before the first pass returns.
NTSTATUS NTAPI Reclaim(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

NTSTATUS NTAPI PendCompleteAndResend(PDEVICE_OBJECT device, PIRP irp) {
    static int passes = 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    if (passes++ % 2) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Reclaim, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    return STATUS_PENDING;
}

TEST_F(IoTest, PendingReturnedFollowsEachLocationsMark) {
    emu::ReportCapture capture;
    stack(4);
    layerAt(0)->pend = true;
    layerAt(1)->completionRoutine = layerAt(3)->completionRoutine = true;  // layer 2 skips its location
    NTSTATUS returned;
    PIRP irp = send(&returned);
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_TRUE(log.empty());
    Layer *bottom = layerAt(0);
    bottom->held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(bottom->held, IO_NO_INCREMENT);
    ASSERT_EQ(log.size(), 3u);
    for (auto &call : log) EXPECT_TRUE(call.pendingReturned) << "layer " << call.layer;
    EXPECT_EQ(capture.count(), 0u) << capture.reports()[0].text;
    IoFreeIrp(irp);

    // Completed at once: nobody sees pending.
    log.clear();
    bottom->pend = false;
    irp = send(&returned);
    ASSERT_EQ(log.size(), 3u);
    for (auto &call : log) EXPECT_FALSE(call.pendingReturned) << "layer " << call.layer;
    IoFreeIrp(irp);

    // Sent again before the first pass returned: that pass is judged by its own mark.
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = PendCompleteAndResend;
    irp = send(&returned);
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_EQ(capture.count(), 0u) << capture.reports()[0].text;
    IoFreeIrp(irp);
}

TEST_F(IoTest, BufferedRequestsCopyBackOnlyInformationBytesAndNothingOnError) {
    Layer *device = stack(1, u"\\Device\\IoTest0");
    devices[0]->Flags |= DO_BUFFERED_IO;
    PFILE_OBJECT file;
    ASSERT_EQ(io().openFile(u"\\Device\\IoTest0", 0, &file), STATUS_SUCCESS);
    struct Case {
        UCHAR major;
        NTSTATUS status;
        size_t copied;
    } cases[] = {{IRP_MJ_READ, STATUS_SUCCESS, 5},         {IRP_MJ_READ, STATUS_BUFFER_OVERFLOW, 5},
                 {IRP_MJ_READ, STATUS_INVALID_PARAMETER, 0}, {IRP_MJ_DEVICE_CONTROL, STATUS_SUCCESS, 5},
                 {IRP_MJ_DEVICE_CONTROL, STATUS_CANCELLED, 0}};
    for (auto &c : cases) {
        unsigned char buffer[16];
        std::memset(buffer, 0, sizeof(buffer));
        device->status = c.status;
        device->information = 5;
        emu::UserRequest r;
        r.major = c.major;
        r.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
        r.output = buffer;
        r.outputLength = sizeof(buffer);
        IO_STATUS_BLOCK iosb{};
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        r.ioStatus = &iosb;
        r.event = &done;
        EXPECT_EQ(io().submit(file, r), c.status);
        EXPECT_EQ(KeReadStateEvent(&done), 1);
        EXPECT_EQ(std::tuple(iosb.Status, iosb.Information), std::tuple(c.status, 5u));
        for (size_t i = 0; i < sizeof(buffer); i++)
            ASSERT_EQ(buffer[i], i < c.copied ? 0xAB : 0) << "major " << int(c.major) << " byte " << i;
    }
    io().closeFile(file);
    EXPECT_EQ(machine.service<emu::Pool>().bytesInUse(emu::kBufferTag), 0u);
}

TEST_F(IoTest, CloseWaitsForTheFilesOutstandingRequests) {
    Layer *device = stack(1, u"\\Device\\IoTest0");
    device->pend = true;
    PFILE_OBJECT file;
    ASSERT_EQ(io().openFile(u"\\Device\\IoTest0", 0, &file), STATUS_SUCCESS);
    emu::UserRequest r;
    r.major = IRP_MJ_READ;
    IO_STATUS_BLOCK iosb{};
    r.ioStatus = &iosb;
    ASSERT_EQ(io().submit(file, r), STATUS_PENDING);
    emu::Thread closer([&] { io().closeFile(file); }, "closer");
    kt::Delay(kt::kSecond);
    EXPECT_EQ(device->closes, 0);  // cleanup went down; close waits for the read
    device->held->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(device->held, IO_NO_INCREMENT);
    closer.join();
    EXPECT_EQ(device->closes, 1);
}

// ---- The verifier ---------------------------------------------------------------------------------------

NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// Completes once; the test completes the IRP again after the request is over and freed.
NTSTATUS NTAPI CompleteAndRemember(PDEVICE_OBJECT device, PIRP irp) {
    static_cast<Layer *>(device->DeviceExtension)->held = irp;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompleteWithCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSetCancelRoutine(irp, NeverCalled);
    IoCompleteRequest(irp, IO_NO_INCREMENT);  // refused
    IoSetCancelRoutine(irp, nullptr);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The count of an output the caller never gave: Windows would copy that byte into its buffer.
NTSTATUS NTAPI CompleteWithInformationBeyondOutput(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 1;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST_F(IoTest, VerifierCatchesBrokenCompletion) {
    stack(1, u"\\Device\\IoTest0");
    PFILE_OBJECT file;
    ASSERT_EQ(io().openFile(u"\\Device\\IoTest0", 0, &file), STATUS_SUCCESS);
    struct Case {
        PDRIVER_DISPATCH dispatch;
        Violation kind;
        UCHAR major = IRP_MJ_WRITE;
    } cases[] = {{CompleteTwice, Violation::IrpCompletedTwice},
                 {CompleteAndRemember, Violation::IrpCompletedTwice},
                 {CompleteWithCancelRoutine, Violation::IrpCompletedWithCancelRoutine},
                 {CompleteWithInformationBeyondOutput, Violation::InformationBeyondOutput, IRP_MJ_DEVICE_CONTROL}};
    for (auto [dispatch, kind, major] : cases) {
        emu::ReportCapture capture;
        driver->MajorFunction[major] = dispatch;
        emu::UserRequest r;
        r.major = major;
        const UCHAR input[12] = {};
        r.ioControlCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
        r.input = input;
        r.inputLength = major == IRP_MJ_DEVICE_CONTROL ? sizeof(input) : 0;
        IO_STATUS_BLOCK iosb{};
        r.ioStatus = &iosb;
        layerAt(0)->held = nullptr;
        io().submit(file, r);
        if (PIRP late = layerAt(0)->held) IoCompleteRequest(late, IO_NO_INCREMENT);
        ASSERT_EQ(capture.count(), 1u);
        EXPECT_EQ(capture.reports()[0].kind, kind) << capture.reports()[0].text;
    }
    io().closeFile(file);
}

TEST_F(IoTest, VerifierCatchesPendingWithoutMarkAndFreeWhileInDriver) {
    Layer *bottom = stack(1);
    bottom->pend = true;
    bottom->markPending = false;
    emu::ReportCapture capture;
    NTSTATUS returned;
    PIRP irp = send(&returned);
    EXPECT_TRUE(capture.saw(Violation::PendingNotMarked));
    IoFreeIrp(irp);  // still held by the bottom layer: refused
    EXPECT_TRUE(capture.saw(Violation::IrpFreedInUse));
    EXPECT_EQ(capture.count(), 2u);
    IoCompleteRequest(bottom->held, IO_NO_INCREMENT);
    IoFreeIrp(irp);
    EXPECT_EQ(capture.count(), 2u);

    // Never sent, its record leaves with it: a second free finds nothing (and reads no freed record).
    PIRP unsent = IoAllocateIrp(1, FALSE);
    IoFreeIrp(unsent);
    IoFreeIrp(unsent);
    ASSERT_EQ(capture.count(), 3u);
    EXPECT_EQ(capture.reports()[2].kind, Violation::InvalidParameter);
}

// How the top layer treats a power IRP; the bottom always starts the next one and completes it.
enum class PowerHandling { ByTheRules, DownWithoutStart, DownByIoCallDriver, CompleteWithoutStart };
PowerHandling g_powerHandling;

NTSTATUS NTAPI PowerLayer(PDEVICE_OBJECT device, PIRP irp) {
    auto *layer = static_cast<Layer *>(device->DeviceExtension);
    const PowerHandling how = layer->lower ? g_powerHandling : PowerHandling::ByTheRules;
    if (how != PowerHandling::DownWithoutStart && how != PowerHandling::CompleteWithoutStart) PoStartNextPowerIrp(irp);
    if (!layer->lower || how == PowerHandling::CompleteWithoutStart) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return how == PowerHandling::DownByIoCallDriver ? IoCallDriver(layer->lower, irp) : PoCallDriver(layer->lower, irp);
}

struct PowerDone { KEVENT event; uint32_t thread = 0; NTSTATUS status = STATUS_PENDING; };

VOID NTAPI PowerRequestDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto *done = static_cast<PowerDone *>(context);
    done->thread = emu::CurrentThreadId();
    done->status = status->Status;
    KeSetEvent(&done->event, IO_NO_INCREMENT, FALSE);
}

// A device power request goes to the top of the stack from a worker thread, and its callback
// reports how it ended; each layer that passes it on must let the next one start first.
TEST_F(IoTest, PowerRequestsRunOnAWorkerAndTheVerifierChecksHowTheyArePassedOn) {
    stack(2);
    driver->MajorFunction[IRP_MJ_POWER] = PowerLayer;
    const struct {
        PowerHandling how;
        int reports;
        Violation kind;
    } rows[] = {{PowerHandling::ByTheRules, 0, Violation::PowerIrpNotStarted},
                {PowerHandling::DownWithoutStart, 1, Violation::PowerIrpNotStarted},
                {PowerHandling::DownByIoCallDriver, 1, Violation::PowerIrpByIoCallDriver},
                {PowerHandling::CompleteWithoutStart, 1, Violation::PowerIrpNotStarted}};
    for (auto &row : rows) {
        SCOPED_TRACE(int(row.how));
        g_powerHandling = row.how;
        emu::ReportCapture capture;
        PowerDone done;
        KeInitializeEvent(&done.event, NotificationEvent, FALSE);
        const POWER_STATE d2{.DeviceState = PowerDeviceD2};
        ASSERT_EQ(PoRequestPowerIrp(devices[0], IRP_MN_SET_POWER, d2, PowerRequestDone, &done, nullptr), STATUS_PENDING);
        kt::WaitForever(&done.event);
        EXPECT_EQ(done.status, STATUS_SUCCESS);
        EXPECT_NE(done.thread, emu::CurrentThreadId());
        machine.service<emu::PowerManager>().settle();
        ASSERT_EQ(int(capture.count()), row.reports);
        if (row.reports) { EXPECT_EQ(capture.reports()[0].kind, row.kind) << capture.reports()[0].text; }
    }
}

VOID NTAPI LeakyUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = LeakyUnload;
    return ExAllocatePoolWithTag(NonPagedPool, 24, emu::Tag("Leak")) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

TEST_F(IoTest, VerifierReportsPoolLeftUnderTheDriversTagAtUnload) {
    PDRIVER_OBJECT leaky;
    ASSERT_EQ(io().loadDriver(LeakyEntry, u"Leaky", emu::Tag("Leak"), &leaky), STATUS_SUCCESS);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 8, emu::Tag("Othr"));  // not the driver's tag
    emu::ReportCapture capture;
    io().unloadDriver(leaky);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.reports()[0].kind, Violation::PoolLeakAtUnload);
    EXPECT_NE(capture.reports()[0].text.find("24 bytes"), std::string::npos) << capture.reports()[0].text;
    ExFreePoolWithTag(other, emu::Tag("Othr"));
}

}  // namespace
