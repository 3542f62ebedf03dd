#include "emulator/usbdevice/capture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

namespace emu::usb {

// ---- The file ---------------------------------------------------------------------------------------

CaptureFile::CaptureFile(const std::string &path) : path_(path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) error_ = std::strerror(errno);
}

CaptureFile::~CaptureFile() { finish(); }

void CaptureFile::write(const void *bytes, size_t n) {
    if (file_ && std::fwrite(bytes, 1, n, file_) != n && error_.empty()) error_ = std::strerror(errno);
}

bool CaptureFile::finish() {
    if (file_) {
        if ((std::fflush(file_) != 0 || std::ferror(file_)) && error_.empty()) error_ = std::strerror(errno);
        if (std::fclose(file_) != 0 && error_.empty()) error_ = std::strerror(errno);
        file_ = nullptr;
    }
    return ok();
}

void CaptureFile::restartClock(int64_t machineNow, int64_t gap) {
    base_ = last_ ? last_ + gap : 0;
    zero_ = machineNow;
}

// ---- USB: usbmon packets in pcap ---------------------------------------------------------------------

namespace {

constexpr uint32_t kPcapNanosecondMagic = 0xA1B23C4D;
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x40000;
constexpr int kEinprogress = 115;

// The Linux host controller's completion codes (negative errno) for the bus's outcomes.
int32_t LinuxStatus(USBD_STATUS s) {
    switch (s) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_CANCELED: return -ENOENT;
    case USBD_STATUS_STALL_PID: return -EPIPE;
    case USBD_STATUS_DEVICE_GONE: return -ESHUTDOWN;
    case USBD_STATUS_ERROR_SHORT_TRANSFER: return -EREMOTEIO;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_BUFFER_TOO_SMALL: return -EINVAL;
    default: return -EPROTO;
    }
}

// struct usbmon_packet of the mmapped interface, little-endian as written by an x86 host.
struct UsbmonHeader {
    uint64_t id;
    uint8_t type, transferType, endpoint, device;
    uint16_t bus;
    char setupFlag, dataFlag;
    int64_t seconds;
    int32_t microseconds;
    int32_t status;
    uint32_t length, captured;
    uint8_t setup[8];
    int32_t interval, startFrame;
    uint32_t transferFlags, descriptors;
};
static_assert(sizeof(UsbmonHeader) == 64);

// Only transfers reach the wire; pipe requests and frame-number queries stay in the host.
bool OnWire(const UrbRecord &r) {
    return r.hasSetup || (r.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && r.endpoint);
}

}  // namespace

UsbCapture::UsbCapture(const std::string &path) : CaptureFile(path) {
    struct {
        uint32_t magic;
        uint16_t major, minor;
        int32_t zone;
        uint32_t sigfigs, snap, link;
    } header{kPcapNanosecondMagic, 2, 4, 0, 0, kSnapLength, kLinkTypeUsbLinuxMmapped};
    static_assert(sizeof(header) == 24);
    write(&header, sizeof(header));
}

UsbCapture::~UsbCapture() { detach(); }

void UsbCapture::attach(UsbBus &bus) {
    detach();
    bus_ = &bus;
    machine_++;
    restartClock(Now(), kFrame);
    bus.setUrbSink(this);
}

void UsbCapture::detach() {
    if (bus_) bus_->setUrbSink(nullptr);
    bus_ = nullptr;
}

void UsbCapture::urbSubmitted(const UrbRecord &r) {
    if (OnWire(r)) packet(r, false);
}

void UsbCapture::urbCompleted(const UrbRecord &r) {
    if (OnWire(r)) packet(r, true);
}

void UsbCapture::packet(const UrbRecord &r, bool completion) {
    const bool control = r.hasSetup;
    const bool in = control ? r.setup.in() : (r.endpoint & 0x80) != 0;
    const int64_t t = std::max(last_, at(completion ? r.completed : r.submitted));
    last_ = t;
    // OUT data goes with the submission, IN data with the completion, as usbmon shows them.
    const std::vector<uint8_t> none;
    const std::vector<uint8_t> &data = completion == in ? r.data : none;
    const uint32_t captured = completion && in ? std::min<uint32_t>(r.length, uint32_t(data.size())) : uint32_t(data.size());

    UsbmonHeader h{};
    h.id = machine_ << 32 | (r.serial & 0xFFFFFFFF);
    h.type = completion ? 'C' : 'S';
    h.transferType = control ? 2 : r.pipeType == UsbdPipeTypeInterrupt ? 1 : 3;
    h.endpoint = control ? (in ? 0x80 : 0x00) : r.endpoint;
    h.device = 1;
    h.bus = 1;
    h.setupFlag = control && !completion ? 0 : '-';
    h.dataFlag = captured ? 0 : in ? '<' : '>';
    h.seconds = t / kSecond;
    h.microseconds = int32_t(t % kSecond / 10);
    h.status = completion ? LinuxStatus(r.usbdStatus) : -kEinprogress;
    h.length = completion ? r.length : r.requested;
    h.captured = captured;
    if (control && !completion) {
        const SetupPacket &s = r.setup;
        const uint8_t setup[8] = {s.bmRequestType, s.bRequest, uint8_t(s.wValue), uint8_t(s.wValue >> 8),
                                  uint8_t(s.wIndex), uint8_t(s.wIndex >> 8), uint8_t(s.wLength), uint8_t(s.wLength >> 8)};
        std::memcpy(h.setup, setup, sizeof(setup));
    }
    h.interval = h.transferType == 1 ? 1 : 0;
    h.transferFlags = in ? 0x200 : 0;  // URB_DIR_IN

    const uint32_t size = uint32_t(sizeof(h)) + captured;
    const uint32_t record[4] = {uint32_t(t / kSecond), uint32_t(t % kSecond * 100), size, size};
    write(record, sizeof(record));
    write(&h, sizeof(h));
    if (captured) write(data.data(), captured);
    packets_++;
}

// ---- The line: a value-change dump ------------------------------------------------------------------

namespace {

constexpr const char *kNames[] = {"tx", "rx", "rts", "cts", "dtr", "dsr", "dcd", "ri", "break"};
constexpr int64_t kReorderSlack = 20 * kMillisecond;

char Code(LineCapture::Signal s) { return char('!' + s); }

}  // namespace

LineCapture::LineCapture(const std::string &path) : CaptureFile(path) {
    level_.fill(-1);
    std::string h = "$version miravo line capture $end\n$timescale 100ns $end\n$scope module connector $end\n";
    for (int s = 0; s < kSignals; s++) h += std::string("$var wire 1 ") + Code(Signal(s)) + " " + kNames[s] + " $end\n";
    h += "$upscope $end\n$enddefinitions $end\n";
    write(h.data(), h.size());
}

LineCapture::~LineCapture() { detach(); }

void LineCapture::attach(BridgeChip &chip) {
    detach();
    chip_ = &chip;
    restartClock(Now(), kFrame);
    const int64_t t = at(Now());
    for (int s = 0; s < kSignals; s++) change(t, Signal(s), s == Tx || s == Rx);
    chip.setLineSink(this);
}

void LineCapture::detach() {
    if (!chip_) return;
    chip_->setLineSink(nullptr);
    chip_ = nullptr;
    flush(INT64_MAX);
}

void LineCapture::change(int64_t time, Signal s, bool level) {
    held_.push_back({std::max(time, last_), order_++, s, level});
    std::push_heap(held_.begin(), held_.end(), std::greater<>());
}

// Bit cells from the sender's own timing; the stop bits last to the character's recorded end.
void LineCapture::character(Signal s, const WireChar &c) {
    const WireFormat &f = c.format;
    if (!f.running()) return;
    const int64_t start = at(c.start);
    const bool hasParity = f.parity != Parity::None;
    const int bits = 1 + f.dataBits + hasParity;
    for (int i = 0; i < bits; i++) {
        bool level = false;  // the start bit
        if (i >= 1 && i <= f.dataBits) level = (c.data >> (i - 1)) & 1;
        if (hasParity && i == bits - 1) level = ParityBit(c.data, f.dataBits, f.parity) != c.badParity;
        change(start + f.duration(2u * unsigned(i)), s, level);
    }
    change(start + f.duration(2u * unsigned(bits)), s, !c.badStop);
    if (c.badStop) change(at(c.end), s, true);
    window_ = std::max(window_, c.end - c.start + kReorderSlack);
}

void LineCapture::lineEvent(const LineEvent &e) {
    switch (e.kind) {
    case LineEvent::Sent: character(Tx, e.wire); break;
    case LineEvent::Received:
    case LineEvent::Dropped: character(Rx, e.wire); break;
    case LineEvent::BreakSent:
        change(at(e.time), Tx, !e.on);
        change(at(e.time), Break, e.on);
        break;
    case LineEvent::BreakReceived: change(at(e.time), Rx, !e.on); break;
    case LineEvent::Outputs:
        change(at(e.time), Dtr, e.dtr);
        change(at(e.time), Rts, e.rts);
        break;
    case LineEvent::Inputs:
        change(at(e.time), Cts, e.in.cts);
        change(at(e.time), Dsr, e.in.dsr);
        change(at(e.time), Dcd, e.in.dcd);
        change(at(e.time), Ri, e.in.ri);
        break;
    }
    flush(at(std::min(e.time, Now())) - std::max(window_, kReorderSlack));
}

// Writes the changes up to `upTo`: per instant, the level each line ends it with.
void LineCapture::flush(int64_t upTo) {
    std::string out;
    while (!held_.empty() && held_.front().time <= upTo) {
        const int64_t t = held_.front().time;
        std::array<int8_t, kSignals> now = level_;
        while (!held_.empty() && held_.front().time == t) {
            std::pop_heap(held_.begin(), held_.end(), std::greater<>());
            now[held_.back().signal] = held_.back().level;
            held_.pop_back();
        }
        bool stamped = false;
        for (int s = 0; s < kSignals; s++) {
            if (now[s] == level_[s]) continue;
            if (!stamped) out += "#" + std::to_string(t) + "\n";
            stamped = true;
            out += char('0' + now[s]);
            out += Code(Signal(s));
            out += '\n';
        }
        level_ = now;
        last_ = t;
    }
    write(out.data(), out.size());
}

}  // namespace emu::usb
