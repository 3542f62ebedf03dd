// Starting a port on each chip variant, and hostile or silent devices failing the start cleanly.
#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

using emu::usb::VendorIdAt;

class BringUpTest : public PnpTest {};

// `bytes` with byte `at` set to `value`.
static std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t at, uint8_t value) {
    bytes[at] = value;
    return bytes;
}

// Serves string descriptor `index` as a 64-byte answer whose byte `at` is `value` and whose bLength says `length`.
static std::vector<uint8_t> StringWith(size_t at, uint8_t value, uint8_t length = 64) {
    std::vector<uint8_t> s(64, 'x');
    for (size_t i = 3; i < s.size(); i += 2) s[i] = 0;
    s[0] = length;
    s[1] = USB_STRING_DESCRIPTOR_TYPE;
    s[at] = value;
    return s;
}

// The type follows the descriptors and strings by the rules, not the variant: the device class and
// EP0 size first, then characters of the strings, only those the device sent.
TEST_F(BringUpTest, IdentificationFollowsTheDescriptorsAndStrings) {
    struct Case {
        const char *what;
        int variant;
        uint8_t deviceClass, maxPacket0;
        std::vector<uint8_t> string2, string1;  // empty: the device's own
        LONG expected;
    } cases[] = {
        {"communications class wins over a 64-byte EP0", 0, 0x02, 64, {}, {}, 0},
        {"class 0xFF with an 8-byte EP0", 1, 0xFF, 8, {}, {}, 1},
        // The one-interface layout has no match row to check; this chip still starts unclassified.
        {"class 0x09 with an 8-byte EP0 is not this chip", 1, 0x09, 8, {}, {}, -1},
        {"'C' at character 22 makes a type 3", 2, 0, 64, StringWith(46, 'C'), StringWith(50, 'y'), 3},
        {"a space at character 24 makes a type 4, over a type 3", 2, 0, 64, StringWith(46, 'C'), StringWith(50, ' '), 4},
        {"'C' beyond the string's own length does not count", 2, 0, 64, StringWith(46, 'C', 46), StringWith(50, 'y'), 2},
        {"a space beyond the string's own length does not count", 2, 0, 64, StringWith(46, 'y'), StringWith(50, ' ', 51), 2},
        {"strings shorter than the positions tested", 2, 0, 64, {0xFF, 3, 'A', 0}, {4, 3, ' ', 0}, 2},
        {"an answer that is not a string descriptor", 2, 0, 64, StringWith(46, 'y'),
         Patched(StringWith(50, ' '), 1, USB_DEVICE_DESCRIPTOR_TYPE), 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ChipConfig config = Variant(c.variant);
        config.deviceClass = c.deviceClass;
        config.maxPacket0 = c.maxPacket0;
        SimulatedDevice device(config);
        if (!c.string2.empty()) device.bus().serveDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, c.string2);
        if (!c.string1.empty()) device.bus().serveDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, c.string1);
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
        ASSERT_NE(Ext(device), nullptr);
        EXPECT_EQ(Ext(device)->ChipType, c.expected);
        pnp.remove(device.pdo());
    }
}

// A configuration descriptor: header, then interfaces of (class, endpoints).
static std::vector<uint8_t> Configuration(std::vector<std::pair<uint8_t, int>> interfaces) {
    std::vector<uint8_t> d = {9, 2, 0, 0, uint8_t(interfaces.size()), 1, 0, 0x80, 50};
    uint8_t number = 0;
    for (auto [cls, endpoints] : interfaces) {
        d.insert(d.end(), {9, 4, number++, 0, uint8_t(endpoints), cls, cls, cls, 0});
        static const uint8_t addresses[] = {0x81, 0x02, 0x83, 0x04};
        static const uint8_t types[] = {3, 2, 2, 2};
        for (int e = 0; e < endpoints; e++) d.insert(d.end(), {7, 5, addresses[e], types[e], 64, 0, 1});
    }
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

TEST_F(BringUpTest, HostileConfigurationDescriptorsFailTheStartCleanly) {
    struct Case { const char *what; int variant; std::vector<uint8_t> bytes; } cases[] = {
        {"wTotalLength smaller than the header", 2, Patched(Configuration({{0xFF, 3}}), 2, 5)},
        {"wTotalLength larger than what arrives", 2, Patched(Configuration({{0xFF, 3}}), 2, 200)},
        {"no interfaces", 2, Configuration({})},
        {"three interfaces", 2, Configuration({{0xFF, 3}, {0xFF, 2}, {0xFF, 2}})},
        {"one interface with two endpoints", 2, Configuration({{0xFF, 2}})},
        {"two interfaces, the data one with one endpoint", 3, Configuration({{0xFF, 1}, {0xFF, 1}})},
        {"two interfaces that do not match the chip's classes", 3, Configuration({{0x02, 1}, {0x0A, 2}})},
        // Pipes are taken by position; one of the wrong type or direction is refused.
        {"the bulk OUT endpoint is isochronous", 2, Patched(Configuration({{0xFF, 3}}), 18 + 7 + 3, 1)},
        {"the bulk IN endpoint points OUT", 4, Patched(Configuration({{0xFF, 3}}), 18 + 14 + 2, 0x03)},
        {"the data interface offers an interrupt IN and a bulk OUT", 3, Configuration({{0xFF, 1}, {0xFF, 2}})},
        {"interface count claims one more than the descriptor holds", 1, Patched(Configuration({{0xFF, 3}}), 4, 2)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SimulatedDevice device(Variant(c.variant));
        device.bus().serveDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, c.bytes);
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_DEVICE_DATA_ERROR);
        // The PnP manager removed the failed stack again.
        EXPECT_EQ(Port(device), nullptr);
        EXPECT_EQ(PortBytes(), 0u);
    }
}

TEST_F(BringUpTest, ShortOrFailedDescriptorReadsFailTheStart) {
    {
        SCOPED_TRACE("a device descriptor of 8 bytes");
        SimulatedDevice device(Variant(2));
        auto d = device.chip().deviceDescriptor();
        d.resize(8);
        device.bus().serveDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, d);
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(Count(device.bus().urbLog(), URB_FUNCTION_SELECT_CONFIGURATION), 0);
    }
    {
        SCOPED_TRACE("a configuration header of 4 bytes");
        SimulatedDevice device(Variant(2));
        device.bus().serveDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, {9, 2, 0x20, 0});
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_DEVICE_DATA_ERROR);
    }
    for (uint16_t wValue : {uint16_t(0x0100), uint16_t(0x0200)}) {
        SCOPED_TRACE(wValue == 0x0100 ? "device descriptor read stalls" : "configuration header read stalls");
        SimulatedDevice device(Variant(2));
        device.bus().addFault(FaultRule::ForFunction(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).withValue(wValue).stall());
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(Count(device.bus().urbLog(), URB_FUNCTION_SELECT_CONFIGURATION), 0);
        EXPECT_EQ(Port(device), nullptr);
    }
}

// The EEPROM probe looks for the vendor ID where the type keeps it (type 3 at 0x40, probed after
// 0x20; type 4 at 0x60; type 2 at 0 only), waiting out the EEPROM's busy time after each byte. A
// found ID skips the initialisation writes and the shadow is read back from the chip, which loaded
// its registers from the EEPROM; otherwise the type's values are written.
TEST_F(BringUpTest, InitialisationWritesGoOutOnlyWhenTheEepromLacksTheVendorId) {
    const struct {
        int type;
        VendorIdAt at;
        bool found;
    } rows[] = {{0, VendorIdAt::Absent, false}, {1, VendorIdAt::Absent, false}, {2, VendorIdAt::Absent, false},
                {3, VendorIdAt::Absent, false}, {4, VendorIdAt::Absent, false}, {0, VendorIdAt::Zero, true},
                {3, VendorIdAt::Alternate, true}, {4, VendorIdAt::Alternate, true}, {2, VendorIdAt::Alternate, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "type " << r.type << " vendor ID at " << int(r.at));
        ChipConfig config = Variant(r.type, r.at);
        config.eepromReadBusy = 12 * kMs;
        SimulatedDevice device(config);
        ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
        using Writes = std::vector<std::pair<uint16_t, uint16_t>>;
        Writes registerWrites;
        for (const UrbRecord &u : Vendor(device.bus().urbLog(), false))
            if (u.setup.wValue <= 2) registerWrites.push_back({u.setup.wValue, u.setup.wIndex});
        const uint16_t clock = r.type >= 2 ? 0x44 : 0x24;
        const Writes expected = r.found ? Writes{} : Writes{{0, 1}, {1, 0}, {2, clock}};
        EXPECT_EQ(registerWrites, expected);
        for (int reg = 0; reg < 3; reg++) EXPECT_EQ(Ext(device)->RegisterShadow[reg], device.chip().reg(reg)) << reg;
        EXPECT_EQ(EepromHoldsVendorId(Port(device)), r.found);
        pnp.remove(device.pdo());
    }
}

TEST_F(BringUpTest, AnEepromThatStaysBusyIsAReadFailureAfterABoundedWait) {
    ChipConfig config = Variant(2);
    config.eepromStuckBusy = true;
    SimulatedDevice device(config);
    int64_t before = machine.now();
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);
    EXPECT_LT(machine.now() - before, 2 * kSecond);
    auto reads = Vendor(device.bus().urbLog(), true);
    int polls = 0;
    for (const UrbRecord &r : reads) polls += r.setup.wValue == CHIP_EEPROM_STATUS;
    EXPECT_EQ(polls, EEPROM_BUSY_POLLS);
    // Unread, the EEPROM cannot vouch for the chip: the initialisation writes went out.
    EXPECT_EQ(Ext(device)->RegisterShadow[2], 0x44);

    UCHAR bytes[2] = {0xEE, 0xEE};
    ULONG read = 99;
    EXPECT_EQ(ReadEepromBytes(Port(device), 0, 2, bytes, &read), STATUS_IO_TIMEOUT);
    EXPECT_EQ(std::tuple(read, bytes[0]), std::tuple(0u, 0xEE));
    pnp.remove(device.pdo());
}

}  // namespace
}  // namespace pt
