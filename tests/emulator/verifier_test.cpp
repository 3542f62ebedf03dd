// The verifier: every check is shown by breaking its rule on purpose. Reports are captured where the
// machine can carry on; a death test shows the default (abort) and the deadlock report.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/verifier.h"
#include "platform/host/wdm.h"
#include "tests/emulator/kernel_test_support.h"

namespace {

using namespace kt;
using emu::Violation;

constexpr ULONG kTag = emu::Tag("VfTs");

std::string Texts(const emu::ReportCapture &capture) {
    std::string s;
    for (auto &r : capture.reports()) s += r.text + "\n";
    return s;
}

// Runs `body` at DISPATCH_LEVEL.
template <class F> void AtDispatch(F body) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    body();
    KeLowerIrql(old);
}

// ---- IRQL ---------------------------------------------------------------------------------------

TEST(VerifierIrql, RoutinesAboveTheirIrql) {
    emu::Machine machine;
    emu::ReportCapture capture;
    AtDispatch([] { KeFlushQueuedDpcs(); });
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::IrqlTooHigh);
    EXPECT_NE(capture.reports()[0].text.find("KeFlushQueuedDpcs"), std::string::npos) << Texts(capture);
    EXPECT_NE(capture.reports()[0].text.find("IRQL 2"), std::string::npos) << Texts(capture);

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    AtDispatch([&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); });  // Wait=TRUE: the caller waits next
    EXPECT_EQ(capture.count(), 2u) << Texts(capture);
    EXPECT_EQ(capture.reports()[1].kind, Violation::IrqlTooHigh);

    // Paged pool may be freed only below DISPATCH_LEVEL; non-paged pool at DISPATCH_LEVEL is fine.
    void *paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    void *nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    AtDispatch([&] {
        ExFreePoolWithTag(paged, kTag);
        ExFreePoolWithTag(nonPaged, kTag);
    });
    EXPECT_EQ(capture.count(), 3u) << Texts(capture);
    EXPECT_EQ(capture.reports()[2].kind, Violation::IrqlTooHigh);
    EXPECT_EQ(machine.service<emu::Pool>().countInUse(kTag), 1u) << "the refused free must leave the block";
    ExFreePoolWithTag(paged, kTag);
    EXPECT_EQ(capture.count(), 3u) << Texts(capture);
}

TEST(VerifierIrql, WaitsAndDelaysAtDispatchLevel) {
    emu::Machine machine;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    {
        emu::ReportCapture capture;
        NTSTATUS status = STATUS_SUCCESS;
        AtDispatch([&] { status = WaitFor(&event, 10 * kMs); });
        EXPECT_TRUE(capture.saw(Violation::WaitAtDispatch)) << Texts(capture);
        EXPECT_EQ(status, STATUS_TIMEOUT);
    }
    {
        emu::ReportCapture capture;
        AtDispatch([&] { WaitForever(&event); });
        EXPECT_TRUE(capture.saw(Violation::WaitAtDispatch)) << Texts(capture);
    }
    {
        emu::ReportCapture capture;
        AtDispatch([] { Delay(10 * kMs); });
        ASSERT_EQ(capture.count(), 1u) << Texts(capture);
        EXPECT_EQ(capture.reports()[0].kind, Violation::WaitAtDispatch);
    }
    EXPECT_EQ(machine.now(), 0) << "a refused wait must not block";
}

TEST(VerifierIrql, PagedAllocationAtDispatchLevel) {
    emu::Machine machine;
    emu::ReportCapture capture;
    void *paged = reinterpret_cast<void *>(1), *nonPaged = nullptr;
    AtDispatch([&] {
        paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
        nonPaged = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    });
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::PagedPoolAtDispatch);
    EXPECT_EQ(paged, nullptr);
    ASSERT_NE(nonPaged, nullptr);
    ExFreePoolWithTag(nonPaged, kTag);
}

TEST(VerifierIrql, DpcReturningAboveDispatchOrHoldingALock) {
    emu::Machine machine;
    static KSPIN_LOCK lock;
    lock = 0;  // the DPC below leaves it held
    emu::ReportCapture capture;
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::InvalidParameter);
    EXPECT_NE(capture.reports()[0].text.find("DPC"), std::string::npos) << Texts(capture);
}

// ---- Spin locks -----------------------------------------------------------------------------------

TEST(VerifierSpinLock, ReleasedWhenNotHeld) {
    emu::Machine machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    emu::ReportCapture capture;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::SpinLockNotHeld);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "a refused release must not lower the IRQL";
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(capture.count(), 2u) << Texts(capture);
    EXPECT_EQ(capture.reports()[1].kind, Violation::SpinLockNotHeld);
    KeLowerIrql(old);
}

TEST(VerifierSpinLock, ReleasedByAThreadThatDoesNotHoldIt) {
    emu::Machine machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::atomic<bool> held{false}, done{false};
    emu::Thread owner([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        held.store(true);
        while (!done.load()) std::this_thread::yield();
        KeReleaseSpinLock(&lock, old);
    });
    while (!held.load()) std::this_thread::yield();
    {
        emu::ReportCapture capture;
        AtDispatch([&] { KeReleaseSpinLockFromDpcLevel(&lock); });
        EXPECT_EQ(capture.count(), 1u) << Texts(capture);
        EXPECT_TRUE(capture.saw(Violation::SpinLockNotHeld)) << Texts(capture);
    }
    done.store(true);
    owner.join();  // and the owner's own release is accepted
}

TEST(VerifierSpinLock, AcquiredTwiceByOneThread) {
    emu::Machine machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    emu::ReportCapture capture;
    KIRQL first, second;
    KeAcquireSpinLock(&lock, &first);
    KeAcquireSpinLock(&lock, &second);  // would spin forever on a real machine
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::SpinLockRecursion);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(capture.count(), 2u) << Texts(capture);
    KeReleaseSpinLock(&lock, first);
    EXPECT_EQ(capture.count(), 2u) << Texts(capture);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(VerifierSpinLock, ReinitialisedWhileHeld) {
    emu::Machine machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    emu::ReportCapture capture;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeInitializeSpinLock(&lock);
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::InvalidParameter);
    KeReleaseSpinLock(&lock, old);  // the refused initialisation left it held
    EXPECT_EQ(capture.count(), 1u) << Texts(capture);
}

TEST(VerifierSpinLock, LockOrderInversionBetweenTwoLocks) {
    emu::Machine machine;
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    emu::ReportCapture capture;
    KIRQL old;
    for (int i = 0; i < 2; i++) {  // one order, repeated, is fine
        KeAcquireSpinLock(&a, &old);
        KeAcquireSpinLockAtDpcLevel(&b);
        KeReleaseSpinLockFromDpcLevel(&b);
        KeReleaseSpinLock(&a, old);
    }
    // Taking them one at a time in the other order is fine too.
    KeAcquireSpinLock(&b, &old);
    KeReleaseSpinLock(&b, old);
    KeAcquireSpinLock(&a, &old);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(capture.count(), 0u) << Texts(capture);

    // Another thread nests them the other way round: the two could deadlock.
    emu::Thread([&] {
        KIRQL o;
        KeAcquireSpinLock(&b, &o);
        KeAcquireSpinLockAtDpcLevel(&a);
        KeReleaseSpinLockFromDpcLevel(&a);
        KeReleaseSpinLock(&b, o);
    }).join();
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::LockOrderInversion);
}

TEST(VerifierSpinLock, LockOrderInversionWithTheCancelSpinLock) {
    emu::Machine machine;
    KSPIN_LOCK mine;
    KeInitializeSpinLock(&mine);
    emu::ReportCapture capture;
    KIRQL old, cancelIrql;
    KeAcquireSpinLock(&mine, &old);
    IoAcquireCancelSpinLock(&cancelIrql);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&mine, old);
    EXPECT_EQ(capture.count(), 0u) << Texts(capture);

    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&mine);
    KeReleaseSpinLockFromDpcLevel(&mine);
    IoReleaseCancelSpinLock(cancelIrql);
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::LockOrderInversion);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// ---- Pool -------------------------------------------------------------------------------------------

TEST(VerifierPool, FreedTwiceOrWithAnotherTag) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    emu::ReportCapture capture;
    void *p = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, emu::Tag("Othr"));
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::PoolWrongTag);
    EXPECT_EQ(pool.countInUse(kTag), 1u) << "a refused free must leave the block allocated";

    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(capture.count(), 1u) << Texts(capture);
    ExFreePoolWithTag(p, kTag);
    ASSERT_EQ(capture.count(), 2u) << Texts(capture);
    EXPECT_EQ(capture.reports()[1].kind, Violation::PoolDoubleFree);

    void *q = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    ExFreePool(q);  // untagged free: any tag matches
    ExFreePool(q);
    ASSERT_EQ(capture.count(), 3u) << Texts(capture);
    EXPECT_EQ(capture.reports()[2].kind, Violation::PoolDoubleFree);
}

TEST(VerifierPool, LeftUnderTheDriverTagAtUnload) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    emu::ReportCapture capture;
    void *p = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 24, emu::Tag("Othr"));
    pool.reportLeaks(kTag, "DriverUnload");
    ASSERT_EQ(capture.count(), 1u) << Texts(capture);
    EXPECT_EQ(capture.reports()[0].kind, Violation::PoolLeakAtUnload);
    EXPECT_NE(capture.reports()[0].text.find("24 bytes"), std::string::npos) << Texts(capture);
    ExFreePoolWithTag(p, kTag);
    pool.reportLeaks(kTag, "DriverUnload");
    EXPECT_EQ(capture.count(), 1u) << "only the driver's tag counts: " << Texts(capture);
    ExFreePoolWithTag(other, emu::Tag("Othr"));
}

struct DeviceState {
    KDPC dpc;
    KTIMER timer;
};

TEST(VerifierPool, DpcQueuedInFreedMemory) {
    emu::Machine machine;
    DpcLog log;
    auto *state = static_cast<DeviceState *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceState), kTag));
    ASSERT_NE(state, nullptr);
    log.init(state->dpc);
    {
        emu::ReportCapture capture;
        ProcessorHold hold(machine.config().processors);
        ASSERT_TRUE(KeInsertQueueDpc(&state->dpc, nullptr, nullptr));
        ExFreePoolWithTag(state, kTag);
        ASSERT_EQ(capture.count(), 1u) << Texts(capture);
        EXPECT_EQ(capture.reports()[0].kind, Violation::DpcPendingInFreedMemory);
        // The free was refused, so the DPC is still there to take back.
        EXPECT_TRUE(KeRemoveQueueDpc(&state->dpc));
        ExFreePoolWithTag(state, kTag);
        EXPECT_EQ(capture.count(), 1u) << Texts(capture);
    }
    EXPECT_EQ(log.count(), 0u);
}

TEST(VerifierPool, TimerArmedInFreedMemory) {
    emu::Machine machine;
    DpcLog log;
    auto *state = static_cast<DeviceState *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceState), kTag));
    ASSERT_NE(state, nullptr);
    log.init(state->dpc);
    KeInitializeTimer(&state->timer);
    KeSetTimer(&state->timer, Relative(1 * kSecond), &state->dpc);
    {
        emu::ReportCapture capture;
        ExFreePoolWithTag(state, kTag);
        ASSERT_EQ(capture.count(), 1u) << Texts(capture);
        EXPECT_EQ(capture.reports()[0].kind, Violation::TimerPendingInFreedMemory);
    }
    EXPECT_TRUE(KeCancelTimer(&state->timer));
    ExFreePoolWithTag(state, kTag);
    Delay(2 * kSecond);
    EXPECT_EQ(log.count(), 0u);
}

// ---- Without a capture --------------------------------------------------------------------------------

TEST(VerifierDeathTest, AReportAbortsByDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::Machine machine;
            void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            ExFreePoolWithTag(p, kTag);
            ExFreePoolWithTag(p, kTag);
        },
        "VERIFIER: pool freed twice or never allocated in ExFreePoolWithTag");
}

TEST(VerifierDeathTest, EveryThreadBlockedWithNothingDueIsADeadlock) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::Machine machine;
            KEVENT nobodySetsIt;
            KeInitializeEvent(&nobodySetsIt, NotificationEvent, FALSE);
            emu::Thread other([&] { WaitForever(&nobodySetsIt); }, "other");
            WaitForever(&nobodySetsIt);
        },
        "machine deadlock.*every machine thread is blocked.*KeWaitForSingleObject");
}

}  // namespace
