// The five variants as a client reads them: descriptors that classify by the identification rules,
// the interface layouts and their pipe order, and descriptor requests of every length.
#include "tests/device/usb_client.h"

namespace devtest {
namespace {

// The identification rules, written from their description: class 0x02 → 0; else EP0 of 64 → 2;
// else class 0x00/0xFF → 1; a type 2 becomes 3 when string 2 has 'C' at character 22 and 4 when
// string 1 has a space at character 24 (positions past the returned length do not match).
int Classify(Client &client) {
    auto d = client.descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    if (!NT_SUCCESS(client.call(*d))) return -1;
    int type = -1;
    if (d->buffer[4] == 0x02)
        type = 0;
    else if (d->buffer[7] == 0x40)
        type = 2;
    else if (d->buffer[4] == 0x00 || d->buffer[4] == 0xFF)
        type = 1;
    if (type != 2) return type;
    auto charAt = [&](UCHAR index, size_t position) -> int {
        auto s = client.descriptor(USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, 64);
        client.call(*s);
        size_t offset = 2 + 2 * position;
        return offset < s->urb.UrbControlDescriptorRequest.TransferBufferLength ? s->buffer[offset] : -1;
    };
    if (charAt(2, 22) == 0x43) type = 3;
    if (charAt(1, 24) == 0x20) type = 4;
    return type;
}

TEST(Identification, EachVariantClassifiesAsItsType) {
    emu::Machine machine;
    for (int type = 0; type <= 4; type++) {
        SimulatedDevice device(ChipConfig::Variant(type));
        Client client(device.pdo());
        EXPECT_EQ(Classify(client), type) << "variant " << type;
    }
}

TEST(Identification, DescriptorFieldsOfTheVariantTable) {
    emu::Machine machine;
    struct Row {
        UCHAR deviceClass, maxPacket0, interfaces;
    } rows[] = {{0x02, 8, 2}, {0x00, 8, 1}, {0x00, 64, 1}, {0x00, 64, 2}, {0x00, 64, 1}};
    for (int type = 0; type <= 4; type++) {
        SimulatedDevice device(ChipConfig::Variant(type));
        Client client(device.pdo());
        auto d = client.descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
        ASSERT_EQ(client.call(*d), STATUS_SUCCESS);
        auto *dd = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(d->buffer.data());
        EXPECT_EQ(dd->idVendor, 0x1209);
        EXPECT_EQ(dd->bDeviceClass, rows[type].deviceClass) << type;
        EXPECT_EQ(dd->bMaxPacketSize0, rows[type].maxPacket0) << type;
        auto c = client.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
        ASSERT_EQ(client.call(*c), STATUS_SUCCESS);
        EXPECT_EQ(c->buffer[4], rows[type].interfaces) << type;
    }
}

TEST(Identification, CustomDescriptorsClassifyByTheRulesNotByTheVariant) {
    emu::Machine machine;
    // A class 0x02 device is type 0 even with a 64-byte EP0; class 0x09 with EP0 8 is unclassified.
    ChipConfig cdc64 = ChipConfig::Variant(0);
    cdc64.maxPacket0 = 64;
    ChipConfig hub = ChipConfig::Variant(1);
    hub.deviceClass = 0x09;
    SimulatedDevice a(cdc64), b(hub);
    Client ca(a.pdo()), cb(b.pdo());
    EXPECT_EQ(Classify(ca), 0);
    EXPECT_EQ(Classify(cb), -1);
}

TEST(Configuration, OneInterfaceGivesInterruptInBulkOutBulkInInOrder) {
    emu::Machine machine;
    SimulatedDevice device(ChipConfig::Variant(2));
    Client client(device.pdo());
    auto pipes = client.configure(2);
    ASSERT_EQ(pipes.first.size(), 3u);
    EXPECT_TRUE(pipes.second.empty());
    EXPECT_EQ(pipes.first[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_TRUE(USBD_PIPE_DIRECTION_IN(&pipes.first[0]));
    EXPECT_EQ(pipes.first[0].MaximumPacketSize, 16);
    EXPECT_EQ(pipes.first[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_FALSE(USBD_PIPE_DIRECTION_IN(&pipes.first[1]));
    EXPECT_EQ(pipes.first[2].PipeType, UsbdPipeTypeBulk);
    EXPECT_TRUE(USBD_PIPE_DIRECTION_IN(&pipes.first[2]));
    EXPECT_EQ(pipes.first[1].MaximumPacketSize, 64);
    for (auto &p : pipes.first) EXPECT_NE(p.PipeHandle, nullptr);
    EXPECT_EQ(device.chip().configuration(), 1);
    EXPECT_EQ(device.chip().setConfigurationCount(), 1);

    auto log = device.bus().urbLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(log.back().setup.bRequest, USB_REQUEST_SET_CONFIGURATION);
    EXPECT_EQ(log.back().setup.wValue, 1);
}

TEST(Configuration, TwoInterfacesPutTheBulkPipesInTheSecond) {
    emu::Machine machine;
    for (int type : {0, 3}) {
        SimulatedDevice device(ChipConfig::Variant(type));
        Client client(device.pdo());
        auto pipes = client.configure(type);
        ASSERT_EQ(pipes.first.size(), 1u) << type;
        ASSERT_EQ(pipes.second.size(), 2u) << type;
        EXPECT_EQ(pipes.first[0].PipeType, UsbdPipeTypeInterrupt);
        EXPECT_EQ(pipes.second[0].PipeType, UsbdPipeTypeBulk);
        EXPECT_FALSE(USBD_PIPE_DIRECTION_IN(&pipes.second[0]));
        EXPECT_TRUE(USBD_PIPE_DIRECTION_IN(&pipes.second[1]));
    }
}

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

    auto languages = client.descriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255);
    ASSERT_EQ(client.call(*languages), STATUS_SUCCESS);
    EXPECT_EQ(languages->buffer[2] | languages->buffer[3] << 8, 0x0409);

    auto german = client.descriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0407, 64);
    EXPECT_EQ(client.call(*german), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(german->usbd(), USBD_STATUS_STALL_PID);
    auto missing = client.descriptor(USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 64);
    EXPECT_EQ(client.call(*missing), STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace devtest
