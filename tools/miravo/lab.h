// The lab's machine: the driver loaded and one simulated chip plugged in under a chosen COM name,
// with a loopback plug, a scripted peer or nothing on its serial connector. The demo, the benchmark
// and the tests that drive the port through the Win32 side all start from here.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/port.h"
#include "emulator/kernel/machine.h"
#include "emulator/usbdevice/capture.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"
#include "emulator/win32/comm.h"
#include "emulator/win32/win32.h"

namespace lab {

// Every byte value, in an order that shows reordering and loss.
std::vector<uint8_t> TestPattern(size_t n);

enum class FarEnd { Loopback, Scripted, Nothing };

class Bench;

struct Options {
    emu::MachineConfig machine{};
    emu::usb::ChipConfig chip = emu::usb::ChipConfig::Variant(2);
    emu::usb::BusConfig bus{};
    FarEnd farEnd = FarEnd::Loopback;
    std::u16string portName = u"COM3";
    std::u16string extBaudrate{};  // the driver's ExtBaudrate setting; empty: none
    // Captures the machine streams to while it lives (the caller's; one may follow several machines).
    emu::usb::UsbCapture *usbCapture = nullptr;
    emu::usb::LineCapture *lineCapture = nullptr;
    bool quiet = false;            // a start that fails says nothing (runs that fail starts on purpose)
    // Runs once, with the chip on its bus and before the driver starts it: a test's fault rules.
    std::function<void(Bench &)> beforeStart{};
};

class Bench {
public:
    explicit Bench(Options options = {});
    ~Bench();  // unplugs and unloads; the verifier stops the run on pool left under 'COMX'
    Bench(const Bench &) = delete;
    Bench &operator=(const Bench &) = delete;

    bool ready() const { return ready_; }
    emu::Machine &machine() { return machine_; }
    emu::usb::SimulatedDevice &device() { return *device_; }
    emu::usb::BridgeChip &chip() { return device_->chip(); }
    emu::usb::ScriptedPeer *peer() { return peer_.get(); }  // with FarEnd::Scripted
    PortExtension *port() { return port_; }                 // to look inside; null until ready
    // Removes the port and unloads the driver; returns the pool still held under 'COMX'.
    size_t shutDown();
    // URBs the buses saw, counted up to shutDown(), over every chip plugged in.
    uint64_t urbsSubmitted() const { return urbsSubmitted_; }
    uint64_t urbsCompleted() const { return urbsCompleted_; }
    // A new chip of the same kind in place of the old one, which is removed first unless it was
    // pulled out (its surprise removal finished by the caller). The start's status.
    NTSTATUS replug();

private:
    NTSTATUS plug();
    void dropDevice();
    Options options_;
    emu::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<emu::usb::SimulatedDevice> device_;
    std::unique_ptr<emu::usb::Loopback> plug_;
    std::unique_ptr<emu::usb::ScriptedPeer> peer_;
    PortExtension *port_ = nullptr;
    bool ready_ = false;
    uint64_t urbsSubmitted_ = 0, urbsCompleted_ = 0;
};

// The options every lab command takes, parsed where the command parses its own.
struct CommonOptions {
    std::string usbCapture, lineCapture;  // empty: none
    bool progress = false;                // also when stderr is not a terminal
    int chipType = 2;                     // the chip variant plugged in, 0..4
};
extern const char kCommonOptionsHelp[];
// Takes argv[i] (and its value, advancing i) when it is a common option. 1: taken; 0: not one;
// -1: one without its value (the message is on stderr).
int ParseCommonOption(int argc, char **argv, int &i, CommonOptions &options);

// The capture files a command's run streams to, opened before its first machine starts.
class Captures {
public:
    // False, with "miravo: cannot write ..." on stderr, when a file cannot be made.
    bool open(const CommonOptions &options);
    void plugInto(Options &options);
    // Closes the files and says what they hold; false when one could not be written in full.
    bool finish(uint64_t urbsSubmitted, uint64_t urbsCompleted);

private:
    std::unique_ptr<emu::usb::UsbCapture> usb_;
    std::unique_ptr<emu::usb::LineCapture> line_;
};

// Progress of a long transfer on stderr: shown once a run has taken a second of real time, on a
// terminal or when asked for, at most a few times a second, and wiped at the end.
class Progress {
public:
    Progress(uint64_t total, bool forced);
    ~Progress();
    void update(uint64_t done, int64_t emulated);  // bytes done so far, emulated 100 ns since start
    void end();

private:
    uint64_t total_;
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

// What the lab's runs print for a failed Win32 call: "miravo: <what> failed: <error>". Gives false.
bool Fail(const char *what);

// A line setting as the demo, the benchmark and the tests make it: DTR and RTS up, and RTS/CTS
// hardware flow control (the chip holds its transmitter while CTS is low and lowers RTS while its
// receive FIFO is filling) when asked for.
struct Line {
    DWORD baud = 115200;
    BYTE byteSize = 8, parity = win32::NOPARITY, stopBits = win32::ONESTOPBIT;
    bool rtsCts = false;
    int bitsPerChar() const { return 1 + byteSize + (parity != win32::NOPARITY) + (stopBits == win32::ONESTOPBIT ? 1 : 2); }
    double charsPerSecond() const { return double(baud) / bitsPerChar(); }
    // A read ends when the line has been silent this long: longer than a character takes to
    // arrive, at the slowest rate too.
    DWORD silenceMs() const;
    // A run in which no byte moved for this long has stalled.
    DWORD stallMs() const;
};

// Sets the line with SetCommState, as an application does, and the read time-outs; `line.baud`
// becomes the rate the port applied (it rounds to its rate table, and to 0 for rates it does not
// run at). False, with the failed call on stderr, when a request fails.
bool Configure(HANDLE h, Line &line);

struct Transfer {
    DWORD written = 0, read = 0;
    bool same = false;     // every byte back, in order
    bool inOrder = false;  // what came back is the pattern with some bytes missing at most
    bool stalled = false;  // ended by the watchdog: no byte moved for line.stallMs()
    int64_t emulated = 0;  // 100 ns, to the last byte in (within a clock tick when some were lost)
    double real = 0;       // s
};

// Writes `pattern` and reads it back, both ways at once, on a port configured with `line`. A run
// whose data stops moving is cancelled and ends with `stalled`. False when a call fails or the run
// stalled (with the reason on stderr). `progress`, if given, is told the bytes read back as they
// come; `midway`, if given, runs once when half the bytes have moved, with both requests still
// outstanding.
bool Loop(HANDLE h, emu::Machine &machine, const Line &line, const std::vector<uint8_t> &pattern, Transfer &out,
          Progress *progress = nullptr, std::function<void()> midway = {});

}  // namespace lab
