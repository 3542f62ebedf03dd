// The soak: the stress test's actors (data both ways with cancels and time-outs, purges, line
// pulses, breaks, handshake and wait-mask changes) on COM3 in rounds, each round ended by removing
// the chip — in order after the close, or pulled out with the handle still open — and plugging a
// new one in. Every round's requests and bytes are accounted for as in the stress test; the pool
// returns to the same level after every removal and to nothing at the end.
//   soak [--ops N] [--round N] [--seed N]     (defaults: 20000 operations, rounds of 5000)
#include <cstdio>
#include <cstring>
#include <string>

#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "tests/port/stress_actors.h"

namespace {

using namespace port_test;
using namespace port_test::stress;

uint64_t gOps = 20000, gRound = 5000, gSeed = 0x50A4;

struct Totals {
    uint64_t rounds = 0, pulled = 0, ops = 0, writes = 0, reads = 0, waits = 0, masks = 0, purges = 0, timeouts = 0;
    uint64_t lines = 0, breaks = 0, handshakes = 0, cancels = 0;
    uint64_t writeStatus[3] = {}, readStatus[3] = {}, waitStatus[3] = {};
    uint64_t wire = 0, received = 0, dropped = 0, read = 0;

    void add(const Tally &t, const Oracle &o, size_t readBytes) {
        rounds++;
        ops += t.ops, writes += t.writes, reads += t.reads, waits += t.waits, masks += t.masks, purges += t.purges;
        timeouts += t.timeouts, lines += t.lines, breaks += t.breaks, handshakes += t.handshakes;
        cancels += t.writeCancels + t.readCancels + t.waitCancels;
        for (int k = 0; k < 3; k++) {
            writeStatus[k] += t.writeStatus[k] + t.longWriteStatus[k];
            readStatus[k] += t.readStatus[k];
            waitStatus[k] += t.waitStatus[k];
        }
        wire += o.wire.size(), received += o.received.size(), dropped += o.dropped, read += readBytes;
    }
    void print(double emulated) const {
        auto u = [](uint64_t v) { return (unsigned long long)v; };
        std::printf("soak: %llu rounds (%llu pulled out with the port open, the rest removed in order), %llu operations, "
                    "%.1f s emulated\n",
                    u(rounds), u(pulled), u(ops), emulated);
        std::printf("  requests: writes %llu (ok %llu, timed out %llu, cancelled %llu), reads %llu (ok %llu, timed out "
                    "%llu, cancelled %llu), waits %llu (ok %llu, cancelled %llu)\n",
                    u(writes), u(writeStatus[0]), u(writeStatus[1]), u(writeStatus[2]), u(reads), u(readStatus[0]),
                    u(readStatus[1]), u(readStatus[2]), u(waits), u(waitStatus[0]), u(waitStatus[2]));
        std::printf("  controls: masks %llu, purges %llu, time-outs %llu, line pulses %llu, breaks %llu, handshakes "
                    "%llu, CancelIo %llu\n",
                    u(masks), u(purges), u(timeouts), u(lines), u(breaks), u(handshakes), u(cancels));
        std::printf("  bytes: on the wire %llu, back at the chip %llu, dropped by the chip %llu (lost nowhere else), "
                    "read %llu\n",
                    u(wire), u(received), u(dropped), u(read));
    }
};

TEST(Soak, RoundsOfStressEachEndedByARemovalAccountForEveryRequestByteAndAllocation) {
    lab::Options options;
    options.machine.processors = 2;
    options.machine.noiseSeed = gSeed;
    options.chip = emu::usb::ChipConfig::Variant(1);
    lab::Bench bench(options);
    ASSERT_TRUE(bench.ready());
    auto &pool = bench.machine().service<emu::Pool>();
    auto &pnp = bench.machine().service<emu::PnpManager>();
    Totals totals;
    size_t rest = SIZE_MAX;  // 'COMX' bytes with no port: the driver's own
    for (uint64_t round = 0; totals.ops < gOps; round++) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(gSeed));
        HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "COM3 after re-plug";
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = kRate, dcb.ByteSize = 8, dcb.Parity = NOPARITY, dcb.StopBits = ONESTOPBIT;
        ASSERT_TRUE(SetCommState(h, &dcb));
        COMMTIMEOUTS none{};
        ASSERT_TRUE(SetCommTimeouts(h, &none));

        Shared run(h, gSeed + round, std::min(gRound, gOps - totals.ops));
        Writer writer(run);
        Reader reader(run);
        Controller controller(run, bench);
        Watcher watcher(run);
        {
            emu::Thread w(std::ref(writer), "writer"), r(std::ref(reader), "reader"),
                c(std::ref(controller), "controller"), e(std::ref(watcher), "watcher");
            w.join(), r.join(), c.join(), e.join();
        }
        for (const auto &f : run.faults.list()) ADD_FAILURE() << f;
        ASSERT_EQ(run.faults.count(), 0u);
        Sleep(200);  // disowned chunks land before the wire is read
        Oracle oracle(bench.chip().lineLog());
        oracle.checkWire(writer.writes);
        oracle.checkReadBack(reader.readBack);
        totals.add(run.tally, oracle, reader.readBack.size());

        if (round % 2) {
            bench.device().bus().unplug();
            ASSERT_EQ(pnp.surpriseRemove(bench.device().pdo()), STATUS_SUCCESS);
            ASSERT_TRUE(CloseHandle(h));
            ASSERT_EQ(pnp.finishSurpriseRemoval(bench.device().pdo()), STATUS_SUCCESS);
            totals.pulled++;
        } else {
            ASSERT_TRUE(CloseHandle(h));
            ASSERT_EQ(pnp.remove(bench.device().pdo()), STATUS_SUCCESS);
            bench.device().bus().unplug();  // and then out of its socket
        }
        const size_t now = pool.bytesInUse(MIRAVO_POOL_TAG);
        if (rest == SIZE_MAX) rest = now;
        ASSERT_EQ(now, rest) << "'COMX' bytes after the removal";
        ASSERT_EQ(bench.replug(), STATUS_SUCCESS);
        if (totals.rounds % 20 == 0) std::fprintf(stderr, "soak: %llu operations\n", (unsigned long long)totals.ops);
    }
    totals.print(double(bench.machine().now()) / 1e7);
    EXPECT_EQ(bench.shutDown(), 0u) << "'COMX' bytes left after unload";
}

uint64_t Number(const char *text) { return std::strtoull(text, nullptr, 0); }

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if ((a == "--ops" || a == "--round" || a == "--seed") && i + 1 < argc) {
            (a == "--ops" ? gOps : a == "--round" ? gRound : gSeed) = Number(argv[++i]);
        } else if (a == "--help" || a == "-h") {
            std::printf("usage: soak [--ops N] [--round N] [--seed N]\n"
                        "  rounds of the stress test's actors on COM3, each ended by removing the chip and\n"
                        "  plugging a new one in; totals printed at the end\n");
            return 0;
        } else {
            std::fprintf(stderr, "soak: unknown argument %s (try --help)\n", a.c_str());
            return 2;
        }
    }
    if (!gOps || !gRound) {
        std::fprintf(stderr, "soak: --ops and --round must be positive\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
