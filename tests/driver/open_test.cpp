// The port as a file, through the Win32 side on a plugged type-2 chip behind a loopback plug:
// one opener at a time, what open sets up and close takes down, close timing, cleanup cancelling
// the handle's requests, unplug while open, file information and the internal requests.
#include <memory>

#include "control/control.h"
#include "emulator/usbdevice/far_ends.h"
#include "emulator/win32/win32.h"
#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

using namespace win32;

class OpenTest : public PnpTest {
protected:
    std::unique_ptr<SimulatedDevice> device;
    std::unique_ptr<emu::usb::Loopback> plug;
    PortExtension *port = nullptr;

    void Plug() {
        registry.SetString(DeviceParameters(2), u"PortName", u"COM3");
        device = std::make_unique<SimulatedDevice>(Variant(2));
        plug = std::make_unique<emu::usb::Loopback>(device->chip());
        ASSERT_EQ(pnp.plugIn(driver, device->pdo()), STATUS_SUCCESS);
        port = Ext(*device);
        ASSERT_NE(port, nullptr);
    }
    static HANDLE Open(DWORD flags = 0) {
        return CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    NTSTATUS Submit(PFILE_OBJECT file, emu::UserRequest r, IO_STATUS_BLOCK *iosb) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        r.event = &done;
        r.ioStatus = iosb;
        io.submit(file, r);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb->Status;
    }

    void TearDown() override {
        if (device) {
            if (device->bus().plugged()) {
                EXPECT_EQ(pnp.remove(device->pdo()), STATUS_SUCCESS);
            }
            plug.reset();
            device.reset();
        }
        PnpTest::TearDown();
    }
};

TEST_F(OpenTest, OneOpenerAtATimeAndEachSessionSetUpAndTakenDown) {
    Plug();
    size_t closedBytes = 0;
    for (int session = 0; session < 2; session++) {
        SCOPED_TRACE(session);
        HANDLE h = Open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(port->OpenCount, 1);
        EXPECT_TRUE(port->IsOpen);
        ASSERT_NE(port->RxRingStart, nullptr);
        EXPECT_EQ(port->HandFlow.XoffLimit, LONG(port->RxBufferSize / 8));
        EXPECT_TRUE(TransferOutstanding(port, InterruptIn));
        EXPECT_TRUE(TransferOutstanding(port, BulkIn));

        // A second opener is refused and the first handle keeps working.
        EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(port->OpenCount, 1);
        EXPECT_TRUE(FlushFileBuffers(h));

        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(port->OpenCount, 0);
        EXPECT_FALSE(port->IsOpen);
        EXPECT_EQ(port->RxRingStart, nullptr);
        // The status chain keeps the line state current for the next open; nothing waits on
        // received data while nobody would take it.
        EXPECT_TRUE(TransferOutstanding(port, InterruptIn));
        EXPECT_FALSE(TransferOutstanding(port, BulkIn));
        if (session == 0) closedBytes = PortBytes();
        EXPECT_EQ(PortBytes(), closedBytes);
    }

    // A directory open is refused and leaves the port free.
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(io.openFile(u"\\??\\COM3", FILE_DIRECTORY_FILE, &file), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(port->OpenCount, 0);
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

// An open held up in its chip requests is an opener all the same: the port may not be taken away.
TEST_F(OpenTest, QueryRemoveDuringAnOpenIsRefused) {
    Plug();
    device->bus().addFault(emu::usb::FaultRule::ForRequest(0x20).pendForever());  // SET_LINE_CODING
    HANDLE h = INVALID_HANDLE_VALUE;
    emu::Thread opener([&] { h = Open(); });
    machine.sleepFor(100 * kMs);
    EXPECT_FALSE(port->IsOpen);
    EXPECT_EQ(pnp.send(device->pdo(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port->PnpState, ULONG(PNP_STARTED));
    opener.join();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(OpenTest, CloseTakesTenCharacterTimesAndTheFinalSettleAfterCleanup) {
    Plug();
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(SetLineControl(port, &lc), STATUS_SUCCESS);
    SetBaudRate(port, 9600);
    ASSERT_EQ(port->CurrentBaud, 9600u);

    int64_t start = machine.now();
    EXPECT_TRUE(CloseHandle(h));
    // Cleanup's 30 ms, ten characters of 10 x 1042, then 1280 x 1041.
    EXPECT_EQ(machine.now() - start, 300000 + 104200 + 1280 * 1041);

    // A port that never had a rate closes as 9600; 7E1 is ten bits too.
    h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    port->CurrentBaud = 0;
    SERIAL_LINE_CONTROL sevenEven{STOP_BIT_1, EVEN_PARITY, 7};
    ASSERT_EQ(SetLineControl(port, &sevenEven), STATUS_SUCCESS);
    port->CurrentBaud = 0;
    start = machine.now();
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(machine.now() - start, 300000 + 104200 + 1280 * 1041);
    EXPECT_EQ(port->CurrentBaud, 9600u);
}

TEST_F(OpenTest, CleanupCancelsTheCurrentAndQueuedRequestsOfTheHandle) {
    Plug();
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ov[3] = {};
    char buffer[3][4];
    for (int i = 0; i < 3; i++) {
        ov[i].hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(ReadFile(h, buffer[i], sizeof(buffer[i]), nullptr, &ov[i]));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_NE(port->CurrentRead, nullptr);
    EXPECT_TRUE(CloseHandle(h));
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(WaitForSingleObject(ov[i].hEvent, 0), WAIT_OBJECT_0);
        EXPECT_EQ(NTSTATUS(ov[i].Internal), STATUS_CANCELLED);
        EXPECT_EQ(ov[i].InternalHigh, 0u);
        CloseHandle(ov[i].hEvent);
    }
    EXPECT_EQ(port->CurrentRead, nullptr);
    EXPECT_EQ(port->PendingRequestCount, 1);
}

TEST_F(OpenTest, FlushCompletesOnceTheWritesAheadOfItHave) {
    Plug();
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(SetLineControl(port, &lc), STATUS_SUCCESS);
    SetBaudRate(port, 9600);
    char data[200] = {};
    OVERLAPPED ov[2] = {};
    for (OVERLAPPED &o : ov) {
        o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EXPECT_FALSE(WriteFile(h, data, sizeof(data), nullptr, &o));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov[1]));
    EXPECT_TRUE(FlushFileBuffers(h));
    for (OVERLAPPED &o : ov) {
        EXPECT_TRUE(HasOverlappedIoCompleted(&o));
        EXPECT_EQ(NTSTATUS(o.Internal), STATUS_SUCCESS);
        EXPECT_EQ(o.InternalHigh, sizeof(data));
        CloseHandle(o.hEvent);
    }
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(OpenTest, UnplugWhileOpenThenClose) {
    Plug();
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    device->bus().unplug();
    EXPECT_EQ(pnp.surpriseRemove(device->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(port->RxRingStart, nullptr);
    EXPECT_FALSE(TransferOutstanding(port, BulkIn));
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(port->OpenCount, 0);
    EXPECT_EQ(pnp.finishSurpriseRemoval(device->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(OpenTest, FileInformationAndInternalRequests) {
    Plug();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(io.openFile(u"\\??\\COM3", 0, &file), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};

    UCHAR info[32];
    memset(info, 0xAA, sizeof(info));
    emu::UserRequest q;
    q.major = IRP_MJ_QUERY_INFORMATION;
    q.output = info;
    q.outputLength = 24;
    q.ioControlCode = FileStandardInformation;
    EXPECT_EQ(Submit(file, q, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 24u);
    for (int i = 0; i < 24; i++) EXPECT_EQ(info[i], 0) << i;
    q.ioControlCode = FilePositionInformation;
    q.outputLength = 8;
    EXPECT_EQ(Submit(file, q, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 8u);
    q.outputLength = 4;
    EXPECT_EQ(Submit(file, q, &iosb), STATUS_BUFFER_TOO_SMALL);
    q.ioControlCode = FileBasicInformation;
    q.outputLength = 24;
    EXPECT_EQ(Submit(file, q, &iosb), STATUS_INVALID_PARAMETER);

    emu::UserRequest s;
    s.major = IRP_MJ_SET_INFORMATION;
    ULONGLONG eof = 100;
    s.input = &eof;
    s.inputLength = sizeof(eof);
    s.ioControlCode = FileEndOfFileInformation;
    EXPECT_EQ(Submit(file, s, &iosb), STATUS_SUCCESS);
    s.ioControlCode = FilePositionInformation;
    EXPECT_EQ(Submit(file, s, &iosb), STATUS_INVALID_PARAMETER);

    // Wait-wake is enabled only when some sleeping state keeps the device able to wake.
    emu::UserRequest w;
    w.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    w.ioControlCode = IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE;
    port->DeviceWake = PowerDeviceD2;
    for (ULONG i = 2; i <= 6; i++) port->DeviceStateMap[i] = PowerDeviceD3;
    EXPECT_EQ(Submit(file, w, &iosb), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(port->WaitWakeEnabled);
    port->DeviceStateMap[4] = PowerDeviceD2;
    EXPECT_EQ(Submit(file, w, &iosb), STATUS_SUCCESS);
    EXPECT_TRUE(port->WaitWakeEnabled);
    w.ioControlCode = IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE;
    EXPECT_EQ(Submit(file, w, &iosb), STATUS_SUCCESS);
    EXPECT_FALSE(port->WaitWakeEnabled);
    w.ioControlCode = IOCTL_SERIAL_GET_BAUD_RATE;
    EXPECT_EQ(Submit(file, w, &iosb), STATUS_INVALID_PARAMETER);

    io.closeFile(file);
}

}  // namespace
}  // namespace pt
