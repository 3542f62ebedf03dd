// miravo demo and miravo bench: the data path end to end, and its throughput by rate.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/kernel/powermgr.h"
#include "emulator/win32/comm.h"
#include "platform/host/ntddser.h"
#include "tools/miravo/commands.h"
#include "tools/miravo/lab.h"

using namespace win32;

namespace {

constexpr double kUnitsPerSecond = 1e7;  // the machine's clock counts 100 ns
constexpr unsigned kBulkInBytes = 384;  // the port's receive transfer
// The port takes received data in one such transfer per frame: the bus's pace for the loop.
constexpr double kReceivePipeBytesPerSecond = kBulkInBytes * 1000.0;
constexpr size_t kFlowBenchBytes = 1 << 20;
constexpr unsigned long long kMaxBytes = 1ull << 28;  // the pattern and its copy stay in memory
// Shorter than the read's interval time-out: a longer silence would end the read, as it should.
constexpr int64_t kAsleepUnits = 50 * 10000;

void Usage(FILE *out) {
    std::fputs(
        "usage: miravo [demo|bench] [options]\n"
        "\n"
        "  demo   (default) one port on a type-2 chip behind a loopback plug: opens COM3, sets\n"
        "         115200 8N1 with SetCommState, writes a test pattern, reads it back, compares,\n"
        "         prints statistics\n"
        "  bench  loopback payload throughput at 9600 ... 6000000 baud against the line's and the\n"
        "         bus's capacity, without flow control and (3000000, 6000000: 1 MiB) with RTS/CTS\n"
        "\n"
        "options:\n"
        "  --bytes N   demo: size of the test pattern (default 32768)\n"
        "  --baud N    demo: the line's rate (default 115200); the port rounds it to its rate table,\n"
        "              and a rate it would round to 0 (below 38) is refused\n"
        "  --rtscts    demo: RTS/CTS hardware flow control (the plug wires RTS to CTS)\n"
        "  --sleep     demo: half-way through the transfer the system sleeps (S3) and wakes (S0)\n"
        "  --runs N    bench: runs per rate; the real time shown is their median (default 5)\n",
        out);
    std::fputs(lab::kCommonOptionsHelp, out);
    std::fputs(
        "  -h, --help  this text\n"
        "\n"
        "Everything runs on the emulated machine's virtual clock; real time is shown beside it.\n",
        out);
}

// The demo's machine: a chip behind a loopback plug. Nothing here reads the records (captures
// stream past them), so they keep only the last few thousand entries.
constexpr size_t kRecordCap = 4096;
lab::Options LabOptions(lab::Captures &captures, int chipType) {
    lab::Options options;
    options.chip = emu::usb::ChipConfig::Variant(chipType);
    options.chip.keepLineLog = false;
    options.bus.urbLogCap = kRecordCap;
    captures.plugInto(options);
    return options;
}

// The system sleeps a while with COM3 open and its transfers in flight, then wakes.
void SleepAndWake(lab::Bench &bench) {
    auto &power = bench.machine().service<emu::PowerManager>();
    const PDEVICE_OBJECT pdo = bench.device().pdo();
    const size_t urbs = bench.device().bus().urbLog().size();
    const NTSTATUS slept = power.sleep(pdo, PowerSystemSleeping3);
    std::printf("system: S3 half-way through the pattern (0x%08lx); port in D%lu, bus in D%d\n",
                static_cast<unsigned long>(slept), static_cast<unsigned long>(bench.port()->DevicePowerState - 1),
                int(bench.device().bus().powerState()) - 1);
    bench.machine().sleepFor(kAsleepUnits);
    const NTSTATUS woke = power.wake(pdo);
    std::printf("system: S0 after %.0f ms asleep (0x%08lx); port in D%lu, %zu URBs since the sleep began\n",
                kAsleepUnits / 1e4, static_cast<unsigned long>(woke),
                static_cast<unsigned long>(bench.port()->DevicePowerState - 1),
                bench.device().bus().urbLog().size() - urbs);
}

HANDLE OpenCom3() {
    HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) lab::Fail("CreateFile(\\\\.\\COM3)");
    return h;
}

int Demo(size_t bytes, DWORD baud, bool rtsCts, bool sleep, const lab::CommonOptions &common) {
    const auto realStart = std::chrono::steady_clock::now();
    lab::Captures captures;
    if (!captures.open(common)) return 1;
    lab::Bench bench(LabOptions(captures, common.chipType));
    if (!bench.ready()) return 1;
    std::printf("machine: driver loaded, type-%d chip behind a loopback plug plugged in as COM3\n", common.chipType);
    HANDLE h = OpenCom3();
    if (h == INVALID_HANDLE_VALUE) return 1;
    std::printf("COM3 opened\n");

    lab::Line line;
    line.baud = baud;
    line.rtsCts = rtsCts;
    bool ok = lab::Configure(h, line);
    bool refused = false;
    if (ok && line.baud == 0) {
        // The port takes any rate but rounds the lowest ones to 0, where nothing moves.
        std::fflush(stdout);
        std::fprintf(stderr, "miravo: the port does not run at %lu baud: it rounds that rate to 0, which stops the line "
                     "(ask for 38 baud or more)\n", static_cast<unsigned long>(baud));
        ok = false;
        refused = true;
    }
    if (ok) {
        std::printf("line: %lu baud", static_cast<unsigned long>(line.baud));
        if (line.baud != baud) std::printf(" (asked for %lu, rounded by the port)", static_cast<unsigned long>(baud));
        std::printf(", 8N1, %s (SetCommState)\n", rtsCts ? "RTS/CTS flow control" : "no flow control");
        DWORD lines = 0;
        if (GetCommModemStatus(h, &lines))
            std::printf("modem lines: CTS %s, DSR %s, RI %s, DCD %s\n", lines & MS_CTS_ON ? "on" : "off",
                        lines & MS_DSR_ON ? "on" : "off", lines & MS_RING_ON ? "on" : "off",
                        lines & MS_RLSD_ON ? "on" : "off");
        const auto pattern = lab::TestPattern(bytes);
        std::printf("pattern starts:");
        for (size_t i = 0; i < std::min<size_t>(bytes, 16); i++) std::printf(" %02x", pattern[i]);
        std::printf("\n");
        lab::Transfer t;
        std::function<void()> midway;
        if (sleep) midway = [&bench] { SleepAndWake(bench); };
        lab::Progress progress(bytes, common.progress);
        ok = lab::Loop(h, bench.machine(), line, pattern, t, &progress, std::move(midway));
        if (ok) {
            const double seconds = double(t.emulated) / kUnitsPerSecond;
            const double rate = t.read / seconds;
            const double capacity = std::min(line.charsPerSecond(), kReceivePipeBytesPerSecond);
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
    if (!captures.finish(bench.urbsSubmitted(), bench.urbsCompleted())) ok = false;
    std::printf("total real time: %.3f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count());
    if (refused) return 2;
    if (!ok) std::printf("demo FAILED\n");
    return ok && left == 0 ? 0 : 1;
}

int BenchRates(int runs, const lab::CommonOptions &common) {
    lab::Captures captures;
    if (!captures.open(common)) return 1;
    uint64_t submitted = 0, completed = 0;
    struct Row {
        DWORD baud;
        bool rtsCts;
    };
    static constexpr Row kRows[] = {{9600, false},   {115200, false}, {921600, false}, {3000000, false},
                                    {6000000, false}, {3000000, true}, {6000000, true}};
    std::printf("loopback, 8N1, both ways at once; line = rate / 10 bits, bus = one %u-byte receive transfer\n"
                "per 1 ms frame (%.0f B/s); %% of the lower of the two\n",
                kBulkInBytes, kReceivePipeBytesPerSecond);
    std::printf("%10s %7s %8s %12s %10s %10s %7s %8s %9s %9s\n", "baud", "flow", "bytes", "payload B/s", "line",
                "bus", "%", "lost", "emulated", "real(med)");
    bool lost = false;
    for (const Row &row : kRows) {
        lab::Line line;
        line.baud = row.baud;
        line.rtsCts = row.rtsCts;
        // About half a second of line time each, at least 4 KiB; a mebibyte with flow control.
        const size_t bytes =
            row.rtsCts ? kFlowBenchBytes : std::max<size_t>(4096, static_cast<size_t>(line.charsPerSecond() / 2));
        const auto pattern = lab::TestPattern(bytes);
        std::vector<double> reals;
        lab::Transfer t;
        for (int run = 0; run < runs; run++) {
            lab::Bench bench(LabOptions(captures, common.chipType));
            if (!bench.ready()) return 1;
            HANDLE h = OpenCom3();
            if (h == INVALID_HANDLE_VALUE) return 1;
            lab::Progress progress(bytes, common.progress);
            const bool ok = lab::Configure(h, line) && lab::Loop(h, bench.machine(), line, pattern, t, &progress);
            CloseHandle(h);
            bench.shutDown();
            submitted += bench.urbsSubmitted();
            completed += bench.urbsCompleted();
            if (!ok || !t.inOrder || (row.rtsCts && !t.same)) {
                std::fprintf(stderr, "miravo: %lu baud%s: %s\n", static_cast<unsigned long>(row.baud),
                             row.rtsCts ? " with RTS/CTS" : "",
                             ok ? "the data came back different" : "the transfer failed");
                return 1;
            }
            reals.push_back(t.real);
        }
        std::sort(reals.begin(), reals.end());
        const double seconds = double(t.emulated) / kUnitsPerSecond;
        const double rate = t.read / seconds;
        const double capacity = std::min(line.charsPerSecond(), kReceivePipeBytesPerSecond);
        std::printf("%10lu %7s %8zu %12.0f %10.0f %10.0f %6.1f%% %8zu %8.3fs %8.3fs\n",
                    static_cast<unsigned long>(row.baud), row.rtsCts ? "RTS/CTS" : "none", bytes, rate, line.charsPerSecond(), kReceivePipeBytesPerSecond,
                    100 * rate / capacity, bytes - t.read, seconds, reals[reals.size() / 2]);
        std::fflush(stdout);
        lost |= t.read < bytes;
    }
    if (lost)
        std::printf("lost: the chip's 512-byte receive FIFO overran; the port takes received data in one %u-byte\n"
                    "bulk IN transfer per 1 ms frame, %.0f B/s, and without flow control nothing slows the sender;\n"
                    "with RTS/CTS the chip lowers RTS at three quarters full and holds its transmitter on CTS\n",
                    kBulkInBytes, kReceivePipeBytesPerSecond);
    return captures.finish(submitted, completed) ? 0 : 1;
}

}  // namespace

namespace miravo {

// argv[0] is the command; options may come in any order.
static int DemoOrBench(std::string_view job, int argc, char **argv) {
    size_t bytes = 32768;
    DWORD baud = 115200;
    int runs = 5;
    bool rtsCts = false, sleep = false;
    lab::CommonOptions common;
    for (int i = 1; i < argc; i++) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (const int taken = lab::ParseCommonOption(argc, argv, i, common)) {
            if (taken < 0) return 2;
        } else if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "--rtscts") {
            rtsCts = true;
        } else if (arg == "--sleep") {
            sleep = true;
        } else if ((arg == "--bytes" || arg == "--baud" || arg == "--runs") && hasValue) {
            const unsigned long long max = arg == "--bytes" ? kMaxBytes : arg == "--baud" ? 0xFFFFFFFFull : 1000;
            unsigned long long value = 0;
            if (!Number(argv[++i], max, value)) {
                std::fprintf(stderr, "miravo: %s takes a number from 1 to %llu, not '%s'\n", argv[i - 1], max, argv[i]);
                return 2;
            }
            if (arg == "--bytes") bytes = size_t(value);
            if (arg == "--baud") baud = DWORD(value);
            if (arg == "--runs") runs = int(value);
        } else {
            std::fprintf(stderr, "miravo: unknown argument '%s'\n\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }
    return job == "bench" ? BenchRates(runs, common) : Demo(bytes, baud, rtsCts, sleep, common);
}

int DemoCommand(int argc, char **argv) { return DemoOrBench("demo", argc, argv); }
int BenchCommand(int argc, char **argv) { return DemoOrBench("bench", argc, argv); }

}  // namespace miravo
