// Captures of a simulated device in the formats the field's tools read, streamed to their files as
// the bus and the line record them:
//   UsbCapture   every URB's submission and completion as Linux usbmon packets in a pcap file
//                (link type 220, the 64-byte header, nanosecond timestamps), for tshark and Wireshark;
//   LineCapture  the serial connector as a value-change dump in 100 ns steps: TX and RX bit by bit
//                (start, data, parity and stop bits at the sender's rate), the modem lines and the
//                chip's break, for sigrok, PulseView and GTKWave.
// One capture can follow several machines in turn (a benchmark's runs): each attach continues the
// file's timeline after what the previous machine wrote.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/usbdevice/bus.h"
#include "emulator/usbdevice/chip.h"

namespace emu::usb {

// The file side both captures share: opened at construction, closed at destruction; a failed
// open or write leaves error() saying why.
class CaptureFile {
public:
    explicit CaptureFile(const std::string &path);
    ~CaptureFile();
    CaptureFile(const CaptureFile &) = delete;
    CaptureFile &operator=(const CaptureFile &) = delete;
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    const std::string &path() const { return path_; }
    bool finish();  // flushes and closes; false (with error()) when the file did not take it all

protected:
    void write(const void *bytes, size_t n);
    // Capture time for machine time `t`: continues after the previous machine's last instant.
    int64_t at(int64_t t) const { return base_ + (t - zero_); }
    void restartClock(int64_t machineNow, int64_t gap);
    int64_t last_ = 0;  // latest capture time written

private:
    std::string path_, error_;
    FILE *file_ = nullptr;
    int64_t base_ = 0, zero_ = 0;
};

class UsbCapture : public CaptureFile, public UrbSink {
public:
    explicit UsbCapture(const std::string &path);  // writes the file header
    ~UsbCapture() override;
    // Streams `bus`'s URBs from now on, until detach() or the next attach().
    void attach(UsbBus &bus);
    void detach();
    uint64_t packets() const { return packets_; }

    void urbSubmitted(const UrbRecord &r) override;
    void urbCompleted(const UrbRecord &r) override;

private:
    void packet(const UrbRecord &r, bool completion);
    UsbBus *bus_ = nullptr;
    uint64_t machine_ = 0;  // in the high half of each URB id: ids stay unique across machines
    uint64_t packets_ = 0;
};

class LineCapture : public CaptureFile, public LineSink {
public:
    explicit LineCapture(const std::string &path);  // writes the declarations
    ~LineCapture() override;
    void attach(BridgeChip &chip);  // the lines start idle: TX and RX high, the rest low
    void detach();                  // writes every change held back

    void lineEvent(const LineEvent &e) override;

    enum Signal : uint8_t { Tx, Rx, Rts, Cts, Dtr, Dsr, Dcd, Ri, Break, kSignals };

private:
    struct Change {
        int64_t time;
        uint64_t order;
        Signal signal;
        bool level;
        bool operator>(const Change &o) const { return time != o.time ? time > o.time : order > o.order; }
    };
    void change(int64_t time, Signal s, bool level);
    void character(Signal s, const WireChar &c);
    void flush(int64_t upTo);
    BridgeChip *chip_ = nullptr;
    // A character is recorded when its last stop bit ends, after changes of other lines that
    // happened while it was on the wire: changes wait until no earlier one can still arrive.
    std::vector<Change> held_;  // a min-heap on (time, order)
    uint64_t order_ = 0;
    int64_t window_ = 0;        // longest character seen, plus slack
    std::array<int8_t, kSignals> level_{};  // as written; -1 before the first value
};

}  // namespace emu::usb
