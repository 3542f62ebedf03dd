#include "tools/miravo/lab.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "platform/host/ntddser.h"

namespace lab {

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

NTSTATUS Bench::plug() {
    auto &pnp = machine_.service<emu::PnpManager>();
    port_ = nullptr;
    peer_.reset();
    plug_.reset();
    device_ = std::make_unique<emu::usb::SimulatedDevice>(options_.chip);
    if (!device_->pdo()) return STATUS_INSUFFICIENT_RESOURCES;  // the hub had no memory to report it
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
    device_.reset();
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
bool BytesMoved(HANDLE h, uint64_t &moved) {
    SERIALPERF_STATS stats{};
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats), &returned, nullptr))
        return Fail("IOCTL_SERIAL_GET_STATS");
    moved = uint64_t(stats.ReceivedCount) + stats.TransmittedCount;
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
bool Loop(HANDLE h, emu::Machine &machine, const Line &line, const std::vector<uint8_t> &pattern, Transfer &out) {
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
    while (ok && !(HasOverlappedIoCompleted(&wr) && HasOverlappedIoCompleted(&rd))) {
        HANDLE pending = HasOverlappedIoCompleted(&wr) ? rd.hEvent : wr.hEvent;
        if (WaitForSingleObject(pending, line.stallMs()) != WAIT_TIMEOUT) continue;
        const uint64_t before = moved;
        ok = BytesMoved(h, moved);
        if (ok && moved == before) {
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
    out.emulated = machine.now() - start;
    if (ok && out.read < size) out.emulated -= int64_t(line.silenceMs()) * 10000;  // the read's wait for more
    out.real = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    out.same = out.read == size && back == pattern;
    size_t at = 0;
    for (DWORD i = 0; i < out.read; i++, at++)
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
