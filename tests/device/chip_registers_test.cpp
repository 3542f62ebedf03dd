// The chip's vendor requests: registers, word registers by chip type, the EEPROM protocol with its
// busy status, and the registers the chip loads from its EEPROM. (Where each variant keeps the
// vendor ID is shown through the driver's EEPROM probe.)
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

TEST(ChipRegisters, WritesReadBackAtTheirReadAddresses) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(1));
    Client client(device.pdo());
    for (USHORT r = 0; r < 3; r++) ASSERT_EQ(client.vendorWrite(r, USHORT(0x30 + r)), STATUS_SUCCESS);
    for (USHORT r = 0; r < 3; r++) EXPECT_EQ(client.vendorRead(USHORT(0x80 + r)), 0x30 + r);
    EXPECT_EQ(device.chip().reg(2), 0x32);

    auto log = device.bus().urbLog();
    ASSERT_GE(log.size(), 6u);
    const UrbRecord &write = log[0];
    EXPECT_EQ(write.function, URB_FUNCTION_VENDOR_DEVICE);
    EXPECT_EQ(write.setup.bmRequestType, 0x40);
    EXPECT_EQ(write.setup.bRequest, 0x01);
    EXPECT_EQ(write.setup.wIndex, 0x30);
    const UrbRecord &read = log[3];
    EXPECT_EQ(read.setup.bmRequestType, 0xC0);
    EXPECT_EQ(read.setup.wValue, 0x80);
    EXPECT_EQ(read.data, std::vector<uint8_t>{0x30});
    EXPECT_EQ(read.usbdStatus, USBD_STATUS_SUCCESS);
}

TEST(ChipRegisters, WordRegistersExistOnTheTypesThatHaveThem) {
    emu::Machine machine;
    auto probe = [](int type, USHORT write, USHORT read) {
        SimulatedDevice device(ChipConfig::Variant(type));
        Client client(device.pdo());
        NTSTATUS w = client.vendorWrite(write, 0xBEEF);
        int value = client.vendorRead(read, 2);
        return std::make_pair(w, value);
    };
    EXPECT_EQ(probe(2, 0x0606, 0x8686), std::make_pair(STATUS_SUCCESS, 0xBEEF));
    EXPECT_EQ(probe(1, 0x0606, 0x8686), std::make_pair(STATUS_UNSUCCESSFUL, -1));
    EXPECT_EQ(probe(2, 0x0C0C, 0x8C8C), std::make_pair(STATUS_UNSUCCESSFUL, -1));
    EXPECT_EQ(probe(4, 0x0D0D, 0x8D8D), std::make_pair(STATUS_SUCCESS, 0xBEEF));
    EXPECT_EQ(probe(3, 0x0E0E, 0x8E8E).second, 0xBEEF);

    SimulatedDevice device(ChipConfig::Variant(0));
    Client client(device.pdo());
    auto bad = client.vendor(false, 0x1234, 0);
    EXPECT_EQ(client.call(*bad), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bad->usbd(), USBD_STATUS_STALL_PID);
    // A one-byte register read with room for two still gives one byte.
    auto one = client.vendor(true, 0x0080, 0, 2);
    ASSERT_EQ(client.call(*one), STATUS_SUCCESS);
    EXPECT_EQ(one->urb.UrbControlVendorClassRequest.TransferBufferLength, 1u);
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

TEST(ChipEeprom, PowerOnRegistersComeFromAnEepromThatHoldsTheVendorId) {
    emu::Machine machine;
    ChipConfig programmed = ChipConfig::Variant(2), blank = ChipConfig::Variant(2);
    blank.vendorIdAt = VendorIdAt::Absent;
    SimulatedDevice a(programmed), b(blank);
    EXPECT_EQ(a.chip().reg(0), 0x01);
    EXPECT_EQ(a.chip().reg(2), 0x44);
    EXPECT_EQ(b.chip().reg(0), 0x00);
    EXPECT_EQ(b.chip().reg(2), 0x00);
}

TEST(ChipEeprom, WritesTakeAWriteCycleAndIgnoreCommandsMeanwhile) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(1));
    Client client(device.pdo());
    ASSERT_EQ(client.vendorWrite(0x0303, 0xAA20), STATUS_SUCCESS);
    EXPECT_EQ(client.vendorRead(0x8484), 0x01);
    ASSERT_EQ(client.vendorWrite(0x0303, 0xBB21), STATUS_SUCCESS);  // while busy: ignored
    EXPECT_EQ(ReadEeprom(client, 0x20), 0xAA);
    EXPECT_EQ(ReadEeprom(client, 0x21), 0xFF);
    EXPECT_EQ(device.chip().eeprom()[0x20], 0xAA);
}

}  // namespace
}  // namespace devtest
