// Descriptors and configuration as a client reads them: pipe handles of a reselected configuration
// and descriptor requests of every length. (Each variant's identification and pipe layout are shown
// through the driver's bring-up.)
#include "tests/device/usb_client.h"

namespace devtest {
namespace {

TEST(Configuration, ReselectingHandsOutNewPipeHandlesAndRetiresTheOld) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(3));
    Client client(device.pdo());
    auto before = client.configure(3);
    auto after = client.configure(3);
    EXPECT_EQ(device.chip().setConfigurationCount(), 2);
    EXPECT_NE(before.bulkOut, after.bulkOut);
    auto stale = client.transfer(before.bulkOut, 0, {1, 2, 3});
    client.start(*stale);
    EXPECT_EQ(stale->returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stale->usbd(), USBD_STATUS_INVALID_PIPE_HANDLE);
    auto fresh = client.transfer(after.bulkOut, 0, {1, 2, 3});
    EXPECT_EQ(client.call(*fresh), STATUS_SUCCESS);
}

TEST(Descriptors, RequestsGetAtMostTheirLength) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(0));
    Client client(device.pdo());
    auto header = client.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    ASSERT_EQ(client.call(*header), STATUS_SUCCESS);
    EXPECT_EQ(header->urb.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    USHORT total = USHORT(header->buffer[2] | header->buffer[3] << 8);
    EXPECT_GT(total, 9);

    auto bigger = client.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total + 100);
    ASSERT_EQ(client.call(*bigger), STATUS_SUCCESS);
    EXPECT_EQ(bigger->urb.UrbControlDescriptorRequest.TransferBufferLength, total);
    EXPECT_EQ(bigger->buffer[total], 0xEE) << "nothing written past what the device sent";

    auto four = client.descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 4);
    ASSERT_EQ(client.call(*four), STATUS_SUCCESS);
    EXPECT_EQ(four->urb.UrbControlDescriptorRequest.TransferBufferLength, 4u);

    auto missing = client.descriptor(USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 64);
    EXPECT_EQ(client.call(*missing), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace devtest
