// The chip's vendor requests: registers, word registers by chip type, and the EEPROM read protocol
// with its busy status. (Where each variant keeps the vendor ID is shown through the driver's
// EEPROM probe.)
#include "tests/device/usb_client.h"

namespace devtest {
namespace {

// The driver's EEPROM read: 5 ms pauses between busy polls, address write, poll, data read.
int ReadEeprom(Client &client, USHORT address, int *polls = nullptr) {
    auto waitReady = [&] {
        for (;;) {
            Delay(5 * kMillisecond);
            if (polls) ++*polls;
            int status = client.vendorRead(0x8484);
            if (status < 0 || !(status & 1)) return;
        }
    };
    waitReady();
    if (!NT_SUCCESS(client.vendorWrite(0x0404, address))) return -1;
    waitReady();
    return client.vendorRead(0x8383);
}

// A write and a two-byte read back: byte registers on every type, word registers only on the types
// that have them, anything else stalled.
TEST(ChipRegisters, ReadBackAtTheirReadAddressesOnTheTypesThatHaveThem) {
    struct Row {
        int type;
        USHORT write, read;
        int value;  // read back; -1: both refused
        ULONG width;
    } rows[] = {
        {1, 0x0002, 0x0082, 0xEF, 1},   {2, 0x0505, 0x8585, 0xBEEF, 2}, {1, 0x0505, 0x8585, -1, 0},
        {2, 0x0C0C, 0x8C8C, -1, 0},     {3, 0x0C0C, 0x8C8C, 0xBEEF, 2}, {0, 0x1234, 0x9234, -1, 0},
    };
    emu::Machine machine;
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "type " << row.type << " register 0x" << std::hex << row.write);
        SimulatedDevice device(ChipConfig::Variant(row.type));
        Client client(device.pdo());
        auto write = client.vendor(false, row.write, 0xBEEF);
        auto read = client.vendor(true, row.read, 0, 2);
        if (row.value < 0) {
            EXPECT_EQ(client.call(*write), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(write->usbd(), USBD_STATUS_STALL_PID);
            EXPECT_EQ(client.call(*read), STATUS_UNSUCCESSFUL);
            continue;
        }
        ASSERT_EQ(client.call(*write), STATUS_SUCCESS);
        ASSERT_EQ(client.call(*read), STATUS_SUCCESS);
        ASSERT_EQ(read->urb.UrbControlVendorClassRequest.TransferBufferLength, row.width);
        EXPECT_EQ(row.width == 2 ? read->buffer[0] | read->buffer[1] << 8 : read->buffer[0], row.value);
    }
}

TEST(ChipEeprom, ReadsWaitOutTheBusyStatus) {
    emu::Machine machine;
    ChipConfig config = ChipConfig::Variant(2);
    config.eepromReadBusy = 12 * kMillisecond;
    SimulatedDevice device(config);
    Client client(device.pdo());

    ASSERT_EQ(client.vendorWrite(0x0404, 0x0000), STATUS_SUCCESS);
    EXPECT_EQ(client.vendorRead(0x8484), 0x01) << "busy right after the read started";
    EXPECT_EQ(client.vendorRead(0x8383), 0xFF) << "the latch still holds its old byte";
    int polls = 0;
    int low = ReadEeprom(client, 0x00, &polls);
    int high = ReadEeprom(client, 0x01, &polls);
    EXPECT_EQ(low | high << 8, 0x1209);
    EXPECT_GE(polls, 6) << "12 ms of busy take three 5 ms polls per byte";
}

}  // namespace
}  // namespace devtest
