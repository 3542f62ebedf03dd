// Plug and Play through the PnP manager, and the request queues on a plugged port.
#include <atomic>
#include <thread>

#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/rtl_string.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "tests/driver/pnp_test_support.h"
#include "tests/emulator/kernel_test_support.h"

namespace pt {
namespace {

class PnpHandlingTest : public Com3Test {
protected:
    ULONG SerialCount() { return names.Configuration()->SerialCount; }

    void TearDown() override {
        KeFlushQueuedDpcs();
        Com3Test::TearDown();
    }
};

TEST_F(PnpHandlingTest, DuringAPendingStopRequestsAreHeldCancellableAndReleasedWhenTheStopIsCalledOff) {
    Plug();
    ASSERT_EQ(pnp.send(device->pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Sent held, cancelled, early;
    EXPECT_EQ(Send(port, held, IRP_MJ_WRITE), STATUS_PENDING);
    EXPECT_EQ(Send(port, cancelled, IRP_MJ_WRITE), STATUS_PENDING);
    EXPECT_EQ(Send(port, early, IRP_MJ_READ, 0, 0, nullptr, true), STATUS_CANCELLED);
    EXPECT_EQ(port->PendingRequestCount, 1) << "held requests are not waited for";
    IoCancelIrp(cancelled.irp);
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(held.completions, 0);
    ASSERT_EQ(pnp.send(device->pdo(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(held.status, STATUS_SUCCESS) << "dispatched again: a zero-length write";
    EXPECT_EQ(port->PendingRequestCount, 1);
    EXPECT_TRUE(IsListEmpty(&port->HeldRequests));
    // A request held when the stop comes does not keep the stop waiting; the restart sends it on.
    ASSERT_EQ(pnp.send(device->pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Sent throughStop;
    EXPECT_EQ(Send(port, throughStop, IRP_MJ_WRITE), STATUS_PENDING);
    ASSERT_EQ(pnp.send(device->pdo(), IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    // Once stopped, requests are admitted again.
    Sent stopped;
    EXPECT_EQ(Send(port, stopped, IRP_MJ_WRITE), STATUS_SUCCESS);
    EXPECT_EQ(throughStop.completions, 0);
    ASSERT_EQ(pnp.send(device->pdo(), IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(throughStop.status, STATUS_SUCCESS);
    EXPECT_EQ(port->PendingRequestCount, 1);
}

// A request that found a stop pending and is on its way to the cancel lock, while the stop is
// called off or a removal begins and the held list is found empty: it must not be held, for
// nothing would release it. The test holds the cancel lock and changes the state meanwhile.
TEST_F(PnpHandlingTest, ARequestRacingTheEndOfAPendingStopIsNotLeftHeld) {
    Plug();
    const struct {
        ULONG set, clear;
        NTSTATUS expected;
    } rows[] = {
        {0, PnpAcceptStopPending, STATUS_SUCCESS},
        {PnpAcceptSurpriseRemoved, 0, STATUS_DELETE_PENDING},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(row.set);
        ASSERT_EQ(pnp.send(device->pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        Sent late;
        std::atomic<bool> go{false};
        emu::Thread sender([&] {
            while (!go) std::this_thread::yield();
            Send(port, late, IRP_MJ_WRITE);
        }, "sender");
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        go = true;
        while (emu::SpinningThreads() == 0) std::this_thread::yield();
        ASSERT_TRUE(IsListEmpty(&port->HeldRequests));
        InterlockedExchange((LONG volatile *)&port->PnpAcceptState, LONG((CurrentAcceptState(port) & ~row.clear) | row.set));
        IoReleaseCancelSpinLock(irql);
        sender.join();
        EXPECT_EQ(late.completions, 1);
        EXPECT_EQ(late.status, row.expected);
        EXPECT_TRUE(IsListEmpty(&port->HeldRequests));
        EXPECT_EQ(port->PendingRequestCount, 1);
        // Where a called-off stop leaves the port.
        InterlockedExchange((LONG volatile *)&port->PnpAcceptState, 0);
        port->PnpState = PNP_STARTED;
    }
}

// On an open port: a stale finisher leaves the current read alone, a resize that never becomes
// current gives its ring back, and the error abort cancels the read and refuses what follows.
TEST_F(PnpHandlingTest, QueuedRequestsGiveBackWhatTheyHoldAndErrorAbortCancelsTheCurrentRead) {
    Plug();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(io.openFile(u"\\??\\COM3", 0, &file), STATUS_SUCCESS);
    UCHAR data[4];
    Sent read, resize, late, refused;
    ASSERT_EQ(Send(port, read, IRP_MJ_READ, sizeof data, 0, data), STATUS_PENDING);

    KIRQL irql;
    ASSERT_FALSE(RefBitsOf(read.irp) & RefTotalTimer);
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, nullptr, irql, STATUS_TIMEOUT, &port->CurrentRead, &port->ReadQueue, nullptr,
                     &port->ReadTotalTimer, StartRead, TakeNextRequest, RefTotalTimer);
    IoAcquireCancelSpinLock(&irql);
    TryFinishCurrent(port, nullptr, irql, STATUS_SUCCESS, &port->CurrentWrite, &port->WriteQueue, nullptr, nullptr,
                     nullptr, TakeNextRequest, RefTransfer);
    EXPECT_EQ(port->CurrentRead, read.irp);
    EXPECT_EQ(read.completions, 0);

    size_t before = pool.bytesInUse(MIRAVO_POOL_TAG);
    SERIAL_QUEUE_SIZE size{1 << 16, 0};
    EXPECT_EQ(Send(port, resize, IRP_MJ_DEVICE_CONTROL, sizeof size, IOCTL_SERIAL_SET_QUEUE_SIZE, &size), STATUS_PENDING);
    EXPECT_GT(pool.bytesInUse(MIRAVO_POOL_TAG), before);
    IoCancelIrp(resize.irp);
    EXPECT_EQ(resize.status, STATUS_CANCELLED);
    EXPECT_EQ(Send(port, late, IRP_MJ_DEVICE_CONTROL, sizeof size, IOCTL_SERIAL_SET_QUEUE_SIZE, &size, true),
              STATUS_CANCELLED);
    EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), before);

    // A line error under SERIAL_ERROR_ABORT, as the receive path records it and queues the abort.
    KeAcquireSpinLock(&port->ControlLock, &irql);
    port->HandFlow.ControlHandShake |= SERIAL_ERROR_ABORT;
    port->CommErrors = SERIAL_ERROR_FRAMING;
    KeReleaseSpinLock(&port->ControlLock, irql);
    QueueDpcCounted(&port->ErrorAbortDpc, nullptr, nullptr, port);
    KeFlushQueuedDpcs();
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    EXPECT_EQ(Send(port, refused, IRP_MJ_WRITE, sizeof data, 0, data), STATUS_CANCELLED) << "until the errors are read";
    io.closeFile(file);
}

TEST_F(PnpHandlingTest, CountedDpcsAndTimersCountEachPendingRunOnceAndADrainWaitsForThem) {
    Plug();
    ASSERT_EQ(port->PendingDpcCount, 1);
    static std::atomic<int> runs;
    runs = 0;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
        runs++;
        DpcFinished(static_cast<PortExtension *>(context));
    }, port);
    {
        kt::ProcessorHold hold(machine.config().processors);
        EXPECT_TRUE(QueueDpcCounted(&dpc, nullptr, nullptr, port));
        EXPECT_FALSE(QueueDpcCounted(&dpc, nullptr, nullptr, port));
        EXPECT_EQ(port->PendingDpcCount, 2);
    }
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(port->PendingDpcCount, 1);

    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(SetTimerCounted(&timer, kt::Relative(kt::kTick), &dpc, port));
    EXPECT_TRUE(SetTimerCounted(&timer, kt::Relative(3 * kt::kTick), &dpc, port));  // re-armed: still one
    EXPECT_EQ(port->PendingDpcCount, 2);
    EXPECT_TRUE(CancelTimerCounted(&timer, port));
    EXPECT_FALSE(CancelTimerCounted(&timer, port));
    EXPECT_EQ(port->PendingDpcCount, 1);

    // A drain waits until the armed timer has fired and its DPC has finished.
    SetTimerCounted(&timer, kt::Relative(3 * kt::kTick), &dpc, port);
    int64_t due = int64_t(timer.DueTime.QuadPart);
    if (InterlockedDecrement(&port->PendingDpcCount) != 0) kt::WaitForever(&port->DpcsDrainedEvent);
    InterlockedIncrement(&port->PendingDpcCount);
    EXPECT_GE(machine.now(), due);
    EXPECT_EQ(runs, 2);
}

TEST_F(PnpHandlingTest, QueriesAreRefusedWhileOpenAndARestartReappliesDefaultsWithoutNamingAgain) {
    Plug(4);
    // Open, it refuses the query-remove and the query-stop.
    port->IsOpen = TRUE;
    EXPECT_EQ(pnp.remove(device->pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(pnp.stopAndRestart(device->pdo()), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port->PnpState, ULONG(PNP_STARTED));
    EXPECT_EQ(CurrentAcceptState(port), 0u);
    port->IsOpen = FALSE;

    port->LineControl = 0x03;  // as if an application had set 8 data bits
    device->bus().clearUrbLog();

    ASSERT_EQ(pnp.stopAndRestart(device->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port->PnpState, ULONG(PNP_STARTED));
    EXPECT_EQ(CurrentAcceptState(port), 0u);
    EXPECT_EQ(port->PendingRequestCount, 1) << "only the base count";
    EXPECT_EQ(port->LineControl, 0x1A);
    EXPECT_EQ(SerialCount(), 1u);
    EXPECT_EQ(names.Resolve(u"\\??\\COM3"), Port(*device));
    // The restart identifies the chip afresh and initialises it again.
    EXPECT_EQ(Count(device->bus().urbLog(), URB_FUNCTION_SELECT_CONFIGURATION), 1);
    EXPECT_EQ(port->RegisterShadow[2], 0x44);
}

// The answers to the bus's queries, with what the port adds: surprise removal is fine, the
// power map is recorded for wait-wake, and the hardware IDs gain the serial identifier.
TEST_F(PnpHandlingTest, QueriesAddToWhatTheBusAnswers) {
    SimulatedDevice device(Variant(2));
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    EXPECT_EQ(pnp.send(device.pdo(), IRP_MN_QUERY_CAPABILITIES, nullptr,
                       [](PIO_STACK_LOCATION s, void *c) {
                           s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(c);
                       },
                       &caps),
              STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(std::vector(caps.DeviceState, caps.DeviceState + 7),
              std::vector(Ext(device)->DeviceStateMap, Ext(device)->DeviceStateMap + 7));
    EXPECT_EQ(Ext(device)->DeviceWake, caps.DeviceWake);

    const std::u16string busIds = std::u16string(u"USB\\VID_1209&PID_7A32&REV_0300") + u'\0' + u"USB\\VID_1209&PID_7A32";
    // Without the setting the bus's list passes unchanged.
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryHardwareIDs), busIds);
    registry.SetDword(DeviceParameters(2), u"MultiportDevice", 0);
    size_t knownSites = pool.callSites(MIRAVO_POOL_TAG).size();
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryHardwareIDs), busIds + u'\0' + u"*PNP0501");
    std::vector<const void *> sites = pool.callSites(MIRAVO_POOL_TAG);
    ASSERT_EQ(sites.size(), knownSites + 1) << "the list is the one new allocation";
    registry.SetDword(DeviceParameters(2), u"MultiportDevice", 1);
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryHardwareIDs), busIds + u'\0' + u"*PNP0502");
    // Other ID types pass through.
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryDeviceID), u"USB\\VID_1209&PID_7A32");
    EXPECT_EQ(pnp.queryId(device.pdo(), BusQueryCompatibleIDs).substr(0, 9), u"USB\\Class");

    // The list cannot be extended: the bus's list is not leaked and the query fails.
    pool.failCallSite(sites.back(), 1);
    IO_STATUS_BLOCK result{};
    BUS_QUERY_ID_TYPE type = BusQueryHardwareIDs;
    EXPECT_EQ(pnp.send(device.pdo(), IRP_MN_QUERY_ID, &result,
                       [](PIO_STACK_LOCATION s, void *c) { s->Parameters.QueryId.IdType = *static_cast<BUS_QUERY_ID_TYPE *>(c); },
                       &type),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(result.Information, 0u);
    pool.clearFaults();
    pnp.remove(device.pdo());
}

// Fails the 1st, 2nd, ... allocation of a start (the kernel's own included) until one succeeds.
TEST_F(PnpHandlingTest, EveryAllocationFailureDuringStartLeavesNothingBehind) {
    registry.SetString(DeviceParameters(3), u"PortName", u"COM3");
    int failures = 0;
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE(n);
        SimulatedDevice device(Variant(3, emu::usb::VendorIdAt::Absent));
        const uint64_t before = pool.injectedFailures();
        pool.failNth(n);
        NTSTATUS status = pnp.plugIn(driver, device.pdo());
        const bool injected = pool.injectedFailures() > before;
        pool.clearFaults();
        if (NT_SUCCESS(status)) {
            // Started means named: never a port that COM3 cannot reach.
            EXPECT_EQ(names.Resolve(u"\\??\\COM3"), Port(device));
            EXPECT_EQ(pnp.remove(device.pdo()), STATUS_SUCCESS);
        } else {
            failures++;
        }
        EXPECT_EQ(Port(device), nullptr);
        EXPECT_EQ(PortBytes(), 0u);
        EXPECT_EQ(SerialCount(), 0u);
        EXPECT_EQ(names.Resolve(u"\\??\\COM3"), nullptr);
        EXPECT_EQ(names.EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size(), 0u);
        EXPECT_FALSE(registry.GetValue(emu::Registry::kSerialCommPath,
                                       u"\\Device\\Serial" + emu::Widen(std::to_string(DriverGlobals.NextPortNumber - 1))));
        EXPECT_EQ(registry.OpenHandleCount(), 0u);
        if (!injected) break;
    }
    EXPECT_GE(failures, 10);
}

}  // namespace
}  // namespace pt
