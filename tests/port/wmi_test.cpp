// The port's WMI blocks as management software reads them: registration, each block's size and
// content, the busy flag following open and close, and every set refused.
#include <cstring>

#include "emulator/kernel/wmi.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace {

const GUID kName = SERIAL_PORT_WMI_NAME_GUID, kComm = SERIAL_PORT_WMI_COMM_GUID, kHardware = SERIAL_PORT_WMI_HW_GUID,
           kPerformance = SERIAL_PORT_WMI_PERF_GUID, kProperties = SERIAL_PORT_WMI_PROPERTIES_GUID;

template <typename T>
T At(const std::vector<uint8_t> &data, size_t offset) {
    T value{};
    std::memcpy(&value, data.data() + offset, sizeof value);
    return value;
}

TEST_F(ComPort, WmiBlocksAreRegisteredSizedReadOnlyAndFollowThePort) {
    Start();
    PDEVICE_OBJECT provider = bench->port()->DeviceObject;
    emu::wmi::RegInfo info = emu::wmi::regInfo(provider);
    ASSERT_EQ(info.status, STATUS_SUCCESS);
    ASSERT_EQ(info.guids.size(), 5u);
    EXPECT_TRUE(IsEqualGUID(info.guids[4].Guid, kProperties));
    EXPECT_EQ(info.guids[0].Flags & WMIREG_FLAG_INSTANCE_PDO, ULONG(WMIREG_FLAG_INSTANCE_PDO));
    EXPECT_EQ(info.guids[0].Pdo, ULONG_PTR(bench->port()->Pdo));
    EXPECT_FALSE(info.registryPath.empty());

    // Each block one byte short of its size is told the size, and gets exactly it at that size.
    const struct { const GUID *guid; ULONG size; } blocks[] = {
        {&kName, 2 + 8}, {&kComm, 64}, {&kHardware, 40}, {&kPerformance, 24}, {&kProperties, 68}
    };
    for (const auto &b : blocks) {
        SCOPED_TRACE(b.size);
        emu::wmi::Block small = emu::wmi::querySingle(provider, *b.guid, 0, b.size - 1);
        EXPECT_EQ(std::tuple(small.status, small.needed), std::tuple(STATUS_BUFFER_TOO_SMALL, b.size));
        emu::wmi::Block whole = emu::wmi::querySingle(provider, *b.guid, 0, b.size);
        EXPECT_EQ(whole.status, STATUS_SUCCESS);
        EXPECT_EQ(whole.data.size(), b.size);
        EXPECT_EQ(emu::wmi::queryAll(provider, *b.guid).data, whole.data);
        const uint8_t byte = 1;
        EXPECT_EQ(emu::wmi::setSingle(provider, *b.guid, 0, {&byte, 1}), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(emu::wmi::setItem(provider, *b.guid, 0, 1, {&byte, 1}), STATUS_INVALID_DEVICE_REQUEST);
    }
    auto name = emu::wmi::querySingle(provider, kName).data;
    EXPECT_EQ(At<USHORT>(name, 0), 8);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(name.data() + 2), 4), u"COM3");
    EXPECT_EQ(At<ULONG>(emu::wmi::querySingle(provider, kHardware).data, 24), ULONG(SERIAL_WMI_INTTYPE_LEVEL));
    auto properties = emu::wmi::querySingle(provider, kProperties).data;
    EXPECT_EQ(At<USHORT>(properties, 0), 64) << "PacketLength of the serial layout";
    EXPECT_EQ(At<ULONG>(properties, 60), 0u);

    auto comm = [&] { return emu::wmi::querySingle(provider, kComm).data; };
    const uint8_t parityCheck = comm()[12];
    EXPECT_EQ(comm()[60], 0) << "IsBusy while closed";
    OpenAt(9600, {}, 0);
    EXPECT_EQ(comm()[60], 1);
    SERIAL_LINE_CONTROL control{STOP_BITS_2, EVEN_PARITY, 7};
    ASSERT_TRUE(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, &control, sizeof control));
    auto settings = comm();
    EXPECT_EQ(At<ULONG>(settings, 0), 9600u);
    EXPECT_EQ(At<ULONG>(settings, 4), 7u);
    EXPECT_EQ(At<ULONG>(settings, 8), ULONG(SERIAL_WMI_PARITY_EVEN));
    EXPECT_EQ(At<ULONG>(settings, 16), ULONG(SERIAL_WMI_STOP_2));
    EXPECT_EQ(settings[12], parityCheck) << "set at start only";
    EXPECT_TRUE(Close());
    EXPECT_EQ(comm()[60], 0);

    // A GUID the port never registered is not found; removal withdraws the registration.
    const GUID other = GUID_DEVINTERFACE_COMPORT;
    EXPECT_EQ(emu::wmi::querySingle(provider, other).status, STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(bench->shutDown(), 0u);
    EXPECT_FALSE(emu::wmi::registered(provider));
}

}  // namespace
}  // namespace port_test
