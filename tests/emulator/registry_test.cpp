#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/rtl_string.h"
#include "emulator/kernel/verifier.h"

namespace {

const std::u16string kService = std::u16string(emu::Registry::kServicesPath) + u"\\miravo";
const std::u16string kParameters = kService + u"\\Parameters";

std::vector<uint8_t> Bytes(std::u16string_view s) {
    auto *p = reinterpret_cast<const uint8_t *>(s.data());
    return {p, p + s.size() * 2};
}

RTL_QUERY_REGISTRY_TABLE Direct(const char16_t *name, void *destination, ULONG flags = 0) {
    return {nullptr, RTL_QUERY_REGISTRY_DIRECT | flags, const_cast<PWSTR>(name), destination, REG_NONE, nullptr, 0};
}

// Every call a QueryRoutine receives.
struct Seen {
    std::u16string name;
    ULONG type;
    std::vector<uint8_t> data;
};
NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
    auto *seen = static_cast<std::vector<Seen> *>(context);
    auto *p = static_cast<uint8_t *>(data);
    seen->push_back({name ? std::u16string(name) : u"(none)", type, std::vector<uint8_t>(p, p + length)});
    return STATUS_SUCCESS;
}

HANDLE OpenKey(const std::u16string &path, ACCESS_MASK access, NTSTATUS *status = nullptr) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE h = nullptr;
    NTSTATUS s = ZwOpenKey(&h, access, &oa);
    if (status) *status = s;
    return h;
}

TEST(Registry, DirectQueryFillsTerminatedStringsAndDwords) {
    emu::Machine machine;
    auto &reg = machine.service<emu::Registry>();
    reg.SetString(kParameters, u"PortName", u"COM7");
    reg.SetDword(kParameters, u"MaxBuffer", 4096);

    UNICODE_STRING port{};  // Buffer NULL: the routine allocates
    ULONG maxBuffer = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {Direct(u"PortName", &port), Direct(u"MaxBuffer", &maxBuffer), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"miravo\\Parameters", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::View(port), u"COM7");
    EXPECT_EQ(port.Length, 8);
    EXPECT_EQ(port.Buffer[4], 0);
    EXPECT_EQ(maxBuffer, 4096u);
    RtlFreeUnicodeString(&port);
    EXPECT_EQ(machine.service<emu::Pool>().countInUse(emu::kRtlStringTag), 0u);

    // A caller buffer one character short of the terminator is refused.
    WCHAR small[4];
    UNICODE_STRING into{0, sizeof small, small};
    RTL_QUERY_REGISTRY_TABLE tooSmall[] = {Direct(u"PortName", &into), {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), tooSmall, nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);

    // A string stored without its terminator reaches routines and direct queries terminated.
    reg.SetValue(kParameters, u"PortName", REG_SZ, Bytes(u"COM9"));
    std::vector<Seen> seen;
    RTL_QUERY_REGISTRY_TABLE table2[] = {
        {Record, 0, const_cast<PWSTR>(u"PortName"), nullptr, REG_NONE, nullptr, 0}, Direct(u"PortName", &port), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), table2, &seen, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].data, Bytes(std::u16string(u"COM9") + u'\0'));
    EXPECT_EQ(emu::View(port), u"COM9");
    EXPECT_EQ(port.Buffer[4], 0);
    RtlFreeUnicodeString(&port);
}

TEST(Registry, MissingValuesUseDefaultsAndAMissingKeyFails) {
    emu::Machine machine;
    machine.service<emu::Registry>().CreateKey(kParameters);
    ULONG fallback = 9600, value = 1, untouched = 77;
    std::vector<Seen> seen;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"Baud"), &value, REG_DWORD, &fallback, sizeof fallback},
        Direct(u"Absent", &untouched),
        {Record, 0, const_cast<PWSTR>(u"AlsoAbsent"), nullptr, REG_NONE, nullptr, 0},
        {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), table, &seen, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 9600u);
    EXPECT_EQ(untouched, 77u);
    EXPECT_TRUE(seen.empty()) << "no value, no default: the routine is not called";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"nosuchdriver", table, &seen, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Registry, QueryValueKeyFillsFullInformationAndReportsTheSizeToShortBuffers) {
    emu::Machine machine;
    machine.service<emu::Registry>().SetString(kParameters, u"PortName", u"COM3");
    HANDLE key = OpenKey(kParameters, KEY_READ);
    ASSERT_NE(key, nullptr);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"PortName");
    alignas(8) uint8_t buffer[128];
    auto *full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    ULONG needed = 0, result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"PortName");
    EXPECT_GE(full->DataOffset, FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + full->NameLength);
    EXPECT_EQ(full->Type, ULONG(REG_SZ));
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer + full->DataOffset)), u"COM3");
    EXPECT_EQ(needed, full->DataOffset + full->DataLength);

    // Too small for the fixed part: nothing; for the rest: the fixed part. Either way the size needed.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, 4, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, needed);
    std::memset(buffer, 0, sizeof buffer);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, needed - 2, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, needed);
    EXPECT_EQ(full->DataLength, 10u);

    UNICODE_STRING absent;
    RtlInitUnicodeString(&absent, u"Absent");
    EXPECT_EQ(ZwQueryValueKey(key, &absent, KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST(Registry, HandlesAreCountedAndDoubleCloseIsReported) {
    emu::Machine machine;
    auto &reg = machine.service<emu::Registry>();
    reg.CreateKey(kParameters);
    size_t before = reg.OpenHandleCount();
    HANDLE a = OpenKey(kParameters, KEY_READ);
    HANDLE b = OpenKey(kService, KEY_READ);
    EXPECT_EQ(reg.OpenHandleCount(), before + 2);
    EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    EXPECT_EQ(reg.OpenHandlePaths(), std::vector<std::u16string>{kService}) << "the one left open is the leak";
    EXPECT_EQ(ZwClose(b), STATUS_SUCCESS);
    EXPECT_EQ(reg.OpenHandleCount(), before);

    emu::ReportCapture capture;
    EXPECT_EQ(ZwClose(a), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(capture.saw(emu::Violation::InvalidParameter));
}

TEST(Registry, DeviceParametersKeyOfAKnownPdoOnly) {
    emu::Machine machine;
    auto &reg = machine.service<emu::Registry>();
    DEVICE_OBJECT pdo{}, fdo{}, other{};
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_INVALID_DEVICE_REQUEST);

    const std::u16string instance = std::u16string(emu::Registry::kEnumPath) + u"\\USB\\VID_1209&PID_0001\\5&1&0&1";
    reg.SetDeviceKeyPath(&pdo, instance);
    reg.SetString(instance + u"\\Device Parameters", u"PortName", u"COM4");
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING port{};
    RTL_QUERY_REGISTRY_TABLE table[] = {Direct(u"PortName", &port), {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::View(port), u"COM4");
    RtlFreeUnicodeString(&port);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // From the instance id the PnP manager gave the namespace; the key appears on first open.
    machine.service<emu::Namespace>().SetDeviceInstanceId(&other, u"USB\\VID_1209&PID_0002\\7");
    ASSERT_EQ(IoOpenDeviceRegistryKey(&other, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_TRUE(reg.KeyExists(std::u16string(emu::Registry::kEnumPath) + u"\\USB\\VID_1209&PID_0002\\7\\Device Parameters"));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

}  // namespace
