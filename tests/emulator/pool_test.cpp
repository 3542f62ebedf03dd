// Pool: tags and accounting, fault injection by rule kind, quota allocations, fresh contents, and
// the kernel's own allocations failing under a whole session.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/registry.h"
#include "emulator/kernel/verifier.h"
#include "emulator/usbdevice/device.h"
#include "emulator/usbdevice/far_ends.h"
#include "emulator/win32/comm.h"
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
    void *p = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    asm volatile("" ::: "memory");
    return p;
}

POOL_TYPE QuotaType(POOL_TYPE type, bool failInstead) {
    return static_cast<POOL_TYPE>(type | (failInstead ? POOL_QUOTA_FAIL_INSTEAD_OF_RAISE : 0));
}

TEST(PoolAccounting, BytesCountsAndOutstandingBlocksPerTag) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    void *a1 = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
    void *b1 = ExAllocatePoolWithTag(PagedPool, 100, kTagB);
    void *a2 = ExAllocatePoolWithTag(PagedPool, 20, kTagA);
    void *a3 = ExAllocatePoolWithTag(NonPagedPool, 30, kTagA);
    ASSERT_TRUE(a1 && b1 && a2 && a3);
    EXPECT_EQ(pool.bytesInUse(kTagA), 60u);
    EXPECT_EQ(pool.countInUse(kTagA), 3u);
    EXPECT_EQ(pool.bytesInUse(kTagB), 100u);

    auto blocks = pool.outstanding(kTagA);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, a1);  // in allocation order
    EXPECT_EQ(blocks[1].address, a2);
    EXPECT_EQ(blocks[1].size, 20u);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(blocks[2].address, a3);
    EXPECT_LT(blocks[0].serial, blocks[1].serial);

    ExFreePoolWithTag(a2, kTagA);
    EXPECT_EQ(pool.bytesInUse(kTagA), 40u);
    EXPECT_EQ(pool.countInUse(kTagA), 2u);
    ExFreePoolWithTag(a1, kTagA);
    ExFreePool(a3);
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(pool.bytesInUse(kTagA), 0u);
    EXPECT_EQ(pool.bytesInUse(kTagB), 0u);
}

TEST(PoolAccounting, CallSitesAreDistinctPerTag) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    std::vector<void *> blocks{AllocateAtSiteOne(kTagA), AllocateAtSiteOne(kTagA), AllocateAtSiteTwo(kTagA),
                               AllocateAtSiteTwo(kTagB)};
    auto sites = pool.callSites(kTagA);
    ASSERT_EQ(sites.size(), 2u);
    EXPECT_NE(sites[0], sites[1]);
    EXPECT_EQ(pool.outstanding(kTagA)[0].site, sites[0]);
    EXPECT_EQ(pool.outstanding(kTagA)[2].site, sites[1]);
    EXPECT_EQ(pool.callSites(kTagB), std::vector<const void *>{sites[1]});
    for (void *p : blocks) ExFreePool(p);
}

TEST(PoolAccounting, FreshPoolIsNotZeroed) {
    emu::Machine machine;
    auto allocateAndCheck = [] {
        auto *p = static_cast<unsigned char *>(ExAllocatePoolWithTag(NonPagedPool, 64, kTagA));
        EXPECT_TRUE(std::any_of(p, p + 64, [](unsigned char c) { return c != 0; }));
        std::memset(p, 0, 64);
        ExFreePoolWithTag(p, kTagA);
    };
    allocateAndCheck();
    allocateAndCheck();  // a block zeroed before its free does not come back zeroed
}

// ---- Fault injection --------------------------------------------------------------------------------

TEST(PoolFaults, FailNthCountsFromTheRule) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    void *before = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    pool.failNth(3);
    std::vector<void *> got;
    for (int i = 0; i < 5; i++) got.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
    EXPECT_NE(got[0], nullptr);
    EXPECT_NE(got[1], nullptr);
    EXPECT_EQ(got[2], nullptr);
    EXPECT_NE(got[3], nullptr);
    EXPECT_NE(got[4], nullptr) << "failNth fails one allocation only";
    EXPECT_EQ(pool.injectedFailures(), 1u);
    EXPECT_EQ(pool.countInUse(kTagA), 5u);
    ExFreePool(before);
    for (void *p : got)
        if (p) ExFreePool(p);
}

TEST(PoolFaults, FailTagFailsOnlyThatTagForTheGivenCount) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    pool.failTag(kTagA, 2);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagA), nullptr);
    void *a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(a, nullptr) << "the rule was for two failures";
    ExFreePool(a);

    pool.failTag(kTagA);  // every one
    for (int i = 0; i < 10; i++) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(pool.injectedFailures(), 12u);
    pool.clearFaults();
    a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(a, nullptr);
    ExFreePool(a);
    ExFreePool(b);
}

TEST(PoolFaults, FailCallSiteFailsOnlyThatSite) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    void *probe = AllocateAtSiteOne(kTagA);
    const void *site = pool.outstanding(kTagA).at(0).site;
    ExFreePool(probe);
    pool.failCallSite(site, 1);
    EXPECT_EQ(AllocateAtSiteOne(kTagB), nullptr) << "any tag at that site";
    void *other = AllocateAtSiteTwo(kTagA);
    void *again = AllocateAtSiteOne(kTagA);
    EXPECT_NE(other, nullptr);
    EXPECT_NE(again, nullptr) << "the rule was for one failure";
    ExFreePool(other);
    ExFreePool(again);
}

// ---- Quota allocations ------------------------------------------------------------------------------

TEST(PoolQuota, FailureReturnsNullWithFailInsteadOfRaiseAndWouldRaiseWithout) {
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    emu::ReportCapture capture;
    for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
        void *p = ExAllocatePoolWithQuotaTag(QuotaType(type, true), 48, kTagA);
        void *q = ExAllocatePoolWithQuotaTag(type, 16, kTagA);  // succeeding needs no flag
        ASSERT_TRUE(p && q);
        EXPECT_EQ(pool.outstanding(kTagA).at(0).type, type) << "the flag is not a pool type";
        EXPECT_EQ(pool.bytesInUse(kTagA), 64u);
        ExFreePoolWithTag(p, kTagA);
        ExFreePoolWithTag(q, kTagA);
    }
    pool.failTag(kTagA);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(QuotaType(PagedPool, true), 48, kTagA), nullptr);
    EXPECT_EQ(capture.count(), 0u);
    EXPECT_EQ(ExAllocatePoolWithQuotaTag(PagedPool, 16, kTagA), nullptr);
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.reports()[0].kind, emu::Violation::PoolQuotaWouldRaise);
}

// ---- A session with one allocation failing ----------------------------------------------------------

// Load, plug, open, write, read, close, unplug, unload, with allocation `nth` of the machine failing
// (0: none). Each step either succeeds or tells its caller why not, with a status that says so; a
// crash or a verifier report is a bug, and so is pool left behind or a request that never ends.
// Returns the steps' outcomes.
std::string Session(uint64_t nth, uint64_t *allocations = nullptr) {
    using namespace win32;
    std::string outcome;
    auto note = [&](const char *step, bool ok, uint32_t code) {
        if (!ok && (code == ERROR_SUCCESS || code == ERROR_MR_MID_NOT_FOUND || code == ERROR_GEN_FAILURE))
            ADD_FAILURE() << step << " failed without a clear status: " << code;
        outcome += std::string(step) + (ok ? " ok; " : " failed " + std::to_string(code) + "; ");
        return ok;
    };
    auto noteNt = [&](const char *step, NTSTATUS status) { return note(step, NT_SUCCESS(status), RtlNtStatusToDosError(status)); };
    auto noteWin32 = [&](const char *step, BOOL ok) { return note(step, ok, ok ? ERROR_SUCCESS : GetLastError()); };
    emu::Machine machine;
    auto &pool = machine.service<emu::Pool>();
    auto &io = machine.service<emu::IoManager>();
    auto &pnp = machine.service<emu::PnpManager>();
    if (nth) pool.failNth(nth);

    PDRIVER_OBJECT driver = nullptr;
    noteNt("load", io.loadDriver(DriverEntry, u"miravo", MIRAVO_POOL_TAG, &driver));
    auto device = std::make_unique<emu::usb::SimulatedDevice>();
    emu::usb::Loopback plug(device->chip());
    const PDEVICE_OBJECT pdo = device->pdo();  // NULL: the hub had no memory to report it
    bool started = false;
    if (!pdo) {
        noteNt("plug", STATUS_INSUFFICIENT_RESOURCES);
    } else if (driver) {
        // The port's name, where the class installer leaves it.
        const std::u16string key = std::u16string(emu::Registry::kEnumPath) + u"\\USB\\Port";
        machine.service<emu::Registry>().SetDeviceKeyPath(pdo, key);
        machine.service<emu::Registry>().SetString(key + u"\\Device Parameters", u"PortName", u"COM3");
        started = noteNt("plug", pnp.plugIn(driver, pdo));
    }
    HANDLE h = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (noteWin32("open", h != INVALID_HANDLE_VALUE)) {
        COMMTIMEOUTS timeouts{0, 0, 500, 0, 500};
        const bool timed = noteWin32("time-outs", SetCommTimeouts(h, &timeouts));
        // A request with a time-out ends by itself; one without is taken back after a while.
        auto finish = [&](const char *step, BOOL done, OVERLAPPED &ov) {
            if (!done && GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(ov.hEvent, 1500) == WAIT_TIMEOUT) {
                    if (timed) ADD_FAILURE() << step << " still pending 1.5 s after it began";
                    CancelIo(h);
                }
                DWORD n = 0;
                done = GetOverlappedResult(h, &ov, &n, TRUE);
            }
            noteWin32(step, done);
        };
        const char data[] = "0123456789abcdef";
        char back[sizeof data] = {};
        OVERLAPPED ov{};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        finish("write", WriteFile(h, data, sizeof data, nullptr, &ov), ov);
        finish("read", ReadFile(h, back, sizeof back, nullptr, &ov), ov);
        CloseHandle(ov.hEvent);
        noteWin32("close", CloseHandle(h));
    }
    if (started) {
        device->bus().unplug();
        noteNt("surprise removal", pnp.surpriseRemove(pdo));
        noteNt("removal", pnp.finishSurpriseRemoval(pdo));
    }
    device.reset();
    if (driver) io.unloadDriver(driver);
    // What stays is the bus driver, loaded for the machine's life.
    for (auto &a : pool.outstanding())
        if (a.tag != emu::kDriverTag) ADD_FAILURE() << a.size << " bytes left under " << emu::TagText(a.tag);
    if (allocations) *allocations = pool.allocationCount();
    return outcome;
}

TEST(PoolFaults, EveryAllocationOfASessionFailsToItsCaller) {
    uint64_t total = 0;
    const std::string clean = Session(0, &total);
    EXPECT_EQ(clean.find("failed"), std::string::npos) << clean;
    for (uint64_t nth = 1; nth <= total; nth++) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " failing");
        Session(nth);
    }
}

}  // namespace
