// Pool: allocations with their tag, pool type and call site, per-tag accounting, leak listing,
// and fault injection for tests that walk every failure path.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

// A tag as the kernel stores it: the first character in the low byte ('COMX' reads "COMX").
constexpr ULONG Tag(const char (&s)[5]) {
    return ULONG(UCHAR(s[0])) | ULONG(UCHAR(s[1])) << 8 | ULONG(UCHAR(s[2])) << 16 | ULONG(UCHAR(s[3])) << 24;
}
std::string TagText(ULONG tag);

struct Allocation {
    void *address;
    size_t size;
    ULONG tag;
    POOL_TYPE type;
    const void *site;  // return address of the allocating call
    uint64_t serial;   // 1 for the machine's first allocation
};

class Pool {
public:
    // A request above this fails, as on a machine whose pool is this size: an application asking
    // for a receive queue of gigabytes gets a refusal, not the host's memory.
    static constexpr size_t kLargestAllocation = size_t(256) << 20;

    ~Pool();
    // `mustSucceed`: the kernel's own allocations that Windows never lets fail (the IRPs of a close,
    // for one); fault injection passes them by.
    void *allocate(POOL_TYPE type, size_t size, ULONG tag, const void *site, const char *routine,
                   bool mustSucceed = false);
    // Frees `p`; `tag` 0 means untagged (ExFreePool). False when the verifier refused it.
    bool free(void *p, ULONG tag, const char *routine);

    // Accounting.
    size_t bytesInUse(ULONG tag) const;
    size_t countInUse(ULONG tag) const;
    std::vector<Allocation> outstanding(ULONG tag) const;
    std::vector<Allocation> outstanding() const;  // every tag
    std::vector<const void *> callSites(ULONG tag) const;  // distinct sites seen so far, in order
    uint64_t allocationCount() const;

    // Fault injection: matching allocations return NULL. Each rule fails `times` allocations
    // (-1: every one). `nth` counts allocations from the moment the rule is set, from 1.
    void failNth(uint64_t nth);
    void failTag(ULONG tag, int times = -1);
    void failCallSite(const void *site, int times = -1);
    void clearFaults();
    uint64_t injectedFailures() const;

    // The verifier's leak check at driver unload.
    void reportLeaks(ULONG tag, const char *routine);

private:
    bool shouldFailLocked(ULONG tag, const void *site);
    std::vector<Allocation> outstandingMatching(const ULONG *tag) const;  // NULL: every tag
    struct Rule {
        enum Kind { Nth, ByTag, BySite } kind;
        uint64_t value;
        int remaining;
    };
    mutable std::mutex lock_;
    std::map<void *, Allocation> live_;
    std::vector<std::pair<ULONG, const void *>> sites_;
    std::vector<Rule> rules_;
    uint64_t serial_ = 0;
    uint64_t sinceRules_ = 0;
    uint64_t injected_ = 0;
};

}  // namespace emu
