// The chip pulled out at every instant of a session, on a grid finer than a USB frame: every
// request ends once with a status, the handle closes, and a new chip comes back as COM3.
#include <atomic>

#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/powermgr.h"
#include "tests/faults/session.h"

namespace faults {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t kStep = 29000;  // 2.9 ms
#else
constexpr int64_t kStep = 3700;  // 0.37 ms: no multiple of the frame, so the instants walk through it
#endif

enum Phase { Opening, Setting, Moving, Sleeping, Waking, Closing, After, kPhases };
const char *const kPhaseNames[kPhases] = {"open", "settings", "data", "sleep", "wake", "close", "after close"};

struct Grid {
    std::map<std::string, uint64_t> outcomes;  // "write cancelled" -> runs
    uint64_t instants[kPhases] = {};
};

// One session with the chip pulled out at `at` (100 ns from the start; -1: never). Returns when
// each phase began, for the baseline.
std::vector<int64_t> Session(int64_t at, Grid *grid) {
    lab::Bench bench({.chip = port_test::Chip(1)});  // 256-byte chunks: a write of several
    EXPECT_TRUE(bench.ready());
    auto &machine = bench.machine();
    const int64_t t0 = machine.now();
    std::vector<int64_t> phases;
    auto phase = [&] { phases.push_back(machine.now() - t0); };
    std::atomic<bool> pulled{false};
    emu::Thread puller;
    if (at >= 0) {
        puller = emu::Thread(
            [&] {
                machine.sleepFor(at);
                bench.device().bus().unplug();
                pulled = true;
                EXPECT_EQ(machine.service<emu::PnpManager>().surpriseRemove(bench.device().pdo()), STATUS_SUCCESS);
            },
            "puller");
    }

    // A Win32 error per request: refused at once, or its final status.
    auto tally = [&](const char *what, DWORD error) {
        if (grid) grid->outcomes[std::string(what) + " " + ErrorName(error)]++;
        EXPECT_NE(error, ERROR_IO_PENDING) << what << " never completed";
        EXPECT_NE(error, ERROR_MR_MID_NOT_FOUND) << what << " ended with a status that has no meaning";
        // Nothing ran short of memory here: a device that went must not be reported as that.
        EXPECT_NE(error, ERROR_NO_SYSTEM_RESOURCES) << what;
        EXPECT_NE(error, ERROR_NOT_ENOUGH_MEMORY) << what;
        if (!pulled) {
            EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_OPERATION_ABORTED) << what << ": " << ErrorName(error);
        }
    };
    auto ended = [&](Overlapped &o) {
        return o.ov.Internal == ULONG_PTR(-1) ? DWORD(o.ov.Offset) : RtlNtStatusToDosError(o.status());
    };
    phase();
    HANDLE h = OpenCom3();
    tally("open", ErrorOf(h != INVALID_HANDLE_VALUE));
    if (h != INVALID_HANDLE_VALUE) {
        phase();
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(h, &dcb);
        dcb.BaudRate = 115200, dcb.ByteSize = 8, dcb.Parity = NOPARITY, dcb.StopBits = ONESTOPBIT;
        SetCommState(h, &dcb);
        COMMTIMEOUTS none{};
        SetCommTimeouts(h, &none);
        SetCommMask(h, EV_BREAK);  // never raised here: the wait is held until the close
        phase();
        Overlapped read, write, wait;
        std::vector<uint8_t> in(2000), out = lab::TestPattern(900);
        DWORD events = 0;
        // Refused at once: the error is kept where the status would be.
        auto issued = [&](BOOL done, Overlapped &o) {
            if (!done && GetLastError() != ERROR_IO_PENDING) {
                o.ov.Offset = GetLastError();
                o.ov.Internal = ULONG_PTR(-1);
                SetEvent(o.ov.hEvent);
            }
        };
        issued(ReadFile(h, in.data(), DWORD(in.size()), nullptr, &read.ov), read);
        issued(WaitCommEvent(h, &events, &wait.ov), wait);
        issued(WriteFile(h, out.data(), DWORD(out.size()), nullptr, &write.ov), write);
        std::atomic<bool> flushed{false};
        DWORD flush = ERROR_IO_PENDING;
        emu::Thread flusher([&] { flush = ErrorOf(FlushFileBuffers(h)), flushed = true; }, "flusher");
        WaitForSingleObject(write.ov.hEvent, 2000);
        flusher.join();
        EXPECT_TRUE(flushed);
        tally("flush", flush);
        // S3 and back with the read and the wait held and a write in flight. Each device power
        // request waits a while at the bus, so that instants land while it is there too.
        Overlapped more;
        issued(WriteFile(h, out.data(), 300, nullptr, &more.ov), more);
        auto &power = machine.service<emu::PowerManager>();
        auto &bus = bench.device().bus();
        auto transition = [&](const char *what, auto go) {
            phase();
            bus.holdDevicePower(true);
            std::atomic<bool> over{false};
            emu::Thread releaser(
                [&] {
                    while (!over && !bus.holdingDevicePower()) machine.sleepFor(1000);
                    if (!over) machine.sleepFor(30000);
                    bus.holdDevicePower(false);
                },
                "releaser");
            const NTSTATUS status = go();
            over = true;
            releaser.join();
            tally(what, RtlNtStatusToDosError(status));
        };
        transition("sleep", [&] { return power.sleep(bench.device().pdo(), PowerSystemSleeping3); });
        transition("wake", [&] { return power.wake(bench.device().pdo()); });
        WaitForSingleObject(more.ov.hEvent, 2000);
        tally("write over sleep", ended(more));
        phase();
        // The read and the wait are still held: the close takes them back.
        EXPECT_TRUE(CloseHandle(h));
        for (auto *o : {&read, &write, &wait}) WaitForSingleObject(o->ov.hEvent, 1000);
        tally("read", ended(read));
        tally("write", ended(write));
        tally("wait", ended(wait));
        if (write.status() == STATUS_SUCCESS) { EXPECT_EQ(write.ov.InternalHigh, out.size()); }
    }
    phase();
    if (puller.joinable()) puller.join();
    if (pulled) {
        EXPECT_EQ(machine.service<emu::PnpManager>().finishSurpriseRemoval(bench.device().pdo()), STATUS_SUCCESS);
        EXPECT_EQ(bench.replug(), STATUS_SUCCESS);
        // The same name, and a port that works.
        HANDLE again = OpenCom3();
        EXPECT_NE(again, INVALID_HANDLE_VALUE) << "COM3 after re-plug";
        if (again != INVALID_HANDLE_VALUE) {
            lab::Line line;
            lab::Transfer moved;
            EXPECT_TRUE(lab::Configure(again, line));
            EXPECT_TRUE(lab::Loop(again, machine, line, lab::TestPattern(64), moved));
            EXPECT_TRUE(moved.same);
            EXPECT_TRUE(CloseHandle(again));
        }
    }
    EXPECT_EQ(bench.shutDown(), 0u) << "bytes of 'COMX' pool left";
    return phases;
}

TEST(Unplug, AtAnyInstantOfASessionEveryRequestEndsAndTheSameComNameComesBack) {
    const std::vector<int64_t> phases = Session(-1, nullptr);
    ASSERT_EQ(phases.size(), size_t(kPhases));
    const int64_t end = phases.back() + 20000;  // and a little after
    Grid grid;
    for (int64_t at = 0; at <= end; at += kStep) {
        SCOPED_TRACE("pulled out at " + std::to_string(at / 1e4) + " ms");
        int p = 0;
        while (p + 1 < kPhases && at >= phases[p + 1]) p++;
        grid.instants[p]++;
        Session(at, &grid);
    }
    std::printf("unplug grid: every %.2f ms over %.1f ms; instants by phase:", kStep / 1e4, end / 1e4);
    for (int p = 0; p < kPhases; p++) std::printf(" %s %llu", kPhaseNames[p], (unsigned long long)grid.instants[p]);
    std::printf("\n");
    for (const auto &[what, n] : grid.outcomes) std::printf("  %-32s %llu\n", what.c_str(), (unsigned long long)n);
}

}  // namespace
}  // namespace faults
