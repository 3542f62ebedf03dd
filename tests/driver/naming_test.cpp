#include "tests/driver/driver_test_support.h"

#include "platform/serial.h"

namespace {

using dt::DriverTest;

class NamingTest : public DriverTest {
protected:
    void SetUp() override { LoadDriver(); }

    std::optional<std::u16string> MapEntry(PortExtension *port) {
        return registry.GetString(emu::Registry::kSerialCommPath, Text(port->DeviceName));
    }
    size_t EnabledComInterfaces() { return names.EnabledInterfaces(GUID_DEVINTERFACE_COMPORT).size(); }

    void ExpectUnnamed(PortExtension *port) {
        EXPECT_EQ(names.Resolve(u"\\??\\COM5"), nullptr);
        EXPECT_FALSE(MapEntry(port));
        EXPECT_EQ(EnabledComInterfaces(), 0u);
        EXPECT_FALSE(port->CreatedSymbolicLink);
        EXPECT_FALSE(port->CreatedSerialCommEntry);
        EXPECT_EQ(port->WmiPortName.Buffer, nullptr);
        EXPECT_EQ(port->SymbolicLinkName.Buffer, nullptr);
        EXPECT_EQ(port->DosName.Buffer, nullptr);
        EXPECT_EQ(port->InterfaceName.Buffer, nullptr);
    }
};

TEST_F(NamingTest, PortNamePublishesLinkMapEntryAndInterface) {
    registry.SetString(DeviceParameters(0), u"PortName", u"COM5");
    PortExtension *port = AddPort();
    ASSERT_EQ(NamePort(port), STATUS_SUCCESS);
    EXPECT_EQ(names.Resolve(u"\\??\\COM5"), port->DeviceObject);
    EXPECT_EQ(names.LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\Serial2");
    auto entry = registry.GetValue(emu::Registry::kSerialCommPath, u"\\Device\\Serial2");
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->type, ULONG(REG_SZ));
    EXPECT_EQ(entry->data, dt::Bytes({'C', 0, 'O', 0, 'M', 0, '5', 0, 0, 0}));
    EXPECT_EQ(EnabledComInterfaces(), 1u);
    EXPECT_TRUE(names.InterfaceEnabled(Text(port->InterfaceName)));
    EXPECT_EQ(Text(port->WmiPortName), u"COM5");
    EXPECT_EQ(Text(port->SymbolicLinkName), u"\\DosDevices\\COM5");

    UndoNaming(port);
    EXPECT_EQ(names.Resolve(u"\\??\\COM5"), nullptr);
    EXPECT_FALSE(MapEntry(port));
    EXPECT_EQ(EnabledComInterfaces(), 0u);
    EXPECT_EQ(port->WmiPortName.Buffer, nullptr);
    // Surprise removal followed by removal: the second pass finds nothing left to withdraw.
    UndoNaming(port);
}

TEST_F(NamingTest, IdentifierStandsInForMissingOrEmptyPortName) {
    registry.SetString(DeviceParameters(0), u"Identifier", u"COM7");
    PortExtension *port = AddPort();
    ASSERT_EQ(NamePort(port), STATUS_SUCCESS);
    EXPECT_EQ(names.Resolve(u"\\??\\COM7"), port->DeviceObject);

    registry.SetString(DeviceParameters(1), u"PortName", u"");
    registry.SetString(DeviceParameters(1), u"Identifier", u"COM8");
    PortExtension *second = AddPort();
    ASSERT_EQ(NamePort(second), STATUS_SUCCESS);
    EXPECT_EQ(MapEntry(second), u"COM8");
}

TEST_F(NamingTest, SkipExternalNamingCreatesAndRemovesNothing) {
    registry.SetString(DeviceParameters(0), u"PortName", u"COM5");
    registry.SetDword(DeviceParameters(0), u"SerialSkipExternalNaming", 1);
    PortExtension *port = AddPort();
    EXPECT_EQ(NamePort(port), STATUS_SUCCESS);
    EXPECT_EQ(port->SkipExternalNaming, 1u);
    ExpectUnnamed(port);
    // A link someone else made under that name survives our removal.
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, u"\\Device\\Serial2");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UndoNaming(port);
    EXPECT_EQ(names.Resolve(u"\\??\\COM5"), port->DeviceObject);
    IoDeleteSymbolicLink(&link);
}

TEST_F(NamingTest, ValueTooLargeForDestinationIsNotCopiedNorReportedRead) {
    registry.SetString(DeviceParameters(0), u"PortName", std::u16string(200, u'X'));
    registry.SetString(DeviceParameters(0), u"Identifier", u"COM9");
    PortExtension *port = AddPort();
    // 200 characters exceed the 256-byte COM-name buffer: the fallback name is used instead.
    ASSERT_EQ(NamePort(port), STATUS_SUCCESS);
    EXPECT_EQ(Text(port->WmiPortName), u"COM9");

    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(port->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    UCHAR small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    static const WCHAR name[] = u"Identifier";
    EXPECT_EQ(QueryRegistryValue(key, name, sizeof(name), small, sizeof(small)), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small[0], 0xAA);
    ULONG dword = 0;
    registry.SetDword(DeviceParameters(0), u"Number", 0x12345678);
    static const WCHAR number[] = u"Number";
    EXPECT_EQ(QueryRegistryValue(key, number, sizeof(number), &dword, sizeof(dword)), STATUS_SUCCESS);
    EXPECT_EQ(dword, 0x12345678u);
    ZwClose(key);
}

TEST_F(NamingTest, ComNameLongerThanDeviceMapCarriesIsRefusedWhole) {
    registry.SetString(DeviceParameters(0), u"PortName", u"COM" + std::u16string(30, u'1'));  // 33 characters
    PortExtension *port = AddPort();
    EXPECT_EQ(NamePort(port), STATUS_OBJECT_NAME_INVALID);
    ExpectUnnamed(port);

    registry.SetString(DeviceParameters(1), u"PortName", u"COM" + std::u16string(29, u'1'));  // 32: fits
    PortExtension *second = AddPort();
    EXPECT_EQ(NamePort(second), STATUS_SUCCESS);
    EXPECT_EQ(MapEntry(second)->size(), 32u);
}

// Fails the 1st, 2nd, ... allocation of a naming (the kernel's own included) until one succeeds.
TEST_F(NamingTest, EveryAllocationFailureUndoesTheWholeNaming) {
    registry.SetString(DeviceParameters(0), u"PortName", u"COM5");
    PortExtension *port = AddPort();
    size_t baseline = pool.bytesInUse(MIRAVO_POOL_TAG);
    int failures = 0;
    for (uint64_t n = 1;; n++) {
        uint64_t before = pool.injectedFailures();
        pool.failNth(n);
        NTSTATUS status = NamePort(port);
        bool injected = pool.injectedFailures() > before;
        pool.clearFaults();
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(MapEntry(port), u"COM5") << "allocation " << n;
            UndoNaming(port);
        } else {
            failures++;
            // Never mistaken for a device without a COM name, which starts unnamed.
            EXPECT_NE(status, STATUS_OBJECT_NAME_NOT_FOUND) << "allocation " << n;
            ExpectUnnamed(port);
        }
        EXPECT_EQ(pool.bytesInUse(MIRAVO_POOL_TAG), baseline) << "allocation " << n;
        EXPECT_EQ(registry.OpenHandleCount(), 0u);
    }
    EXPECT_GE(failures, 5);
    EXPECT_EQ(names.Resolve(u"\\??\\COM5"), port->DeviceObject);
}

TEST_F(NamingTest, TakenComLinkFailsNamingWithoutTouchingTheOtherLink) {
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM5");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    registry.SetString(DeviceParameters(0), u"PortName", u"COM5");
    PortExtension *port = AddPort();
    EXPECT_FALSE(NT_SUCCESS(NamePort(port)));
    EXPECT_EQ(names.LinkTarget(u"\\??\\COM5"), u"\\Device\\Elsewhere");
    EXPECT_FALSE(MapEntry(port));
    EXPECT_EQ(EnabledComInterfaces(), 0u);
    IoDeleteSymbolicLink(&link);
}

}  // namespace
