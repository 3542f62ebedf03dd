// What can be plugged into a chip's serial connector: a loopback plug, a null-modem cable to a
// second chip, and a scripted peer for tests. Each attaches in its constructor and detaches in its
// destructor, so it must not outlive the chips it is plugged into.
#pragma once

#include <deque>
#include <span>
#include <vector>

#include "emulator/usbdevice/chip.h"

namespace emu::usb {

struct LoopbackWiring {
    bool txToRx = true;
    bool rtsToCts = true;
    bool dtrToDsr = true;
    bool dtrToDcd = true;
    bool dtrToRi = false;
    static LoopbackWiring All() { return {true, true, true, true, true}; }
    static LoopbackWiring DataOnly() { return {true, false, false, false, false}; }
};

class Loopback : public SerialPeer {
public:
    explicit Loopback(BridgeChip &chip, LoopbackWiring wiring = {});
    ~Loopback() override;
    void chipChar(const WireChar &c) override;
    size_t chipChars(std::span<const uint8_t> data, const WireFormat &format) override;
    void chipBreak(bool on) override;
    void chipOutputs(bool dtr, bool rts) override;
    bool timed() const override { return false; }

private:
    BridgeChip &chip_;
    LoopbackWiring wiring_;
};

// TX to RX both ways, RTS to the other's CTS, DTR to the other's DSR and DCD.
class NullModem {
public:
    NullModem(BridgeChip &a, BridgeChip &b);
    ~NullModem();

private:
    struct Side : SerialPeer {
        BridgeChip *other = nullptr;
        void chipChar(const WireChar &c) override { other->lineChar(c); }
        void chipBreak(bool on) override { other->lineBreak(on); }
        void chipOutputs(bool dtr, bool rts) override { other->lineInputs({rts, dtr, dtr, false}); }
    };
    BridgeChip &a_, &b_;
    Side toB_, toA_;
};

// A programmable far end with its own UART: sends at its own settings and pace, drives the chip's
// input lines, injects errors and breaks, and records what it receives with timestamps.
class ScriptedPeer : public SerialPeer {
public:
    struct Received {
        int64_t time = 0;
        uint8_t data = 0;
        bool framingError = false, parityError = false, breakDetected = false;
    };

    ScriptedPeer(BridgeChip &chip, WireFormat format);
    ~ScriptedPeer() override;

    void setFormat(WireFormat format);
    // Queues characters; they leave back to back, the first not before `at` (default: now).
    void send(std::span<const uint8_t> bytes, int64_t at = -1);
    void send(const std::vector<uint8_t> &bytes, int64_t at = -1) { send(std::span<const uint8_t>(bytes), at); }
    void sendWithFramingError(uint8_t data);
    void sendWithParityError(uint8_t data);
    void sendBreak(int64_t duration);
    // The chip's CTS, DSR, DCD and RI as this peer drives them.
    void setLines(ModemInputs lines);
    // Pause between characters while the chip's RTS is low, as a device doing RTS/CTS does.
    void followRts(bool on);
    // Stop between characters on an XOFF from the chip and go on at its XON, as a device doing
    // XON/XOFF does; the flow characters are recorded like any other.
    void followXonXoff(bool on, uint8_t xon = 0x11, uint8_t xoff = 0x13);

    std::vector<Received> received() const;
    std::vector<uint8_t> receivedBytes() const;
    bool chipDtr() const;
    bool chipRts() const;
    bool chipBreakOn() const;
    size_t queued() const;
    int64_t lastSentEnd() const;

    void chipChar(const WireChar &c) override;
    void chipBreak(bool on) override;
    void chipOutputs(bool dtr, bool rts) override;

protected:
    const WireFormat &peerFormat() const { return format_; }  // under the world lock

private:
    struct Item {
        uint8_t data = 0;
        bool badParity = false, badStop = false;
        int64_t breakFor = 0;  // a break of this length instead of a character
        int64_t notBefore = 0;
    };
    void kick();
    void push(Item item);
    void lineDone();

    BridgeChip &chip_;
    EventOwner events_;
    TimedEvent lineEvent_;  // the end of the character or break on the wire
    bool sendingBreak_ = false;
    WireChar sending_;
    WireFormat format_;
    std::deque<Item> queue_;
    bool busy_ = false;
    bool followRts_ = false;
    bool followXonXoff_ = false, xoffed_ = false;
    uint8_t xon_ = 0x11, xoff_ = 0x13;
    int64_t streamStart_ = 0, lastEnd_ = -1;
    uint64_t streamHalfBits_ = 0;
    uint64_t wakeEvent_ = 0;
    std::vector<Received> received_;
    bool dtr_ = false, rts_ = false, break_ = false;
};

}  // namespace emu::usb
