// The port as a file where Plug and Play or the I/O manager's own requests are involved; the
// rest is shown through COM3 (tests/port).
#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

using namespace win32;

class OpenTest : public Com3Test {
protected:
    NTSTATUS Submit(PFILE_OBJECT file, emu::UserRequest r, IO_STATUS_BLOCK *iosb) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        r.event = &done;
        r.ioStatus = iosb;
        io.submit(file, r);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return iosb->Status;
    }
};

// An open held up in its chip requests is an opener all the same: the port may not be taken away.
// Pulled out while open, it loses its names at once and stays until the close and the removal.
TEST_F(OpenTest, QueryRemoveDuringAnOpenIsRefusedAndUnplugWhileOpenWaitsForTheClose) {
    Plug();
    device->bus().addFault(emu::usb::FaultRule::ForRequest(0x20).pendForever());  // SET_LINE_CODING
    emu::Thread opener([&] { h = Open(); });
    machine.sleepFor(100 * kMs);
    EXPECT_FALSE(port->IsOpen);
    EXPECT_EQ(pnp.send(device->pdo(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(port->PnpState, ULONG(PNP_STARTED));
    opener.join();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    // Unplugged while open, then closed.
    device->bus().clearFaults();
    device->bus().unplug();
    EXPECT_EQ(pnp.surpriseRemove(device->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(names.Resolve(u"\\??\\COM3"), nullptr) << "names go at once, the port stays until the removal";
    EXPECT_FALSE(registry.GetValue(emu::Registry::kSerialCommPath, u"\\Device\\Serial2"));
    EXPECT_EQ(port->PendingRequestCount, 0) << "the drain gave back the base count";
    EXPECT_EQ(port->RxRingStart, nullptr);
    EXPECT_FALSE(TransferOutstanding(port, BulkIn));
    EXPECT_FALSE(FlushFileBuffers(h));
    Close();
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
    ULONGLONG eof = 100;
    struct Row { UCHAR major; ULONG infoClass, length; NTSTATUS status; ULONG_PTR information; } rows[] = {
        {IRP_MJ_QUERY_INFORMATION, FileStandardInformation, 24, STATUS_SUCCESS, 24},
        {IRP_MJ_QUERY_INFORMATION, FilePositionInformation, 8, STATUS_SUCCESS, 8},
        {IRP_MJ_QUERY_INFORMATION, FilePositionInformation, 4, STATUS_BUFFER_TOO_SMALL, 0},
        {IRP_MJ_QUERY_INFORMATION, FileBasicInformation, 24, STATUS_INVALID_PARAMETER, 0},
        {IRP_MJ_SET_INFORMATION, FileEndOfFileInformation, 8, STATUS_SUCCESS, 0},
        {IRP_MJ_SET_INFORMATION, FilePositionInformation, 8, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Row &row : rows) {
        emu::UserRequest r;
        r.major = row.major;
        r.ioControlCode = row.infoClass;
        (row.major == IRP_MJ_QUERY_INFORMATION ? r.outputLength : r.inputLength) = row.length;
        r.output = row.major == IRP_MJ_QUERY_INFORMATION ? info : nullptr;
        r.input = row.major == IRP_MJ_SET_INFORMATION ? &eof : nullptr;
        EXPECT_EQ(Submit(file, r, &iosb), row.status) << int(row.major) << " " << row.infoClass;
        EXPECT_EQ(iosb.Information, row.information) << int(row.major) << " " << row.infoClass;
    }
    for (int i = 0; i < 32; i++) EXPECT_EQ(info[i], i < 24 ? 0 : 0xAA) << i;

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

    // A directory open is refused and leaves the port closed.
    EXPECT_EQ(io.openFile(u"\\??\\COM3", FILE_DIRECTORY_FILE, &file), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(port->OpenCount, 0);
}

}  // namespace
}  // namespace pt
