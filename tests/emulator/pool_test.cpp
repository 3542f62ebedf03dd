// Pool: tags and accounting, fault injection by rule kind, quota allocations, fresh contents, and
// the kernel's own allocations failing under a whole session.
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
    auto plug = std::make_unique<emu::usb::Loopback>(device->chip());
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
    plug.reset();  // before the chip it is plugged into
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
