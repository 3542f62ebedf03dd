#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "platform/host/usb.h"

namespace {

// A configuration descriptor assembled byte by byte, as a device would send it.
class ConfigBuilder {
public:
    ConfigBuilder() { bytes_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 0, 1, 0, 0x80, 50}; }
    ConfigBuilder &interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls, UCHAR subclass = 0,
                             UCHAR protocol = 0) {
        bytes_.insert(bytes_.end(),
                      {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, subclass, protocol, 0});
        if (alternate == 0) bytes_[4]++;
        return *this;
    }
    ConfigBuilder &endpoint(UCHAR address, UCHAR attributes, USHORT maxPacket, UCHAR interval = 0) {
        bytes_.insert(bytes_.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, UCHAR(maxPacket),
                                     UCHAR(maxPacket >> 8), interval});
        return *this;
    }
    ConfigBuilder &raw(std::initializer_list<UCHAR> descriptor) {
        bytes_.insert(bytes_.end(), descriptor);
        return *this;
    }
    PUSB_CONFIGURATION_DESCRIPTOR build() {
        bytes_[2] = UCHAR(bytes_.size());
        bytes_[3] = UCHAR(bytes_.size() >> 8);
        return config();
    }
    PUSB_CONFIGURATION_DESCRIPTOR config() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes_.data()); }
    PUCHAR at(size_t offset) { return bytes_.data() + offset; }

private:
    std::vector<UCHAR> bytes_;
};

// Vendor interface 0 (interrupt IN) with an alternate setting, then a data-class interface 1 with a
// class-specific descriptor before its bulk pair.
PUSB_CONFIGURATION_DESCRIPTOR TwoInterfaces(ConfigBuilder &b) {
    return b.interface(0, 0, 1, 0xFF, 0x01, 0x02)
        .endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 10, 1)
        .interface(0, 1, 0, 0xFF, 0x01, 0x02)
        .interface(1, 0, 2, USB_DEVICE_CLASS_CDC_DATA)
        .raw({5, 0x24, 0x00, 0x10, 0x01})
        .endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 64)
        .endpoint(0x81, USB_ENDPOINT_TYPE_BULK, 64)
        .build();
}

PUSB_INTERFACE_DESCRIPTOR Parse(PUSB_CONFIGURATION_DESCRIPTOR config, PVOID from, LONG number, LONG alternate,
                                LONG cls = -1, LONG subclass = -1, LONG protocol = -1) {
    return USBD_ParseConfigurationDescriptorEx(config, from, number, alternate, cls, subclass, protocol);
}

TEST(UsbdParse, FindsInterfacesByEachCriterionAndWildcard) {
    emu::Machine machine;
    ConfigBuilder b;
    auto *config = TwoInterfaces(b);

    auto *first = Parse(config, config, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(first), b.at(9));

    auto *data = Parse(config, config, 1, 0);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data->bInterfaceClass, USB_DEVICE_CLASS_CDC_DATA);
    EXPECT_EQ(Parse(config, config, -1, -1, USB_DEVICE_CLASS_CDC_DATA), data);

    auto *alternate = Parse(config, config, 0, 1);
    ASSERT_NE(alternate, nullptr);
    EXPECT_EQ(alternate->bAlternateSetting, 1);
    EXPECT_EQ(Parse(config, config, -1, -1, 0xFF, 0x01, 0x02), first);
    EXPECT_EQ(Parse(config, config, -1, -1, 0xFF, 0x01, 0x03), nullptr);
    EXPECT_EQ(Parse(config, config, 2, -1), nullptr);
}

TEST(UsbdParse, HostileDescriptorsEndTheWalk) {
    emu::Machine machine;
    ConfigBuilder zeroLength, pastTotal, shortInterface, overlong;
    auto *config = zeroLength.raw({0, 0x24}).interface(0, 0, 0, 0xFF).build();  // must not loop forever
    EXPECT_EQ(Parse(config, config, -1, -1), nullptr);
    config = pastTotal.interface(0, 0, 0, 0xFF).build();
    config->wTotalLength = 9 + 8;  // the interface ends past wTotalLength
    EXPECT_EQ(Parse(config, config, -1, -1), nullptr);
    // An interface type with a short bLength is not an interface.
    config = shortInterface.raw({4, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0}).interface(1, 0, 0, 0xFF).build();
    ASSERT_NE(Parse(config, config, -1, -1), nullptr);
    EXPECT_EQ(Parse(config, config, -1, -1)->bInterfaceNumber, 1);
    // A descriptor claiming to run past the end ends the walk there.
    config = overlong.interface(0, 0, 0, 0xFF).raw({200, 0x24}).interface(1, 0, 0, 0xFF).build();
    EXPECT_NE(Parse(config, config, 0, -1), nullptr);
    EXPECT_EQ(Parse(config, config, 1, -1), nullptr);
}

// The layout of the select-configuration URB is read back by the driver's bring-up through the bus,
// which refuses a wrong one; what remains here is failure.
TEST(UsbdCreateConfigurationRequest, FailsCleanlyWithoutPoolOrWhenTooLarge) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    ConfigBuilder b;
    auto *config = TwoInterfaces(b);

    pool.failTag(emu::Tag("USBD"));
    USHORT size = 0xBEEF;
    EXPECT_EQ(USBD_CreateConfigurationRequest(config, &size), nullptr);
    EXPECT_EQ(size, 0);
    pool.clearFaults();

    // More pipe slots than a URB's USHORT length can describe.
    ConfigBuilder big;
    auto *hostile = big.interface(0, 0, 255, 0xFF).build();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(
        64, USBD_INTERFACE_LIST_ENTRY{Parse(hostile, hostile, 0, 0), nullptr});
    list.push_back({nullptr, nullptr});
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(hostile, list.data()), nullptr);
    EXPECT_EQ(pool.countInUse(emu::Tag("USBD")), 0u);
}

}  // namespace
