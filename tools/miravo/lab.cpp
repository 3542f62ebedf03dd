#include "tools/miravo/lab.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <unistd.h>
#include <utility>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "platform/host/ntddser.h"

namespace lab {

constexpr DWORD kMidwayPollMs = 5;

std::vector<uint8_t> TestPattern(size_t n) {
    std::vector<uint8_t> p(n);
    uint32_t x = 0x2545F491;
    for (auto &b : p) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return p;
}

Bench::Bench(Options options) : machine_(options.machine) {
    auto &io = machine_.service<emu::IoManager>();
    if (!options.extBaudrate.empty())
        machine_.service<emu::Registry>().SetString(emu::IoManager::ServiceKeyPath(u"miravo"), u"ExtBaudrate",
                                                    options.extBaudrate);
    if (io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver_) != STATUS_SUCCESS) {
        std::fprintf(stderr, "miravo: the driver did not load\n");
        return;
    }
    options_ = std::move(options);
    ready_ = plug() == STATUS_SUCCESS;
}

// The chip object goes: its bus's URB counts are kept, and the captures let go of it.
void Bench::dropDevice() {
    if (!device_) return;
    urbsSubmitted_ += device_->bus().urbsSubmitted();
    urbsCompleted_ += device_->bus().urbsCompleted();
    if (options_.usbCapture) options_.usbCapture->detach();
    if (options_.lineCapture) options_.lineCapture->detach();
    device_.reset();
}

NTSTATUS Bench::plug() {
    auto &pnp = machine_.service<emu::PnpManager>();
    port_ = nullptr;
    peer_.reset();
    plug_.reset();
    dropDevice();
    device_ = std::make_unique<emu::usb::SimulatedDevice>(options_.chip, options_.bus);
    if (!device_->pdo()) return STATUS_INSUFFICIENT_RESOURCES;  // the hub had no memory to report it
    // From the first URB and the first line change on.
    if (options_.usbCapture) options_.usbCapture->attach(device_->bus());
    if (options_.lineCapture) options_.lineCapture->attach(device_->chip());
    // The port takes its name from its instance key, as the class installer left it.
    const std::u16string instance =
        pnp.queryId(device_->pdo(), BusQueryDeviceID) + u"\\" + pnp.queryId(device_->pdo(), BusQueryInstanceID);
    machine_.service<emu::Registry>().SetString(
        std::u16string(emu::Registry::kEnumPath) + u"\\" + instance + u"\\Device Parameters", u"PortName",
        options_.portName);
    switch (options_.farEnd) {
    case FarEnd::Loopback: plug_ = std::make_unique<emu::usb::Loopback>(device_->chip()); break;
    case FarEnd::Scripted:
        peer_ = std::make_unique<emu::usb::ScriptedPeer>(device_->chip(), emu::usb::WireFormat::Rate(9600));
        break;
    case FarEnd::Nothing: break;
    }
    if (auto hook = std::exchange(options_.beforeStart, nullptr)) hook(*this);
    const NTSTATUS status = pnp.plugIn(driver_, device_->pdo());
    if (status != STATUS_SUCCESS) {
        if (!options_.quiet)
            std::fprintf(stderr, "miravo: plugging the chip in failed (status 0x%08X)\n", static_cast<unsigned>(status));
        return status;
    }
    port_ = PortOf(pnp.stackTop(device_->pdo()));
    return status;
}

NTSTATUS Bench::replug() {
    if (port_ && device_->bus().plugged()) machine_.service<emu::PnpManager>().remove(device_->pdo());
    ready_ = plug() == STATUS_SUCCESS;
    return ready_ ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

size_t Bench::shutDown() {
    if (port_ && device_->bus().plugged()) machine_.service<emu::PnpManager>().remove(device_->pdo());
    port_ = nullptr;
    peer_.reset();
    plug_.reset();
    dropDevice();
    if (driver_) machine_.service<emu::IoManager>().unloadDriver(driver_);
    driver_ = nullptr;
    return machine_.service<emu::Pool>().bytesInUse(MIRAVO_POOL_TAG);
}

Bench::~Bench() { shutDown(); }

using namespace win32;

namespace {

std::string ErrorText(DWORD error) {
    switch (error) {
    case ERROR_INVALID_FUNCTION: return "ERROR_INVALID_FUNCTION";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_OPERATION_ABORTED: return "ERROR_OPERATION_ABORTED";
    default: return "error " + std::to_string(error);
    }
}

// Bytes the port has taken in and sent out, as its statistics count them.
bool BytesMoved(HANDLE h, uint64_t &moved, uint64_t *received = nullptr) {
    SERIALPERF_STATS stats{};
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats), &returned, nullptr))
        return Fail("IOCTL_SERIAL_GET_STATS");
    moved = uint64_t(stats.ReceivedCount) + stats.TransmittedCount;
    if (received) *received = stats.ReceivedCount;
    return true;
}

}  // namespace

bool Fail(const char *what) {
    const DWORD error = GetLastError();
    std::fflush(stdout);
    std::fprintf(stderr, "miravo: %s failed: %s (%lu)\n", what, ErrorText(error).c_str(),
                 static_cast<unsigned long>(error));
    return false;
}

namespace {
constexpr DWORD kProgressSliceMs = 250;  // emulated
// Milliseconds `chars` characters take on the line, rounded up; 0 for a line that does not run.
DWORD CharsMs(const Line &line, int chars) {
    return line.baud ? DWORD(std::ceil(chars * 1000.0 / line.charsPerSecond())) : 0;
}
}  // namespace

// At 75 baud a character takes 133 ms: the time-out between two of them must outlast that.
DWORD Line::silenceMs() const { return 100 + CharsMs(*this, 2); }

DWORD Line::stallMs() const { return 1000 + silenceMs() + CharsMs(*this, 20); }

bool Configure(HANDLE h, Line &line) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(h, &dcb)) return Fail("GetCommState");
    dcb.BaudRate = line.baud;
    dcb.ByteSize = line.byteSize;
    dcb.Parity = line.parity;
    dcb.StopBits = line.stopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != NOPARITY;
    dcb.fOutxCtsFlow = line.rtsCts;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = line.rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
    if (!SetCommState(h, &dcb)) return Fail("SetCommState");
    if (!GetCommState(h, &dcb)) return Fail("GetCommState");
    line.baud = dcb.BaudRate;
    // A read waits for its full count unless the line falls silent (data lost on the way would
    // otherwise keep it waiting for ever); writes have no total time-out.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = line.silenceMs();
    if (!SetCommTimeouts(h, &t)) return Fail("SetCommTimeouts");
    return true;
}

// The read is posted first so the data goes straight into its buffer. The wait looks at the
// port's byte counts every stallMs(): a read that never gets its first byte, or a write into a
// line that does not run, would otherwise wait for ever while the clock runs on.
bool Loop(HANDLE h, emu::Machine &machine, const Line &line, const std::vector<uint8_t> &pattern, Transfer &out,
          Progress *progress, std::function<void()> midway) {
    std::vector<uint8_t> back(pattern.size());
    OVERLAPPED rd{}, wr{};
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD size = static_cast<DWORD>(pattern.size());
    const auto realStart = std::chrono::steady_clock::now();
    const int64_t start = machine.now();
    bool ok = true;
    out = Transfer{};
    if (!ReadFile(h, back.data(), size, nullptr, &rd) && GetLastError() != ERROR_IO_PENDING) ok = Fail("ReadFile");
    if (ok && !WriteFile(h, pattern.data(), size, nullptr, &wr) && GetLastError() != ERROR_IO_PENDING)
        ok = Fail("WriteFile");
    uint64_t moved = 0;
    if (ok) ok = BytesMoved(h, moved);
    int64_t lastMove = machine.now();
    // Progress and the half-way mark look at the counts more often than a stall needs.
    DWORD slice = line.stallMs();
    if (progress) slice = std::min(slice, kProgressSliceMs);
    if (midway) slice = std::min(slice, kMidwayPollMs);
    while (ok && !(HasOverlappedIoCompleted(&wr) && HasOverlappedIoCompleted(&rd))) {
        HANDLE pending = HasOverlappedIoCompleted(&wr) ? rd.hEvent : wr.hEvent;
        if (WaitForSingleObject(pending, slice) != WAIT_TIMEOUT) continue;
        if (progress) {
            uint64_t now = 0, received = 0;
            if (!BytesMoved(h, now, &received)) {
                ok = false;
                break;
            }
            progress->update(received, machine.now() - start);
        }
        const uint64_t before = moved;
        ok = BytesMoved(h, moved);
        if (!ok) break;
        if (moved != before) lastMove = machine.now();
        if (midway && moved >= size) {
            std::exchange(midway, nullptr)();
            lastMove = machine.now();
        } else if (machine.now() - lastMove >= int64_t(line.stallMs()) * 10000) {
            out.stalled = true;
            ok = false;
        }
    }
    if (ok && !GetOverlappedResult(h, &wr, &out.written, TRUE)) ok = Fail("the write");
    if (ok && !GetOverlappedResult(h, &rd, &out.read, TRUE)) ok = Fail("the read");
    if (!ok) {
        CancelIo(h);
        GetOverlappedResult(h, &wr, &out.written, TRUE);
        GetOverlappedResult(h, &rd, &out.read, TRUE);
    }
    if (progress) progress->end();
    out.emulated = machine.now() - start;
    if (ok && out.read < size) out.emulated -= int64_t(line.silenceMs()) * 10000;  // the read's wait for more
    out.real = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    out.same = out.read == size && back == pattern;
    // What came back whole is in order; otherwise each byte is looked for after the one before's.
    size_t at = 0;
    for (DWORD i = 0; !out.same && i < out.read; i++, at++)
        while (at < pattern.size() && pattern[at] != back[i]) at++;
    out.inOrder = at <= pattern.size();
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
    if (out.stalled) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "miravo: stalled at %lu baud: no byte moved for %.1f s of emulated time (%lu of %lu bytes "
                     "written, %lu read back); the run was stopped\n",
                     static_cast<unsigned long>(line.baud), line.stallMs() / 1000.0,
                     static_cast<unsigned long>(out.written), static_cast<unsigned long>(size),
                     static_cast<unsigned long>(out.read));
    }
    return ok;
}

}  // namespace lab

namespace lab {

// ---- Options every command takes --------------------------------------------------------------------

const char kCommonOptionsHelp[] =
    "  --usb-capture FILE   stream every URB and its completion to FILE as a Linux usbmon pcap\n"
    "                       (tshark -r FILE, Wireshark)\n"
    "  --line-capture FILE  stream the serial line (TX, RX, RTS, CTS, DTR, DSR, DCD, RI, break) to\n"
    "                       FILE as a value-change dump in 100 ns steps (sigrok-cli -I vcd, GTKWave)\n"
    "  --progress           show progress on stderr even when it is not a terminal\n"
    "  --chip N             the chip variant, 0 to 4 (default 2; 0 has a communications-class\n"
    "                       interface, which Wireshark decodes the line requests of)\n";

int ParseCommonOption(int argc, char **argv, int &i, CommonOptions &options) {
    const std::string_view arg = argv[i];
    if (arg == "--progress") return options.progress = true, 1;
    if (arg == "--chip") {
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (value[0] < '0' || value[0] > '4' || value[1]) {
            std::fprintf(stderr, "miravo: --chip takes a variant from 0 to 4, not '%s'\n", value);
            return -1;
        }
        options.chipType = value[0] - '0';
        return ++i, 1;
    }
    if (arg != "--usb-capture" && arg != "--line-capture") return 0;
    if (i + 1 >= argc || !*argv[i + 1]) {
        std::fprintf(stderr, "miravo: %s takes a file name\n", argv[i]);
        return -1;
    }
    (arg == "--usb-capture" ? options.usbCapture : options.lineCapture) = argv[++i];
    return 1;
}

bool Captures::open(const CommonOptions &options) {
    auto opened = [](auto &capture, const std::string &path, const char *what) {
        if (path.empty()) return true;
        capture = std::make_unique<std::remove_reference_t<decltype(*capture)>>(path);
        if (capture->ok()) return true;
        std::fprintf(stderr, "miravo: cannot write the %s capture '%s': %s\n", what, path.c_str(),
                     capture->error().c_str());
        capture.reset();
        return false;
    };
    return opened(usb_, options.usbCapture, "USB") && opened(line_, options.lineCapture, "line");
}

void Captures::plugInto(Options &options) {
    options.usbCapture = usb_.get();
    options.lineCapture = line_.get();
}

bool Captures::finish(uint64_t urbsSubmitted, uint64_t urbsCompleted) {
    bool ok = true;
    auto closed = [&](emu::usb::CaptureFile &file, const char *what) {
        if (file.finish()) return true;
        std::fflush(stdout);
        std::fprintf(stderr, "miravo: the %s capture '%s' is incomplete: %s\n", what, file.path().c_str(),
                     file.error().c_str());
        return false;
    };
    if (usb_) {
        const uint64_t packets = usb_->packets();
        if (closed(*usb_, "USB"))
            std::printf("usb capture: %s, %llu packets (the bus saw %llu URBs submitted, %llu completed)\n",
                        usb_->path().c_str(), static_cast<unsigned long long>(packets),
                        static_cast<unsigned long long>(urbsSubmitted), static_cast<unsigned long long>(urbsCompleted));
        else
            ok = false;
    }
    if (line_) {
        if (closed(*line_, "line"))
            std::printf("line capture: %s\n", line_->path().c_str());
        else
            ok = false;
    }
    usb_.reset();
    line_.reset();
    return ok;
}

// ---- Progress -----------------------------------------------------------------------------------------

namespace {
constexpr auto kProgressAfter = std::chrono::seconds(1);
constexpr auto kProgressEvery = std::chrono::milliseconds(250);
constexpr double kMiB = 1024.0 * 1024.0;
}  // namespace

Progress::Progress(uint64_t total, bool forced)
    : total_(total), enabled_(forced || isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()), last_(start_) {}

Progress::~Progress() { end(); }

void Progress::update(uint64_t done, int64_t emulated) {
    const auto now = std::chrono::steady_clock::now();
    if (!enabled_ || now - start_ < kProgressAfter || (shown_ && now - last_ < kProgressEvery)) return;
    last_ = now;
    shown_ = true;
    const double real = std::chrono::duration<double>(now - start_).count();
    const double rate = emulated > 0 ? done / (double(emulated) / 1e7) : 0;
    char left[32] = "?";
    if (done) {
        const long seconds = long(double(total_ - std::min(done, total_)) * real / double(done));
        std::snprintf(left, sizeof(left), "%ld:%02ld", seconds / 60, seconds % 60);
    }
    std::fprintf(stderr, "\r%.1f of %.1f MiB back, %.0f bytes/s emulated, %s left   ", done / kMiB, total_ / kMiB,
                 rate, left);
    std::fflush(stderr);
}

void Progress::end() {
    if (!shown_) return;
    shown_ = false;
    std::fprintf(stderr, "\r%*s\r", 79, "");
    std::fflush(stderr);
}

}  // namespace lab
