// The verifier: always on. A violation of a kernel rule produces a report naming the routine, the
// IRQL and the object involved. By default a report prints and aborts the process; a test that
// breaks a rule on purpose captures reports instead (ReportCapture).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace emu {

enum class Violation {
    IrqlTooHigh,            // routine called above its allowed IRQL
    WaitAtDispatch,         // wait with a time-out, or a delay, at DISPATCH_LEVEL
    PagedPoolAtDispatch,    // paged allocation at DISPATCH_LEVEL
    RegistryAtDispatch,     // registry routine at DISPATCH_LEVEL
    SpinLockNotHeld,        // released a spin lock the thread does not hold
    SpinLockRecursion,      // acquired a spin lock the thread already holds
    LockOrderInversion,     // two locks taken in both orders, or against the declared order
    IrpCompletedTwice,
    IrpCompletedWithCancelRoutine,
    IrpFreedInUse,
    PendingNotMarked,       // dispatch returned STATUS_PENDING without IoMarkIrpPending
    PoolDoubleFree,         // freed twice, or never allocated
    PoolWrongTag,
    PoolLeakAtUnload,       // pool left under the driver's tag when it unloads
    PoolQuotaWouldRaise,    // quota allocation failed without POOL_QUOTA_FAIL_INSTEAD_OF_RAISE
    DpcPendingInFreedMemory,
    TimerPendingInFreedMemory,
    MachineDeadlock,        // every machine thread blocked with nothing due on the clock
    NotInitialised,         // a spin lock, DPC or timer used before its initialisation
    IrqlContract,           // a driver routine entered at an IRQL its contract excludes
    LockContract,           // a driver routine entered holding (or not) a lock against its contract
    InvalidParameter,       // a kernel routine given something it must never get
    InformationBeyondOutput,  // a buffered request completed with Information above its output length
    PowerIrpNotStarted,     // a power IRP passed down or completed without PoStartNextPowerIrp
    PowerIrpByIoCallDriver, // a power IRP passed down with IoCallDriver instead of PoCallDriver
};

const char *ViolationName(Violation v);

struct Report {
    Violation kind;
    std::string text;  // routine, IRQL, thread and object
};

// Raises a report. Returns only when a ReportCapture is active (the caller then skips the
// offending operation where it can).
void Report(Violation kind, const std::string &routine, const std::string &detail);

// While alive, reports are collected instead of aborting. One capture at a time.
class ReportCapture {
public:
    ReportCapture();
    ~ReportCapture();
    std::vector<struct Report> reports() const;
    bool saw(Violation kind) const;
    size_t count() const;

private:
    mutable std::mutex lock_;
    std::vector<struct Report> reports_;
    friend void Report(Violation, const std::string &, const std::string &);
};

// Formats a pointer for a report.
std::string Hex(const void *p);
std::string Hex(uint64_t v);

}  // namespace emu
