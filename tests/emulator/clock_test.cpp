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

}  // namespace
