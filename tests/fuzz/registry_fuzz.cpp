// The registry values the driver reads, with any type, length and contents: ExtBaudrate in its service key at load;
// PortName, Identifier, SerialSkipExternalNaming and MultiportDevice in the device's key at start and at the
// hardware-ID query. Load, start, naming, an open and a removal must cope, and leave nothing behind.
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"
#include "tests/fuzz/fuzz_input.h"

using namespace win32;

namespace {

const char16_t *const kNames[] = {u"ExtBaudrate", u"PortName", u"Identifier", u"SerialSkipExternalNaming",
                                  u"MultiportDevice"};
const ULONG kTypes[] = {REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_NONE, REG_QWORD};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Machine m;
    const std::u16string parameters = m.deviceKey + u"\\Device Parameters";
    for (int records = 0; records < 8 && !in.empty(); records++) {
        const uint8_t which = in.byte() % std::size(kNames);
        const ULONG type = kTypes[in.byte() % std::size(kTypes)];
        const std::vector<uint8_t> bytes = in.bytes(in.u16() % 1024);
        m.registry.SetValue(which == 0 ? m.io.ServiceKeyPath(u"miravo") : parameters, kNames[which], type, bytes);
    }
    if (!m.load()) return 0;
    {
        emu::usb::SimulatedDevice chip;
        emu::usb::Loopback plug(chip.chip());
        m.registry.SetDeviceKeyPath(chip.pdo(), m.deviceKey);
        if (m.pnp.plugIn(m.driver, chip.pdo()) == STATUS_SUCCESS) {
            m.pnp.queryId(chip.pdo(), BusQueryHardwareIDs);
            HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) {
                // Whatever rate table the setting built, a rate from it is applied or refused.
                DCB dcb{};
                dcb.DCBlength = sizeof dcb;
                GetCommState(h, &dcb);
                dcb.BaudRate = in.u32();
                SetCommState(h, &dcb);
                if (!CloseHandle(h)) fuzz::Finding("the close failed");
            }
            m.pnp.remove(chip.pdo());
        }
    }
    m.unload();
    return 0;
}
