// The chip's vendor requests: registers and word registers by chip type. (The EEPROM read protocol
// and where each variant keeps the vendor ID are shown through the driver's EEPROM probe.)
#include "tests/device/usb_client.h"

namespace devtest {
namespace {

// A write and a two-byte read back: byte registers on every type, word registers only on the types
// that have them, anything else stalled; an EEPROM read started is not done at once.
TEST(ChipRegisters, ReadBackAtTheirReadAddressesOnTheTypesThatHaveThem) {
    struct Row {
        int type;
        USHORT write, read;
        int value;  // read back; -1: both refused
        ULONG width;
    } rows[] = {
        {1, 0x0002, 0x0082, 0xEF, 1},   {2, 0x0505, 0x8585, 0xBEEF, 2}, {1, 0x0505, 0x8585, -1, 0},
        {2, 0x0C0C, 0x8C8C, -1, 0},     {3, 0x0C0C, 0x8C8C, 0xBEEF, 2}, {0, 0x1234, 0x9234, -1, 0},
        {2, 0x0404, 0x8383, 0xFF, 1},  // the EEPROM latch keeps its old byte while the read it starts is busy
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

}  // namespace
}  // namespace devtest
