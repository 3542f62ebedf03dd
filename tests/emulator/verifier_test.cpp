// The verifier: every check is shown by breaking its rule on purpose. Reports are captured where the
// machine can carry on; a death test shows the default (abort) and the deadlock report.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/kernel/verifier.h"
#include "platform/host/wdm.h"
#include "tests/emulator/kernel_test_support.h"

namespace {

using namespace kt;
using emu::Violation;

constexpr ULONG kTag = emu::Tag("VfTs");

KSPIN_LOCK g_lock, g_outer, g_inner, g_a, g_b;

void NeedsPassive() { REQUIRE_IRQL(PASSIVE_LEVEL); }
void NeedsAtMostApc() { REQUIRE_IRQL_AT_MOST(APC_LEVEL); }
void NeedsAtMostDispatch() { REQUIRE_IRQL_AT_MOST(DISPATCH_LEVEL); }
void NeedsDispatch() { REQUIRE_IRQL(DISPATCH_LEVEL); }
void Pageable() { PAGED_CODE(); }
void NeedsLock() { REQUIRE_LOCK_HELD(&g_lock); }
void NeedsNoLock() { REQUIRE_LOCK_NOT_HELD(&g_lock); }
void NeedsCancelLock() { REQUIRE_CANCEL_LOCK_HELD(); }
void NeedsNoCancelLock() { REQUIRE_CANCEL_LOCK_NOT_HELD(); }

template <class F> void At(KIRQL irql, F body) {
    KIRQL old;
    KeRaiseIrql(irql, &old);
    body();
    KeLowerIrql(old);
}
template <class F> void AtDispatch(F body) { At(DISPATCH_LEVEL, body); }
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

// Each row keeps its rule where it can, then breaks it once: the reports it draws (one unless
// told), naming the routine (and the lock or order), and what was refused leaves no trace.
TEST(VerifierContract, EachBrokenContractOrRuleIsReportedNamingTheRoutine) {
    emu::Machine machine;
    for (PKSPIN_LOCK l : {&g_lock, &g_outer, &g_inner, &g_a, &g_b}) KeInitializeSpinLock(l);
    DECLARE_LOCK_ORDER(&g_outer, CANCEL_SPIN_LOCK, &g_inner);
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
    KDPC zeroedDpc{};
    KTIMER timer;
    KeInitializeTimer(&timer);
    DpcLog log;
    KDPC dpc, leavesLockHeld;
    log.init(dpc);
    KeInitializeDpc(&leavesLockHeld, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&g_lock); }, nullptr);
    struct Row {
        const char *routine;
        std::function<void()> call;
        Violation kind;
        const char *object = "";  // the lock or order the report names
        size_t reports = 1;
    } rows[] = {
        // Passive-only kernel routines at DISPATCH_LEVEL.
        {"KeFlushQueuedDpcs", [] { AtDispatch(KeFlushQueuedDpcs); }, Violation::IrqlTooHigh},
        {"KeSetEvent", [&] { AtDispatch([&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); }); }, Violation::IrqlTooHigh},
        {"ExFreePoolWithTag", [&] { AtDispatch([&] { ExFreePoolWithTag(paged, kTag); }); }, Violation::IrqlTooHigh},
        {"IoCreateSymbolicLink", [&] { AtDispatch([&] { EXPECT_FALSE(NT_SUCCESS(IoCreateSymbolicLink(&a, &b))); }); },
         Violation::IrqlTooHigh},
        {"KeWaitForSingleObject", [&] { AtDispatch([&] { EXPECT_EQ(WaitFor(&event, 10 * kMs), STATUS_TIMEOUT); }); },
         Violation::WaitAtDispatch, "", 2},
        {"KeDelayExecutionThread", [] { AtDispatch([] { Delay(10 * kMs); }); }, Violation::WaitAtDispatch},
        {"ExAllocatePoolWithTag", [] { AtDispatch([] { EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTag), nullptr); }); },
         Violation::PagedPoolAtDispatch},
        {"RtlQueryRegistryValues",
         [&] { AtDispatch([&] { RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr); }); },
         Violation::RegistryAtDispatch},
        {"RtlWriteRegistryValue",
         [&] { AtDispatch([&] { RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key.c_str(), u"B", REG_DWORD, &value, 4); }); },
         Violation::RegistryAtDispatch},
        // The driver's own contracts.
        {"NeedsPassive", [] { NeedsPassive(); AtDispatch(NeedsPassive); }, Violation::IrqlContract},
        {"NeedsAtMostApc", [] { NeedsAtMostApc(); AtDispatch(NeedsAtMostApc); }, Violation::IrqlContract},
        {"NeedsAtMostDispatch", [] { AtDispatch(NeedsAtMostDispatch); At(HIGH_LEVEL, NeedsAtMostDispatch); },
         Violation::IrqlContract},
        {"NeedsDispatch", [] { AtDispatch(NeedsDispatch); NeedsDispatch(); }, Violation::IrqlContract},
        {"Pageable", [] { Pageable(); AtDispatch(Pageable); }, Violation::IrqlContract},
        {"NeedsLock", [] { Holding(&g_lock, NeedsLock); NeedsLock(); }, Violation::LockContract, "&g_lock"},
        {"NeedsNoLock", [] { NeedsNoLock(); Holding(&g_lock, NeedsNoLock); }, Violation::LockContract, "&g_lock"},
        {"NeedsCancelLock", [] { HoldingCancel(NeedsCancelLock); NeedsCancelLock(); }, Violation::LockContract,
         "cancel lock"},
        {"NeedsNoCancelLock", [] { NeedsNoCancelLock(); HoldingCancel(NeedsNoCancelLock); }, Violation::LockContract,
         "cancel lock"},
        // Spin locks: the declared order is held to at the first nesting against it.
        {"KeAcquireSpinLock",
         [] {
             Holding(&g_inner, [] { HoldingCancel([] {}); });
             Holding(&g_outer, [] { HoldingCancel([] { Holding(&g_inner, [] {}); }); });
         },
         Violation::LockOrderInversion, "declared order (&g_outer, CANCEL_SPIN_LOCK, &g_inner)"},
        // Undeclared: one order, repeated or one lock at a time, is fine; another thread nesting
        // them the other way round could deadlock with it.
        {"KeAcquireSpinLockAtDpcLevel",
         [] {
             for (int i = 0; i < 2; i++) Holding(&g_a, [] { AtDispatch([] {}); Holding(&g_b, [] {}); });
             Holding(&g_b, [] {});
             emu::Thread([] { Holding(&g_b, [] { KeAcquireSpinLockAtDpcLevel(&g_a); KeReleaseSpinLockFromDpcLevel(&g_a); }); })
                 .join();
         },
         Violation::LockOrderInversion},
        {"KeAcquireSpinLockAtDpcLevel",  // the cancel lock is ordered with the others too
         [] {
             Holding(&g_a, [] { HoldingCancel([] {}); });
             HoldingCancel([] { KeAcquireSpinLockAtDpcLevel(&g_a); KeReleaseSpinLockFromDpcLevel(&g_a); });
         },
         Violation::LockOrderInversion},
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
        {"KeReleaseSpinLock",
         [] {
             AtDispatch([] { KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL); });
             EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "a refused release must not lower the IRQL";
         },
         Violation::SpinLockNotHeld},
        {"KeReleaseSpinLockFromDpcLevel",  // held by another thread: still not ours to release
         [] {
             std::atomic<bool> held{false}, done{false};
             emu::Thread owner([&] {
                 Holding(&g_lock, [&] {
                     held.store(true);
                     while (!done.load()) std::this_thread::yield();
                 });
             });
             while (!held.load()) std::this_thread::yield();
             AtDispatch([] { KeReleaseSpinLockFromDpcLevel(&g_lock); });
             done.store(true);
         },
         Violation::SpinLockNotHeld},
        {"KeInitializeSpinLock", [] { Holding(&g_lock, [] { KeInitializeSpinLock(&g_lock); }); },
         Violation::InvalidParameter},  // the refused initialisation leaves it held for the release
        {"DPC",
         [&] { KeInsertQueueDpc(&leavesLockHeld, nullptr, nullptr); KeFlushQueuedDpcs(); },
         Violation::InvalidParameter},
        // Objects used before their initialisation.
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
        // Pool: a refused free leaves the block allocated.
        {"ExFreePoolWithTag",
         [] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
             ExFreePoolWithTag(p, emu::Tag("Othr"));
             EXPECT_EQ(emu::Machine::current().service<emu::Pool>().countInUse(kTag), 2u);
             ExFreePoolWithTag(p, kTag);
         },
         Violation::PoolWrongTag},
        {"ExFreePool",
         [] {
             void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
             ExFreePool(p);  // untagged free: any tag matches
             ExFreePool(p);
         },
         Violation::PoolDoubleFree},
    };
    for (auto &row : rows) {
        emu::ReportCapture capture;
        row.call();
        std::string texts;
        for (auto &r : capture.reports()) texts += r.text + "\n";
        ASSERT_EQ(capture.count(), row.reports) << row.routine << "\n" << texts;
        auto report = capture.reports()[0];
        EXPECT_TRUE(capture.saw(row.kind)) << texts;
        EXPECT_NE(report.text.find(std::string(" in ") + row.routine + " at IRQL "), std::string::npos) << texts;
        EXPECT_NE(report.text.find(row.object), std::string::npos) << texts;
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(machine.now(), 0) << "a refused wait must not block";
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(registry.GetValue(key, u"B"));
    EXPECT_FALSE(machine.service<emu::Namespace>().LinkTarget(u"\\??\\COM9"));
    emu::ReportCapture capture;
    AtDispatch([] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 16, kTag), kTag); });  // fine
    ExFreePoolWithTag(paged, kTag);  // the refused free left it
    EXPECT_EQ(capture.count(), 0u);
    Delay(10 * kMs);
    EXPECT_EQ(log.count(), 0u) << "a refused DPC must not run";
}

struct DeviceState { KDPC dpc; KTIMER timer; };

TEST(VerifierPool, DpcQueuedOrTimerArmedInFreedMemory) {
    emu::Machine machine;
    DpcLog log;
    auto *state = static_cast<DeviceState *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceState), kTag));
    log.init(state->dpc);
    KeInitializeTimer(&state->timer);
    {
        emu::ReportCapture capture;
        ProcessorHold hold(machine.config().processors);
        ASSERT_TRUE(KeInsertQueueDpc(&state->dpc, nullptr, nullptr));
        ExFreePoolWithTag(state, kTag);
        EXPECT_TRUE(capture.saw(Violation::DpcPendingInFreedMemory));
        EXPECT_TRUE(KeRemoveQueueDpc(&state->dpc)) << "the free was refused: the DPC is still there";
    }
    KeSetTimer(&state->timer, Relative(1 * kSecond), &state->dpc);
    {
        emu::ReportCapture capture;
        ExFreePoolWithTag(state, kTag);
        EXPECT_TRUE(capture.saw(Violation::TimerPendingInFreedMemory));
    }
    EXPECT_TRUE(KeCancelTimer(&state->timer));
    ExFreePoolWithTag(state, kTag);
    Delay(2 * kSecond);
    EXPECT_EQ(log.count(), 0u);
}

// Memory freed forgets the order its locks were nested in, whichever side of a pair they were on,
// so a lock at a reused address starts clean; a neighbouring block's locks keep theirs.
TEST(VerifierPool, FreedMemoryForgetsTheNestingOfItsLocksOnly) {
    struct Row {
        int freed;  // index into the locks: 0 was held, 1 taken inside it, 2 never nested
        bool inversionReported;
    } rows[] = {{0, false}, {1, false}, {2, true}};
    for (const Row &row : rows) {
        emu::Machine machine;
        KSPIN_LOCK locks[3];
        for (auto &l : locks) KeInitializeSpinLock(&l);
        Holding(&locks[0], [&] { Holding(&locks[1], [] {}); });
        machine.scheduler().forgetLocks(&locks[row.freed], sizeof(KSPIN_LOCK));
        emu::ReportCapture capture;
        Holding(&locks[1], [&] { Holding(&locks[0], [] {}); });
        EXPECT_EQ(capture.saw(Violation::LockOrderInversion), row.inversionReported) << "freed lock " << row.freed;
    }
}

TEST(VerifierDeathTest, AReportAbortsByDefaultAndADeadlockIsOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            emu::Machine machine;
            void *p = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            ExFreePoolWithTag(p, kTag);
            ExFreePoolWithTag(p, kTag);
        },
        "VERIFIER: pool freed twice or never allocated in ExFreePoolWithTag");
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
