// A hostile device: the chip's descriptors patched or replaced, status packets and bulk IN packets of any length and
// content ahead of the chip's own, and USB requests of any kind ending with any status, stalled or cut off by an
// unplug. The driver must start or refuse cleanly, serve an application session, and go with nothing left behind.
#include "emulator/usbdevice/bus.h"
#include "emulator/usbdevice/chip.h"
#include "emulator/usbdevice/far_ends.h"
#include "tests/fuzz/fuzz_input.h"

#include <deque>
#include <map>

using namespace win32;
using namespace emu::usb;

namespace {

// The chip, with scripted packets served on its IN endpoints before its own.
class Hostile : public UsbFunction {
public:
    explicit Hostile(BridgeChip &chip) : chip_(chip) {}
    void queue(uint8_t address, std::vector<uint8_t> packet, Handshake::Kind kind) {
        script_[address].push_back({std::move(packet), kind});
    }

    void attach(UsbHostPort *host) override { chip_.attach(host); }
    Handshake control(const SetupPacket &setup, std::span<uint8_t> data) override { return chip_.control(setup, data); }
    Handshake in(uint8_t address, std::span<uint8_t> packet) override {
        auto it = script_.find(address);
        if (it == script_.end() || it->second.empty()) return chip_.in(address, packet);
        Scripted s = std::move(it->second.front());
        it->second.pop_front();
        if (s.kind != Handshake::Ack) return {s.kind, 0};
        const size_t n = std::min(s.bytes.size(), packet.size());
        std::copy_n(s.bytes.begin(), n, packet.begin());
        return Handshake::Data(n);
    }
    Handshake out(uint8_t address, std::span<const uint8_t> packet) override { return chip_.out(address, packet); }
    bool ready(uint8_t address, size_t size) override {
        auto it = script_.find(address);
        return (it != script_.end() && !it->second.empty()) || chip_.ready(address, size);
    }
    void suspend(bool suspended) override { chip_.suspend(suspended); }

private:
    struct Scripted { std::vector<uint8_t> bytes; Handshake::Kind kind; };
    BridgeChip &chip_;
    std::map<uint8_t, std::deque<Scripted>> script_;
};

const USHORT kFunctions[] = {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, URB_FUNCTION_SELECT_CONFIGURATION,
                             URB_FUNCTION_VENDOR_DEVICE, URB_FUNCTION_CLASS_INTERFACE,
                             URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, URB_FUNCTION_SET_FEATURE_TO_DEVICE,
                             URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE};

// The records of the script, until the input runs out.
void Script(fuzz::Input &in, BridgeChip &chip, Hostile &device, UsbBus &bus) {
    std::vector<uint8_t> deviceDescriptor = chip.deviceDescriptor(), configuration = chip.configurationDescriptor();
    bool patched = false;
    for (int records = 0; records < 32 && !in.empty(); records++) {
        switch (in.byte() % 7) {
        case 0: {  // patch a byte of the device or configuration descriptor
            auto &d = in.byte() & 1 ? configuration : deviceDescriptor;
            const uint8_t at = in.byte();
            if (!d.empty()) d[at % d.size()] = in.byte();
            patched = true;
            break;
        }
        case 1: {  // a descriptor replaced whole (strings too)
            const uint8_t type = uint8_t(1 + in.byte() % 3), index = in.byte() % 4;
            bus.serveDescriptor(type, index, in.bytes(in.byte()));
            break;
        }
        case 2: {  // a status packet
            const uint8_t n = in.byte() % 17;
            device.queue(0x81, in.bytes(n), Handshake::Ack);
            break;
        }
        case 3: {  // a bulk IN packet
            const uint8_t n = in.byte() % 65;
            device.queue(0x83, in.bytes(n), Handshake::Ack);
            break;
        }
        case 4:  // a stall on an IN endpoint
            device.queue(in.byte() & 1 ? 0x81 : 0x83, {}, Handshake::Stall);
            break;
        case 5: {  // a request of some kind ends with some status
            auto rule = FaultRule::ForFunction(kFunctions[in.byte() % std::size(kFunctions)]).after(in.byte() % 16);
            const USBD_STATUS usbd = in.u32();
            rule.fail(usbd ? usbd : USBD_STATUS_STALL_PID, NTSTATUS(in.u32() | 0xC0000000u));
            bus.addFault(rule);
            break;
        }
        default: {  // stalled, or the device gone, at some request
            auto rule = FaultRule::ForFunction(kFunctions[in.byte() % std::size(kFunctions)]).after(in.byte() % 16);
            if (in.byte() & 1) rule.stall();
            else rule.disconnect();
            bus.addFault(rule);
            break;
        }
        }
    }
    if (patched) {
        bus.serveDescriptor(1, 0, deviceDescriptor);
        bus.serveDescriptor(2, 0, configuration);
    }
}

void Session() {
    HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    COMMTIMEOUTS timeouts{0, 0, 30, 0, 200};
    SetCommTimeouts(h, &timeouts);
    SetCommMask(h, 0x1FFF);
    OVERLAPPED ov[3] = {};
    for (auto &o : ov) o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<uint8_t> in(512), out(100, 0x55);
    DWORD events = 0, n = 0, errors = 0;
    ReadFile(h, in.data(), DWORD(in.size()), nullptr, &ov[0]);
    WriteFile(h, out.data(), DWORD(out.size()), nullptr, &ov[1]);
    WaitCommEvent(h, &events, &ov[2]);
    WaitForSingleObject(ov[2].hEvent, 50);
    GetCommModemStatus(h, &events);
    COMSTAT stat{};
    ClearCommError(h, &errors, &stat);
    for (auto &o : ov) {
        fuzz::Settle(h, o.hEvent, 500);
        GetOverlappedResult(h, &o, &n, TRUE);
    }
    if (n > in.size()) fuzz::Finding("more bytes than asked for");
    if (!CloseHandle(h)) fuzz::Finding("the close failed");
    for (auto &o : ov) CloseHandle(o.hEvent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Machine m;
    if (!m.load()) fuzz::Finding("the driver did not load");
    {
        BridgeChip chip(ChipConfig::Variant(in.byte() % 5));
        Loopback plug(chip);
        Hostile device(chip);
        UsbBus bus(device);
        Script(in, chip, device, bus);
        m.registry.SetDeviceKeyPath(bus.pdo(), m.deviceKey);
        m.registry.SetString(m.deviceKey + u"\\Device Parameters", u"PortName", u"COM3");
        if (m.pnp.plugIn(m.driver, bus.pdo()) == STATUS_SUCCESS) {
            Session();
            if (bus.plugged()) {
                m.pnp.remove(bus.pdo());
            } else {
                m.pnp.surpriseRemove(bus.pdo());
                m.pnp.finishSurpriseRemoval(bus.pdo());
            }
        }
    }
    m.unload();
    return 0;
}
