#include <gtest/gtest.h>

#include <string>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/rtl_string.h"
#include "emulator/kernel/verifier.h"

namespace {

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}, the COM port interface class.
DEFINE_GUID(kComPortClass, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);
DEFINE_GUID(kOtherClass, 0x12345678, 0x1234, 0x5678, 0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78);

NTSTATUS Link(const char16_t *link, const char16_t *target) {
    UNICODE_STRING l, t;
    RtlInitUnicodeString(&l, link);
    RtlInitUnicodeString(&t, target);
    return IoCreateSymbolicLink(&l, &t);
}

NTSTATUS Unlink(const char16_t *link) {
    UNICODE_STRING l;
    RtlInitUnicodeString(&l, link);
    return IoDeleteSymbolicLink(&l);
}

NTSTATUS SetState(const UNICODE_STRING &link, bool enable) {
    UNICODE_STRING copy = link;
    return IoSetDeviceInterfaceState(&copy, enable);
}

TEST(Namespace, DeviceNamesCollideRegardlessOfCaseUntilRemovedAndLinksResolveUntilTheyDangle) {
    emu::Machine machine;
    auto &ns = machine.service<emu::Namespace>();
    DEVICE_OBJECT a{}, b{};
    EXPECT_EQ(ns.InsertDevice(u"\\Device\\MiravoSerial0", &a), STATUS_SUCCESS);
    EXPECT_EQ(ns.InsertDevice(u"\\DEVICE\\miravoserial0", &b), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(ns.InsertDevice(u"MiravoSerial1", &b), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ns.Resolve(u"\\device\\MIRAVOSERIAL0"), &a);
    EXPECT_EQ(ns.DeviceName(&a), u"\\Device\\MiravoSerial0");

    ns.RemoveDevice(&a);
    EXPECT_EQ(ns.Resolve(u"\\Device\\MiravoSerial0"), nullptr);
    DEVICE_OBJECT &port = b;
    EXPECT_EQ(ns.InsertDevice(u"\\Device\\MiravoSerial0", &port), STATUS_SUCCESS);

    // DOS device links resolve under either spelling until they dangle.
    ASSERT_EQ(Link(u"\\DosDevices\\COM3", u"\\Device\\MiravoSerial0"), STATUS_SUCCESS);

    EXPECT_EQ(ns.Resolve(u"\\??\\COM3"), &port);
    EXPECT_EQ(ns.Resolve(u"\\DosDevices\\Com3"), &port);
    EXPECT_EQ(ns.LinkTarget(u"\\??\\COM3"), u"\\Device\\MiravoSerial0");

    EXPECT_EQ(Link(u"\\??\\COM3", u"\\Device\\Elsewhere"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Link(u"\\Device\\MiravoSerial0", u"\\Device\\Elsewhere"), STATUS_OBJECT_NAME_COLLISION);

    EXPECT_EQ(Unlink(u"\\??\\COM3"), STATUS_SUCCESS);
    EXPECT_EQ(Unlink(u"\\DosDevices\\COM3"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ns.Resolve(u"\\??\\COM3"), nullptr);

    // A link outlives its device and dangles.
    ASSERT_EQ(Link(u"\\??\\COM3", u"\\Device\\MiravoSerial0"), STATUS_SUCCESS);
    ns.RemoveDevice(&port);
    EXPECT_EQ(ns.Resolve(u"\\??\\COM3"), nullptr);
}

TEST(Namespace, InterfacesRegisterOnceAndResolveOnlyWhileEnabled) {
    emu::Machine machine;
    auto &ns = machine.service<emu::Namespace>();
    auto &pool = machine.service<emu::Pool>();
    DEVICE_OBJECT pdo{}, fdo{};
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(&fdo, &kComPortClass, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);

    ns.SetDeviceInstanceId(&pdo, u"USB\\VID_1209&PID_0001\\5&1&0&1");
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &kComPortClass, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(emu::View(link), u"\\??\\USB#VID_1209&PID_0001#5&1&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    UNICODE_STRING again{};
    ASSERT_EQ(IoRegisterDeviceInterface(&pdo, &kComPortClass, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(emu::View(again), emu::View(link));
    RtlFreeUnicodeString(&again);

    EXPECT_EQ(ns.Resolve(emu::View(link)), nullptr) << "registered interfaces start disabled";
    EXPECT_EQ(SetState(link, false), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(SetState(link, true), STATUS_SUCCESS);
    EXPECT_EQ(SetState(link, true), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(ns.Resolve(emu::View(link)), &pdo);
    EXPECT_EQ(ns.EnabledInterfaces(kComPortClass), std::vector<std::u16string>{std::u16string(emu::View(link))});
    EXPECT_TRUE(ns.EnabledInterfaces(kOtherClass).empty());

    EXPECT_EQ(SetState(link, false), STATUS_SUCCESS);
    EXPECT_TRUE(ns.EnabledInterfaces(kComPortClass).empty());
    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\USB#nothing#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);

    // Removing the PDO forgets its interfaces, enabled or not, and its keys.
    ASSERT_EQ(SetState(link, true), STATUS_SUCCESS);
    ns.RemoveDevice(&pdo);
    EXPECT_TRUE(ns.EnabledInterfaces(kComPortClass).empty());
    EXPECT_EQ(SetState(link, false), STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(pool.countInUse(emu::kRtlStringTag), 0u);
}

}  // namespace
