// Every allocation of a session, and every USB request of it, failed in turn: one run to count
// them, then one run per allocation and per (URB, way of failing). Each run gives its caller a
// clear status at every step, completes every request once (the verifier watches the rest), leaves
// no 'COMX' pool and, where the start failed, lets a new chip come up as COM3.

#include "tests/faults/session.h"

namespace faults {
namespace {

// Under the sanitizers every run costs several times more: a sample of the sites, evenly spread.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kStride = 7;
#else
constexpr uint64_t kStride = 1;
#endif

struct Baseline { uint64_t allocations = 0; std::vector<emu::usb::UrbRecord> urbs; };

Baseline Count() {
    Baseline b;
    uint64_t before = 0;
    const SessionResult clean = RunSession(
        [&](lab::Bench &bench) { before = bench.machine().service<emu::Pool>().allocationCount(); },
        [&](lab::Bench &bench) {
            b.allocations = bench.machine().service<emu::Pool>().allocationCount() - before;
            b.urbs = bench.device().bus().urbLog();
        },
        nullptr);
    EXPECT_EQ(clean.outcome.find("ERROR"), std::string::npos) << clean.outcome;
    EXPECT_EQ(clean.outcome.find("error"), std::string::npos) << clean.outcome;
    EXPECT_NE(clean.outcome.find("close ok"), std::string::npos) << clean.outcome;
    std::printf("one session: %llu allocations, %zu URBs, %.1f ms emulated\n", (unsigned long long)b.allocations,
                b.urbs.size(), clean.emulated / 1e4);
    return b;
}

TEST(FaultSweep, EveryAllocationAndEveryUsbRequestOfASessionFailsCleanly) {
    const Baseline base = Count();
    ASSERT_GT(base.allocations, 20u);
    ASSERT_GT(base.urbs.size(), 20u);

    Tally pool;
    for (uint64_t nth = 1; nth <= base.allocations; nth += kStride) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " failing");
        RunSession([&](lab::Bench &bench) { bench.machine().service<emu::Pool>().failNth(nth); },
                   [](lab::Bench &bench) { bench.machine().service<emu::Pool>().clearFaults(); }, &pool);
    }

    // A URB's kind: its function, and for a transfer its endpoint. The Nth of each kind fails.
    using Kind = std::pair<USHORT, uint8_t>;
    std::map<Kind, int> seen;
    struct Way { const char *name; void (*apply)(emu::usb::FaultRule &); };
    const Way ways[] = {
        {"fail", [](emu::usb::FaultRule &r) { r.fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL); }},
        {"stall", [](emu::usb::FaultRule &r) { r.stall(); }},
        {"pend", [](emu::usb::FaultRule &r) { r.pendForever(); }},
    };
    Tally usb;
    uint64_t tried = 0;
    for (size_t i = 0; i < base.urbs.size(); i++) {
        const auto &u = base.urbs[i];
        const Kind kind{u.function, u.endpoint};
        const int nth = seen[kind]++;
        for (const Way &way : ways) {
            if (tried++ % kStride) continue;
            SCOPED_TRACE("URB " + std::to_string(i) + " (function " + std::to_string(u.function) + ", endpoint " +
                         std::to_string(u.endpoint) + ", number " + std::to_string(nth) + " of its kind): " + way.name);
            auto rule = emu::usb::FaultRule::ForFunction(u.function).after(nth).times(1);
            if (u.endpoint) rule.withEndpoint(u.endpoint);
            way.apply(rule);
            RunSession([&](lab::Bench &bench) { bench.device().bus().addFault(rule); },
                       [](lab::Bench &bench) { bench.device().bus().clearFaults(); }, &usb);
        }
    }
    std::printf("sampling every %llu%s\n", (unsigned long long)kStride, kStride > 1 ? " (sanitizer build)" : "");
    pool.print("allocations failed one at a time");
    std::printf("URBs: %zu of %zu kinds, each failed, stalled and left pending\n", base.urbs.size(), seen.size());
    usb.print("URBs failed one at a time");
}

}  // namespace
}  // namespace faults
