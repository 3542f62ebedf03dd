// Pool: accounting, fault injection, and the kernel's own allocations failing under the driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/verifier.h"
#include "emulator/usbdevice/device.h"
#include "emulator/win32/win32.h"

namespace {

constexpr ULONG kTagA = emu::Tag("PlA1");
constexpr ULONG kTagB = emu::Tag("PlB2");

// Two distinct allocation sites. Each call stays a call (not a jump, which would make the caller's
// call the site) and the two differ, so that the compiler cannot fold them into one.
__attribute__((noinline)) void *AllocateAtSiteOne(ULONG tag) {
    void *p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    asm volatile("" ::: "memory");
    return p;
}
__attribute__((noinline)) void *AllocateAtSiteTwo(ULONG tag) {
    void *p = ExAllocatePoolWithTag(PagedPool, 16, tag);
    asm volatile("" ::: "memory");
    return p;
}

// Bytes, counts and call sites per tag; fresh blocks are never zeroed, not even after a zeroed free.
TEST(Pool, AccountsPerTagAndHandsOutUnzeroedBlocks) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    std::vector<void *> blocks{AllocateAtSiteOne(kTagA), AllocateAtSiteTwo(kTagA), AllocateAtSiteTwo(kTagB)};
    EXPECT_EQ(pool.bytesInUse(kTagA), 24u);
    EXPECT_EQ(pool.countInUse(kTagA), 2u);
    auto sites = pool.callSites(kTagA);
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_EQ(pool.callSites(kTagB), std::vector<const void *>{sites[1]});
    ExFreePoolWithTag(blocks[1], kTagA);
    EXPECT_EQ(pool.bytesInUse(kTagA), 8u);
    for (void *p : {blocks[0], blocks[2]}) ExFreePool(p);
    EXPECT_EQ(pool.bytesInUse(kTagA) + pool.bytesInUse(kTagB), 0u);
    for (int round = 0; round < 2; round++) {
        auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 64, kTagA));
        EXPECT_TRUE(std::any_of(p, p + 64, [](unsigned char c) { return c != 0; })) << round;
        std::memset(p, 0, 64);
        ExFreePoolWithTag(p, kTagA);
    }
}

// Each rule against one sequence of allocations: which of them fail, and how many failures it counted.
TEST(Pool, FaultRulesFailExactlyTheAllocationsTheyName) {
    using Allocate = void *(*)(ULONG);
    struct Step { Allocate allocate; ULONG tag; };
    const std::vector<Step> steps{{AllocateAtSiteOne, kTagA}, {AllocateAtSiteTwo, kTagA}, {AllocateAtSiteOne, kTagB},
                                  {AllocateAtSiteTwo, kTagB}, {AllocateAtSiteOne, kTagA}, {AllocateAtSiteTwo, kTagA}};
    struct Row {
        const char *rule;
        std::function<void(emu::Pool &, const void *siteOne)> arm;
        std::vector<bool> fails;
    };
    const Row rows[] = {
        {"third from the rule", [](emu::Pool &p, const void *) { p.failNth(3); }, {0, 0, 1, 0, 0, 0}},
        {"tag twice", [](emu::Pool &p, const void *) { p.failTag(kTagA, 2); }, {1, 1, 0, 0, 0, 0}},
        {"tag always", [](emu::Pool &p, const void *) { p.failTag(kTagB); }, {0, 0, 1, 1, 0, 0}},
        {"site once", [](emu::Pool &p, const void *site) { p.failCallSite(site, 1); }, {1, 0, 0, 0, 0, 0}},
        {"site always", [](emu::Pool &p, const void *site) { p.failCallSite(site); }, {1, 0, 1, 0, 1, 0}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.rule);
        emu::Machine machine;
        auto &pool = machine.service<emu::Pool>();
        ExFreePool(AllocateAtSiteOne(kTagA));  // before the rule: not counted by failNth
        row.arm(pool, pool.callSites(kTagA).at(0));
        std::vector<void *> got;
        size_t failed = 0;
        for (size_t i = 0; i < steps.size(); i++) {
            got.push_back(steps[i].allocate(steps[i].tag));
            EXPECT_EQ(got.back() == nullptr, row.fails[i]) << "allocation " << i;
            failed += got.back() == nullptr;
        }
        EXPECT_EQ(pool.injectedFailures(), failed);
        pool.clearFaults();
        for (const Step &step : steps) {
            got.push_back(step.allocate(step.tag));
            EXPECT_NE(got.back(), nullptr) << "cleared";
        }
        for (void *p : got)
            if (p) ExFreePool(p);
    }
}

TEST(Pool, QuotaFailureReturnsNullOnlyWithFailInsteadOfRaise) {
    emu::Machine machine;
    emu::ReportCapture capture;
    const auto failInstead = static_cast<POOL_TYPE>(PagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    ExFreePoolWithTag(ExAllocatePoolWithQuotaTag(failInstead, 48, kTagA), kTagA);
    // More than any pool holds: refused, not taken from the host.
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(failInstead, emu::Pool::kLargestAllocation + 1, kTagA), nullptr);
    machine.service<emu::Pool>().failTag(kTagA);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(failInstead, 48, kTagA), nullptr);
    EXPECT_EQ(capture.count(), 0u);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(PagedPool, 16, kTagA), nullptr);
    EXPECT_TRUE(capture.saw(emu::Violation::PoolQuotaWouldRaise));
}

// ---- The driver's life with one allocation failing -------------------------------------------------

// Load, plug, unplug, unload, with allocation `nth` of the machine failing (0: none), the
// allocations before the start included: the hub's for the new device, the driver's at load. Each
// step either succeeds or tells its caller why not, with a status that says so; a crash or a
// verifier report is a bug, and so is pool left behind. (What an open port does under failing
// allocations the fault sweep shows, with the driver loaded.) Returns the steps' outcomes.
std::string Life(uint64_t nth, uint64_t *allocations = nullptr) {
    std::string outcome;
    auto note = [&](const char *step, NTSTATUS status) {
        const ULONG code = RtlNtStatusToDosError(status);
        if (!NT_SUCCESS(status) && (code == win32::ERROR_MR_MID_NOT_FOUND || code == win32::ERROR_GEN_FAILURE))
            ADD_FAILURE() << step << " failed without a clear status: " << code;
        outcome += std::string(step) + (NT_SUCCESS(status) ? " ok; " : " failed " + std::to_string(code) + "; ");
        return NT_SUCCESS(status);
    };
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    auto &io = machine.service<emu::IoManager>();
    auto &pnp = machine.service<emu::PnpManager>();
    if (nth) pool.failNth(nth);

    PDRIVER_OBJECT driver = nullptr;
    note("load", io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver));
    auto device = std::make_unique<emu::usb::SimulatedDevice>();
    const PDEVICE_OBJECT pdo = device->pdo();  // NULL: the hub had no memory to report it
    if (!pdo) {
        note("plug", STATUS_INSUFFICIENT_RESOURCES);
    } else if (driver && note("plug", pnp.plugIn(driver, pdo))) {
        device->bus().unplug();
        note("surprise removal", pnp.surpriseRemove(pdo));
        note("removal", pnp.finishSurpriseRemoval(pdo));
    }
    device.reset();
    if (driver) io.unloadDriver(driver);
    // What stays is the bus driver, loaded for the machine's life.
    for (auto &a : pool.outstanding())
        if (a.tag != emu::kDriverTag) ADD_FAILURE() << a.size << " bytes left under " << emu::TagText(a.tag);
    if (allocations) *allocations = pool.allocationCount();
    return outcome;
}

TEST(PoolFaults, EveryAllocationOfTheDriversLifeFailsToItsCaller) {
    uint64_t total = 0;
    const std::string clean = Life(0, &total);
    EXPECT_EQ(clean.find("failed"), std::string::npos) << clean;
    for (uint64_t nth = 1; nth <= total; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " failing");
        Life(nth);
    }
}

}  // namespace
