#include "emulator/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {
bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }
// Fresh pool is not zeroed on Windows; a pattern makes code that assumes zeroes fail here too.
constexpr unsigned char kFreshPattern = 0xCD;
}  // namespace

std::string TagText(ULONG tag) {
    std::string s;
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

Pool::~Pool() {
    for (auto &[p, a] : live_) std::free(p);
}

bool Pool::shouldFailLocked(ULONG tag, const void *site) {
    sinceRules_++;
    for (auto &r : rules_) {
        if (r.remaining == 0) continue;
        bool match = false;
        switch (r.kind) {
        case Rule::Nth: match = sinceRules_ == r.value; break;
        case Rule::ByTag: match = tag == r.value; break;
        case Rule::BySite: match = reinterpret_cast<uint64_t>(site) == r.value; break;
        }
        if (match) {
            if (r.remaining > 0) r.remaining--;
            injected_++;
            return true;
        }
    }
    return false;
}

void *Pool::allocate(POOL_TYPE type, size_t size, ULONG tag, const void *site, const char *routine, bool mustSucceed) {
    if (!RequireIrql(routine, DISPATCH_LEVEL)) return nullptr;
    if (IsPaged(type) && CurrentIrql() >= DISPATCH_LEVEL) {
        Report(Violation::PagedPoolAtDispatch, routine, "paged allocation of tag " + TagText(tag));
        return nullptr;
    }
    std::lock_guard<std::mutex> g(lock_);
    if (std::find(sites_.begin(), sites_.end(), std::make_pair(tag, site)) == sites_.end())
        sites_.emplace_back(tag, site);
    if (!mustSucceed && shouldFailLocked(tag, site)) return nullptr;
    if (size > kLargestAllocation) return nullptr;  // more than the pool could ever hold
    void *p = std::malloc(size ? size : 1);
    if (!p) return nullptr;
    std::memset(p, kFreshPattern, size);
    live_[p] = Allocation{p, size, tag, type, site, ++serial_};
    return p;
}

bool Pool::free(void *p, ULONG tag, const char *routine) {
    if (!p) {
        Report(Violation::PoolDoubleFree, routine, "NULL freed");
        return false;
    }
    Allocation a;
    {
        std::lock_guard<std::mutex> g(lock_);
        auto it = live_.find(p);
        if (it == live_.end()) {
            Report(Violation::PoolDoubleFree, routine, Hex(p) + " is not an allocated block");
            return false;
        }
        a = it->second;
        if (tag != 0 && tag != a.tag) {
            Report(Violation::PoolWrongTag, routine,
                   Hex(p) + " allocated with tag " + TagText(a.tag) + ", freed with " + TagText(tag));
            return false;
        }
    }
    if (!RequireIrql(routine, IsPaged(a.type) ? APC_LEVEL : DISPATCH_LEVEL)) return false;
    Scheduler &s = Machine::current().scheduler();
    // Freed, the block would leave the scheduler a dangling DPC or timer; kept, the machine runs on.
    if (!s.checkFreedRange(p, a.size, routine)) return false;
    s.forgetLocks(p, a.size);
    {
        std::lock_guard<std::mutex> g(lock_);
        live_.erase(p);
    }
    std::free(p);
    return true;
}

size_t Pool::bytesInUse(ULONG tag) const {
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (auto &[p, a] : live_)
        if (a.tag == tag) n += a.size;
    return n;
}

size_t Pool::countInUse(ULONG tag) const { return outstanding(tag).size(); }

std::vector<Allocation> Pool::outstanding(ULONG tag) const { return outstandingMatching(&tag); }

std::vector<Allocation> Pool::outstanding() const { return outstandingMatching(nullptr); }

std::vector<Allocation> Pool::outstandingMatching(const ULONG *tag) const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<Allocation> v;
    for (auto &[p, a] : live_)
        if (!tag || a.tag == *tag) v.push_back(a);
    std::sort(v.begin(), v.end(), [](auto &x, auto &y) { return x.serial < y.serial; });
    return v;
}

std::vector<const void *> Pool::callSites(ULONG tag) const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<const void *> v;
    for (auto &[t, s] : sites_)
        if (t == tag) v.push_back(s);
    return v;
}

uint64_t Pool::allocationCount() const {
    std::lock_guard<std::mutex> g(lock_);
    return serial_;
}

void Pool::failNth(uint64_t nth) {
    std::lock_guard<std::mutex> g(lock_);
    sinceRules_ = 0;
    rules_.push_back({Rule::Nth, nth, 1});
}

void Pool::failTag(ULONG tag, int times) {
    std::lock_guard<std::mutex> g(lock_);
    rules_.push_back({Rule::ByTag, tag, times});
}

void Pool::failCallSite(const void *site, int times) {
    std::lock_guard<std::mutex> g(lock_);
    rules_.push_back({Rule::BySite, reinterpret_cast<uint64_t>(site), times});
}

void Pool::clearFaults() {
    std::lock_guard<std::mutex> g(lock_);
    rules_.clear();
}

uint64_t Pool::injectedFailures() const {
    std::lock_guard<std::mutex> g(lock_);
    return injected_;
}

void Pool::reportLeaks(ULONG tag, const char *routine) {
    auto left = outstanding(tag);
    if (left.empty()) return;
    std::string detail = std::to_string(left.size()) + " block(s) under tag " + TagText(tag) + ":";
    for (auto &a : left) detail += " [" + Hex(a.address) + ", " + std::to_string(a.size) + " bytes, site " + Hex(a.site) + "]";
    Report(Violation::PoolLeakAtUnload, routine, detail);
}

}  // namespace emu

using namespace emu;

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return Machine::current().service<Pool>().allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0),
                                                       "ExAllocatePoolWithTag");
}

// Quota charging has nothing to charge here; what matters is the failure contract: without
// POOL_QUOTA_FAIL_INSTEAD_OF_RAISE a failure raises an exception, which no driver code may rely on.
PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    bool failInstead = (PoolType & POOL_QUOTA_FAIL_INSTEAD_OF_RAISE) != 0;
    auto type = static_cast<POOL_TYPE>(PoolType & ~POOL_QUOTA_FAIL_INSTEAD_OF_RAISE);
    void *p = Machine::current().service<Pool>().allocate(type, NumberOfBytes, Tag, __builtin_return_address(0),
                                                          "ExAllocatePoolWithQuotaTag");
    if (!p && !failInstead)
        Report(Violation::PoolQuotaWouldRaise, "ExAllocatePoolWithQuotaTag",
               "allocation of tag " + TagText(Tag) + " failed and would raise an exception");
    return p;
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Machine::current().service<Pool>().free(P, Tag, "ExFreePoolWithTag");
}

VOID NTAPI ExFreePool(PVOID P) { Machine::current().service<Pool>().free(P, 0, "ExFreePool"); }

}  // extern "C"
