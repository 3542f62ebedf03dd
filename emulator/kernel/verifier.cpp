#include "emulator/kernel/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "emulator/kernel/machine.h"

namespace emu {

namespace {
std::atomic<ReportCapture *> g_capture{nullptr};
}

const char *ViolationName(Violation v) {
    switch (v) {
    case Violation::IrqlTooHigh: return "IRQL too high";
    case Violation::WaitAtDispatch: return "wait or delay at DISPATCH_LEVEL";
    case Violation::PagedPoolAtDispatch: return "paged pool at DISPATCH_LEVEL";
    case Violation::RegistryAtDispatch: return "registry call at DISPATCH_LEVEL";
    case Violation::SpinLockNotHeld: return "spin lock released but not held";
    case Violation::SpinLockRecursion: return "spin lock acquired twice";
    case Violation::LockOrderInversion: return "lock order inversion";
    case Violation::IrpCompletedTwice: return "IRP completed twice";
    case Violation::IrpCompletedWithCancelRoutine: return "IRP completed with a cancel routine set";
    case Violation::IrpFreedInUse: return "IRP freed while in use";
    case Violation::PendingNotMarked: return "STATUS_PENDING returned without IoMarkIrpPending";
    case Violation::PoolDoubleFree: return "pool freed twice or never allocated";
    case Violation::PoolWrongTag: return "pool freed with another tag";
    case Violation::PoolLeakAtUnload: return "pool left under the driver's tag at unload";
    case Violation::PoolQuotaWouldRaise: return "quota allocation would raise";
    case Violation::DpcPendingInFreedMemory: return "DPC queued in freed memory";
    case Violation::TimerPendingInFreedMemory: return "timer armed in freed memory";
    case Violation::MachineDeadlock: return "machine deadlock";
    case Violation::NotInitialised: return "object used before its initialisation";
    case Violation::IrqlContract: return "routine entered at the wrong IRQL";
    case Violation::LockContract: return "routine entered against its lock contract";
    case Violation::InvalidParameter: return "invalid use of a kernel routine";
    case Violation::InformationBeyondOutput: return "Information above the output length";
    case Violation::PowerIrpNotStarted: return "power IRP passed on without PoStartNextPowerIrp";
    case Violation::PowerIrpByIoCallDriver: return "power IRP sent with IoCallDriver";
    }
    return "?";
}

std::string Hex(const void *p) { return Hex(reinterpret_cast<uint64_t>(p)); }

std::string Hex(uint64_t v) {
    std::ostringstream s;
    s << "0x" << std::hex << v;
    return s.str();
}

void Report(Violation kind, const std::string &routine, const std::string &detail) {
    std::ostringstream s;
    s << "VERIFIER: " << ViolationName(kind) << " in " << routine << " at IRQL " << int(CurrentIrql())
      << " on " << CurrentThreadName() << ": " << detail;
    ReportCapture *capture = g_capture.load();
    if (capture) {
        std::lock_guard<std::mutex> g(capture->lock_);
        capture->reports_.push_back({kind, s.str()});
        return;
    }
    std::fprintf(stderr, "%s\n", s.str().c_str());
    std::fflush(stderr);
    std::abort();
}

ReportCapture::ReportCapture() {
    ReportCapture *expected = nullptr;
    if (!g_capture.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "emu::ReportCapture: one capture at a time\n");
        std::abort();
    }
}

ReportCapture::~ReportCapture() { g_capture.store(nullptr); }

std::vector<struct Report> ReportCapture::reports() const {
    std::lock_guard<std::mutex> g(lock_);
    return reports_;
}

bool ReportCapture::saw(Violation kind) const {
    std::lock_guard<std::mutex> g(lock_);
    for (auto &r : reports_)
        if (r.kind == kind) return true;
    return false;
}

size_t ReportCapture::count() const {
    std::lock_guard<std::mutex> g(lock_);
    return reports_.size();
}

}  // namespace emu
