// The port through system sleep and wake, as the power manager sends them with COM3 open.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/powermgr.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace {

constexpr uint8_t kSetLineCoding = 0x20;

class PowerPort : public ComPort {
protected:
    emu::PowerManager &Power() { return bench->machine().service<emu::PowerManager>(); }
    emu::PnpManager &Pnp() { return bench->machine().service<emu::PnpManager>(); }
    PDEVICE_OBJECT Pdo() { return bench->device().pdo(); }
    NTSTATUS Query(POWER_STATE_TYPE type, ULONG state) {
        POWER_STATE s;
        s.DeviceState = DEVICE_POWER_STATE(state);
        return Pnp().sendPower(Pdo(), IRP_MN_QUERY_POWER, type, s);
    }
    // An internal serial request, as another driver on the stack sends it.
    NTSTATUS Internal(ULONG code) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PDEVICE_OBJECT top = bench->port()->DeviceObject;
        PIRP irp = IoBuildDeviceIoControlRequest(code, top, nullptr, 0, nullptr, 0, TRUE, &done, &iosb);
        if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb.Status;
    }
};

TEST_F(PowerPort, SleepAndWakeMidTransferReplaysTheChipAndLosesNoByte) {
    Restart({});
    lab::Line line{.baud = 57600, .parity = EVENPARITY, .rtsCts = true};
    ASSERT_TRUE(lab::Configure(h, line));
    COMMTIMEOUTS none{};  // the read waits out the sleep for all its bytes
    ASSERT_TRUE(SetCommTimeouts(h, &none));
    const auto pattern = lab::TestPattern(2048);
    std::vector<uint8_t> back(pattern.size());
    Overlapped w, r;
    Begin(w, false, pattern.data(), DWORD(pattern.size()));
    Begin(r, true, back.data(), DWORD(back.size()));
    Sleep(100);  // about a quarter of the way through
    ASSERT_FALSE(w.done() || r.done());

    auto &bus = bench->device().bus();
    ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD3));
    EXPECT_EQ(bus.powerState(), PowerDeviceD3);
    // Asleep, nothing moves on the bus however long the system sleeps.
    auto count = [&] {
        size_t done = 0;
        for (auto &u : bus.urbLog()) done += u.completed >= 0;
        return done;
    };
    size_t before = count();
    Sleep(200);
    EXPECT_EQ(count(), before);

    bus.clearUrbLog();
    ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD0));
    EXPECT_EQ(End(w), Ended(ERROR_SUCCESS, pattern.size()));
    EXPECT_EQ(End(r), Ended(ERROR_SUCCESS, pattern.size()));
    EXPECT_TRUE(back == pattern) << "the pattern came back altered";

    // The replay, in order: the lines as they were, the line coding, the handshakes the chip does
    // itself; and no second IN chain beside the ones that waited out the sleep.
    std::vector<std::string> replay;
    for (auto &u : bus.urbLog()) {
        if (!u.hasSetup || u.setup.bmRequestType & 0x80) continue;
        char text[64];
        if (u.setup.bRequest == kSetLineCoding && u.data.size() == 7)
            std::snprintf(text, sizeof text, "coding %u %u%u%u", unsigned(u.data[0] | u.data[1] << 8 | u.data[2] << 16),
                          u.data[6], u.data[5], u.data[4]);
        else
            std::snprintf(text, sizeof text, "%02x %04x %04x", u.setup.bRequest, u.setup.wValue, u.setup.wIndex);
        replay.push_back(text);
    }
    const std::vector<std::string> wanted = {"22 0003 0000", "coding 57600 820", "01 0000 0061"};
    auto at = replay.begin();
    for (auto &step : wanted) {
        at = std::find(at, replay.end(), step);
        EXPECT_NE(at, replay.end()) << step << " missing or out of order";
    }
    EXPECT_EQ(std::count_if(replay.begin(), replay.end(), [](auto &t) { return t.rfind("coding", 0) == 0; }), 1);
    EXPECT_LE(bus.pendingUrbs(), 2u);

    // Many more cycles, each with a few bytes round the loop: nothing piles up, nothing is lost.
    const long issued = Power().requestsIssued();
    for (int cycle = 1; cycle < 100; cycle++) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(bus.powerState(), PowerDeviceD0);
        char out[8] = {char(cycle), 'z', 'z', 'z', 'z', 'z', 'z', char(~cycle)}, in[8] = {};
        DWORD n = 0;
        ASSERT_TRUE(SyncIo(false, out, sizeof out, &n) && SyncIo(true, in, sizeof in, &n));
        ASSERT_EQ(std::memcmp(in, out, sizeof in), 0);
    }
    EXPECT_EQ(Power().requestsIssued() - issued, 2 * 99);  // a D3 and a D0 request each
    EXPECT_LE(bus.pendingUrbs(), 2u);

    // Closed, the port wakes with its status chain alone: a bulk IN transfer would swallow what
    // the far end sends before the next open.
    EXPECT_TRUE(Close());
    bus.clearUrbLog();
    ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
    Sleep(20);
    for (auto &u : bus.urbLog()) EXPECT_NE(u.endpoint, kBulkIn);
}

// The bus reports wake from D2; an armed wake refuses a device state it could not wake from, and
// a ring on the sleeping line ends the wait-wake request passed down through the port.
TEST_F(PowerPort, ArmedWakeRefusesDeeperStatesAndARingWakes) {
    Restart({.farEnd = lab::FarEnd::Scripted});
    EXPECT_EQ(bench->port()->DeviceWake, PowerDeviceD2);
    const struct { bool armed; POWER_STATE_TYPE type; ULONG state; NTSTATUS expected; } rows[] = {
        {true, DevicePowerState, PowerDeviceD3, STATUS_POWER_STATE_INVALID},
        {true, DevicePowerState, PowerDeviceD2, STATUS_SUCCESS},
        {true, SystemPowerState, PowerSystemHibernate, STATUS_SUCCESS},
        {false, DevicePowerState, PowerDeviceD3, STATUS_SUCCESS},
    };
    for (auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.armed << " " << row.type << " " << row.state);
        ASSERT_EQ(Internal(row.armed ? IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE : IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE),
                  STATUS_SUCCESS);
        EXPECT_EQ(Query(row.type, row.state), row.expected);
    }

    // Static, so a completion after a failed assertion still has somewhere to go; reset, so a run
    // of every test in one process starts it afresh.
    static std::atomic<NTSTATUS> woke;
    woke = STATUS_PENDING;
    POWER_STATE lowest;
    lowest.SystemState = PowerSystemSleeping3;
    ASSERT_EQ(PoRequestPowerIrp(Pdo(), IRP_MN_WAIT_WAKE, lowest,
                                [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK status) { woke = status->Status; },
                                nullptr, nullptr),
              STATUS_PENDING);
    // The request goes down from a worker: had the sleep come first, its way through the port would
    // power the device up again.
    for (int ms = 0; ms < 100 && !bench->device().bus().waitWakeArmed(); ms++) Sleep(1);
    ASSERT_TRUE(bench->device().bus().waitWakeArmed());
    ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    Sleep(10);
    EXPECT_EQ(woke.load(), STATUS_PENDING);
    bench->peer()->setLines({true, true, true, true});
    Sleep(10);
    EXPECT_EQ(woke.load(), STATUS_SUCCESS);
    ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD0));
}

// The device is pulled out while its D3 request is on its way down: the system request still
// goes on, the removal does not wait for ever, and power requests from then on are refused.
TEST_F(PowerPort, SurpriseRemovalDuringASleepAndPowerRequestsAfterIt) {
    Restart({});
    auto &bus = bench->device().bus();
    bus.holdDevicePower(true);
    NTSTATUS slept = STATUS_PENDING;
    emu::Thread sleeper([&] { slept = Power().sleep(Pdo(), PowerSystemSleeping3); }, "sleeper");
    while (!bus.holdingDevicePower()) SleepFor(kMs);
    EXPECT_NE(bench->port()->PendingSystemPower, nullptr);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD3));

    bus.unplug();
    EXPECT_EQ(Pnp().surpriseRemove(Pdo()), STATUS_SUCCESS);
    sleeper.join();
    EXPECT_EQ(slept, STATUS_SUCCESS);
    EXPECT_EQ(Query(SystemPowerState, PowerSystemSleeping3), STATUS_DELETE_PENDING);
    EXPECT_EQ(Power().wake(Pdo()), STATUS_DELETE_PENDING);

    EXPECT_TRUE(Close());
    EXPECT_EQ(Pnp().finishSurpriseRemoval(Pdo()), STATUS_SUCCESS);
}

// No device request can be had: the system's transition is not left hanging on the port.
TEST_F(PowerPort, AFailedDeviceRequestStillPassesTheSystemRequestOn) {
    OpenAt(115200);
    const LONG counted = bench->port()->PendingRequestCount;
    Power().failRequests(1);
    ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD0));
    EXPECT_EQ(bench->port()->PendingSystemPower, nullptr);
    EXPECT_EQ(bench->port()->PendingRequestCount, counted);
    ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
    char in = 0;
    DWORD n = 0;
    EXPECT_TRUE(SyncIo(false, "w", 1, &n) && SyncIo(true, &in, 1, &n));
    EXPECT_EQ(in, 'w');
}

// A request that talks to the chip wakes a device left in D3 first, and fails as its power-up
// does; an open powers the device up too, and leaves nothing behind when it cannot.
TEST_F(PowerPort, ChipRequestsAndOpensPowerTheDeviceUpFirst) {
    OpenAt(115200);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    const struct { int failures; ULONG code; BOOL succeeds; ULONG after; } rows[] = {
        {0, IOCTL_SERIAL_CLR_DTR, TRUE, PowerDeviceD0}, {1, IOCTL_SERIAL_SET_DTR, FALSE, PowerDeviceD3}};
    for (auto &row : rows) {
        SCOPED_TRACE(row.failures);
        ASSERT_EQ(Pnp().sendPower(Pdo(), IRP_MN_SET_POWER, DevicePowerState, d3), STATUS_SUCCESS);
        ASSERT_EQ(bench->device().bus().powerState(), PowerDeviceD3);
        Power().failRequests(row.failures);
        DWORD n = 0;
        EXPECT_EQ(DeviceIoControl(h, row.code, nullptr, 0, nullptr, 0, &n, nullptr), row.succeeds);
        EXPECT_EQ(bench->port()->DevicePowerState, row.after);
        EXPECT_FALSE(bench->chip().dtr());  // cleared by the first row, not set by the second
    }
    EXPECT_TRUE(CloseHandle(h));
    auto inUse = [&] { return bench->machine().service<emu::Pool>().bytesInUse(MIRAVO_POOL_TAG); };
    const size_t closed = inUse();
    Power().failRequests(1);
    EXPECT_EQ(h = Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(inUse(), closed);
    EXPECT_NE(h = Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD0));
}

// A power request that arrives while a stop is pending is held with the rest; a cancelled stop
// sends it on through the power dispatch, a removal ends it, and either way the next one may start.
TEST_F(PowerPort, APowerRequestHeldByAPendingStop) {
    const struct { UCHAR then; NTSTATUS expected; } rows[] = {
        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS}, {IRP_MN_REMOVE_DEVICE, STATUS_CANCELLED}
    };
    for (auto &row : rows) {
        SCOPED_TRACE(int(row.then));
        TearDown();
        Start();
        ASSERT_EQ(Pnp().send(Pdo(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        NTSTATUS queried = STATUS_PENDING;
        emu::Thread asker([&] { queried = Query(SystemPowerState, PowerSystemSleeping3); }, "asker");
        // The held list is the driver's, changed under the cancel lock.
        auto held = [this] {
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            const bool any = !IsListEmpty(&bench->port()->HeldRequests);
            IoReleaseCancelSpinLock(irql);
            return any;
        };
        while (!held()) SleepFor(kMs);
        EXPECT_EQ(Pnp().send(Pdo(), row.then), STATUS_SUCCESS);
        asker.join();
        EXPECT_EQ(queried, row.expected);
    }
}

}  // namespace
}  // namespace port_test
