// The COM name a port starts with: where it comes from, what it publishes and withdraws.
#include <optional>

#include "emulator/kernel/rtl_string.h"

#include "tests/driver/pnp_test_support.h"

namespace pt {
namespace {

class NamingTest : public PnpTest {
protected:
    std::u16string Text(const UNICODE_STRING &s) { return std::u16string(s.Buffer ? s.Buffer : u"", s.Length / 2); }
    std::u16string LastDeviceName() {
        return u"\\Device\\Serial" + emu::Widen(std::to_string(DriverGlobals.NextPortNumber - 1));
    }
    size_t EnabledComInterfaces() { return names.EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size(); }
};

TEST_F(NamingTest, TheComNameComesFromTheDeviceParametersAndGoesAtRemoval) {
    const std::u16string longest = u"COM" + std::u16string(29, u'1');  // 32 characters: the map's limit
    struct Row {
        const char *what;
        std::optional<std::u16string> portName, identifier;
        bool skip, foreignLink;
        NTSTATUS status;
        std::u16string name;  // empty: started unnamed
    } rows[] = {
        {"PortName", u"COM5", u"COM7", false, false, STATUS_SUCCESS, u"COM5"},
        {"Identifier without a PortName", {}, u"COM7", false, false, STATUS_SUCCESS, u"COM7"},
        {"Identifier for an empty PortName", u"", u"COM8", false, false, STATUS_SUCCESS, u"COM8"},
        // 200 characters exceed the 256-byte buffer: not read, so the fallback is used.
        {"Identifier for a PortName too long to read", std::u16string(200, u'X'), u"COM9", false, false,
         STATUS_SUCCESS, u"COM9"},
        {"the longest name the device map carries", longest, {}, false, false, STATUS_SUCCESS, longest},
        {"one longer is refused whole", longest + u"1", {}, false, false, STATUS_OBJECT_NAME_INVALID, u""},
        {"no name at all", {}, {}, false, false, STATUS_SUCCESS, u""},
        {"a name someone else's link holds", u"COM5", {}, false, true, STATUS_OBJECT_NAME_COLLISION, u""},
        {"skipped naming, beside someone else's link", u"COM5", {}, true, true, STATUS_SUCCESS, u""},
    };
    const std::u16string key = DeviceParameters(2);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        for (const char16_t *v : {u"PortName", u"Identifier", u"SerialSkipExternalNaming"}) registry.DeleteValue(key, v);
        if (r.portName) registry.SetString(key, u"PortName", *r.portName);
        if (r.identifier) registry.SetString(key, u"Identifier", *r.identifier);
        if (r.skip) registry.SetDword(key, u"SerialSkipExternalNaming", 1);
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\COM5");
        RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
        if (r.foreignLink) { ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS); }

        SimulatedDevice device(Variant(2));
        EXPECT_EQ(pnp.plugIn(driver, device.pdo()), r.status);
        const std::u16string deviceName = LastDeviceName();
        auto entry = registry.GetValue(emu::Registry::kSerialCommPath, deviceName);
        if (!r.name.empty()) {
            PortExtension *port = Ext(device);
            ASSERT_NE(port, nullptr);
            EXPECT_EQ(names.Resolve(u"\\??\\" + r.name), port->DeviceObject);
            EXPECT_EQ(names.LinkTarget(u"\\DosDevices\\" + r.name), deviceName);
            ASSERT_TRUE(entry);
            EXPECT_EQ(entry->type, ULONG(REG_SZ));
            std::u16string text = r.name + u'\0';
            EXPECT_EQ(entry->data, std::vector<uint8_t>(reinterpret_cast<const uint8_t *>(text.data()),
                                                        reinterpret_cast<const uint8_t *>(text.data() + text.size())));
            EXPECT_EQ(EnabledComInterfaces(), 1u);
            EXPECT_TRUE(names.InterfaceEnabled(Text(port->InterfaceName)));
            EXPECT_EQ(Text(port->WmiPortName), r.name);
        } else {
            EXPECT_FALSE(entry);
            EXPECT_EQ(EnabledComInterfaces(), 0u);
            if (PortExtension *port = Ext(device)) {
                EXPECT_FALSE(port->CreatedSymbolicLink);
                EXPECT_EQ(std::tuple(port->WmiPortName.Buffer, port->DosName.Buffer), std::tuple(nullptr, nullptr));
            }
        }
        if (NT_SUCCESS(r.status)) { EXPECT_EQ(pnp.remove(device.pdo()), STATUS_SUCCESS); }
        EXPECT_EQ(Port(device), nullptr);
        EXPECT_FALSE(registry.GetValue(emu::Registry::kSerialCommPath, deviceName));
        EXPECT_EQ(EnabledComInterfaces(), 0u);
        if (!r.name.empty()) { EXPECT_EQ(names.Resolve(u"\\??\\" + r.name), nullptr); }
        if (r.foreignLink) {
            EXPECT_EQ(names.LinkTarget(u"\\??\\COM5"), u"\\Device\\Elsewhere") << "someone else's link stays";
            IoDeleteSymbolicLink(&link);
        }
    }
}

// Naming is all or nothing in itself, before any removal tidies up: the 1st, 2nd, ... allocation
// of a naming (the kernel's own included) fails until one succeeds.
TEST_F(NamingTest, EveryAllocationFailureUndoesTheWholeNamingAndNoValueOverflowsItsDestination) {
    SimulatedDevice device(Variant(2));
    ASSERT_EQ(pnp.plugIn(driver, device.pdo()), STATUS_SUCCESS);  // no name yet
    PortExtension *port = Ext(device);
    // A value too large for its destination is neither copied nor reported read.
    registry.SetString(DeviceParameters(2), u"Identifier", u"COM9");
    registry.SetDword(DeviceParameters(2), u"Number", 0x12345678);
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(device.pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    UCHAR small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    static const WCHAR identifier[] = u"Identifier", number[] = u"Number";
    EXPECT_EQ(QueryRegistryValue(key, identifier, sizeof(identifier), small, sizeof(small)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small[0], 0xAA);
    ULONG dword = 0;
    EXPECT_EQ(QueryRegistryValue(key, number, sizeof(number), &dword, sizeof(dword)), STATUS_SUCCESS);
    EXPECT_EQ(dword, 0x12345678u);
    ZwClose(key);

    registry.SetString(DeviceParameters(2), u"PortName", u"COM5");
    const size_t baseline = pool.bytesInUse(MIRAVO_POOL_TAG);
    int failures = 0;
    for (uint64_t n = 1;; n++) {
        SCOPED_TRACE(n);
        const uint64_t before = pool.injectedFailures();
        pool.failNth(n);
        NTSTATUS status = NamePort(port);
        const bool injected = pool.injectedFailures() > before;
        pool.clearFaults();
        if (!NT_SUCCESS(status)) {
            failures++;
            EXPECT_EQ(names.Resolve(u"\\??\\COM5"), nullptr);
            EXPECT_FALSE(registry.GetValue(emu::Registry::kSerialCommPath, LastDeviceName()));
            EXPECT_EQ(EnabledComInterfaces(), 0u);
            EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), baseline);
        }
        if (!injected) break;
        if (NT_SUCCESS(status)) UndoNaming(port);
    }
    EXPECT_GE(failures, 5);
    EXPECT_EQ(names.Resolve(u"\\??\\COM5"), port->DeviceObject);
    pnp.remove(device.pdo());
}


}  // namespace
}  // namespace pt
