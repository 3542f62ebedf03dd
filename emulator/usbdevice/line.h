// The serial line between a chip and whatever is plugged into its connector: character frames
// with the sender's timing, how a receiver with its own settings decodes them, the modem lines,
// and the interface a far end implements.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace emu::usb {

enum class Parity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };

// A UART's settings. The bit time is kept as an exact fraction of 100 ns units, so that plain rates
// and divisor codes both give exact character times and back-to-back streams do not drift.
struct WireFormat {
    uint64_t bitNum = 0;  // bit time = bitNum / bitDen (100 ns); bitDen 0: stopped
    uint64_t bitDen = 0;
    uint8_t dataBits = 8;
    Parity parity = Parity::None;
    uint8_t stopHalfBits = 2;  // 2, 3 (one and a half) or 4

    // stopCode as in the line coding: 0 one, 1 one and a half, 2 two stop bits.
    static WireFormat Rate(uint32_t baud, uint8_t dataBits = 8, Parity parity = Parity::None, uint8_t stopCode = 0);
    bool running() const { return bitNum != 0 && bitDen != 0; }
    double baud() const { return running() ? 1e7 * double(bitDen) / double(bitNum) : 0.0; }
    double bitTime() const { return double(bitNum) / double(bitDen); }
    uint32_t frameHalfBits() const { return 2u * (1u + dataBits + (parity != Parity::None)) + stopHalfBits; }
    // Time for `halfBits` half bits, rounded to the nearest 100 ns.
    int64_t duration(uint64_t halfBits) const { return int64_t((halfBits * bitNum + bitDen) / (2 * bitDen)); }
    int64_t charTime() const { return duration(frameHalfBits()); }
    bool operator==(const WireFormat &) const = default;
};

// One character on the wire, as its sender framed it.
struct WireChar {
    uint8_t data = 0;
    WireFormat format;
    bool badParity = false;  // parity bit inverted (an injected error)
    bool badStop = false;    // stop bit sent as 0 (an injected framing error)
    int64_t start = 0;       // start bit's leading edge
    int64_t end = 0;         // end of the last stop bit
};

// What a receiver makes of it.
struct Decoded {
    uint8_t data = 0;
    bool framingError = false;
    bool parityError = false;
    bool breakDetected = false;  // line low through the whole frame
};

// Samples the sender's frame in the middle of each of the receiver's bit times, as a UART does:
// equal settings give the byte back; other rates, widths or parity give the errors and garbage a
// real line gives.
Decoded DecodeSampled(const WireChar &c, const WireFormat &receiver);
inline Decoded Decode(const WireChar &c, const WireFormat &receiver) {
    // Matching settings and a clean frame, the common case, give exactly the bits sent.
    if (c.format == receiver && !c.badParity && !c.badStop) return {uint8_t(c.data & ((1u << receiver.dataBits) - 1))};
    return DecodeSampled(c, receiver);
}
bool ParityBit(uint8_t data, uint8_t dataBits, Parity parity);

// The lines a chip reads from its connector.
struct ModemInputs {
    bool cts = false, dsr = false, dcd = false, ri = false;
    bool operator==(const ModemInputs &) const = default;
};

// A far end: receives what a chip sends into its connector. Calls arrive under the world lock at
// the time the event happens on the wire.
class SerialPeer {
public:
    virtual ~SerialPeer() = default;
    virtual void chipChar(const WireChar &c) = 0;  // now == c.end, unless timed() is false
    virtual void chipBreak(bool on) = 0;
    virtual void chipOutputs(bool dtr, bool rts) = 0;
    // False for a far end that only passes what arrives back into the chip it came from: the chip
    // may then hand it a frame's characters at once, each still stamped with its own times. Asked
    // once, when the far end connects.
    virtual bool timed() const { return true; }
    // An untimed far end may also take a run of clean characters sent back to back in one format
    // as data alone: it takes the longest leading part whose arrival changes nothing but where data
    // sits (nothing sent back, no line moved) and answers how many; the rest come one by one to
    // chipChar. By default none.
    virtual size_t chipChars(std::span<const uint8_t> data, const WireFormat &format) { return 0; }
};

// What happened on a chip's connector, in order, for tests and captures.
struct LineEvent {
    enum Kind : uint8_t {
        Sent,          // a character left the chip (time = its end)
        Received,      // a character arrived and was decoded by the chip
        Dropped,       // arrived with no room in the receive FIFO (overrun) or the receiver stopped
        BreakSent,     // the chip's break changed (on)
        BreakReceived, // the far end's break changed (on)
        Outputs,       // DTR/RTS changed (dtr, rts)
        Inputs,        // CTS/DSR/DCD/RI changed (in)
    } kind;
    int64_t time = 0;
    uint8_t data = 0;
    bool framingError = false, parityError = false, breakDetected = false;
    bool on = false;
    bool dtr = false, rts = false;
    ModemInputs in;
    WireChar wire;  // Sent, Received, Dropped: the character as its sender framed it
};

// Sees each line event as the chip records it, under the world lock. Captures stream from here.
class LineSink {
public:
    virtual ~LineSink() = default;
    virtual void lineEvent(const LineEvent &e) = 0;
};

}  // namespace emu::usb
