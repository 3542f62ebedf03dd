// The emulated kernel's executive services where the driver's own tests would not notice a fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>

#include "tests/emulator/kernel_test_support.h"

namespace {

using namespace kt;

TEST(Dpc, TwoProcessorsRunTwoDpcsConcurrently) {
    emu::Machine machine(emu::MachineConfig{.processors = 2});
    auto meet = [](PKDPC, PVOID context, PVOID, PVOID) {
        auto *counts = static_cast<std::atomic<int> *>(context);
        counts[0].fetch_add(1);
        // Bounded: on a machine that runs DPCs one at a time the other never arrives.
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (counts[0].load() < 2 && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
        if (counts[0].load() == 2) counts[1].fetch_add(1);
    };
    std::atomic<int> counts[2] = {};
    KDPC a, b;
    KeInitializeDpc(&a, meet, counts);
    KeInitializeDpc(&b, meet, counts);
    KeInsertQueueDpc(&a, nullptr, nullptr);
    KeInsertQueueDpc(&b, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(counts[1].load(), 2);
}

// Three waiters (1 s time-out) on one event, set once when all are blocked: a notification event
// releases all and stays set, a synchronization event releases one and resets.
TEST(Event, NotificationReleasesEveryWaiterSynchronizationOne) {
    emu::Machine machine;
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::array<NTSTATUS, 3> status{};
        std::array<int64_t, 3> at{};
        const int64_t start = machine.now();
        {
            std::vector<emu::Thread> waiters;
            for (int i = 0; i < 3; i++)
                waiters.emplace_back([&, i] { status[i] = WaitFor(&event, 1 * kSecond), at[i] = machine.now(); });
            Delay(1 * kMs);  // the virtual clock moves only once every waiter is blocked
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        }
        const bool all = type == NotificationEvent;
        EXPECT_EQ(std::count(status.begin(), status.end(), STATUS_SUCCESS), all ? 3 : 1) << type;
        EXPECT_EQ(KeReadStateEvent(&event), all ? 1 : 0) << type;
        for (int i = 0; i < 3; i++) EXPECT_EQ(at[i] - start, status[i] == STATUS_SUCCESS ? kMs : kSecond) << type;
    }
}

TEST(Wait, TimeOutsTakeExactlyTheEmulatedTimeAndLittleRealTime) {
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto realStart = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitFor(&event, 12345), STATUS_TIMEOUT);
    EXPECT_EQ(machine.now(), 12345) << "a wait time-out is not rounded to the tick";
    emu::Thread setter([&] { Delay(10 * kMs); KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(WaitFor(&event, 1 * kSecond), STATUS_SUCCESS);
    EXPECT_EQ(machine.now(), 12345 + 10 * kMs);
    setter.join();
    Delay(10 * kSecond);  // the cancelled time-out must not fire into a finished wait
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(500));
}

TEST(FastMutex, MutualExclusionBetweenThreadsAtApcLevel) {
    emu::Machine machine;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    int counter = 0;  // plain: only the mutex protects it
    std::atomic<int> wrongIrql{0};
    {
        std::vector<emu::Thread> threads;
        for (int t = 0; t < 3; t++)
            threads.emplace_back([&] {
                for (int i = 0; i < 50; i++) {
                    ExAcquireFastMutex(&mutex);
                    if (KeGetCurrentIrql() != APC_LEVEL) wrongIrql.fetch_add(1);
                    int c = counter;
                    if (i % 10 == 0) Delay(1 * kMs);  // blocks while holding it: the others must wait
                    counter = c + 1;
                    ExReleaseFastMutex(&mutex);
                    if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrongIrql.fetch_add(1);
                }
            });
    }
    EXPECT_EQ(counter, 150);
    EXPECT_EQ(wrongIrql.load(), 0);
    EXPECT_GT(mutex.Contention, 0u) << "the test never made a thread wait";
}

}  // namespace
