// Pool: tags and accounting, fault injection by rule kind, quota allocations, fresh contents.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "emulator/kernel/machine.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/verifier.h"

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

TEST(Pool, AccountsBytesCountsAndCallSitesPerTag) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    std::vector<void *> blocks{AllocateAtSiteOne(kTagA), AllocateAtSiteTwo(kTagA), AllocateAtSiteOne(kTagA),
                               AllocateAtSiteTwo(kTagB)};
    EXPECT_EQ(pool.bytesInUse(kTagA), 32u);
    EXPECT_EQ(pool.countInUse(kTagA), 3u);
    EXPECT_EQ(pool.bytesInUse(kTagB), 16u);
    auto sites = pool.callSites(kTagA);
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_NE(sites[0], sites[1]);
    EXPECT_EQ(pool.callSites(kTagB), std::vector<const void *>{sites[1]});

    ExFreePoolWithTag(blocks[1], kTagA);
    EXPECT_EQ(pool.bytesInUse(kTagA), 16u);
    EXPECT_EQ(pool.countInUse(kTagA), 2u);
    ExFreePool(blocks[0]);
    ExFreePool(blocks[2]);
    ExFreePoolWithTag(blocks[3], kTagB);
    EXPECT_EQ(pool.bytesInUse(kTagA) + pool.bytesInUse(kTagB), 0u);
}

TEST(Pool, FreshBlocksAreNotZeroedEvenAfterAZeroedFree) {
    emu::Machine machine;
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
    struct Step {
        Allocate allocate;
        ULONG tag;
    };
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
    auto &pool = machine.service<emu::Pool>();
    emu::ReportCapture capture;
    const auto failInstead = static_cast<POOL_TYPE>(PagedPool | POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    void *p = ExAllocatePoolWithQuotaTag(failInstead, 48, kTagA);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.bytesInUse(kTagA), 48u);
    ExFreePoolWithTag(p, kTagA);

    pool.failTag(kTagA);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(failInstead, 48, kTagA), nullptr);
    EXPECT_EQ(capture.count(), 0u);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(PagedPool, 16, kTagA), nullptr);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.reports()[0].kind, emu::Violation::PoolQuotaWouldRaise);
}

}  // namespace
