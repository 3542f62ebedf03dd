// Four application threads hammer COM3 behind a loopback plug, on two processors with schedule noise: the actors and
// the oracle of stress_actors.h. Afterwards the port still carries a block whole, and the lines end where the last
// requests left them. MIRAVO_STRESS_OPS and MIRAVO_STRESS_SEED change the run's size and seed.
#include "tests/port/stress_actors.h"

namespace port_test {
namespace {

using namespace stress;

// The faults this test has caught show within a few thousand operations; beyond that a run mostly
// repeats itself. Under the sanitizers an operation costs several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kDefaultOps = 6000;
#else
constexpr uint64_t kDefaultOps = 20000;
#endif

TEST_F(ComPort, StressOfDataRacingPurgesTimeOutsWaitsLinesBreaksAndHandshakesKeepsEveryRequestAndByteAccounted) {
    const uint64_t seed = Setting("MIRAVO_STRESS_SEED", 0x5EED57E5);
    const uint64_t target = Setting("MIRAVO_STRESS_OPS", kDefaultOps);
    SCOPED_TRACE("seed " + std::to_string(seed) + ", set MIRAVO_STRESS_SEED to repeat");
    // An older chip keeps 256-byte chunks at this rate, so that a long write can time out between two.
    lab::Options options{.machine = {.processors = 2, .noiseSeed = seed}, .chip = Chip(1)};
    options.chip.lineLogCap = SIZE_MAX;  // the oracle replays the whole wire
    Start(options);
    OpenAt(kRate, {0, 0, 0, 0, 0});

    Shared run(h, seed, target);
    Writer writer(run);
    Reader reader(run);
    Controller controller(run, *bench);
    Watcher watcher(run);
    {
        emu::Thread w(std::ref(writer), "writer"), r(std::ref(reader), "reader"), c(std::ref(controller), "controller"),
            e(std::ref(watcher), "watcher");
        w.join(), r.join(), c.join(), e.join();
    }
    for (const auto &f : run.faults.list()) ADD_FAILURE() << f;
    ASSERT_EQ(run.faults.count(), 0u);

    // Once disowned chunks have landed, the port still carries a block whole and nothing before it. The first purge
    // ends a receive hold the last mix may have left, which would keep old bytes in the chip until after the second.
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
    Sleep(200);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
    COMMTIMEOUTS settle{0, 0, 2000, 0, 2000};
    ASSERT_TRUE(SetCommTimeouts(h, &settle));
    std::vector<uint8_t> out, in(300);
    const uint32_t id = writer.nextId++;
    for (uint32_t k = 0; k < in.size(); k++) out.push_back(StreamByte(id, k));
    Overlapped r, w;
    Begin(r, true, in.data(), 300);
    Begin(w, false, out.data(), 300);
    const Ended wrote = End(w), read = End(r);
    writer.writes.push_back({300, {w.status(), wrote.second}});
    EXPECT_EQ(std::tuple(wrote, read, in), std::tuple(Ended(ERROR_SUCCESS, 300), Ended(ERROR_SUCCESS, 300), out));
    reader.readBack.insert(reader.readBack.end(), in.begin(), in.begin() + read.second);
    // However the line changes raced, the lines end where the last requests left them: DTR and RTS
    // up (the ring is empty, so RTS handshaking holds nothing), no break, and the plug's inputs with them.
    Sleep(20);
    DWORD lines = 0, modem = 0;
    EXPECT_TRUE(Ioctl(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof lines));
    EXPECT_EQ(lines, DWORD(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
    EXPECT_TRUE(bench->chip().dtr() && bench->chip().rts() && !bench->chip().breakOn());
    EXPECT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

    Oracle oracle(bench->chip().lineLog());
    oracle.checkWire(writer.writes);
    oracle.checkReadBack(reader.readBack);
    if (kReceiveHoldsSound) oracle.checkFlow(controller.guarded);
    Report(run.tally, oracle, reader.readBack.size(), Now());
}

}  // namespace
}  // namespace port_test
