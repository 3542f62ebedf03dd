// The emulator's own cost: a loopback through the whole machine (driver, bus, chip, plug) at
// several rates on the virtual clock, and how many ports the machine keeps up with on the real
// clock. Prints medians of several runs.
//
//   emu_bench                      both tables
//   emu_bench loop [runs]          real seconds per emulated second at 115200, 921600, 3000000
//   emu_bench once BAUD BYTES      one loopback (for scripts/bench-emu-callgrind)
//   emu_bench ports [seconds]      the largest N of 115200-baud loopbacks kept in real time
//   emu_bench ports SECONDS N      N of them only
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "tools/miravo/lab.h"

using namespace win32;

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

HANDLE OpenPort(const std::string &name) {
    const std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) lab::Fail(("CreateFile(" + path + ")").c_str());
    return h;
}

// One loopback of `bytes` at `baud` on a fresh machine (virtual clock).
bool LoopOnce(DWORD baud, size_t bytes, lab::Transfer &t) {
    lab::Options options;
    options.chip.keepLineLog = false;
    lab::Bench bench(std::move(options));
    if (!bench.ready()) return false;
    HANDLE h = OpenPort("COM3");
    if (h == INVALID_HANDLE_VALUE) return false;
    lab::Line line;
    line.baud = baud;
    const bool ok = lab::Configure(h, line) && lab::Loop(h, bench.machine(), line, lab::TestPattern(bytes), t);
    CloseHandle(h);
    return ok && t.same;
}

int LoopTable(int runs) {
    std::printf("loopback, virtual clock, median of %d runs\n", runs);
    std::printf("%10s %10s %12s %14s %14s\n", "baud", "bytes", "emulated s", "real s/emu s", "emu s/real s");
    for (DWORD baud : {115200u, 921600u, 3000000u}) {
        // About four emulated seconds at the lowest rate, one MiB at the others.
        const size_t bytes = baud == 115200 ? 46080 : 1 << 20;
        std::vector<double> ratio;
        double emulated = 0;
        for (int i = 0; i < runs; i++) {
            lab::Transfer t;
            if (!LoopOnce(baud, bytes, t)) {
                std::fprintf(stderr, "emu_bench: the loopback at %lu baud failed\n", static_cast<unsigned long>(baud));
                return 1;
            }
            emulated = double(t.emulated) / 1e7;
            ratio.push_back(t.real / emulated);
        }
        const double m = Median(ratio);
        std::printf("%10lu %10zu %12.3f %14.5f %14.1f\n", static_cast<unsigned long>(baud), bytes, emulated, m, 1 / m);
    }
    return 0;
}

// N chips, each behind its own loopback plug, on one machine on the real clock.
class Ports {
public:
    explicit Ports(int n) : machine_(Config()) {
        auto &io = machine_.service<emu::IoManager>();
        auto &pnp = machine_.service<emu::PnpManager>();
        if (io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver_) != STATUS_SUCCESS) return;
        for (int i = 0; i < n; i++) {
            emu::usb::ChipConfig chip = emu::usb::ChipConfig::Variant(2);
            chip.keepLineLog = false;
            devices_.push_back(std::make_unique<emu::usb::SimulatedDevice>(std::move(chip)));
            auto &d = *devices_.back();
            const std::u16string instance =
                pnp.queryId(d.pdo(), BusQueryDeviceID) + u"\\" + pnp.queryId(d.pdo(), BusQueryInstanceID);
            const std::string name = "COM" + std::to_string(3 + i);
            machine_.service<emu::Registry>().SetString(
                std::u16string(emu::Registry::kEnumPath) + u"\\" + instance + u"\\Device Parameters", u"PortName",
                std::u16string(name.begin(), name.end()));
            plugs_.push_back(std::make_unique<emu::usb::Loopback>(d.chip()));
            if (pnp.plugIn(driver_, d.pdo()) != STATUS_SUCCESS) return;
        }
        ready_ = true;
    }
    ~Ports() {
        for (auto &d : devices_)
            if (d->bus().plugged()) machine_.service<emu::PnpManager>().remove(d->pdo());
        plugs_.clear();
        devices_.clear();
        if (driver_) machine_.service<emu::IoManager>().unloadDriver(driver_);
    }
    bool ready() const { return ready_; }
    emu::Machine &machine() { return machine_; }
    emu::usb::BridgeChip &chip(int i) { return devices_[size_t(i)]->chip(); }

private:
    static emu::MachineConfig Config() {
        emu::MachineConfig c;
        c.virtualClock = false;
        return c;
    }
    emu::Machine machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<emu::usb::SimulatedDevice>> devices_;
    std::vector<std::unique_ptr<emu::usb::Loopback>> plugs_;
    bool ready_ = false;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Where the bytes of a port that did not get its data back whole went, summed over the ports.
struct Losses {
    int ports = 0;                     // ports that did not get every byte back in order
    uint64_t missing = 0;              // bytes written that the read did not return
    uint64_t chipOverrun = 0;          // dropped by a full receive FIFO
    uint64_t chipStopped = 0;          // dropped by a stopped receiver
    uint64_t overrunReports = 0;       // the driver's SerialOverrunErrorCount
    uint64_t bufferOverruns = 0;       // the driver's BufferOverrunErrorCount
    uint64_t leftInRing = 0;           // arrived after the read had ended
    bool garbled = false;              // a byte came back that was not the next one sent
    bool failed = false;               // a call failed or a port stalled
    // Every missing byte dropped by the chip (and reported as an overrun), overflowed the ring
    // (and counted) or still waiting in the ring: the host could not keep up, nothing was lost
    // unseen.
    bool accounted() const {
        return !garbled && !failed && chipStopped == 0 && missing <= chipOverrun + bufferOverruns + leftInRing &&
               (chipOverrun == 0 || overrunReports > 0);
    }
};

struct PortsFigures {
    double worst = -1, median = -1;  // shares of the line's capacity; -1: a port lost or reordered data
    double real = 0, cpu = 0;        // s, from the first open to the last close
    Losses losses;
};

// What a port that lost data knows of it, read before its handle closes.
void AddLosses(HANDLE h, const lab::Transfer &t, size_t bytes, const emu::usb::BridgeChip::Losses &chip,
               Losses &l) {
    l.ports++;
    l.missing += bytes - std::min<size_t>(bytes, t.read);
    l.chipOverrun += chip.overrun;
    l.chipStopped += chip.stopped;
    l.garbled |= !t.inOrder;
    SERIALPERF_STATS stats{};
    DWORD returned = 0, errors = 0;
    COMSTAT comstat{};
    if (!DeviceIoControl(h, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof(stats), &returned, nullptr) ||
        !ClearCommError(h, &errors, &comstat)) {
        l.failed = true;
        return;
    }
    l.overrunReports += stats.SerialOverrunErrorCount;
    l.bufferOverruns += stats.BufferOverrunErrorCount;
    l.leftInRing += comstat.cbInQue;
}

PortsFigures PortsRun(int n, double seconds) {
    PortsFigures f;
    Ports ports(n);
    if (!ports.ready()) return f;
    lab::Line line;
    const size_t bytes = size_t(line.charsPerSecond() * seconds);
    std::vector<lab::Transfer> results(static_cast<size_t>(n));
    std::vector<int> ok(static_cast<size_t>(n), 0);
    std::mutex lossLock;
    const auto realStart = std::chrono::steady_clock::now();
    const double cpuStart = CpuSeconds();
    {
        std::vector<emu::Thread> threads;
        for (int i = 0; i < n; i++)
            threads.emplace_back(
                [&, i] {
                    HANDLE h = OpenPort("COM" + std::to_string(3 + i));
                    if (h == INVALID_HANDLE_VALUE) return;
                    lab::Line l;
                    lab::Transfer &t = results[size_t(i)];
                    const bool ran = lab::Configure(h, l) && lab::Loop(h, ports.machine(), l, lab::TestPattern(bytes), t);
                    ok[size_t(i)] = ran && t.same;
                    if (!ok[size_t(i)]) {
                        const auto chip = ports.chip(i).losses();
                        std::lock_guard g(lossLock);
                        f.losses.failed |= !ran;
                        AddLosses(h, t, bytes, chip, f.losses);
                    }
                    CloseHandle(h);
                },
                "port" + std::to_string(i));
        for (auto &t : threads) t.join();
    }
    f.real = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    f.cpu = CpuSeconds() - cpuStart;
    std::vector<double> shares;
    if (f.losses.ports) return f;
    for (int i = 0; i < n; i++) {
        shares.push_back(bytes / (double(results[size_t(i)].emulated) / 1e7) / line.charsPerSecond());
    }
    f.worst = *std::min_element(shares.begin(), shares.end());
    f.median = Median(shares);
    return f;
}

// A run that lost data: overload (every missing byte seen and counted on its way out) or a fault.
std::string Verdict(const Losses &l) {
    using ull = unsigned long long;
    char text[320];
    std::snprintf(text, sizeof text,
                  "%s: %d ports short of %llu bytes; the chip's FIFO overran by %llu (%llu overrun reports), the ring "
                  "by %llu, %llu came after the read ended%s%s%s",
                  l.accounted() ? "overloaded" : "LOST UNSEEN", l.ports, ull(l.missing), ull(l.chipOverrun),
                  ull(l.overrunReports), ull(l.bufferOverruns), ull(l.leftInRing),
                  l.chipStopped ? ", some reached a stopped receiver" : "", l.garbled ? ", some out of order" : "",
                  l.failed ? ", a call failed or a port stalled" : "");
    return text;
}

// The median run by its worst port; its cores are the process's CPU time over the run's real time.
bool PortsKeepUp(int n, double seconds, int runs) {
    std::vector<PortsFigures> all;
    for (int i = 0; i < runs; i++) all.push_back(PortsRun(n, seconds));
    std::sort(all.begin(), all.end(), [](const PortsFigures &a, const PortsFigures &b) { return a.worst < b.worst; });
    const PortsFigures &m = all[all.size() / 2];
    double load = 0;
    getloadavg(&load, 1);
    std::printf("%6d %12.4f %12.4f %8.2f %10.2f %8.2f %s\n", n, m.worst, m.median, m.real > 0 ? m.cpu / m.real : 0,
                m.cpu * 1000 / (n * seconds), load,
                m.worst >= 0.99 ? "kept up" : m.worst < 0 ? Verdict(m.losses).c_str() : "fell behind");
    std::fflush(stdout);
    return m.worst >= 0.99;
}

int PortsTable(double seconds, int runs) {
    std::printf("ports at 115200 full duplex, real clock, %.1f s each, median of %d runs\n", seconds, runs);
    std::printf("%6s %12s %12s %8s %10s %8s\n", "ports", "worst share", "median share", "cores", "cpu ms/s", "load");
    int good = 0, bad = 0;
    for (int n = 1; !bad; n *= 2) {
        if (PortsKeepUp(n, seconds, runs))
            good = n;
        else
            bad = n;
        if (n >= 512) break;
    }
    while (bad && bad - good > 1) {
        const int mid = (good + bad) / 2;
        (PortsKeepUp(mid, seconds, runs) ? good : bad) = mid;
    }
    std::printf("largest N kept in real time: %d\n", good);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "once" && argc == 4) {
        lab::Transfer t;
        if (!LoopOnce(DWORD(std::strtoul(argv[2], nullptr, 10)), std::strtoul(argv[3], nullptr, 10), t)) return 1;
        std::printf("emulated %.3f s, real %.3f s\n", double(t.emulated) / 1e7, t.real);
        return 0;
    }
    if (mode == "loop") return LoopTable(argc > 2 ? std::atoi(argv[2]) : 5);
    if (mode == "ports" && argc == 4) return !PortsKeepUp(std::atoi(argv[3]), std::atof(argv[2]), 3);
    if (mode == "ports") return PortsTable(argc > 2 ? std::atof(argv[2]) : 3.0, 3);
    if (mode.empty()) return LoopTable(5) || PortsTable(3.0, 3);
    std::fprintf(stderr, "usage: emu_bench [loop [runs] | once BAUD BYTES | ports [seconds [N]]]\n");
    return 2;
}
