// The registry as the driver reads it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/verifier.h"

namespace {

const std::u16string kParameters = std::u16string(emu::Registry::kServicesPath) + u"\\miravo\\Parameters";

std::vector<uint8_t> Bytes(std::u16string_view s) {
    auto *p = reinterpret_cast<const uint8_t *>(s.data());
    return {p, p + s.size() * 2};
}

struct Seen { std::u16string name; ULONG type; std::vector<uint8_t> data; };
NTSTATUS NTAPI Record(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID) {
    auto *p = static_cast<uint8_t *>(data);
    static_cast<std::vector<Seen> *>(context)->push_back({name, type, std::vector<uint8_t>(p, p + length)});
    return STATUS_SUCCESS;
}

TEST(Registry, QueryRoutineGetsStringsTerminatedAndIsNotCalledForAbsentValues) {
    emu::Machine machine;
    machine.service<emu::Registry>().SetValue(kParameters, u"Rates", REG_SZ, Bytes(u"COM9"));  // no terminator
    std::vector<Seen> seen;
    RTL_QUERY_REGISTRY_TABLE table[] = {{Record, 0, const_cast<PWSTR>(u"Rates"), nullptr, REG_NONE, nullptr, 0},
                                        {Record, 0, const_cast<PWSTR>(u"Absent"), nullptr, REG_NONE, nullptr, 0},
                                        {}};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kParameters.c_str(), table, &seen, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].name, u"Rates");
    EXPECT_EQ(seen[0].type, ULONG(REG_SZ));
    EXPECT_EQ(seen[0].data, Bytes(std::u16string(u"COM9") + u'\0'));
    const std::u16string missing = std::u16string(emu::Registry::kServicesPath) + u"\\nosuchdriver";
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, missing.c_str(), table, &seen, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// The device key the driver reads its settings from: opened from the instance id the PnP manager
// gave the PDO, created on first open; a device without one (an FDO) is refused.
class DeviceKey : public ::testing::Test {
protected:
    DeviceKey() {
        machine.service<emu::Namespace>().SetDeviceInstanceId(&pdo, u"USB\\VID_1209&PID_0002\\7");
        EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key), STATUS_SUCCESS);
    }
    ~DeviceKey() override { EXPECT_EQ(ZwClose(key), STATUS_SUCCESS); }

    emu::Machine machine;
    emu::Registry &reg = machine.service<emu::Registry>();
    const std::u16string path = std::u16string(emu::Registry::kEnumPath) + u"\\USB\\VID_1209&PID_0002\\7\\Device Parameters";
    DEVICE_OBJECT pdo{};
    HANDLE key = nullptr;
};

TEST_F(DeviceKey, QueryValueKeyFillsFullInformationReportsTheSizeToShortBuffersAndHandlesAreCounted) {
    reg.SetString(path, u"PortName", u"COM3");
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
    EXPECT_EQ(std::tuple(result, full->DataLength), std::tuple(needed, 10u));

    RtlInitUnicodeString(&name, u"Absent");
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);

    DEVICE_OBJECT fdo{};
    HANDLE none = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(&fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &none), STATUS_INVALID_DEVICE_REQUEST);

    // Handles are counted, and a double close is reported.
    const size_t before = reg.OpenHandleCount();
    HANDLE second = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &second), STATUS_SUCCESS);
    EXPECT_EQ(reg.OpenHandleCount(), before + 1);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(reg.OpenHandleCount(), before);

    emu::ReportCapture capture;
    EXPECT_EQ(ZwClose(second), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(capture.saw(emu::Violation::InvalidParameter));
}

}  // namespace
