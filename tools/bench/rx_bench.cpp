// The driver's receive cost: one bulk IN completion of 384 bytes through the receive rules of an
// open port, in nanoseconds per byte and spin-lock acquisitions per completion, beside a plain
// copy of the same bytes into a ring measured in the same run. Medians over several runs.
//
//   rx_bench [--runs N] [--iterations N] [--case NAME]
//
// Cases: plain (nothing special in the data), masked (7-bit data), escaped (the escape character
// every 32nd byte, so every 32nd byte takes the per-character rules).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "emulator/kernel/thread_state.h"
#include "receive/receive.h"
#include "tools/miravo/lab.h"

namespace {

constexpr ULONG kCompletionBytes = 384;  // the port's bulk IN transfer
constexpr size_t kBaselineRing = 4096;

struct Case {
    const char *name;
    UCHAR dataMask;
    UCHAR escapeChar;
    int escapeEvery;  // 0: never
};
const Case kCases[] = {
    {"plain", 0xFF, 0, 0},
    {"masked", 0x7F, 0, 0},
    {"escaped", 0xFF, 0x1B, 32},
};

struct Figures {
    double nsPerByte = 0;
    double locksPerCompletion = 0;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

using Clock = std::chrono::steady_clock;

double Ns(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

// Printable bytes, with the case's escape characters placed where it says.
std::vector<UCHAR> Payload(const Case &c) {
    std::vector<UCHAR> bytes(kCompletionBytes);
    for (ULONG i = 0; i < kCompletionBytes; i++) bytes[i] = UCHAR(0x20 + i % 90);
    if (c.escapeEvery)
        for (ULONG i = c.escapeEvery - 1; i < kCompletionBytes; i += c.escapeEvery) bytes[i] = c.escapeChar;
    return bytes;
}

template <class F> void WithControlLock(PortExtension *port, F f) {
    KIRQL irql;
    KeAcquireSpinLock(&port->ControlLock, &irql);
    f();
    KeReleaseSpinLock(&port->ControlLock, irql);
}

// One run: `iterations` completions into an emptied ring, as the bulk IN completion calls them.
Figures DriverRun(PortExtension *port, const std::vector<UCHAR> &payload, int iterations) {
    std::vector<UCHAR> buffer(payload.size());
    Clock::duration spent{};
    uint64_t locks = 0;
    for (int i = 0; i < iterations; i++) {
        PurgeRing(port);
        std::memcpy(buffer.data(), payload.data(), payload.size());
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        uint64_t before = emu::Self().lockAcquisitions;
        auto start = Clock::now();
        ReceiveBytes(port, buffer.data(), kCompletionBytes);
        spent += Clock::now() - start;
        locks += emu::Self().lockAcquisitions - before;
        KeLowerIrql(old);
    }
    return {Ns(spent) / (double(iterations) * kCompletionBytes), double(locks) / iterations};
}

double BaselineRun(const std::vector<UCHAR> &payload, int iterations) {
    std::vector<UCHAR> ring(kBaselineRing);
    size_t put = 0;
    Clock::duration spent{};
    for (int i = 0; i < iterations; i++) {
        auto start = Clock::now();
        size_t first = std::min(payload.size(), ring.size() - put);
        std::memcpy(ring.data() + put, payload.data(), first);
        std::memcpy(ring.data(), payload.data() + first, payload.size() - first);
        put = (put + payload.size()) % ring.size();
        spent += Clock::now() - start;
    }
    // Keeps the copies from being optimised away.
    volatile UCHAR sink = ring[put];
    (void)sink;
    return Ns(spent) / (double(iterations) * kCompletionBytes);
}

int Usage() {
    std::fputs("usage: rx_bench [--runs N] [--iterations N] [--case plain|masked|escaped]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 7, iterations = 2000;
    std::string only;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--runs" || a == "--iterations" || a == "--case") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--case") {
                only = v;
                continue;
            }
            int n = std::atoi(v.c_str());
            if (n <= 0) return Usage();
            (a == "--runs" ? runs : iterations) = n;
        } else {
            return Usage();
        }
    }

    lab::Options options;
    options.farEnd = lab::FarEnd::Nothing;
    options.chip.keepLineLog = false;
    lab::Bench bench(options);
    if (!bench.ready()) return 1;
    HANDLE h = win32::CreateFileA("\\\\.\\COM3", win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                                  win32::OPEN_EXISTING, 0, nullptr);
    if (h == win32::INVALID_HANDLE_VALUE) return lab::Fail("CreateFile(\\\\.\\COM3)"), 1;
    PortExtension *port = bench.port();

    std::printf("receive path, one bulk IN completion of %lu bytes, median of %d runs of %d completions\n",
                (unsigned long)kCompletionBytes, runs, iterations);
    std::printf("%-8s %12s %12s %8s %14s\n", "case", "driver ns/B", "copy ns/B", "ratio", "locks/compl.");
    bool any = false;
    for (const Case &c : kCases) {
        if (!only.empty() && only != c.name) continue;
        any = true;
        WithControlLock(port, [&] {
            port->ValidDataMask = c.dataMask;
            port->EscapeChar = c.escapeChar;
        });
        std::vector<UCHAR> payload = Payload(c);
        std::vector<double> driver, copy, locks;
        for (int r = 0; r < runs; r++) {
            Figures f = DriverRun(port, payload, iterations);
            driver.push_back(f.nsPerByte);
            locks.push_back(f.locksPerCompletion);
            copy.push_back(BaselineRun(payload, iterations));
        }
        double d = Median(driver), b = Median(copy);
        std::printf("%-8s %12.2f %12.3f %8.0f %14.1f\n", c.name, d, b, b > 0 ? d / b : 0.0, Median(locks));
    }
    PurgeRing(port);
    win32::CloseHandle(h);
    if (!any) return Usage();
    return 0;
}
