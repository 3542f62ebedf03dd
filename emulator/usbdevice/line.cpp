#include "emulator/usbdevice/line.h"

#include <bit>
#include <cmath>

namespace emu::usb {

WireFormat WireFormat::Rate(uint32_t baud, uint8_t dataBits, Parity parity, uint8_t stopCode) {
    WireFormat f;
    if (baud) {
        f.bitNum = 10000000;
        f.bitDen = baud;
    }
    f.dataBits = dataBits;
    f.parity = parity;
    f.stopHalfBits = stopCode == 0 ? 2 : stopCode == 1 ? 3 : 4;
    return f;
}

bool ParityBit(uint8_t data, uint8_t dataBits, Parity parity) {
    unsigned ones = std::popcount(unsigned(data) & ((1u << dataBits) - 1));
    switch (parity) {
    case Parity::Odd: return (ones & 1) == 0;
    case Parity::Even: return (ones & 1) != 0;
    case Parity::Mark: return true;
    default: return false;
    }
}

Decoded DecodeSampled(const WireChar &c, const WireFormat &rx) {
    const WireFormat &tx = c.format;
    const int parityAt = tx.parity != Parity::None ? 1 + tx.dataBits : -1;
    const int stopAt = 1 + tx.dataBits + (tx.parity != Parity::None);
    // Sender's line level in its bit cell j; after the frame the line idles high.
    auto level = [&](int j) -> bool {
        if (j <= 0) return false;
        if (j <= tx.dataBits) return (c.data >> (j - 1)) & 1;
        if (j == parityAt) return ParityBit(c.data, tx.dataBits, tx.parity) != c.badParity;
        if (j >= stopAt && j < stopAt + (tx.stopHalfBits + 1) / 2) return !c.badStop;
        return true;
    };
    const double ratio = rx.bitTime() / tx.bitTime();
    auto sample = [&](int i) { return level(int(std::floor((i + 0.5) * ratio))); };

    Decoded d;
    bool anyHigh = false;
    for (int i = 0; i < rx.dataBits; i++) {
        bool bit = sample(1 + i);
        anyHigh |= bit;
        if (bit) d.data |= uint8_t(1u << i);
    }
    int next = 1 + rx.dataBits;
    if (rx.parity != Parity::None) {
        bool bit = sample(next++);
        anyHigh |= bit;
        d.parityError = bit != ParityBit(d.data, rx.dataBits, rx.parity);
    }
    bool stop = sample(next);
    d.framingError = !stop;
    d.breakDetected = !stop && !anyHigh;
    return d;
}

}  // namespace emu::usb
