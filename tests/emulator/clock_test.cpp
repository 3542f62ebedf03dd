#include <gtest/gtest.h>

#include <chrono>

#include "emulator/kernel/machine.h"

namespace {

TEST(Clock, ThreeSecondWaitTimesOutOnVirtualTime) {
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -30000000;  // 3 s
    auto realStart = std::chrono::steady_clock::now();
    int64_t start = machine.now();
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(machine.now() - start, 30000000);
    EXPECT_LT(real, std::chrono::milliseconds(500));
}

// The only test that takes real time: on the host's clock a 20 ms wait lasts about 20 ms.
TEST(Clock, RealClockWaitTakesRealTime) {
    emu::Machine machine(emu::MachineConfig{.virtualClock = false});
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -200000;  // 20 ms
    auto realStart = std::chrono::steady_clock::now();
    int64_t start = machine.now();
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_GE(real, std::chrono::milliseconds(19));
    EXPECT_LT(real, std::chrono::seconds(2));
    EXPECT_GE(machine.now() - start, 200000);
}

}  // namespace
