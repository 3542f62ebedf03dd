#include "emulator/usbdevice/chip.h"

#include <algorithm>
#include <cstring>

#include "platform/miravo_ids.h"

namespace emu::usb {

namespace {

constexpr uint8_t kStatusEndpoint = 0x81;
constexpr uint8_t kBulkOut = 0x02;
constexpr uint8_t kBulkIn = 0x83;
constexpr size_t kBulkPacket = 64;
constexpr size_t kStatusPacket = 10;
// Room for more than one packet's worth, so that a 10-byte report is a short packet.
constexpr uint16_t kStatusMaxPacket = 16;
constexpr uint16_t kEnglish = 0x0409;
// The most characters the transmitter plays out as one run.
constexpr size_t kRun = 256;

// Status word bits.
constexpr uint8_t kDcd = UART_DCD, kDsr = UART_DSR, kBreak = UART_BREAK, kRing = UART_RING, kFraming = UART_FRAMING,
                  kParity = UART_PARITY, kOverrun = UART_OVERRUN, kCts = UART_CTS;

LineEvent Event(LineEvent::Kind kind) {
    LineEvent e{};
    e.kind = kind;
    return e;
}
LineEvent Event(LineEvent::Kind kind, uint8_t data) {
    LineEvent e = Event(kind);
    e.data = data;
    return e;
}
LineEvent Event(LineEvent::Kind kind, bool on) {
    LineEvent e = Event(kind);
    e.on = on;
    return e;
}
LineEvent Event(LineEvent::Kind kind, const WireChar &c) {
    LineEvent e = Event(kind, c.data);
    e.wire = c;
    return e;
}
LineEvent Event(LineEvent::Kind kind, const WireChar &c, const Decoded &d) {
    LineEvent e = Event(kind, c);
    e.data = d.data;
    e.framingError = d.framingError;
    e.parityError = d.parityError;
    e.breakDetected = d.breakDetected;
    return e;
}

void Put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

}  // namespace

ChipConfig ChipConfig::Variant(int type) {
    static constexpr uint16_t kProducts[] = {MIRAVO_PRODUCT_ID_TYPE0, MIRAVO_PRODUCT_ID_TYPE1, MIRAVO_PRODUCT_ID_TYPE2,
                                             MIRAVO_PRODUCT_ID_TYPE3, MIRAVO_PRODUCT_ID_TYPE4};
    ChipConfig c;
    c.type = std::clamp(type, 0, 4);
    c.productId = kProducts[c.type];
    c.bcdDevice = uint16_t(0x0100 * (c.type + 1));
    c.manufacturer = u"Miravo Semiconductor";
    switch (c.type) {
    case 0:
        c.deviceClass = 0x02;
        c.maxPacket0 = 8;
        c.layout = Layout::TwoInterfaces;
        c.product = u"Miravo USB Serial MV-0000";
        break;
    case 1:
        c.maxPacket0 = 8;
        c.product = u"Miravo USB Serial MV-1000";
        break;
    case 2:
        c.product = u"Miravo USB Serial MV-2A00";
        c.serial = u"MV2A000001";
        break;
    case 3:
        c.layout = Layout::TwoInterfaces;
        c.product = u"Miravo USB Serial MV-2C00";
        c.serial = u"MV2C000001";
        break;
    case 4:
        c.manufacturer = u"Miravo Semiconductor Co. Ltd";
        c.product = u"Miravo USB Serial MV-2D00";
        c.serial = u"MV2D000001";
        break;
    }
    return c;
}

// Every entry into the chip (under the world lock) first plays the UART out up to now, and on the
// way out arms its event for the next moment the outside could tell.
class BridgeChip::Settle {
public:
    explicit Settle(const BridgeChip &chip) : chip_(const_cast<BridgeChip &>(chip)) {
        if (chip_.settling_++ == 0) chip_.catchUp(Now());
    }
    ~Settle() {
        if (--chip_.settling_ == 0) chip_.armUart();
    }
    Settle(const Settle &) = delete;
    Settle &operator=(const Settle &) = delete;

private:
    BridgeChip &chip_;
};

BridgeChip::BridgeChip(ChipConfig config)
    : config_(std::move(config)),
      uartEvent_(events_.recurring([this] {
          uartArmedAt_ = -1;
          Settle settle(*this);
      })),
      txFifo_(config_.txFifoSize),
      rxFifo_(config_.rxFifoSize) {
    buildDescriptors();
    buildEeprom();
    // Power-on register values come from the EEPROM's configuration block when it holds one.
    if (auto block = eepromConfigBlock())
        for (int r = 0; r < 3; r++) regs_[r] = eeprom_[uint8_t(*block + 4 + r)];
    words_[0x05] = 0x1311;  // XON 0x11, XOFF 0x13
}

BridgeChip::~BridgeChip() {
    WorldGuard g(World().lock);
    events_.kill();
    if (host_) host_->wake();
}

// ---- Descriptors and EEPROM ---------------------------------------------------------------------

void BridgeChip::buildDescriptors() {
    const ChipConfig &c = config_;
    device_ = {18, 0x01};
    Put16(device_, 0x0110);
    device_.insert(device_.end(), {c.deviceClass, 0x00, 0x00, c.maxPacket0});
    Put16(device_, MIRAVO_VENDOR_ID);
    Put16(device_, c.productId);
    Put16(device_, c.bcdDevice);
    device_.insert(device_.end(), {1, 2, uint8_t(c.serial.empty() ? 0 : 3), 1});

    std::vector<uint8_t> &d = configuration_;
    bool two = c.layout == Layout::TwoInterfaces;
    d = {9, 0x02, 0, 0, uint8_t(two ? 2 : 1), 1, 0, uint8_t(0x80 | (c.remoteWakeup ? 0x20 : 0)), 50};
    auto interface = [&](uint8_t number, uint8_t endpoints, uint8_t cls, uint8_t sub, uint8_t proto) {
        d.insert(d.end(), {9, 0x04, number, 0, endpoints, cls, sub, proto, 0});
    };
    auto endpoint = [&](uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
        d.insert(d.end(), {7, 0x05, address, attributes});
        Put16(d, maxPacket);
        d.push_back(interval);
    };
    bool cdc = c.type == 0;
    if (two) {
        if (cdc) {
            interface(0, 1, 0x02, 0x02, 0xFF);
            // Communications-class functional descriptors: header, call management, ACM, union.
            d.insert(d.end(), {5, 0x24, 0x00, 0x10, 0x01});
            d.insert(d.end(), {5, 0x24, 0x01, 0x00, 0x01});
            d.insert(d.end(), {4, 0x24, 0x02, 0x06});
            d.insert(d.end(), {5, 0x24, 0x06, 0x00, 0x01});
        } else {
            interface(0, 1, 0xFF, 0xFF, 0xFF);
        }
        endpoint(kStatusEndpoint, 0x03, kStatusMaxPacket, c.statusInterval);
        if (cdc)
            interface(1, 2, 0x0A, 0x00, 0x00);
        else
            interface(1, 2, 0xFF, 0xFF, 0xFF);
    } else {
        interface(0, 3, 0xFF, 0xFF, 0xFF);
        endpoint(kStatusEndpoint, 0x03, kStatusMaxPacket, c.statusInterval);
    }
    endpoint(kBulkOut, 0x02, kBulkPacket, 0);
    endpoint(kBulkIn, 0x02, kBulkPacket, 0);
    d[2] = uint8_t(d.size());
    d[3] = uint8_t(d.size() >> 8);

    strings_[1] = c.manufacturer;
    strings_[2] = c.product;
    if (!c.serial.empty()) strings_[3] = c.serial;
}

void BridgeChip::buildEeprom() {
    if (config_.eeprom) {
        eeprom_ = *config_.eeprom;
        return;
    }
    eeprom_.fill(0xFF);  // erased
    if (config_.vendorIdAt == VendorIdAt::Absent) return;
    uint8_t base = config_.vendorIdAt == VendorIdAt::Zero ? 0x00 : config_.type == 4 ? 0x60 : 0x40;
    const uint8_t block[] = {uint8_t(MIRAVO_VENDOR_ID & 0xFF),
                             uint8_t(MIRAVO_VENDOR_ID >> 8),
                             uint8_t(config_.productId),
                             uint8_t(config_.productId >> 8),
                             0x01,
                             0x00,
                             uint8_t(config_.type >= 2 ? 0x44 : 0x24),
                             0x00};
    std::memcpy(&eeprom_[base], block, sizeof block);
}

// The chip looks for its configuration block where the driver's probe looks.
std::optional<uint8_t> BridgeChip::eepromConfigBlock() const {
    std::vector<uint8_t> places = {0x00};
    if (config_.type == 3) places.insert(places.end(), {0x20, 0x40, 0x60, 0x80, 0xA0});
    if (config_.type == 4) places.push_back(0x60);
    for (uint8_t p : places)
        if ((eeprom_[p] | eeprom_[uint8_t(p + 1)] << 8) == MIRAVO_VENDOR_ID) return p;
    return std::nullopt;
}

bool BridgeChip::eepromBusy() const { return config_.eepromStuckBusy || Now() < eepromBusyUntil_; }

// ---- Control transfers ------------------------------------------------------------------------------

void BridgeChip::attach(UsbHostPort *host) {
    Settle settle(*this);
    host_ = host;
    if (!host) {
        configValue_ = 0;
        suspended_ = false;
    }
}

Handshake BridgeChip::control(const SetupPacket &s, std::span<uint8_t> data) {
    Settle settle(*this);
    switch ((s.bmRequestType >> 5) & 3) {
    case 0: return standardRequest(s, data);
    case 1: return classRequest(s, data);
    case 2: return vendorRequest(s, data);
    default: return Handshake::StallIt();
    }
}

Handshake BridgeChip::standardRequest(const SetupPacket &s, std::span<uint8_t> data) {
    auto reply = [&](const std::vector<uint8_t> &bytes) {
        size_t n = std::min(bytes.size(), data.size());
        if (n) std::memcpy(data.data(), bytes.data(), n);  // a zero-length data stage may have no buffer
        return Handshake::Data(n);
    };
    uint8_t recipient = s.bmRequestType & 0x1F;
    switch (s.bRequest) {
    case 0x06: {  // GET_DESCRIPTOR
        if (s.bmRequestType != 0x80) return Handshake::StallIt();
        uint8_t type = uint8_t(s.wValue >> 8), index = uint8_t(s.wValue);
        if (type == 0x01 && index == 0) return reply(device_);
        if (type == 0x02 && index == 0) return reply(configuration_);
        if (type == 0x03) {
            if (index == 0) return reply({4, 0x03, uint8_t(kEnglish), uint8_t(kEnglish >> 8)});
            auto it = strings_.find(index);
            if (it == strings_.end() || s.wIndex != kEnglish) return Handshake::StallIt();
            std::vector<uint8_t> bytes = {uint8_t(2 + 2 * it->second.size()), 0x03};
            for (char16_t ch : it->second) Put16(bytes, uint16_t(ch));
            return reply(bytes);
        }
        return Handshake::StallIt();
    }
    case 0x09:  // SET_CONFIGURATION
        if (s.bmRequestType != 0x00 || s.wValue > 1) return Handshake::StallIt();
        configValue_ = uint8_t(s.wValue);
        setConfigurations_++;
        if (configValue_) {
            // A freshly configured chip reports its lines once, so the host starts from the truth.
            statusPending_ = true;
            if (host_) host_->wake();
        }
        return Handshake::Data(0);
    case 0x08:  // GET_CONFIGURATION
        return reply({configValue_});
    case 0x00:  // GET_STATUS
        if (recipient == 0) return reply({uint8_t(remoteWake_ ? 0x02 : 0x00), 0});
        return reply({0, 0});
    case 0x01:    // CLEAR_FEATURE
    case 0x03: {  // SET_FEATURE
        bool set = s.bRequest == 0x03;
        if (recipient == 0 && s.wValue == 1) {  // DEVICE_REMOTE_WAKEUP
            if (!config_.remoteWakeup) return Handshake::StallIt();
            remoteWake_ = set;
            return Handshake::Data(0);
        }
        if (recipient == 2 && s.wValue == 0) return Handshake::Data(0);  // ENDPOINT_HALT
        return Handshake::StallIt();
    }
    case 0x0B:  // SET_INTERFACE: alternate setting 0 only
        return s.wValue == 0 ? Handshake::Data(0) : Handshake::StallIt();
    case 0x0A:  // GET_INTERFACE
        return reply({0});
    default:
        return Handshake::StallIt();
    }
}

Handshake BridgeChip::classRequest(const SetupPacket &s, std::span<uint8_t> data) {
    if ((s.bmRequestType & 0x1F) != 1) return Handshake::StallIt();  // interface recipient only
    bool out = !s.in();
    switch (s.bRequest) {
    case 0x20:  // SET_LINE_CODING
        if (!out || data.size() < 7 || !setLineCoding(data.first(7))) return Handshake::StallIt();
        return Handshake::Data(0);
    case 0x21: {  // GET_LINE_CODING
        if (out) return Handshake::StallIt();
        size_t n = std::min<size_t>(7, data.size());
        if (n) std::memcpy(data.data(), lineCoding_.data(), n);
        return Handshake::Data(n);
    }
    case 0x22:  // SET_CONTROL_LINE_STATE
        if (!out) return Handshake::StallIt();
        controlLines_ = s.wValue;
        updateOutputs();
        return Handshake::Data(0);
    case 0x23:  // SEND_BREAK: 0xFFFF until cleared, 0 off, else that many milliseconds
        if (!out) return Handshake::StallIt();
        events_.cancel(breakTimer_);
        setBreak(s.wValue != 0);
        if (s.wValue != 0 && s.wValue != 0xFFFF)
            breakTimer_ = events_.at(Now() + int64_t(s.wValue) * kMillisecond, [this] {
                Settle settle(*this);
                setBreak(false);
            });
        return Handshake::Data(0);
    case 0x02:  // SET_COMM_FEATURE (ABSTRACT_STATE only)
        if (!out || s.wValue != 1 || data.size() < 2) return Handshake::StallIt();
        commFeature_ = uint16_t(data[0] | data[1] << 8);
        return Handshake::Data(0);
    case 0x03: {  // GET_COMM_FEATURE
        if (out || s.wValue != 1) return Handshake::StallIt();
        uint8_t bytes[2] = {uint8_t(commFeature_), uint8_t(commFeature_ >> 8)};
        size_t n = std::min<size_t>(2, data.size());
        if (n) std::memcpy(data.data(), bytes, n);
        return Handshake::Data(n);
    }
    default:
        return Handshake::StallIt();
    }
}

Handshake BridgeChip::vendorRequest(const SetupPacket &s, std::span<uint8_t> data) {
    if (s.bRequest != 0x01 || (s.bmRequestType & 0x1F) != 0) return Handshake::StallIt();
    if (!s.in()) return vendorWrite(s.wValue, s.wIndex) ? Handshake::Data(0) : Handshake::StallIt();
    int width = 1;
    auto value = vendorRead(s.wValue, width);
    if (!value) return Handshake::StallIt();
    size_t n = std::min<size_t>(size_t(width), data.size());
    if (n > 0) data[0] = uint8_t(*value);
    if (n > 1) data[1] = uint8_t(*value >> 8);
    return Handshake::Data(n);
}

bool BridgeChip::wordRegisterExists(uint8_t n) const {
    if (config_.type >= 2 && (n == 0x05 || n == 0x06 || n == 0x07 || n == 0x08 || n == 0x09 || n == 0x0B)) return true;
    return config_.type >= 3 && n >= 0x0C && n <= 0x0F;
}

bool BridgeChip::vendorWrite(uint16_t address, uint16_t value) {
    if (address <= 2) {
        regs_[address] = uint8_t(value);
        // New handshake settings take effect at once: release or hold the transmitter, move RTS.
        if (address == 0) {
            if (!xonXoff()) xoffReceived_ = false;
            receiveFlowAtMark();
            updateOutputs();
            startTransmitter();
        }
        return true;
    }
    uint8_t hi = uint8_t(address >> 8), lo = uint8_t(address);
    if (hi != lo) return false;
    switch (lo) {
    case 0x03:  // EEPROM write: data in the high byte, address in the low byte
        if (!eepromBusy()) {
            eeprom_[uint8_t(value)] = uint8_t(value >> 8);
            eepromBusyUntil_ = Now() + config_.eepromWriteBusy;
        }
        return true;
    case 0x04:  // EEPROM read start
        if (!eepromBusy()) {
            eepromPending_ = eeprom_[uint8_t(value)];
            eepromBusyUntil_ = Now() + config_.eepromReadBusy;
        }
        return true;
    default:
        if (!wordRegisterExists(lo)) return false;
        words_[lo] = value;
        return true;
    }
}

std::optional<uint16_t> BridgeChip::vendorRead(uint16_t address, int &width) {
    width = 1;
    if (address >= 0x80 && address <= 0x82) return regs_[address - 0x80];
    uint8_t hi = uint8_t(address >> 8), lo = uint8_t(address);
    if (hi != lo || !(lo & 0x80)) return std::nullopt;
    switch (lo & 0x7F) {
    case 0x03:
        if (!eepromBusy()) eepromLatch_ = eepromPending_;
        return eepromLatch_;
    case 0x04:
        if (!eepromBusy()) eepromLatch_ = eepromPending_;
        return uint8_t(eepromBusy() ? 0x01 : 0x00);
    default:
        if (!wordRegisterExists(lo & 0x7F)) return std::nullopt;
        width = 2;
        return words_[lo & 0x7F];
    }
}

// Rate values with bit 31 set are divisor codes (types 2 and above): bits 9-11 an exponent e and
// bits 0-8 a mantissa m of the 384 MHz reference, rate = 384 MHz / (m * 4^e).
bool BridgeChip::setLineCoding(std::span<const uint8_t> d) {
    uint32_t rate = uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
    uint8_t stop = d[4], parity = d[5], bits = d[6];
    if (stop > 2 || parity > 4 || bits < 5 || bits > 8) return false;
    WireFormat f = WireFormat::Rate(0, bits, Parity(parity), stop);
    if (rate & 0x80000000u) {
        if (config_.type < 2) return false;
        uint64_t e = (rate >> 9) & 7, m = rate & 0x1FF;
        if (m == 0 || (rate & 0x7FFFF000u)) return false;
        f.bitNum = m * (uint64_t(1) << (2 * e)) * 10;
        f.bitDen = 384;
    } else if (rate) {
        f.bitNum = 10000000;
        f.bitDen = rate;
    }
    std::memcpy(lineCoding_.data(), d.data(), 7);
    format_ = f;
    streamFormatHolds_ = f == streamFormat_;
    startTransmitter();
    return true;
}

// ---- Endpoints ----------------------------------------------------------------------------------------

inline bool BridgeChip::readyNow(uint8_t address, size_t size) {
    if (!configValue_ || suspended_) return false;
    if (address == kStatusEndpoint) return statusPending_;
    if (address == kBulkIn) return !rxFifo_.empty() || zlpOwed_;
    if (address == kBulkOut) {
        if (config_.txFifoSize - txFifo_.size() >= size) return true;
        wantRoom_ = size;
        roomSignalled_ = false;
        return false;
    }
    return true;  // anything else answers at once (with a STALL)
}

Handshake BridgeChip::in(uint8_t address, std::span<uint8_t> packet) {
    // The bus polls every frame; an empty endpoint with nothing to play out answers NAK and
    // changes nothing the UART's event depends on.
    if (quiet() && configValue_ && !suspended_ && (address == kBulkIn || address == kStatusEndpoint)) {
        if (!readyNow(address, packet.size())) return Handshake::NakIt();
        // So does a packet that leaves the receive handshake where it was.
        if (address == kBulkIn && !rxFifo_.empty()) {
            const size_t n = takeBulkIn(packet);
            if (!receiveFlowQuiet()) {
                Settle settle(*this);
                receiveFlowAtMark();
            }
            return Handshake::Data(n);
        }
    }
    Settle settle(*this);
    if (!configValue_ || suspended_) return Handshake::StallIt();
    if (address == kStatusEndpoint) {
        if (!statusPending_) return Handshake::NakIt();
        uint16_t word = statusWord();
        // A communications-class SERIAL_STATE notification carrying the chip's status word.
        const uint8_t bytes[kStatusPacket] = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, uint8_t(word), uint8_t(word >> 8)};
        size_t n = std::min(packet.size(), kStatusPacket);
        std::memcpy(packet.data(), bytes, n);
        statusPending_ = false;
        latched_ = 0;
        return Handshake::Data(n);
    }
    if (address != kBulkIn) return Handshake::StallIt();
    if (rxFifo_.empty()) {
        // A transfer that ended on a full packet needs a short one to finish.
        if (!zlpOwed_) return Handshake::NakIt();
        zlpOwed_ = false;
        return Handshake::Data(0);
    }
    const size_t n = takeBulkIn(packet);
    updateReceiveFlow();
    return Handshake::Data(n);
}

size_t BridgeChip::takeBulkIn(std::span<uint8_t> packet) {
    const size_t n = std::min({packet.size(), rxFifo_.size(), kBulkPacket});
    rxFifo_.take(packet.first(n));
    zlpOwed_ = n == kBulkPacket && rxFifo_.empty();
    return n;
}

Handshake BridgeChip::out(uint8_t address, std::span<const uint8_t> packet) {
    // A retry that still finds no room, answered as ready() answers it.
    if (quiet() && configValue_ && !suspended_ && address == kBulkOut && !ready(address, packet.size()))
        return Handshake::NakIt();
    Settle settle(*this);
    if (!configValue_ || suspended_ || address != kBulkOut) return Handshake::StallIt();
    if (config_.txFifoSize - txFifo_.size() < packet.size()) {
        wantRoom_ = packet.size();
        roomSignalled_ = false;
        return Handshake::NakIt();
    }
    txFifo_.append(packet);
    wantRoom_ = kBulkPacket;
    if (config_.txFifoSize - txFifo_.size() < kBulkPacket) roomSignalled_ = false;
    startTransmitter();
    return Handshake::Data(packet.size());
}

bool BridgeChip::ready(uint8_t address, size_t size) {
    // The bus asks every frame. With no character ending by now there is nothing to play out,
    // and the event stays where the last entry left it unless the answer moves the room wanted.
    if (quiet()) {
        const size_t want = wantRoom_;
        const bool signalled = roomSignalled_;
        const bool answer = readyNow(address, size);
        if (want != wantRoom_ || signalled != roomSignalled_) armUart();
        return answer;
    }
    Settle settle(*this);
    return readyNow(address, size);
}

void BridgeChip::suspend(bool suspended) {
    Settle settle(*this);
    suspended_ = suspended;
    if (!suspended && host_) host_->wake();
}

// ---- UART ---------------------------------------------------------------------------------------------

bool BridgeChip::xonXoff() const { return config_.type >= 2 && (regs_[0] & 0xC0) == 0xC0; }
bool BridgeChip::ctsFlow() const { return (regs_[0] & 0x40) && !xonXoff(); }
bool BridgeChip::dsrFlow() const { return regs_[0] & 0x08; }
bool BridgeChip::rtsFlow() const { return config_.type >= 2 && (regs_[0] & 0x30) == 0x20; }

void BridgeChip::connect(SerialPeer *peer) {
    WorldGuard g(World().lock);
    Settle settle(*this);
    peer_ = peer;
    peerTimed_ = peer_ && peer_->timed();
    if (peer_) peer_->chipOutputs(pinDtr_, pinRts_);
}

void BridgeChip::record(LineEvent e) {
    e.time = now();
    if (sink_) sink_->lineEvent(e);
    if (!config_.keepLineLog || config_.lineLogCap == 0) return;
    if (log_.size() >= config_.lineLogCap) log_.pop_front();
    log_.push_back(e);
}

void BridgeChip::startTransmitter() {
    if (txBusy_ || breakOn_ || !format_.running()) return;
    if (breakRequested_) {
        breakOn_ = true;
        record(Event(LineEvent::BreakSent, true));
        if (peer_) peer_->chipBreak(true);
        return;
    }
    bool flow = flowChar_.has_value();
    if (!flow && txFifo_.empty()) return;
    if (outputHeld()) return;
    if (!flow && xonXoff() && xoffReceived_) return;
    uint8_t data;
    if (flow) {
        data = *flowChar_;
        flowChar_.reset();
    } else {
        data = txFifo_.front();
        txFifo_.pop_front();
    }
    // Back-to-back characters keep one time base, so a long stream takes exactly n frames.
    const int64_t t = now();
    if (lastCharEnd_ != t || !streamFormatHolds_) {
        streamStart_ = t;
        streamHalfBits_ = 0;
        streamFormat_ = format_;
        streamFormatHolds_ = true;
    }
    streamHalfBits_ += format_.frameHalfBits();
    txBusy_ = true;
    txChar_ = WireChar{};
    txChar_.data = data;
    txChar_.format = format_;
    txChar_.start = t;
    txChar_.end = streamStart_ + format_.duration(streamHalfBits_);
}

// The character on the wire ends (now() is its end).
void BridgeChip::finishChar() {
    const WireChar c = txChar_;
    txBusy_ = false;
    lastCharEnd_ = c.end;
    if (logging()) record(Event(LineEvent::Sent, c));
    if (peer_) peer_->chipChar(c);
    signalRoom(1);
    startTransmitter();
}

// The bus hears once that the packet it could not place fits now. `ended` characters just ended,
// the last now; the room grew by one at each.
void BridgeChip::signalRoom(size_t ended) {
    const size_t room = config_.txFifoSize - txFifo_.size(), want = std::min(kBulkPacket, wantRoom_);
    if (room - (ended - 1) < want) roomSignalled_ = false;
    if (room >= want && host_ && !roomSignalled_) {
        roomSignalled_ = true;
        host_->wake();
    }
}

void BridgeChip::catchUp(int64_t limit) {
    while (txBusy_ && txChar_.end <= limit) {
        if (finishRun(limit)) continue;
        clock_ = txChar_.end;
        finishChar();
    }
    clock_ = -1;
}

// The one on the wire and those that follow it back to back and end by `limit`, ended in one
// pass when nothing but their data moves: nothing records them, the far end is untimed and takes
// them as data, and each would start as the one before ends, with no flow character, break or
// handshake in between. The bus, told of room once at the end rather than at the character that
// made it, sees the same: it asks only whether an endpoint can move, at the same time. False: the
// one on the wire goes alone.
bool BridgeChip::finishRun(int64_t limit) {
    if (logging() || peerTimed_ || !streamFormatHolds_) return false;
    size_t follow = 0;
    if (!breakRequested_ && !flowChar_ && !outputHeld() && !(xonXoff() && xoffReceived_))
        follow = fitting(std::min(txFifo_.size(), kRun - 1), limit + 1);
    uint8_t data[kRun];
    data[0] = txChar_.data;
    txFifo_.peek(std::span(data + 1, follow));
    clock_ = txChar_.end;
    const size_t ended = peer_ ? peer_->chipChars(std::span<const uint8_t>(data, 1 + follow), format_) : 1 + follow;
    if (ended == 0) return false;
    txFifo_.drop(ended - 1);
    streamHalfBits_ += (ended - 1) * format_.frameHalfBits();
    txBusy_ = false;
    lastCharEnd_ = clock_ = streamStart_ + format_.duration(streamHalfBits_);
    signalRoom(ended);
    startTransmitter();
    return true;
}

void BridgeChip::armUart() {
    if (!txBusy_) {
        if (uartArmedAt_ >= 0) uartEvent_.cancel();
        uartArmedAt_ = -1;
        return;
    }
    const int64_t at = peerTimed_ ? txChar_.end : batchEnd();
    if (at == uartArmedAt_) return;
    uartArmedAt_ = at;
    uartEvent_.arm(at);
}

// The last character, of those that may follow back to back, to end within the frame the one on
// the wire ends in; or the one after which a packet the bus is waiting to place fits.
int64_t BridgeChip::batchEnd() const {
    const int64_t first = txChar_.end;
    if (!streamFormatHolds_ || breakRequested_ || !format_.running()) return first;
    const size_t size = config_.txFifoSize, level = txFifo_.size(), want = std::min(kBulkPacket, wantRoom_);
    size_t chars = level + (flowChar_ ? 1 : 0);
    if (host_ && !(roomSignalled_ && size - level >= want)) chars = std::min(chars, level + want > size ? level + want - size : 0);
    const size_t k = fitting(chars, (first / kFrame + 1) * kFrame);
    return k ? streamStart_ + format_.duration(streamHalfBits_ + k * format_.frameHalfBits()) : first;
}

// Of `chars` characters following the one on the wire back to back in the stream's format, those
// that end before `before`.
size_t BridgeChip::fitting(size_t chars, int64_t before) const {
    // duration(h) < span  <=>  h * bitNum + bitDen < 2 * bitDen * span, as duration() rounds.
    const uint64_t span = uint64_t(before - streamStart_), num = format_.bitNum, den = format_.bitDen;
    const uint64_t lastHalfBits = (2 * den * span - den - 1) / num, frame = format_.frameHalfBits();
    const size_t fit = lastHalfBits > streamHalfBits_ ? size_t((lastHalfBits - streamHalfBits_) / frame) : 0;
    return std::min(chars, fit);
}

void BridgeChip::setBreak(bool on) {
    if (on) {
        breakRequested_ = true;
        startTransmitter();  // raises the break now, or when the character in progress ends
        return;
    }
    breakRequested_ = false;
    if (breakOn_) {
        breakOn_ = false;
        record(Event(LineEvent::BreakSent, false));
        if (peer_) peer_->chipBreak(false);
    }
    startTransmitter();
}

void BridgeChip::updateOutputs() {
    bool dtr = controlLines_ & 1;
    bool rts = rtsFlow() ? !rtsHeldLow_ : (controlLines_ & 2) != 0;
    if (dtr == pinDtr_ && rts == pinRts_) return;
    pinDtr_ = dtr;
    pinRts_ = rts;
    LineEvent e = Event(LineEvent::Outputs);
    e.dtr = dtr;
    e.rts = rts;
    record(e);
    if (peer_) peer_->chipOutputs(dtr, rts);
}

// Receive flow: RTS drops (or XOFF goes out) at three quarters full and returns at one quarter.
// The full look: at a mark, or with the handshake just changed.
void BridgeChip::receiveFlowAtMark() {
    size_t level = rxFifo_.size(), high = config_.rxFifoSize * 3 / 4, low = config_.rxFifoSize / 4;
    const bool held = rtsHeldLow_;
    if (rtsFlow()) {
        if (level >= high) rtsHeldLow_ = true;
        if (level <= low) rtsHeldLow_ = false;
    } else {
        rtsHeldLow_ = false;
    }
    // The pins follow everything else where it changes.
    if (held != rtsHeldLow_) updateOutputs();
    if (xonXoff()) {
        const uint16_t chars = flowChars();
        if (!xoffSent_ && level >= high) {
            xoffSent_ = true;
            flowChar_ = uint8_t(chars >> 8);
            startTransmitter();
        } else if (xoffSent_ && level <= low) {
            xoffSent_ = false;
            flowChar_ = uint8_t(chars);
            startTransmitter();
        }
    } else {
        xoffSent_ = false;
    }
}

void BridgeChip::statusChanged() {
    statusPending_ = true;
    if (host_) host_->wake();
}

void BridgeChip::lineChar(const WireChar &c) {
    Settle settle(*this);
    if (!format_.running() || farBreak_) {
        losses_.stopped++;
        record(Event(LineEvent::Dropped, c));
        return;
    }
    Decoded d = Decode(c, format_);
    uint8_t errors = uint8_t((d.framingError ? kFraming : 0) | (d.parityError ? kParity : 0) |
                             (d.breakDetected ? kBreak : 0));
    if (xonXoff() && !d.framingError && !d.parityError) {
        const uint16_t chars = flowChars();
        if (d.data == uint8_t(chars >> 8)) {
            xoffReceived_ = true;
        } else if (d.data == uint8_t(chars)) {
            xoffReceived_ = false;
            startTransmitter();
        }
    }
    // The bus needs telling only when the FIFO stops being empty; it polls it every frame after.
    bool arrived = false;
    if (rxFifo_.size() >= config_.rxFifoSize) {
        errors |= kOverrun;
        losses_.overrun++;
        if (logging()) record(Event(LineEvent::Dropped, c, d));
    } else {
        arrived = rxFifo_.empty();
        rxFifo_.push_back(d.data);
        if (logging()) record(Event(LineEvent::Received, c, d));
    }
    if (errors) {
        latched_ |= errors;
        statusChanged();
    }
    updateReceiveFlow();
    if (host_ && arrived) host_->wake(kBulkIn);
}

size_t BridgeChip::lineChars(std::span<const uint8_t> data, const WireFormat &format) {
    Settle settle(*this);
    if (logging() || !(&format == &format_ || format == format_) || !format_.running() || farBreak_) return 0;
    const size_t level = rxFifo_.size(), high = config_.rxFifoSize * 3 / 4, low = config_.rxFifoSize / 4;
    size_t n = std::min(data.size(), config_.rxFifoSize - level);
    // With a handshake, or one being let go, each arrival stays below the high mark, and above the
    // low one while a hold is on, where updateReceiveFlow() moves nothing.
    if (rtsFlow() || xonXoff() || rtsHeldLow_ || xoffSent_) {
        if (level + 1 >= high || (level + 1 <= low && (rtsHeldLow_ || xoffSent_))) return 0;
        n = std::min(n, high - 1 - level);
    }
    const uint8_t mask = uint8_t((1u << format.dataBits) - 1);
    if (xonXoff()) {
        const uint16_t chars = flowChars();
        const uint8_t xon = uint8_t(chars), xoff = uint8_t(chars >> 8);
        for (size_t i = 0; i < n; i++) {
            if (const uint8_t d = data[i] & mask; d == xon || d == xoff) {
                n = i;
                break;
            }
        }
    }
    if (n == 0) return 0;
    const bool arrived = rxFifo_.empty();
    if (mask == 0xFF) {
        rxFifo_.append(data.first(n));
    } else {
        for (size_t i = 0; i < n; i++) rxFifo_.push_back(data[i] & mask);
    }
    if (host_ && arrived) host_->wake(kBulkIn);
    return n;
}

void BridgeChip::lineBreak(bool on) {
    Settle settle(*this);
    if (on == farBreak_) return;
    farBreak_ = on;
    record(Event(LineEvent::BreakReceived, on));
    if (on) latched_ |= kBreak;
    statusChanged();
}

void BridgeChip::lineInputs(ModemInputs in) {
    Settle settle(*this);
    if (in == inputs_) return;
    bool ringStarted = in.ri && !inputs_.ri;
    inputs_ = in;
    LineEvent e = Event(LineEvent::Inputs);
    e.in = in;
    record(e);
    statusChanged();
    if (ringStarted && suspended_ && remoteWake_ && host_) host_->remoteWake();
    startTransmitter();
}

uint16_t BridgeChip::statusWord() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    uint8_t w = latched_;
    if (inputs_.dcd) w |= kDcd;
    if (inputs_.dsr) w |= kDsr;
    if (inputs_.ri) w |= kRing;
    if (inputs_.cts) w |= kCts;
    if (farBreak_) w |= kBreak;
    return w;
}

// ---- Inspection -------------------------------------------------------------------------------------------

WireFormat BridgeChip::format() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return format_;
}
std::array<uint8_t, 7> BridgeChip::lineCoding() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return lineCoding_;
}
uint8_t BridgeChip::reg(int r) const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return regs_.at(size_t(r));
}
uint16_t BridgeChip::wordRegister(uint8_t n) const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    auto it = words_.find(n);
    return it == words_.end() ? 0 : it->second;
}
bool BridgeChip::dtr() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return pinDtr_;
}
bool BridgeChip::rts() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return pinRts_;
}
bool BridgeChip::breakOn() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return breakOn_;
}
bool BridgeChip::remoteWakeEnabled() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return remoteWake_;
}
uint8_t BridgeChip::configuration() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return configValue_;
}
int BridgeChip::setConfigurationCount() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return setConfigurations_;
}
std::array<uint8_t, 256> BridgeChip::eeprom() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return eeprom_;
}
size_t BridgeChip::txFifoLevel() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return txFifo_.size();
}
BridgeChip::Losses BridgeChip::losses() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return losses_;
}
size_t BridgeChip::rxFifoLevel() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return rxFifo_.size();
}
std::vector<LineEvent> BridgeChip::lineLog() const {
    WorldGuard g(World().lock);
    Settle settle(*this);
    return {log_.begin(), log_.end()};
}

void BridgeChip::setLineSink(LineSink *sink) {
    WorldGuard g(World().lock);
    Settle settle(*this);
    sink_ = sink;
}

}  // namespace emu::usb
