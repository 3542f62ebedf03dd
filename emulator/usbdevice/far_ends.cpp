#include "emulator/usbdevice/far_ends.h"

namespace emu::usb {

// ---- Loopback -----------------------------------------------------------------------------------------

Loopback::Loopback(BridgeChip &chip, LoopbackWiring wiring) : chip_(chip), wiring_(wiring) { chip_.connect(this); }

Loopback::~Loopback() {
    WorldGuard g(World().lock);
    chip_.connect(nullptr);
    chip_.lineInputs({});
}

void Loopback::chipChar(const WireChar &c) {
    if (wiring_.txToRx) chip_.lineChar(c);
}

size_t Loopback::chipChars(std::span<const uint8_t> data, const WireFormat &format) {
    return wiring_.txToRx ? chip_.lineChars(data, format) : data.size();
}

void Loopback::chipBreak(bool on) {
    if (wiring_.txToRx) chip_.lineBreak(on);
}

void Loopback::chipOutputs(bool dtr, bool rts) {
    chip_.lineInputs({wiring_.rtsToCts && rts, wiring_.dtrToDsr && dtr, wiring_.dtrToDcd && dtr, wiring_.dtrToRi && dtr});
}

// ---- Null modem -----------------------------------------------------------------------------------------

NullModem::NullModem(BridgeChip &a, BridgeChip &b) : a_(a), b_(b) {
    WorldGuard g(World().lock);
    toB_.other = &b;
    toA_.other = &a;
    a_.connect(&toB_);
    b_.connect(&toA_);
}

NullModem::~NullModem() {
    WorldGuard g(World().lock);
    a_.connect(nullptr);
    b_.connect(nullptr);
    a_.lineInputs({});
    b_.lineInputs({});
}

// ---- Scripted peer --------------------------------------------------------------------------------------

ScriptedPeer::ScriptedPeer(BridgeChip &chip, WireFormat format)
    : chip_(chip), lineEvent_(events_.recurring([this] { lineDone(); })), format_(format) {
    chip_.connect(this);
}

ScriptedPeer::~ScriptedPeer() {
    WorldGuard g(World().lock);
    events_.kill();
    chip_.connect(nullptr);
    chip_.lineInputs({});
}

void ScriptedPeer::setFormat(WireFormat format) {
    WorldGuard g(World().lock);
    format_ = format;
}

void ScriptedPeer::push(Item item) {
    WorldGuard g(World().lock);
    if (item.notBefore < Now()) item.notBefore = Now();
    queue_.push_back(item);
    kick();
}

void ScriptedPeer::send(std::span<const uint8_t> bytes, int64_t at) {
    WorldGuard g(World().lock);
    for (uint8_t b : bytes) push({.data = b, .notBefore = at});
}

void ScriptedPeer::sendWithFramingError(uint8_t data) { push({.data = data, .badStop = true}); }

void ScriptedPeer::sendWithParityError(uint8_t data) { push({.data = data, .badParity = true}); }

void ScriptedPeer::sendBreak(int64_t duration) { push({.breakFor = duration}); }

void ScriptedPeer::setLines(ModemInputs lines) {
    WorldGuard g(World().lock);
    chip_.lineInputs(lines);
}

void ScriptedPeer::followRts(bool on) {
    WorldGuard g(World().lock);
    followRts_ = on;
    kick();
}

void ScriptedPeer::followXonXoff(bool on, uint8_t xon, uint8_t xoff) {
    WorldGuard g(World().lock);
    followXonXoff_ = on;
    xon_ = xon;
    xoff_ = xoff;
    xoffed_ = false;
    kick();
}

// Starts the next queued item when the transmitter is free.
void ScriptedPeer::kick() {
    if (busy_ || queue_.empty() || !format_.running()) return;
    if (followRts_ && !rts_) return;  // chipOutputs restarts us
    if (followXonXoff_ && xoffed_) return;  // the chip's XON restarts us
    const int64_t now = Now();
    Item item = queue_.front();
    if (item.notBefore > now) {
        events_.cancel(wakeEvent_);
        wakeEvent_ = events_.at(item.notBefore, [this] { kick(); });
        return;
    }
    queue_.pop_front();
    busy_ = true;
    if (item.breakFor > 0) {
        chip_.lineBreak(true);
        sendingBreak_ = true;
        lineEvent_.arm(now + item.breakFor);
        return;
    }
    if (lastEnd_ != now) {
        streamStart_ = now;
        streamHalfBits_ = 0;
    }
    streamHalfBits_ += format_.frameHalfBits();
    WireChar c;
    c.data = item.data;
    c.format = format_;
    c.badParity = item.badParity;
    c.badStop = item.badStop;
    c.start = now;
    c.end = streamStart_ + format_.duration(streamHalfBits_);
    sending_ = c;
    sendingBreak_ = false;
    lineEvent_.arm(c.end);
}

void ScriptedPeer::lineDone() {
    if (!busy_) return;
    busy_ = false;
    if (sendingBreak_) {
        sendingBreak_ = false;
        chip_.lineBreak(false);
        lastEnd_ = -1;
    } else {
        // A copy: the chip plays out what it owes first, and an echo of that may start our next
        // character (and overwrite sending_) before the chip has taken this one.
        const WireChar c = sending_;
        lastEnd_ = c.end;
        chip_.lineChar(c);
    }
    kick();
}

void ScriptedPeer::chipChar(const WireChar &c) {
    Decoded d = Decode(c, format_);
    received_.push_back({Now(), d.data, d.framingError, d.parityError, d.breakDetected});
    if (!followXonXoff_ || d.framingError || d.parityError) return;
    if (d.data == xoff_) {
        xoffed_ = true;
    } else if (d.data == xon_ && xoffed_) {
        xoffed_ = false;
        kick();
    }
}

void ScriptedPeer::chipBreak(bool on) { break_ = on; }

void ScriptedPeer::chipOutputs(bool dtr, bool rts) {
    dtr_ = dtr;
    rts_ = rts;
    kick();
}

std::vector<ScriptedPeer::Received> ScriptedPeer::received() const {
    WorldGuard g(World().lock);
    return received_;
}

std::vector<uint8_t> ScriptedPeer::receivedBytes() const {
    WorldGuard g(World().lock);
    std::vector<uint8_t> bytes;
    for (auto &r : received_) bytes.push_back(r.data);
    return bytes;
}

bool ScriptedPeer::chipDtr() const {
    WorldGuard g(World().lock);
    return dtr_;
}

bool ScriptedPeer::chipRts() const {
    WorldGuard g(World().lock);
    return rts_;
}

bool ScriptedPeer::chipBreakOn() const {
    WorldGuard g(World().lock);
    return break_;
}

size_t ScriptedPeer::queued() const {
    WorldGuard g(World().lock);
    return queue_.size() + (busy_ ? 1 : 0);
}

int64_t ScriptedPeer::lastSentEnd() const {
    WorldGuard g(World().lock);
    return lastEnd_;
}

}  // namespace emu::usb
