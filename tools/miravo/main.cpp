// miravo: the lab. Runs the driver on the emulated machine with a simulated chip and shows what
// an application sees through the Win32 comm API.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/win32/comm.h"
#include "platform/host/ntddser.h"
#include "tools/miravo/lab.h"

using namespace win32;

namespace {

constexpr double kUnitsPerSecond = 1e7;  // the machine's clock counts 100 ns
// Full-speed USB: at most 19 bulk packets of 64 bytes in each 1 ms frame.
constexpr double kFullSpeedBulkBytesPerSecond = 19 * 64 * 1000;
constexpr unsigned kBulkInBytes = 384;  // the port's receive transfer

void Usage(FILE *out) {
    std::fputs(
        "usage: miravo [demo|bench] [options]\n"
        "\n"
        "  demo   (default) one port on a type-2 chip behind a loopback plug: opens COM3, sets\n"
        "         115200 8N1, writes a test pattern, reads it back, compares, prints statistics\n"
        "  bench  loopback payload throughput at 9600 ... 6000000 baud against the line's capacity\n"
        "\n"
        "options:\n"
        "  --bytes N   demo: size of the test pattern (default 32768)\n"
        "  --baud N    demo: the line's rate (default 115200)\n"
        "  --runs N    bench: runs per rate; the real time shown is their median (default 5)\n"
        "  -h, --help  this text\n"
        "\n"
        "Everything runs on the emulated machine's virtual clock; real time is shown beside it.\n",
        out);
}

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

bool Fail(const char *what) {
    const DWORD error = GetLastError();
    std::fflush(stdout);
    std::fprintf(stderr, "miravo: %s failed: %s (%lu)\n", what, ErrorText(error).c_str(),
                 static_cast<unsigned long>(error));
    return false;
}

constexpr DWORD kSilenceMs = 100;

struct Line {
    DWORD baud = 115200;
    BYTE byteSize = 8, parity = NOPARITY, stopBits = ONESTOPBIT;
    int bitsPerChar() const { return 1 + byteSize + (parity != NOPARITY) + (stopBits == ONESTOPBIT ? 1 : 2); }
    double charsPerSecond() const { return double(baud) / bitsPerChar(); }
};

// The rate and the line control are the two requests a line setting needs; SetCommState would
// also send the handshake, which the port does not take yet (modem control comes later).
bool Configure(HANDLE h, const Line &line) {
    SERIAL_BAUD_RATE rate{line.baud};
    SERIAL_LINE_CONTROL control{};
    control.WordLength = line.byteSize;
    control.Parity = line.parity;
    control.StopBits = line.stopBits;
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_SERIAL_SET_BAUD_RATE, &rate, sizeof(rate), nullptr, 0, &returned, nullptr))
        return Fail("IOCTL_SERIAL_SET_BAUD_RATE");
    if (!DeviceIoControl(h, IOCTL_SERIAL_SET_LINE_CONTROL, &control, sizeof(control), nullptr, 0, &returned, nullptr))
        return Fail("IOCTL_SERIAL_SET_LINE_CONTROL");
    // A read waits for its full count unless the line falls silent (data lost on the way would
    // otherwise keep it waiting for ever); writes have no total time-out.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = kSilenceMs;
    if (!SetCommTimeouts(h, &t)) return Fail("SetCommTimeouts");
    return true;
}

struct Transfer {
    DWORD written = 0, read = 0;
    bool same = false;     // every byte back, in order
    bool inOrder = false;  // what came back is the pattern with some bytes missing at most
    int64_t emulated = 0;  // 100 ns, to the last byte in (within a clock tick when some were lost)
    double real = 0;       // s
};

// Both ways at once: the read is posted first so the data goes straight into its buffer.
bool Loop(HANDLE h, emu::Machine &machine, const std::vector<uint8_t> &pattern, Transfer &out) {
    std::vector<uint8_t> back(pattern.size());
    OVERLAPPED rd{}, wr{};
    rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const DWORD size = static_cast<DWORD>(pattern.size());
    const auto realStart = std::chrono::steady_clock::now();
    const int64_t start = machine.now();
    bool ok = true;
    if (!ReadFile(h, back.data(), size, nullptr, &rd) && GetLastError() != ERROR_IO_PENDING) ok = Fail("ReadFile");
    if (ok && !WriteFile(h, pattern.data(), size, nullptr, &wr) && GetLastError() != ERROR_IO_PENDING)
        ok = Fail("WriteFile");
    if (ok && !GetOverlappedResult(h, &wr, &out.written, TRUE)) ok = Fail("the write");
    if (ok && !GetOverlappedResult(h, &rd, &out.read, TRUE)) ok = Fail("the read");
    if (!ok) {
        CancelIo(h);
        DWORD ignored;
        GetOverlappedResult(h, &rd, &ignored, TRUE);
        GetOverlappedResult(h, &wr, &ignored, TRUE);
    }
    out.emulated = machine.now() - start;
    if (ok && out.read < size) out.emulated -= int64_t(kSilenceMs) * 10000;  // the read's wait for more
    out.real = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    out.same = out.read == size && back == pattern;
    size_t at = 0;
    for (DWORD i = 0; i < out.read; i++, at++)
        while (at < pattern.size() && pattern[at] != back[i]) at++;
    out.inOrder = at <= pattern.size();
    CloseHandle(rd.hEvent);
    CloseHandle(wr.hEvent);
    return ok;
}

// The demo's machine: a type-2 chip behind a loopback plug, without the chip's line log.
lab::Options LabOptions() {
    lab::Options options;
    options.chip.keepLineLog = false;
    return options;
}

HANDLE OpenCom3() {
    HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail("CreateFile(\\\\.\\COM3)");
    return h;
}

int Demo(size_t bytes, DWORD baud) {
    const auto realStart = std::chrono::steady_clock::now();
    lab::Bench bench(LabOptions());
    if (!bench.ready()) return 1;
    std::printf("machine: driver loaded, type-2 chip behind a loopback plug plugged in as COM3\n");
    HANDLE h = OpenCom3();
    if (h == INVALID_HANDLE_VALUE) return 1;
    std::printf("COM3 opened\n");

    Line line;
    line.baud = baud;
    bool ok = Configure(h, line);
    if (ok) {
        std::printf("line: %lu baud, 8N1, no flow control\n", static_cast<unsigned long>(line.baud));
        DWORD lines = 0;
        if (GetCommModemStatus(h, &lines))
            std::printf("modem lines: CTS %s, DSR %s, RI %s, DCD %s\n", lines & MS_CTS_ON ? "on" : "off",
                        lines & MS_DSR_ON ? "on" : "off", lines & MS_RING_ON ? "on" : "off",
                        lines & MS_RLSD_ON ? "on" : "off");
        const auto pattern = lab::TestPattern(bytes);
        Transfer t;
        ok = Loop(h, bench.machine(), pattern, t);
        if (ok) {
            const double seconds = double(t.emulated) / kUnitsPerSecond;
            const double rate = t.read / seconds;
            const double capacity = std::min(line.charsPerSecond(), kFullSpeedBulkBytesPerSecond);
            std::printf("pattern: %zu bytes written, %lu read back, %s\n", bytes, static_cast<unsigned long>(t.read),
                        t.same ? "identical" : "DIFFERENT");
            std::printf("emulated time: %.3f s   real time: %.3f s\n", seconds, t.real);
            std::printf("payload throughput: %.0f bytes/s of the line's %.0f (%.1f%%)\n", rate, capacity,
                        100 * rate / capacity);
            ok = t.same;
        }
    }
    CloseHandle(h);
    const size_t left = bench.shutDown();
    std::printf("unplugged and unloaded: %zu bytes of 'COMX' pool left\n", left);
    std::printf("total real time: %.3f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count());
    if (!ok) std::printf("demo FAILED\n");
    return ok && left == 0 ? 0 : 1;
}

int BenchRates(int runs) {
    static constexpr DWORD kRates[] = {9600, 115200, 921600, 3000000, 6000000};
    std::printf("loopback, 8N1, both ways at once; capacity = min(rate / 10 bits, full-speed bulk %.0f B/s)\n",
                kFullSpeedBulkBytesPerSecond);
    std::printf("%10s %10s %12s %12s %7s %10s %10s %10s\n", "baud", "bytes", "payload B/s", "capacity", "%", "lost",
                "emulated", "real(med)");
    bool lost = false;
    for (DWORD baud : kRates) {
        Line line;
        line.baud = baud;
        // About half a second of line time each, at least 4 KiB.
        const size_t bytes = std::max<size_t>(4096, static_cast<size_t>(line.charsPerSecond() / 2));
        const auto pattern = lab::TestPattern(bytes);
        std::vector<double> reals;
        Transfer t;
        for (int run = 0; run < runs; run++) {
            lab::Bench bench(LabOptions());
            if (!bench.ready()) return 1;
            HANDLE h = OpenCom3();
            if (h == INVALID_HANDLE_VALUE) return 1;
            const bool ok = Configure(h, line) && Loop(h, bench.machine(), pattern, t);
            CloseHandle(h);
            if (!ok || !t.inOrder) {
                std::fprintf(stderr, "miravo: %lu baud: %s\n", static_cast<unsigned long>(baud),
                             ok ? "the data came back different" : "the transfer failed");
                return 1;
            }
            reals.push_back(t.real);
        }
        std::sort(reals.begin(), reals.end());
        const double seconds = double(t.emulated) / kUnitsPerSecond;
        const double rate = t.read / seconds;
        const double capacity = std::min(line.charsPerSecond(), kFullSpeedBulkBytesPerSecond);
        std::printf("%10lu %10zu %12.0f %12.0f %6.1f%% %10zu %9.3fs %9.3fs\n", static_cast<unsigned long>(baud), bytes,
                    rate, capacity, 100 * rate / capacity, bytes - t.read, seconds, reals[reals.size() / 2]);
        std::fflush(stdout);
        lost |= t.read < bytes;
    }
    if (lost)
        std::printf("lost: the chip's receive FIFO overran; the port takes received data in one %u-byte bulk IN\n"
                    "transfer per 1 ms frame, %u B/s, and without flow control nothing slows the sender\n",
                    kBulkInBytes, kBulkInBytes * 1000);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string_view job = "demo";
    size_t bytes = 32768;
    DWORD baud = 115200;
    int runs = 5;
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "demo" || arg == "bench") {
            job = arg;
        } else if (arg == "--bytes" && hasValue) {
            bytes = std::strtoul(argv[++i], nullptr, 0);
        } else if (arg == "--baud" && hasValue) {
            baud = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 0));
        } else if (arg == "--runs" && hasValue) {
            runs = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "miravo: unknown argument '%s'\n\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }
    if (bytes == 0 || runs <= 0 || baud == 0) {
        std::fprintf(stderr, "miravo: --bytes, --baud and --runs take a positive number\n");
        return 2;
    }
    return job == "bench" ? BenchRates(runs) : Demo(bytes, baud);
}
