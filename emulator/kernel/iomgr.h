// The I/O manager: driver and device objects, IRPs and their completion, cancellation, and the
// requests an application makes through a file object (the Win32 side is built on these).
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

// Pool tags of the I/O manager's own objects.
inline constexpr ULONG kIrpTag = 0x20707249;     // "Irp "
inline constexpr ULONG kDeviceTag = 0x69766544;  // "Devi"
inline constexpr ULONG kDriverTag = 0x76697244;  // "Driv"
inline constexpr ULONG kFileTag = 0x656C6946;    // "File"
inline constexpr ULONG kBufferTag = 0x66667542;  // "Buff"

// The lock over the I/O manager's records. Every call and completion of an IRP takes it for a few
// dozen instructions; a futex mutex cost more than the work it guards. A waiter yields its host
// thread, so a holder that was preempted gets to run.
class SpinMutex {
public:
    void lock() noexcept {
        while (held_.exchange(true, std::memory_order_acquire))
            while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    bool try_lock() noexcept {
        return !held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire);
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// A request an application makes on an open file.
struct UserRequest {
    UCHAR major = IRP_MJ_READ;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    const void *input = nullptr;  // write data, or the control request's input
    ULONG inputLength = 0;
    void *output = nullptr;       // read buffer, or the control request's output
    ULONG outputLength = 0;
    ULONG options = 0;            // create options
    PKEVENT event = nullptr;      // signalled at completion
    PIO_STATUS_BLOCK ioStatus = nullptr;  // written at completion
    std::shared_ptr<void> hold;   // released once the request has completed (what owns `event`)
    // An application's request: a failure the driver returns without pending reaches neither
    // ioStatus nor event, as Windows delivers it; the caller has it from submit's result.
    bool quietFailure = false;
};

class IoManager {
public:
    ~IoManager();

    // Loads a driver: a driver object named \Driver\<name>, its service key path as registry path,
    // DriverEntry called at PASSIVE_LEVEL. `poolTag` is the tag the verifier checks for leaks at unload.
    NTSTATUS loadDriver(PDRIVER_INITIALIZE entry, const std::u16string &name, ULONG poolTag, PDRIVER_OBJECT *driver);
    // Calls DriverUnload; reports pool left under the driver's tag and devices left behind.
    void unloadDriver(PDRIVER_OBJECT driver);
    static std::u16string ServiceKeyPath(const std::u16string &name);

    // Opens \??\NAME (or any device path) through the namespace: sends IRP_MJ_CREATE.
    NTSTATUS openFile(const std::u16string &path, ULONG options, PFILE_OBJECT *file);
    // Sends IRP_MJ_CLEANUP: the last handle of the file is gone, though requests may still hold it.
    void cleanupFile(PFILE_OBJECT file);
    // Sends IRP_MJ_CLEANUP (unless `cleanedUp`), waits for the file's outstanding requests (each
    // holds a reference to the file), then sends IRP_MJ_CLOSE and releases the file object.
    void closeFile(PFILE_OBJECT file, bool cleanedUp = false);
    // Sends a request on an open file. Returns what the driver's dispatch routine returned; the
    // request's final status reaches request.ioStatus and request.event at completion.
    NTSTATUS submit(PFILE_OBJECT file, const UserRequest &request);
    // Cancels the requests the calling thread issued on `file` (CancelIo).
    void cancelThreadRequests(PFILE_OBJECT file);
    size_t outstandingRequests(PFILE_OBJECT file) const;
    // A requester's status block, read as delivered: a final status here has its event set too.
    NTSTATUS deliveredStatus(const IO_STATUS_BLOCK *iosb) {
        std::lock_guard<std::mutex> g(delivery);
        return iosb->Status;
    }
    std::mutex delivery;  // held while a completion publishes its status and sets its event

    // Internal hooks of the routines in io.cpp.
    struct IrpRecord {
        int frames = 0;             // IoCallDriver calls on the stack for this IRP
        int pins = 0;               // holders that may still touch the IRP's memory (CancelIo)
        bool freed = false;         // IoFreeIrp called; memory released once unpinned
        bool completed = false;     // final completion reached the top
        bool inDriver = false;      // dispatched, not yet completed
        uint32_t pendingMarked = 0; // bit n: location n had SL_PENDING_RETURNED when completed
        uint32_t pendingReturned = 0; // bit n: location n's dispatch returned STATUS_PENDING while the
                                      // IRP was below it; judged when completion pops location n
        int location = 0;           // where the I/O manager last moved the IRP (call or pop)
        uint32_t reuses = 0;        // IoReuseIrp calls: a call still returning tells its pass by it
        uint32_t reusedMarked = 0;  // pendingMarked of the pass that the last IoReuseIrp ended
        PFILE_OBJECT file = nullptr;
        uint32_t thread = 0;
        std::function<void(PIRP)> onComplete;  // requester's completion (I/O manager-built IRPs)
        PDEVICE_OBJECT powerOwed = nullptr;    // a power IRP's holder that has not called PoStartNextPowerIrp
    };
    mutable SpinMutex lock;
    std::unordered_map<PIRP, IrpRecord> irps;
    // The record of `irp` (NULL when it has none) and the one made for it on demand. A completion,
    // the reuse and the resubmission that follow ask for one IRP in a row: the last answer is kept.
    IrpRecord *findIrpLocked(PIRP irp) {
        if (irp == lastIrp_ && irp) return lastRecord_;
        auto it = irps.find(irp);
        if (it == irps.end()) return nullptr;
        return lastIrp_ = irp, lastRecord_ = &it->second;
    }
    IrpRecord &irpLocked(PIRP irp) {
        if (irp == lastIrp_ && irp) return *lastRecord_;
        IrpRecord &r = irps[irp];
        lastIrp_ = irp, lastRecord_ = &r;
        return r;
    }
    // Drops the record of an IRP whose memory is gone. A completed IRP's record stays a while
    // (the newest kTombstones of them), so completing it again is reported as a double completion.
    void forgetIrpLocked(std::unordered_map<PIRP, IrpRecord>::iterator it);
    static constexpr size_t kTombstones = 256;
    std::deque<PIRP> tombstones;
    std::map<PDEVICE_OBJECT, PDEVICE_OBJECT> attachedTo;  // device → the one it was attached on
    std::set<PDEVICE_OBJECT> deletePending;
    std::map<PFILE_OBJECT, PKEVENT> drainWaiters;  // closeFile waiting for a file's last request
    size_t outstandingLocked(PFILE_OBJECT file) const;

    void releaseDevice(PDEVICE_OBJECT device);  // drop a reference; frees a deleted device at zero
    void freeDeviceMemory(PDEVICE_OBJECT device);
    // IoAllocateIrp for `site`; `mustSucceed` for the requests Windows never lets fail for memory.
    PIRP allocateIrp(CCHAR stackSize, const void *site, bool mustSucceed);

private:
    void eraseIrpLocked(std::unordered_map<PIRP, IrpRecord>::iterator it);
    PIRP lastIrp_ = nullptr;  // irps' nodes stay put until erased
    IrpRecord *lastRecord_ = nullptr;
    PIRP buildUserIrp(PFILE_OBJECT file, PDEVICE_OBJECT top, const UserRequest &request);
    NTSTATUS callAndWait(PDEVICE_OBJECT top, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK status);
    void sendFileRequest(PFILE_OBJECT file, UCHAR major);  // cleanup or close, waited for
    std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace emu
