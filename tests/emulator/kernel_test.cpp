// The emulated kernel's executive services, by service: DPCs, timers, dispatcher objects and waits,
// fast mutexes, time, device events and schedule noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/verifier.h"
#include "tests/emulator/kernel_test_support.h"

namespace {

using namespace kt;

// ---- DPCs ---------------------------------------------------------------------------------------

TEST(Dpc, InsertAnswersFalseWhileQueuedAndRemoveAnswersWhetherItRemoved) {
    emu::Machine machine;
    DpcLog log;
    KDPC dpc;
    log.init(dpc);
    {
        ProcessorHold hold(machine.config().processors);
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(1), reinterpret_cast<PVOID>(2)));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(3), reinterpret_cast<PVOID>(4)));
        EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
        EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
        EXPECT_TRUE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(5), reinterpret_cast<PVOID>(6)));
        EXPECT_FALSE(KeInsertQueueDpc(&dpc, reinterpret_cast<PVOID>(7), reinterpret_cast<PVOID>(8)));
    }  // releases the processors and flushes
    auto runs = log.runs();
    ASSERT_EQ(runs.size(), 1u);  // the removed insertion never runs; the refused one adds nothing
    EXPECT_EQ(runs[0].arg1, reinterpret_cast<PVOID>(5));  // arguments of the accepted insertion
    EXPECT_EQ(runs[0].arg2, reinterpret_cast<PVOID>(6));
    EXPECT_EQ(runs[0].irql, DISPATCH_LEVEL);
    EXPECT_NE(runs[0].thread, KeGetCurrentThread()) << "on a processor, not the caller";
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));  // queueable again once it ran
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.count(), 2u);
}

TEST(Dpc, TwoProcessorsRunTwoDpcsConcurrently) {
    emu::Machine machine(emu::MachineConfig{.processors = 2});
    struct Rendezvous {
        std::atomic<int> arrived{0};
        std::atomic<int> metTheOther{0};
    } r;
    auto meet = [](PKDPC, PVOID context, PVOID, PVOID) {
        auto *r = static_cast<Rendezvous *>(context);
        r->arrived.fetch_add(1);
        // Bounded: on a machine that runs DPCs one at a time the other never arrives.
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (r->arrived.load() < 2 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
        if (r->arrived.load() == 2) r->metTheOther.fetch_add(1);
    };
    KDPC a, b;
    KeInitializeDpc(&a, meet, &r);
    KeInitializeDpc(&b, meet, &r);
    KeInsertQueueDpc(&a, nullptr, nullptr);
    KeInsertQueueDpc(&b, nullptr, nullptr);
    KeFlushQueuedDpcs();
    EXPECT_EQ(r.metTheOther.load(), 2);
}

// ---- Timers -------------------------------------------------------------------------------------

class TimerTest : public ::testing::Test {
protected:
    TimerTest() {
        log.init(dpc);
        KeInitializeTimer(&timer);
    }
    emu::Machine machine;
    DpcLog log;
    KDPC dpc;
    KTIMER timer;
};

TEST_F(TimerTest, ExpiryRoundsUpToTheTickAndQueuesTheDpcThen) {
    EXPECT_FALSE(KeSetTimer(&timer, Relative(1 * kMs), &dpc));
    Delay(kTick - 1);
    EXPECT_EQ(log.count(), 0u) << "fired before the tick";
    EXPECT_FALSE(KeReadStateTimer(&timer));
    Delay(2);  // past the tick: a wait ending on it would race the DPC on another processor
    ASSERT_EQ(log.count(), 1u);
    EXPECT_EQ(log.runs()[0].at, kTick);
    EXPECT_EQ(log.runs()[0].irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&timer));

    KeSetTimer(&timer, Relative(10 * kTick), &dpc);  // from now, not from boot
    Delay(20 * kTick);
    ASSERT_EQ(log.count(), 2u);
    EXPECT_EQ(log.runs()[1].at, 12 * kTick);
}

// ---- Events, waits, semaphores --------------------------------------------------------------------

// Three threads wait (1 s time-out) on one event, which is set once when all three are blocked.
std::array<NTSTATUS, 3> SetOnceWithThreeWaiters(EVENT_TYPE type, LONG *stateAfter, int64_t *releasedAt) {
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::array<NTSTATUS, 3> status{};
    std::array<int64_t, 3> at{};
    {
        std::vector<emu::Thread> waiters;
        for (int i = 0; i < 3; i++)
            waiters.emplace_back([&, i] {
                status[i] = WaitFor(&event, 1 * kSecond);
                at[i] = emu::Machine::current().now();
            });
        Delay(1 * kMs);  // the virtual clock moves only once every waiter is blocked
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        for (auto &w : waiters) w.join();
    }
    *stateAfter = KeReadStateEvent(&event);
    *releasedAt = *std::min_element(at.begin(), at.end());
    return status;
}

TEST(Event, NotificationReleasesEveryWaiterAndStaysSetSynchronizationReleasesOneAndResets) {
    emu::Machine machine;
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        LONG state;
        int64_t releasedAt, start = machine.now();
        auto status = SetOnceWithThreeWaiters(type, &state, &releasedAt);
        bool all = type == NotificationEvent;
        EXPECT_EQ(std::count(status.begin(), status.end(), STATUS_SUCCESS), all ? 3 : 1) << type;
        EXPECT_EQ(std::count(status.begin(), status.end(), STATUS_TIMEOUT), all ? 0 : 2) << type;
        EXPECT_EQ(state, all ? 1 : 0) << type;
        EXPECT_EQ(releasedAt - start, 1 * kMs) << type;
    }
}

TEST(Event, ASynchronizationEventStaysSetUntilOneWaitConsumesItAndResetClears) {
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_SUCCESS);
    EXPECT_EQ(WaitFor(&event, 0), STATUS_TIMEOUT);
    for (auto clear : {+[](PKEVENT e) { KeClearEvent(e); }, +[](PKEVENT e) { KeResetEvent(e); }}) {
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        clear(&event);
        EXPECT_EQ(WaitFor(&event, 0), STATUS_TIMEOUT);
    }
}

TEST(Wait, TimeOutsAndDelaysTakeExactlyTheEmulatedTimeAndLittleRealTime) {
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto realStart = std::chrono::steady_clock::now();

    EXPECT_EQ(WaitFor(&event, 12345), STATUS_TIMEOUT);
    EXPECT_EQ(machine.now(), 12345) << "a wait time-out is not rounded to the tick";

    Delay(10 * kSecond);
    EXPECT_EQ(machine.now(), 10 * kSecond + 12345);
    machine.sleepFor(5);
    EXPECT_EQ(machine.now(), 10 * kSecond + 12350);
    EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::milliseconds(500));
}

TEST(Wait, SatisfiedBeforeTheTimeOut) {
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    int64_t at = -1;
    emu::Thread waiter([&] {
        status = WaitFor(&event, 1 * kSecond);
        at = machine.now();
    });
    Delay(10 * kMs);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(at, 10 * kMs);
    Delay(2 * kSecond);  // the cancelled time-out must not fire into a finished wait
    EXPECT_EQ(machine.now(), 10 * kMs + 2 * kSecond);
}

// ---- Fast mutexes -----------------------------------------------------------------------------------

TEST(FastMutex, MutualExclusionBetweenThreadsAtApcLevel) {
    emu::Machine machine;
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    int counter = 0;  // plain: only the mutex protects it
    std::atomic<int> inside{0}, mostInside{0}, wrongIrql{0};
    {
        std::vector<emu::Thread> threads;
        for (int t = 0; t < 3; t++)
            threads.emplace_back([&] {
                for (int i = 0; i < 50; i++) {
                    ExAcquireFastMutex(&mutex);
                    int now = inside.fetch_add(1) + 1;
                    int seen = mostInside.load();
                    while (now > seen && !mostInside.compare_exchange_weak(seen, now)) {
                    }
                    if (KeGetCurrentIrql() != APC_LEVEL) wrongIrql.fetch_add(1);
                    int c = counter;
                    if (i % 10 == 0) Delay(1 * kMs);  // blocks while holding it: the others must wait
                    counter = c + 1;
                    inside.fetch_sub(1);
                    ExReleaseFastMutex(&mutex);
                    if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrongIrql.fetch_add(1);
                }
            });
    }
    EXPECT_EQ(counter, 150);
    EXPECT_EQ(mostInside.load(), 1);
    EXPECT_EQ(wrongIrql.load(), 0);
    EXPECT_GT(mutex.Contention, 0u) << "the test never made a thread wait";
    EXPECT_EQ(mutex.Count, 1);
}

// ---- Time -------------------------------------------------------------------------------------------

TEST(Time, SystemTimeAndTickCountFollowOneClock) {
    emu::Machine machine;
    auto check = [&] {
        LARGE_INTEGER system, ticks;
        KeQuerySystemTime(&system);
        KeQueryTickCount(&ticks);
        EXPECT_EQ(system.QuadPart, machine.bootSystemTime() + machine.now());
        EXPECT_EQ(ticks.QuadPart, machine.now() / kTick);
        return ticks.QuadPart;
    };
    EXPECT_EQ(check(), 0);
    Delay(kTick - 1);
    EXPECT_EQ(check(), 0);
    Delay(1);
    EXPECT_EQ(check(), 1);
    Delay(1 * kSecond);
    EXPECT_EQ(check(), 65);
    EXPECT_EQ(KeQueryTimeIncrement(), static_cast<ULONG>(kTick));
}

// ---- Device events (scheduleAt) ---------------------------------------------------------------------

TEST(ScheduleAt, RunsAtExactTimesOnAProcessorAtDispatchLevelUnlessCancelled) {
    emu::Machine machine;
    struct Ran {
        int id;
        int64_t at;
        KIRQL irql;
        PKTHREAD thread;
    };
    std::mutex lock;
    std::vector<Ran> ran;
    auto at = [&](int64_t when, int id) {
        machine.scheduleAt(when, [&, id] {
            std::lock_guard<std::mutex> g(lock);
            ran.push_back({id, machine.now(), KeGetCurrentIrql(), KeGetCurrentThread()});
        });
    };
    at(1000001, 2);
    at(7, 1);
    Delay(2 * kSecond);
    ASSERT_EQ(ran.size(), 2u);
    const int64_t expected[] = {7, 1000001};
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(ran[i].id, i + 1);
        EXPECT_EQ(ran[i].at, expected[i]) << "device events are not rounded to the tick";
        EXPECT_EQ(ran[i].irql, DISPATCH_LEVEL);
        EXPECT_NE(ran[i].thread, KeGetCurrentThread());
    }
    int64_t late = -1;
    machine.scheduleAt(5, [&] { late = machine.now(); });  // in the past: runs now
    Delay(1);
    EXPECT_EQ(late, 2 * kSecond);

    // Cancel answers whether the event will never run.
    std::atomic<int> runs{0};
    uint64_t a = machine.scheduleAt(machine.now() + 500, [&] { runs += 1; });
    uint64_t b = machine.scheduleAt(machine.now() + 1000, [&] { runs += 10; });
    EXPECT_TRUE(machine.cancelEvent(b));
    EXPECT_FALSE(machine.cancelEvent(b));
    Delay(1 * kSecond);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_FALSE(machine.cancelEvent(a)) << "it ran already";
}

// ---- Schedule noise ---------------------------------------------------------------------------------

struct Shared {
    KSPIN_LOCK lock = 0;
    long counter = 0;  // plain: only the spin lock protects it
};

VOID NTAPI IncrementAtDpcLevel(PKDPC, PVOID context, PVOID, PVOID) {
    auto *s = static_cast<Shared *>(context);
    KeAcquireSpinLockAtDpcLevel(&s->lock);
    long c = s->counter;
    std::this_thread::yield();
    s->counter = c + 1;
    KeReleaseSpinLockFromDpcLevel(&s->lock);
}

TEST(Noise, SpinLockStillExcludesThreadsAndDpcs) {
    emu::Machine machine(emu::MachineConfig{.processors = 2, .noiseSeed = 0x5EED, .noisePercent = 50});
    Shared shared;
    KeInitializeSpinLock(&shared.lock);
    constexpr int kThreads = 3, kRounds = 300, kDpcsPerThread = 100;
    std::vector<std::array<KDPC, kDpcsPerThread>> dpcs(kThreads);
    {
        std::vector<emu::Thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&, t] {
                for (auto &d : dpcs[t]) KeInitializeDpc(&d, IncrementAtDpcLevel, &shared);
                for (int i = 0; i < kRounds; i++) {
                    KIRQL old;
                    KeAcquireSpinLock(&shared.lock, &old);
                    long c = shared.counter;
                    std::this_thread::yield();
                    shared.counter = c + 1;
                    KeReleaseSpinLock(&shared.lock, old);
                    if (i % 3 == 0) KeInsertQueueDpc(&dpcs[t][i / 3], nullptr, nullptr);
                    if (i % 50 == 0) Delay(1 * kMs);
                }
            });
    }
    KeFlushQueuedDpcs();
    EXPECT_EQ(shared.counter, kThreads * kRounds + kThreads * kDpcsPerThread);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

}  // namespace
