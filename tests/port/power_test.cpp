// The port through system sleep and wake, as the power manager sends them with COM3 open.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/powermgr.h"
#include "tests/port/com_port.h"

namespace port_test {
namespace {

constexpr uint8_t kSetLineCoding = 0x20;

class PowerPort : public ComPort {
protected:
    emu::PowerManager &Power() { return bench->machine().service<emu::PowerManager>(); }
    PDEVICE_OBJECT Pdo() { return bench->device().pdo(); }
};

TEST_F(PowerPort, SleepAndWakeMidTransferReplaysTheChipAndLosesNoByte) {
    Start();
    h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    lab::Line line;
    line.baud = 57600;
    line.parity = EVENPARITY;
    line.rtsCts = true;
    ASSERT_TRUE(lab::Configure(h, line));
    COMMTIMEOUTS none{};  // the read waits out the sleep for all its bytes
    ASSERT_TRUE(SetCommTimeouts(h, &none));
    const auto pattern = lab::TestPattern(2048);
    std::vector<uint8_t> back(pattern.size());
    Overlapped w, r;
    ASSERT_FALSE(WriteFile(h, pattern.data(), DWORD(pattern.size()), nullptr, &w.ov));
    ASSERT_FALSE(ReadFile(h, back.data(), DWORD(back.size()), nullptr, &r.ov));
    Sleep(100);  // about a quarter of the way through
    ASSERT_FALSE(w.done());
    ASSERT_FALSE(r.done());

    auto &bus = bench->device().bus();
    ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD3));
    EXPECT_EQ(bus.powerState(), PowerDeviceD3);
    // Asleep, nothing moves on the bus however long the system sleeps.
    auto count = [&] {
        size_t done = 0;
        for (auto &u : bus.urbLog()) done += u.completed >= 0;
        return done;
    };
    size_t before = count();
    Sleep(200);
    EXPECT_EQ(count(), before);

    bus.clearUrbLog();
    ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(bench->port()->DevicePowerState, ULONG(PowerDeviceD0));
    DWORD n = 0;
    EXPECT_EQ(Finish(w, &n), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(n, pattern.size());
    EXPECT_EQ(Finish(r, &n), DWORD(ERROR_SUCCESS));
    EXPECT_EQ(n, pattern.size());
    EXPECT_TRUE(back == pattern) << "the pattern came back altered";

    // The replay, in order: the lines as they were, the line coding, the handshakes the chip does
    // itself; and no second IN chain beside the ones that waited out the sleep.
    std::vector<std::string> replay;
    for (auto &u : bus.urbLog()) {
        if (!u.hasSetup || u.setup.bmRequestType & 0x80) continue;
        char text[64];
        if (u.setup.bRequest == kSetLineCoding && u.data.size() == 7)
            std::snprintf(text, sizeof text, "coding %u %u%u%u", unsigned(u.data[0] | u.data[1] << 8 | u.data[2] << 16),
                          u.data[6], u.data[5], u.data[4]);
        else
            std::snprintf(text, sizeof text, "%02x %04x %04x", u.setup.bRequest, u.setup.wValue, u.setup.wIndex);
        replay.push_back(text);
    }
    const std::vector<std::string> wanted = {"22 0003 0000", "coding 57600 820", "01 0000 0061"};
    auto at = replay.begin();
    for (auto &step : wanted) {
        at = std::find(at, replay.end(), step);
        EXPECT_NE(at, replay.end()) << step << " missing or out of order";
    }
    EXPECT_EQ(std::count_if(replay.begin(), replay.end(), [](auto &t) { return t.rfind("coding", 0) == 0; }), 1);
    EXPECT_LE(bus.pendingUrbs(), 2u);

    // Many more cycles, each with a few bytes round the loop: nothing piles up, nothing is lost.
    const long issued = Power().requestsIssued();
    for (int cycle = 1; cycle < 100; cycle++) {
        SCOPED_TRACE(cycle);
        ASSERT_EQ(Power().sleep(Pdo(), PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(Power().wake(Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(bus.powerState(), PowerDeviceD0);
        char out[8] = {char(cycle), 'z', 'z', 'z', 'z', 'z', 'z', char(~cycle)}, in[8] = {};
        ASSERT_TRUE(SyncIo(false, out, sizeof out, &n) && SyncIo(true, in, sizeof in, &n));
        ASSERT_EQ(std::memcmp(in, out, sizeof in), 0);
    }
    EXPECT_EQ(Power().requestsIssued() - issued, 2 * 99);  // a D3 and a D0 request each
    EXPECT_LE(bus.pendingUrbs(), 2u);
}

}  // namespace
}  // namespace port_test
