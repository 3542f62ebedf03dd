// The verifier: every check is shown by breaking its rule on purpose. Reports are captured where the
// machine can carry on; a death test shows the default (abort) and the deadlock report.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
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

// Each routine called at DISPATCH_LEVEL draws exactly one report of its kind, and what it refused
// leaves no trace.
TEST(VerifierIrql, PassiveOnlyRoutinesAtDispatchLevel) {
    emu::Machine machine;
    auto &registry = machine.service<emu::Registry>();
    const std::u16string key = std::u16string(emu::Registry::kServicesPath) + u"\\miravo";
    registry.SetDword(key, u"A", 1);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    void *paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    ULONG value = 0;
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(u"A"), &value, REG_NONE, nullptr, 0}, {}};
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"\\??\\COM9");
    RtlInitUnicodeString(&b, u"\\Device\\X");
    struct Row {
        const char *name;
        std::function<void()> call;
        Violation kind;
        size_t reports = 1;
    } rows[] = {
        {"KeFlushQueuedDpcs", [] { KeFlushQueuedDpcs(); }, Violation::IrqlTooHigh},
        // Wait=TRUE: the caller waits next.
        {"KeSetEvent", [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); }, Violation::IrqlTooHigh},
        {"ExFreePoolWithTag", [&] { ExFreePoolWithTag(paged, kTag); }, Violation::IrqlTooHigh},
        {"IoCreateSymbolicLink", [&] { EXPECT_FALSE(NT_SUCCESS(IoCreateSymbolicLink(&a, &b))); },
         Violation::IrqlTooHigh},
        // A wait that can block is above its IRQL as well.
        {"KeWaitForSingleObject", [&] { EXPECT_EQ(WaitFor(&event, 10 * kMs), STATUS_TIMEOUT); },
         Violation::WaitAtDispatch, 2},
        {"KeWaitForSingleObject", [&] { WaitForever(&event); }, Violation::WaitAtDispatch, 2},
        {"KeDelayExecutionThread", [] { Delay(10 * kMs); }, Violation::WaitAtDispatch},
        {"ExAllocatePoolWithTag", [] { EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr); },
         Violation::PagedPoolAtDispatch},
        {"RtlQueryRegistryValues",
         [&] {
             EXPECT_FALSE(NT_SUCCESS(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr)));
         },
         Violation::RegistryAtDispatch},
        {"RtlWriteRegistryValue",
         [&] {
             EXPECT_FALSE(NT_SUCCESS(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key.c_str(), u"B", REG_DWORD, &value,
                                                           sizeof value)));
         },
         Violation::RegistryAtDispatch},
    };
    for (auto &row : rows) {
        emu::ReportCapture capture;
        AtDispatch(row.call);
        ASSERT_EQ(capture.count(), row.reports) << row.name << "\n" << Texts(capture);
        EXPECT_TRUE(capture.saw(row.kind)) << Texts(capture);
        for (auto &report : capture.reports())
            EXPECT_NE(report.text.find(row.name), std::string::npos) << Texts(capture);
    }
    EXPECT_EQ(machine.now(), 0) << "a refused wait must not block";
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(registry.GetValue(key, u"B"));
    EXPECT_FALSE(machine.service<emu::Namespace>().LinkTarget(u"\\??\\COM9"));
    EXPECT_EQ(machine.service<emu::Pool>().countInUse(kTag), 1u) << "the refused free must leave the block";
    emu::ReportCapture capture;
    AtDispatch([] {  // non-paged pool at DISPATCH_LEVEL is fine
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kTag), kTag);
    });
    ExFreePoolWithTag(paged, kTag);
    EXPECT_EQ(capture.count(), 0u) << Texts(capture);
}

TEST(VerifierIrql, DpcReturningAboveDispatchOrHoldingALock) {
    emu::Machine machine;
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);  // the DPC below leaves it held
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

TEST(VerifierSpinLock, ReleasedWhenNotHeldByThisThread) {
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

    // Held by another thread: still not ours to release, and the owner's own release is accepted.
    std::atomic<bool> held{false}, done{false};
    emu::Thread owner([&] {
        KIRQL o;
        KeAcquireSpinLock(&lock, &o);
        held.store(true);
        while (!done.load()) std::this_thread::yield();
        KeReleaseSpinLock(&lock, o);
    });
    while (!held.load()) std::this_thread::yield();
    AtDispatch([&] { KeReleaseSpinLockFromDpcLevel(&lock); });
    done.store(true);
    owner.join();
    ASSERT_EQ(capture.count(), 3u) << Texts(capture);
    EXPECT_EQ(capture.reports()[2].kind, Violation::SpinLockNotHeld);
}

TEST(VerifierSpinLock, LockOrderInversionBetweenTwoLocksOrWithTheCancelLock) {
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

    // The cancel spin lock is ordered with the others too.
    KIRQL cancelIrql;
    KeAcquireSpinLock(&a, &old);
    IoAcquireCancelSpinLock(&cancelIrql);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&a, old);
    EXPECT_EQ(capture.count(), 1u) << Texts(capture);
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    IoReleaseCancelSpinLock(cancelIrql);
    ASSERT_EQ(capture.count(), 2u) << Texts(capture);
    EXPECT_EQ(capture.reports()[1].kind, Violation::LockOrderInversion);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// ---- Contracts of driver routines, and objects used before their initialisation ------------------

KSPIN_LOCK g_lock, g_outer, g_inner;

void NeedsPassive() { REQUIRE_IRQL(PASSIVE_LEVEL); }
void NeedsAtMostApc() { REQUIRE_IRQL_AT_MOST(APC_LEVEL); }
void NeedsAtMostDispatch() { REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL); }
void NeedsDispatch() { REQUIRE_IRQL(DISPATCH_LEVEL); }
void Pageable() { PAGED_CODE(); }
void NeedsLock() { REQUIRE_LOCK_HELD(&g_lock); }
void NeedsNoLock() { REQUIRE_LOCK_NOT_HELD(&g_lock); }
void NeedsCancelLock() { REQUIRE_CANCEL_LOCK_HELD(); }
void NeedsNoCancelLock() { REQUIRE_CANCEL_LOCK_NOT_HELD(); }

template <class F> void Holding(PKSPIN_LOCK lock, F body) {
    KIRQL old;
    KeAcquireSpinLock(lock, &old);
    body();
    KeReleaseSpinLock(lock, old);
}
template <class F> void HoldingCancel(F body) {
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    body();
    IoReleaseCancelSpinLock(old);
}

// Each row keeps its rule, then breaks it once: one report, naming the routine (and the lock).
TEST(VerifierContract, EachBrokenContractOrLockRuleIsReportedOnce) {
    emu::Machine machine;
    KeInitializeSpinLock(&g_lock);
    KeInitializeSpinLock(&g_outer);
    KeInitializeSpinLock(&g_inner);
    DECLARE_LOCK_ORDER(&g_outer, CANCEL_SPIN_LOCK, &g_inner);
    KDPC zeroedDpc{};
    KTIMER timer;
    KeInitializeTimer(&timer);
    DpcLog log;
    KDPC dpc;
    log.init(dpc);
    struct Row {
        const char *routine;
        std::function<void()> call;
        Violation kind;
        const char *object = "";  // the lock or order the report names
    } rows[] = {
        {"NeedsPassive", [] { NeedsPassive(); AtDispatch(NeedsPassive); }, Violation::IrqlContract},
        {"NeedsAtMostApc", [] { NeedsAtMostApc(); AtDispatch(NeedsAtMostApc); }, Violation::IrqlContract},
        {"NeedsAtMostDispatch",
         [] {
             AtDispatch(NeedsAtMostDispatch);
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
             NeedsAtMostDispatch();
             KeLowerIrql(old);
         },
         Violation::IrqlContract},
        {"NeedsDispatch", [] { AtDispatch(NeedsDispatch); NeedsDispatch(); }, Violation::IrqlContract},
        {"Pageable", [] { Pageable(); AtDispatch(Pageable); }, Violation::IrqlContract},
        {"NeedsLock", [] { Holding(&g_lock, NeedsLock); NeedsLock(); }, Violation::LockContract, "&g_lock"},
        {"NeedsNoLock", [] { NeedsNoLock(); Holding(&g_lock, NeedsNoLock); }, Violation::LockContract, "&g_lock"},
        {"NeedsCancelLock", [] { HoldingCancel(NeedsCancelLock); NeedsCancelLock(); }, Violation::LockContract,
         "cancel lock"},
        {"NeedsNoCancelLock", [] { NeedsNoCancelLock(); HoldingCancel(NeedsNoCancelLock); }, Violation::LockContract,
         "cancel lock"},
        // The declared order is held to at the first nesting against it, before the right one is seen.
        {"KeAcquireSpinLock",
         [] {
             Holding(&g_inner, [] { HoldingCancel([] {}); });
             Holding(&g_outer, [] { HoldingCancel([] { Holding(&g_inner, [] {}); }); });
         },
         Violation::LockOrderInversion, "declared order (&g_outer, CANCEL_SPIN_LOCK, &g_inner)"},
        {"KeAcquireSpinLock",
         [] {
             KIRQL first, second;
             KeAcquireSpinLock(&g_lock, &first);
             KeAcquireSpinLock(&g_lock, &second);  // would spin forever on a real machine
             KeReleaseSpinLock(&g_lock, first);
         },
         Violation::SpinLockRecursion},
        {"KeAcquireSpinLockAtDpcLevel", [] { Holding(&g_lock, [] { KeAcquireSpinLockAtDpcLevel(&g_lock); }); },
         Violation::SpinLockRecursion},
        {"KeInitializeSpinLock", [] { Holding(&g_lock, [] { KeInitializeSpinLock(&g_lock); }); },
         Violation::InvalidParameter},  // the refused initialisation leaves it held for the release
        {"KeAcquireSpinLock",
         [] {
             KSPIN_LOCK zeroed = 0;  // as in a zeroed extension: free on Windows, yet never initialised
             KIRQL old;
             KeAcquireSpinLock(&zeroed, &old);
             KeLowerIrql(old);
         },
         Violation::NotInitialised},
        {"KeInsertQueueDpc", [&] { EXPECT_FALSE(KeInsertQueueDpc(&zeroedDpc, nullptr, nullptr)); },
         Violation::NotInitialised},
        {"KeSetTimer",
         [&] {
             EXPECT_FALSE(KeSetTimer(&timer, Relative(1 * kMs), &dpc));
             EXPECT_TRUE(KeCancelTimer(&timer));
             EXPECT_FALSE(KeSetTimer(&timer, Relative(1 * kMs), &zeroedDpc));
         },
         Violation::NotInitialised},
    };
    for (auto &row : rows) {
        emu::ReportCapture capture;
        row.call();
        ASSERT_EQ(capture.count(), 1u) << row.routine << "\n" << Texts(capture);
        auto reports = capture.reports();
        auto &report = reports[0];
        EXPECT_EQ(report.kind, row.kind) << report.text;
        EXPECT_NE(report.text.find(std::string(" in ") + row.routine + " at IRQL "), std::string::npos) << report.text;
        EXPECT_NE(report.text.find(row.object), std::string::npos) << report.text;
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    Delay(10 * kMs);
    EXPECT_EQ(log.count(), 0u) << "a refused DPC must not run";
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

struct DeviceState {
    KDPC dpc;
    KTIMER timer;
};

TEST(VerifierPool, DpcQueuedOrTimerArmedInFreedMemory) {
    emu::Machine machine;
    DpcLog log;
    auto *state = static_cast<DeviceState *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceState), kTag));
    ASSERT_NE(state, nullptr);
    log.init(state->dpc);
    KeInitializeTimer(&state->timer);
    {
        emu::ReportCapture capture;
        ProcessorHold hold(machine.config().processors);
        ASSERT_TRUE(KeInsertQueueDpc(&state->dpc, nullptr, nullptr));
        ExFreePoolWithTag(state, kTag);
        ASSERT_EQ(capture.count(), 1u) << Texts(capture);
        EXPECT_EQ(capture.reports()[0].kind, Violation::DpcPendingInFreedMemory);
        // The free was refused, so the DPC is still there to take back.
        EXPECT_TRUE(KeRemoveQueueDpc(&state->dpc));
    }
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
