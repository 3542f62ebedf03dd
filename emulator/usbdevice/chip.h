// The Miravo USB-to-serial bridge chip: five variants, their descriptors, the vendor register and
// EEPROM protocol, the communications-class requests, the status endpoint and a UART that moves
// each character at the line's pace through small FIFOs.
//
// Endpoints (both layouts): 0x81 interrupt IN (16-byte packets; a status report is a short packet
// of 10), 0x02 bulk OUT, 0x83 bulk IN (64-byte packets), declared in that order.
//
// Registers (vendor request 0x01; write address r, read address 0x80 + r):
//   0  flow control: bits 7-6 output handshake (01 CTS, 11 chip-side XON/XOFF on types 2+),
//      bits 5-4 = 10 RTS follows the receive FIFO (types 2+), bit 3 DSR output handshake
//   1  line options (stored; bits 0-2 select DSR handshake lines on types 3 and 4)
//   2  clock options (stored)
// Word registers 0x0505 (XON char low byte, XOFF char high byte), 0x06..0x09, 0x0B (types 2+) and
// 0x0C..0x0F (types 3+) are written at 0x0N0N and read back at 0x8N8N; unknown addresses STALL.
// EEPROM: 0x0404 starts a read of the byte at wIndex, 0x8383 reads the latched byte, 0x0303 writes
// data (high byte of wIndex) at address (low byte), 0x8484 bit 0 is busy. Commands given while busy
// are ignored, as a serial EEPROM ignores them; the latch updates when the read finishes.
// At power-on the chip loads registers 0-2 from its EEPROM when the EEPROM holds the vendor ID.
#pragma once

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "emulator/usbdevice/line.h"
#include "emulator/usbdevice/usb_function.h"
#include "emulator/usbdevice/world.h"

namespace emu::usb {

enum class Layout { OneInterface, TwoInterfaces };
enum class VendorIdAt { Zero, Alternate, Absent };

struct ChipConfig {
    int type = 2;  // variant 0..4
    Layout layout = Layout::OneInterface;
    uint8_t deviceClass = 0x00;
    uint8_t maxPacket0 = 64;
    uint16_t productId = 0;
    uint16_t bcdDevice = 0;
    std::u16string manufacturer, product, serial;  // empty serial: no serial-number string
    // Where the EEPROM holds the vendor ID: at 0, at the variant's alternative block (0x40 for type
    // 3, 0x60 for type 4, 0x40 otherwise), or nowhere (blank EEPROM). `eeprom` replaces the image.
    VendorIdAt vendorIdAt = VendorIdAt::Zero;
    std::optional<std::array<uint8_t, 256>> eeprom;
    int64_t eepromReadBusy = 15000;   // 1.5 ms per byte read
    int64_t eepromWriteBusy = 60000;  // 6 ms write cycle
    bool eepromStuckBusy = false;
    size_t txFifoSize = 256;
    size_t rxFifoSize = 512;
    uint8_t statusInterval = 1;  // bInterval of the status endpoint, ms
    bool remoteWakeup = true;
    bool keepLineLog = true;  // off for long runs: the log grows by two events per character
    size_t lineLogCap = 100000;  // lineLog() keeps the last this many events

    // The variant's descriptors as the identification rules classify them:
    //   0: class 0x02, EP0 8 bytes, two interfaces (comm 02/02/FF + data 0A/00/00)
    //   1: class 0x00, EP0 8 bytes, one vendor interface
    //   2: class 0x00, EP0 64 bytes, one vendor interface
    //   3: as 2, product string with 'C' at character 22, two vendor interfaces
    //   4: as 2, manufacturer string with a space at character 24, one vendor interface
    static ChipConfig Variant(int type);
};

// A FIFO of bytes that never holds more than it was made for (callers check room first).
class ByteFifo {
public:
    explicit ByteFifo(size_t capacity) : bytes_(capacity) {}
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    uint8_t front() const { return bytes_[head_]; }
    void pop_front() {
        if (++head_ == bytes_.size()) head_ = 0;
        count_--;
    }
    void push_back(uint8_t b) {
        size_t at = head_ + count_;
        if (at >= bytes_.size()) at -= bytes_.size();
        bytes_[at] = b;
        count_++;
    }
    // In at most two copies: a packet at a time, not a byte.
    void append(std::span<const uint8_t> data) {
        size_t at = head_ + count_;
        if (at >= bytes_.size()) at -= bytes_.size();
        const size_t first = std::min(data.size(), bytes_.size() - at);
        std::copy_n(data.data(), first, bytes_.data() + at);
        std::copy_n(data.data() + first, data.size() - first, bytes_.data());
        count_ += data.size();
    }
    // Copies the oldest out.size() bytes out, leaving them in.
    void peek(std::span<uint8_t> out) const {
        const size_t first = std::min(out.size(), bytes_.size() - head_);
        std::copy_n(bytes_.data() + head_, first, out.data());
        std::copy_n(bytes_.data(), out.size() - first, out.data() + first);
    }
    void drop(size_t n) {
        head_ += n;
        if (head_ >= bytes_.size()) head_ -= bytes_.size();
        count_ -= n;
    }
    // Moves the oldest out.size() bytes out.
    void take(std::span<uint8_t> out) {
        peek(out);
        drop(out.size());
    }

private:
    std::vector<uint8_t> bytes_;
    size_t head_ = 0, count_ = 0;
};

class BridgeChip : public UsbFunction {
public:
    explicit BridgeChip(ChipConfig config);
    ~BridgeChip() override;

    const ChipConfig &config() const { return config_; }

    // The serial connector. A far end attaches here (nullptr: nothing plugged in) and feeds the
    // chip's inputs through the three calls below, under the world lock, at the wire's time.
    void connect(SerialPeer *peer);
    void lineChar(const WireChar &c);
    // Clean characters that arrive back to back in `format`: takes the leading ones whose arrival
    // only adds them to the receive FIFO (as lineChar would, with nothing recorded and no flow
    // character, mark, error or loss) and answers how many.
    size_t lineChars(std::span<const uint8_t> data, const WireFormat &format);
    void lineBreak(bool on);
    void lineInputs(ModemInputs in);

    // Inspection (each takes the world lock).
    WireFormat format() const;
    std::array<uint8_t, 7> lineCoding() const;
    uint8_t reg(int r) const;
    uint16_t wordRegister(uint8_t n) const;
    bool dtr() const;
    bool rts() const;  // the RTS pin (the handshake's level when RTS follows the FIFO)
    bool breakOn() const;
    bool remoteWakeEnabled() const;
    uint8_t configuration() const;
    int setConfigurationCount() const;
    std::array<uint8_t, 256> eeprom() const;
    size_t txFifoLevel() const;
    size_t rxFifoLevel() const;
    uint16_t statusWord() const;  // what the next status packet would carry
    // Characters that arrived and were lost: to a full receive FIFO (each also latches the
    // overrun bit for the next status packet), or to a receiver that was stopped or in a break.
    struct Losses {
        uint64_t overrun = 0, stopped = 0;
    };
    Losses losses() const;
    std::vector<LineEvent> lineLog() const;  // oldest first
    void setLineSink(LineSink *sink);        // nullptr: none
    std::vector<uint8_t> deviceDescriptor() const { return device_; }
    std::vector<uint8_t> configurationDescriptor() const { return configuration_; }

    // UsbFunction
    void attach(UsbHostPort *host) override;
    Handshake control(const SetupPacket &setup, std::span<uint8_t> data) override;
    Handshake in(uint8_t address, std::span<uint8_t> packet) override;
    Handshake out(uint8_t address, std::span<const uint8_t> packet) override;
    bool ready(uint8_t address, size_t size) override;
    void suspend(bool suspended) override;

private:
    Handshake standardRequest(const SetupPacket &s, std::span<uint8_t> data);
    Handshake classRequest(const SetupPacket &s, std::span<uint8_t> data);
    Handshake vendorRequest(const SetupPacket &s, std::span<uint8_t> data);
    bool vendorWrite(uint16_t address, uint16_t value);
    std::optional<uint16_t> vendorRead(uint16_t address, int &width);
    bool wordRegisterExists(uint8_t n) const;
    bool setLineCoding(std::span<const uint8_t> data);
    void setBreak(bool on);
    void buildDescriptors();
    void buildEeprom();
    std::optional<uint8_t> eepromConfigBlock() const;
    bool eepromBusy() const;

    // UART.
    bool ctsFlow() const;
    bool dsrFlow() const;
    bool rtsFlow() const;
    bool xonXoff() const;
    uint16_t flowChars() { return words_[0x05]; }  // XON low byte, XOFF high
    // CTS or DSR handshake holding the transmitter between characters.
    bool outputHeld() const { return (ctsFlow() && !inputs_.cts) || (dsrFlow() && !inputs_.dsr); }
    void startTransmitter();
    void updateOutputs();
    // Between the marks, or below the high one with nothing held, nothing moves while the
    // handshake stays as it is (its register write takes the full look).
    bool receiveFlowQuiet() const {
        const size_t level = rxFifo_.size();
        return level < config_.rxFifoSize * 3 / 4 && (level > config_.rxFifoSize / 4 || (!rtsHeldLow_ && !xoffSent_));
    }
    void updateReceiveFlow() {
        if (!receiveFlowQuiet()) receiveFlowAtMark();
    }
    void receiveFlowAtMark();
    void statusChanged();
    void record(LineEvent e);

    // The UART runs behind the bus: characters end at computed times, and their effects are
    // played out, in order and each at its own time, when someone looks (every entry into the chip
    // holds a Settle) or when its one event fires, at the latest in the frame they end in and at
    // the character that leaves a packet's room in the transmit FIFO.
    class Settle;
    int64_t now() const { return clock_ >= 0 ? clock_ : Now(); }
    void catchUp(int64_t limit);
    void finishChar();
    bool finishRun(int64_t limit);
    void signalRoom(size_t ended);
    void armUart();
    int64_t batchEnd() const;
    size_t fitting(size_t chars, int64_t before) const;
    bool readyNow(uint8_t address, size_t size);
    size_t takeBulkIn(std::span<uint8_t> packet);
    // Outside any entry, with no character ending by now: nothing to play out.
    bool quiet() const { return settling_ == 0 && !(txBusy_ && txChar_.end <= Now()); }
    bool logging() const { return sink_ || (config_.keepLineLog && config_.lineLogCap); }

    ChipConfig config_;
    EventOwner events_;
    TimedEvent uartEvent_;
    UsbHostPort *host_ = nullptr;
    SerialPeer *peer_ = nullptr;
    bool peerTimed_ = false;  // peer_ && peer_->timed()

    std::vector<uint8_t> device_, configuration_;
    std::map<uint8_t, std::u16string> strings_;

    uint8_t configValue_ = 0;
    int setConfigurations_ = 0;
    bool remoteWake_ = false;
    bool suspended_ = false;
    std::array<uint8_t, 3> regs_{};
    std::map<uint8_t, uint16_t> words_;
    std::array<uint8_t, 7> lineCoding_{};
    uint16_t commFeature_ = 0;

    std::array<uint8_t, 256> eeprom_{};
    int64_t eepromBusyUntil_ = 0;
    uint8_t eepromLatch_ = 0xFF;
    uint8_t eepromPending_ = 0xFF;

    WireFormat format_;
    ByteFifo txFifo_, rxFifo_;
    std::optional<uint8_t> flowChar_;  // XON/XOFF the chip sends ahead of the FIFO
    bool txBusy_ = false;
    WireChar txChar_;         // on the wire while txBusy_
    int64_t clock_ = -1;      // while catching up: the time being played out
    int settling_ = 0;        // nested Settle depth
    int64_t uartArmedAt_ = -1;
    size_t wantRoom_ = 64;    // the packet the bus last found no room for
    bool roomSignalled_ = false;  // the bus was told the transmit FIFO has room for it
    int64_t streamStart_ = 0;
    uint64_t streamHalfBits_ = 0;
    int64_t lastCharEnd_ = -1;
    WireFormat streamFormat_;
    bool streamFormatHolds_ = true;  // streamFormat_ == format_, kept where either changes
    bool breakRequested_ = false, breakOn_ = false;
    uint64_t breakTimer_ = 0;
    uint16_t controlLines_ = 0;  // SET_CONTROL_LINE_STATE: bit 0 DTR, bit 1 RTS
    bool rtsHeldLow_ = false;    // RTS handshake: receive FIFO above its high mark
    bool xoffSent_ = false;      // chip-side XON/XOFF: XOFF sent for a filling FIFO
    bool xoffReceived_ = false;  // chip-side XON/XOFF: transmission paused
    bool pinDtr_ = false, pinRts_ = false;
    ModemInputs inputs_;
    bool farBreak_ = false;
    uint8_t latched_ = 0;  // error and break bits waiting for the next status packet
    Losses losses_;
    bool statusPending_ = false;
    bool zlpOwed_ = false;
    std::deque<LineEvent> log_;
    LineSink *sink_ = nullptr;
};

}  // namespace emu::usb
