// The boundary between the simulated bus and a device on it: what the host controller does on
// the wire (setup packets on endpoint 0, one packet at a time on the other endpoints) and how a
// device tells the bus that an endpoint that was NAKing may now make progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace emu::usb {

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    bool in() const { return bmRequestType & 0x80; }
};

// A device's answer to one token.
struct Handshake {
    enum Kind : uint8_t { Ack, Nak, Stall } kind = Ack;
    size_t length = 0;  // bytes moved (IN: written to the packet buffer)
    static Handshake Data(size_t n) { return {Ack, n}; }
    static Handshake NakIt() { return {Nak, 0}; }
    static Handshake StallIt() { return {Stall, 0}; }
};

// The bus side a device may poke.
class UsbHostPort {
public:
    virtual ~UsbHostPort() = default;
    // An endpoint that NAKed may now answer: the bus schedules a frame. Until then the bus takes
    // a NAK to hold (for the same transfer) and does not ask that endpoint again.
    virtual void wake() = 0;
    // The same for one endpoint only, when nothing else changed.
    virtual void wake(uint8_t address) { wake(); }
    // Remote wake-up signalling while the bus is suspended.
    virtual void remoteWake() = 0;
};

// A USB device. Every call arrives under the world lock, at the time the bus does it.
class UsbFunction {
public:
    virtual ~UsbFunction() = default;
    virtual void attach(UsbHostPort *host) = 0;  // nullptr: detached (unplugged)
    // One control transfer on endpoint 0. `data` is wLength bytes: the OUT data stage, or room for
    // the IN data stage. Answers Stall, or Ack with the IN length (OUT: ignored).
    virtual Handshake control(const SetupPacket &setup, std::span<uint8_t> data) = 0;
    // One packet on endpoint `address` (bit 7: IN). IN: at most packet.size() bytes.
    virtual Handshake in(uint8_t address, std::span<uint8_t> packet) = 0;
    virtual Handshake out(uint8_t address, std::span<const uint8_t> packet) = 0;
    // Whether an IN endpoint would answer with data now (or an OUT endpoint would accept a
    // packet of `size` bytes); the bus uses it to sleep between frames when nothing can move.
    virtual bool ready(uint8_t address, size_t size) = 0;
    // Bus suspend (device power D2/D3) and resume.
    virtual void suspend(bool suspended) = 0;
};

}  // namespace emu::usb
