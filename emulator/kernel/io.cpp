// I/O manager routines: devices, stacks, IRPs, completion, cancellation and the requests of
// applications. IRPs are tracked so the verifier can see double completion, freeing in use and
// STATUS_PENDING returned without the IRP being marked pending.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/namespace.h"
#include "emulator/kernel/pool.h"
#include "emulator/kernel/powermgr.h"
#include "emulator/kernel/scheduler.h"
#include "emulator/kernel/thread_state.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {

IoManager &Io() { return Machine::current().service<IoManager>(); }
Pool &PoolOf() { return Machine::current().service<Pool>(); }

void *Allocate(size_t size, ULONG tag) {
    void *p = PoolOf().allocate(NonPagedPool, size, tag, __builtin_return_address(0), "I/O manager");
    if (p) std::memset(p, 0, size);
    return p;
}

void Free(void *p, ULONG tag) { PoolOf().free(p, tag, "I/O manager"); }

// The IRQL check of the routines every transfer passes through, its common case inline.
void RequireDispatchOrBelow(const char *routine) {
    if (Self().irql > DISPATCH_LEVEL) [[unlikely]]
        RequireIrql(routine, DISPATCH_LEVEL);
}

// The requester may poll its status block (HasOverlappedIoCompleted) while this runs: the status
// goes last, with release, so whoever sees it final also sees the information.
void PublishIoStatus(PIRP irp) {
    PIO_STATUS_BLOCK to = irp->UserIosb;
    if (!to) return;
    to->Information = irp->IoStatus.Information;
    __atomic_store_n(&to->Status, irp->IoStatus.Status, __ATOMIC_RELEASE);
}

// The I/O manager's last step for a request it built: copy the buffered output back (Information
// bytes, as the driver reported, and nothing on error), publish the status, release the IRP,
// signal. `returnsOutput`: Information counts output bytes (not so for a write or a set).
void FinishRequest(PIRP done, bool buffered, void *output, ULONG outputLength, bool returnsOutput,
                   bool quietFailure = false) {
    PVOID buffer = done->AssociatedIrp.SystemBuffer;
    if (buffered && buffer) {
        ULONG_PTR copy = done->IoStatus.Information;
        if (returnsOutput && !NT_ERROR(done->IoStatus.Status) && copy > outputLength) {
            // Windows would copy past the caller's buffer (or into one it never passed).
            Report(Violation::InformationBeyondOutput, "IoCompleteRequest",
                   "IRP " + Hex(done) + ": Information " + std::to_string(copy) + " for an output of " +
                       std::to_string(outputLength) + " bytes");
            copy = outputLength;
        }
        if (returnsOutput && !NT_ERROR(done->IoStatus.Status) && output && copy) std::memcpy(output, buffer, copy);
        Free(buffer, kBufferTag);
    }
    PKEVENT event = done->UserEvent;
    if (!quietFailure || !NT_ERROR(done->IoStatus.Status) || done->PendingReturned) {
        // Status and event reach the requester together, as the completion APC in its own thread
        // delivers them: it never sees a final status whose event is still to come.
        std::lock_guard<std::mutex> g(Io().delivery);
        PublishIoStatus(done);
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
    IoFreeIrp(done);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
    while (device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

std::u16string ToU16(PCUNICODE_STRING s) {
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

// A driver object's string in pool; false, and `to` left empty, when there is no memory.
bool CopyName(const std::u16string &text, UNICODE_STRING *to) {
    auto bytes = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    to->Buffer = static_cast<PWSTR>(Allocate(bytes + sizeof(WCHAR), kDriverTag));
    if (!to->Buffer) return false;
    std::memcpy(to->Buffer, text.data(), bytes);
    to->Length = bytes;
    to->MaximumLength = bytes + sizeof(WCHAR);
    return true;
}

void FreeName(UNICODE_STRING *s) {
    if (s->Buffer) Free(s->Buffer, kDriverTag);
    s->Buffer = NULL;
}

void FreeDriverObject(PDRIVER_OBJECT driver) {
    FreeName(&driver->DriverName);
    FreeName(&driver->DriverExtension->ServiceKeyName);
    Free(driver, kDriverTag);
}

}  // namespace

// ---- Drivers -----------------------------------------------------------------------------------------

std::u16string IoManager::ServiceKeyPath(const std::u16string &name) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name;
}

NTSTATUS IoManager::loadDriver(PDRIVER_INITIALIZE entry, const std::u16string &name, ULONG poolTag,
                               PDRIVER_OBJECT *out) {
    RequireIrql("loadDriver", PASSIVE_LEVEL);
    auto driver = static_cast<PDRIVER_OBJECT>(Allocate(sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION), kDriverTag));
    if (!driver) return STATUS_INSUFFICIENT_RESOURCES;
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = reinterpret_cast<PDRIVER_EXTENSION>(driver + 1);
    driver->DriverExtension->DriverObject = driver;
    driver->DriverInit = entry;
    driver->DriverSize = poolTag;  // remembered for the leak check at unload
    for (auto &f : driver->MajorFunction) f = InvalidDeviceRequest;
    UNICODE_STRING registryPath{};
    const bool named = CopyName(u"\\Driver\\" + name, &driver->DriverName) &&
                       CopyName(name, &driver->DriverExtension->ServiceKeyName) &&
                       CopyName(ServiceKeyPath(name), &registryPath);
    NTSTATUS status = named ? entry(driver, &registryPath) : STATUS_INSUFFICIENT_RESOURCES;
    FreeName(&registryPath);
    if (!NT_SUCCESS(status)) {
        FreeDriverObject(driver);
        return status;
    }
    drivers_.push_back(driver);
    *out = driver;
    return status;
}

void IoManager::unloadDriver(PDRIVER_OBJECT driver) {
    RequireIrql("unloadDriver", PASSIVE_LEVEL);
    if (driver->DriverUnload) driver->DriverUnload(driver);
    if (driver->DeviceObject)
        Report(Violation::InvalidParameter, "DriverUnload", "the driver unloaded with device objects left");
    PoolOf().reportLeaks(driver->DriverSize, "DriverUnload");
    drivers_.erase(std::remove(drivers_.begin(), drivers_.end(), driver), drivers_.end());
    FreeDriverObject(driver);
}

IoManager::~IoManager() = default;

void IoManager::eraseIrpLocked(std::unordered_map<PIRP, IrpRecord>::iterator it) {
    if (it->first == lastIrp_) lastIrp_ = nullptr, lastRecord_ = nullptr;
    irps.erase(it);
}

void IoManager::forgetIrpLocked(std::unordered_map<PIRP, IrpRecord>::iterator it) {
    if (!it->second.completed) {
        eraseIrpLocked(it);
        return;
    }
    tombstones.push_back(it->first);
    while (tombstones.size() > kTombstones) {
        auto old = irps.find(tombstones.front());
        tombstones.pop_front();
        // The address may belong to a newer IRP by now.
        if (old != irps.end() && old->second.freed && old->second.frames == 0 && old->second.pins == 0) eraseIrpLocked(old);
    }
}

// ---- Devices -------------------------------------------------------------------------------------------

void IoManager::releaseDevice(PDEVICE_OBJECT device) {
    bool free = false;
    {
        std::lock_guard g(lock);
        if (--device->ReferenceCount == 0 && deletePending.erase(device)) free = true;
    }
    if (free) freeDeviceMemory(device);
}

void IoManager::freeDeviceMemory(PDEVICE_OBJECT device) { Free(device, kDeviceTag); }

PIRP IoManager::allocateIrp(CCHAR stackSize, const void *site, bool mustSucceed) {
    RequireIrql("IoAllocateIrp", DISPATCH_LEVEL);
    if (stackSize < 1) {
        Report(Violation::InvalidParameter, "IoAllocateIrp", "stack size below 1");
        return NULL;
    }
    USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(PoolOf().allocate(NonPagedPool, size, kIrpTag, site, "IoAllocateIrp", mustSucceed));
    if (!irp) return NULL;
    IoInitializeIrp(irp, size, stackSize);
    std::lock_guard g(lock);
    irps[irp] = IrpRecord{};
    return irp;
}

}  // namespace emu

using namespace emu;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
    RequireIrql("IoCreateDevice", PASSIVE_LEVEL);
    *DeviceObject = NULL;
    size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
    auto device = static_cast<PDEVICE_OBJECT>(Allocate(extensionOffset + DeviceExtensionSize, kDeviceTag));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = 3;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PCHAR>(device) + extensionOffset : NULL;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    if (DeviceName && DeviceName->Length) {
        NTSTATUS status = Machine::current().service<Namespace>().InsertDevice(ToU16(DeviceName), device);
        if (!NT_SUCCESS(status)) {
            Free(device, kDeviceTag);
            return status;
        }
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrql("IoDeleteDevice", PASSIVE_LEVEL);
    IoManager &io = Io();
    Machine::current().service<Namespace>().RemoveDevice(DeviceObject);
    for (PDEVICE_OBJECT *p = &DeviceObject->DriverObject->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    // Freed memory must hold no queued DPC or armed timer, whenever it is actually released.
    Machine::current().scheduler().checkFreedRange(DeviceObject, sizeof(DEVICE_OBJECT) + DeviceObject->Size,
                                                   "IoDeleteDevice");
    bool freeNow;
    {
        std::lock_guard g(io.lock);
        io.attachedTo.erase(DeviceObject);
        freeNow = DeviceObject->ReferenceCount == 0;
        if (!freeNow) io.deletePending.insert(DeviceObject);
    }
    if (freeNow) io.freeDeviceMemory(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    RequireIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    IoManager &io = Io();
    std::lock_guard g(io.lock);
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    io.attachedTo[SourceDevice] = top;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrql("IoDetachDevice", PASSIVE_LEVEL);
    IoManager &io = Io();
    std::lock_guard g(io.lock);
    if (TargetDevice->AttachedDevice) io.attachedTo.erase(TargetDevice->AttachedDevice);
    TargetDevice->AttachedDevice = NULL;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    IoManager &io = Io();
    std::lock_guard g(io.lock);
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    top->ReferenceCount++;
    return top;
}

VOID NTAPI ObDereferenceObject(PVOID Object) { Io().releaseDevice(static_cast<PDEVICE_OBJECT>(Object)); }

// ---- IRPs ---------------------------------------------------------------------------------------------------

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    Irp->Type = 6;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    return Io().allocateIrp(StackSize, __builtin_return_address(0), false);
}

// The record of a live IRP back from the drivers below, as IoReuseIrp and IoFreeIrp need it;
// end() after a report.
// NULL after a report.
static IoManager::IrpRecord *HeldIrpLocked(IoManager &io, PIRP Irp, const char *routine) {
    IoManager::IrpRecord *r = io.findIrpLocked(Irp);
    if (!r || r->freed) {
        Report(Violation::InvalidParameter, routine, "IRP " + Hex(Irp) + " is not a live IRP");
        return nullptr;
    }
    if (r->inDriver) {
        Report(Violation::IrpFreedInUse, routine,
               "IRP " + Hex(Irp) + " is still in a driver (dispatched and not completed)");
        return nullptr;
    }
    return r;
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    RequireDispatchOrBelow("IoReuseIrp");
    IoManager &io = Io();
    {
        std::lock_guard g(io.lock);
        IoManager::IrpRecord *r = HeldIrpLocked(io, Irp, "IoReuseIrp");
        if (!r) return;
        // Only an IRP of a driver's own: the I/O manager's would lose its requester.
        if (r->onComplete) {
            Report(Violation::InvalidParameter, "IoReuseIrp", "IRP " + Hex(Irp) + " was built by the I/O manager");
            return;
        }
        r->completed = false;
        r->reusedMarked = r->pendingMarked;
        r->reuses++;
        r->pendingMarked = 0;
        r->pendingReturned = 0;
    }
    // As Windows does: a fresh IRP of the same size, its allocation flags kept, with Status.
    UCHAR flags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = flags;
    Irp->IoStatus.Status = Status;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    RequireIrql("IoFreeIrp", DISPATCH_LEVEL);
    IoManager &io = Io();
    {
        std::lock_guard g(io.lock);
        IoManager::IrpRecord *r = HeldIrpLocked(io, Irp, "IoFreeIrp");
        if (!r) return;
        r->freed = true;
        // The memory stays while a call or CancelIo still holds the IRP: a new IRP at its address
        // would take over its record under that holder.
        if (r->pins > 0 || r->frames > 0) return;
        io.forgetIrpLocked(io.irps.find(Irp));
    }
    PoolOf().free(Irp, kIrpTag, "IoFreeIrp");
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireDispatchOrBelow("IoCallDriver");
    IoManager &io = Io();
    if (Irp->CurrentLocation <= 1) {
        Report(Violation::InvalidParameter, "IoCallDriver",
               "IRP " + Hex(Irp) + " has no stack location left for " + Hex(DeviceObject));
        return STATUS_INVALID_PARAMETER;
    }
    bool viaPo = std::exchange(PoCallInProgress(), false);
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    int location = Irp->CurrentLocation;
    uint32_t pass;
    bool power = stack->MajorFunction == IRP_MJ_POWER;
    IoManager::IrpRecord *record;
    {
        std::lock_guard g(io.lock);
        auto &r = io.irpLocked(Irp);
        record = &r;  // stays while this call counts in `frames`
        r.frames++;
        r.inDriver = true;
        r.location = location;
        pass = r.reuses;
        if (power) r.powerOwed = DeviceObject;
    }
    if (power && !viaPo)
        Report(Violation::PowerIrpByIoCallDriver, "IoCallDriver",
               "power IRP " + Hex(Irp) + " sent to " + Hex(DeviceObject) + " without PoCallDriver");
    Machine::current().noisePoint();
    NTSTATUS status = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
    std::string problem;
    bool release = false;
    {
        // The IRP may be moving on another thread; the record says where, under the lock that
        // every pop takes, without reading the IRP.
        std::lock_guard g(io.lock);
        auto &r = *record;
        if (status == STATUS_PENDING) {
            bool marked = true;
            // Completed, reused and sent again meanwhile (from a completion routine on another
            // processor): the IRP's state is the new pass's. Two passes on, nothing is left to judge by.
            if (r.reuses != pass)
                marked = r.reuses != pass + 1 || ((r.reusedMarked >> location) & 1);
            else if (r.freed || r.completed || r.location > location)
                marked = (r.pendingMarked >> location) & 1;
            else if (r.location == location)
                marked = (__atomic_load_n(&stack->Control, __ATOMIC_RELAXED) & SL_PENDING_RETURNED) != 0;
            else  // still below: the completion routine set here may yet mark this location
                r.pendingReturned |= 1u << location;
            if (!marked) problem = "dispatch routine of " + Hex(DeviceObject) + " returned STATUS_PENDING for IRP " + Hex(Irp);
        }
        if (--r.frames == 0 && r.freed && r.pins == 0) {
            io.forgetIrpLocked(io.irps.find(Irp));
            release = true;
        }
    }
    if (release) PoolOf().free(Irp, kIrpTag, "IoFreeIrp");
    if (!problem.empty()) Report(Violation::PendingNotMarked, "IoCallDriver", problem);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
    RequireDispatchOrBelow("IoCompleteRequest");
    IoManager &io = Io();
    PDEVICE_OBJECT owed = nullptr;
    // The IRP's record, known good until a completion routine runs: from then its owner may free
    // the IRP, and the record is looked up again.
    IoManager::IrpRecord *record = nullptr;
    {
        // One look under the lock checks the IRP and, when it is sound, marks the drivers below
        // done with it: from here a completion routine that returns STATUS_MORE_PROCESSING_REQUIRED
        // may free it. Reports wait until the lock is released.
        Violation violation{};
        std::string problem;
        {
            std::lock_guard g(io.lock);
            IoManager::IrpRecord *found = io.findIrpLocked(Irp);
            if (found && found->completed) {
                violation = Violation::IrpCompletedTwice;
                problem = "IRP " + Hex(Irp) + " was already completed" + (found->freed ? " and freed" : "");
            } else if (!found || found->freed) {
                violation = Violation::InvalidParameter;
                problem = "IRP " + Hex(Irp) + " is not a live IRP";
                // IoCancelIrp may run on another thread right now (CancelIo): its fields are read atomically.
            } else if (PDRIVER_CANCEL routine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE)) {
                violation = Violation::IrpCompletedWithCancelRoutine;
                problem = "IRP " + Hex(Irp) + " still has cancel routine " + Hex(reinterpret_cast<void *>(routine));
            } else if (Irp->IoStatus.Status == STATUS_PENDING) {
                violation = Violation::InvalidParameter;
                problem = "IRP " + Hex(Irp) + " completed with STATUS_PENDING";
            } else {
                const bool power = Irp->CurrentLocation <= Irp->StackCount &&
                                   IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER;
                if (power) owed = found->powerOwed;
                found->inDriver = false;
                record = found;
            }
        }
        if (!problem.empty()) {
            Report(violation, "IoCompleteRequest", problem);
            return;
        }
    }
    if (owed)
        Report(Violation::PowerIrpNotStarted, "IoCompleteRequest",
               "power IRP " + Hex(Irp) + " completed by " + Hex(owed) + " before PoStartNextPowerIrp");
    Machine::current().noisePoint();
    for (;;) {
        PIO_COMPLETION_ROUTINE routine;
        PVOID context;
        UCHAR control;
        std::string problem;
        {
            // Popped under the lock, so IoCallDriver's check sees the location either intact or
            // gone with its mark recorded.
            std::lock_guard g(io.lock);
            if (Irp->CurrentLocation > Irp->StackCount) break;
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
            int location = Irp->CurrentLocation;
            routine = stack->CompletionRoutine;
            context = stack->Context;
            control = stack->Control;
            Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
            if (!record) record = &io.irpLocked(Irp);
            auto &r = *record;
            if (Irp->PendingReturned) r.pendingMarked |= 1u << location;
            if ((r.pendingReturned >> location) & 1) {
                r.pendingReturned &= ~(1u << location);
                if (!Irp->PendingReturned)
                    problem = "a dispatch routine returned STATUS_PENDING for IRP " + Hex(Irp) + " and stack location " +
                              std::to_string(location) + " was never marked pending";
            }
            // Pop the location, as the I/O manager does, before calling the routine of the driver above.
            UCHAR major = stack->MajorFunction;
            std::memset(stack, 0, sizeof(*stack));
            stack->MajorFunction = major;
            IoSkipCurrentIrpStackLocation(Irp);
            r.location = location + 1;
        }
        if (!problem.empty()) Report(Violation::PendingNotMarked, "IoCompleteRequest", problem);
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (__atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device =
                Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : NULL;
            // Nothing may be written about the IRP afterwards: its owner may have freed it, and the
            // address may already belong to a new IRP. A driver that keeps it still holds it.
            record = nullptr;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    std::function<void(PIRP)> requester;
    PKEVENT drained = nullptr;
    {
        std::lock_guard g(io.lock);
        auto &r = record ? *record : io.irpLocked(Irp);
        r.completed = true;
        r.inDriver = false;
        requester = std::move(r.onComplete);
        auto waiter = r.file ? io.drainWaiters.find(r.file) : io.drainWaiters.end();
        if (waiter != io.drainWaiters.end() && io.outstandingLocked(r.file) == 0) {
            drained = waiter->second;
            io.drainWaiters.erase(waiter);
        }
    }
    if (requester)
        requester(Irp);
    else
        Report(Violation::InvalidParameter, "IoCompleteRequest",
               "IRP " + Hex(Irp) + " allocated by a driver reached the top of its stack without being reclaimed");
    if (drained) KeSetEvent(drained, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KfAcquireSpinLock(&Machine::current().scheduler().cancelLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KfReleaseSpinLock(&Machine::current().scheduler().cancelLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    RequireIrql("IoCancelIrp", DISPATCH_LEVEL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    Machine::current().noisePoint();
    // The cancel routine releases the cancel spin lock.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrql("IoBuildDeviceIoControlRequest", PASSIVE_LEVEL);
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (!irp) return NULL;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    PVOID systemBuffer = NULL;
    if (method == METHOD_BUFFERED) {
        ULONG size = std::max(InputBufferLength, OutputBufferLength);
        if (size) {
            systemBuffer = Allocate(size, kBufferTag);
            if (!systemBuffer) {
                IoFreeIrp(irp);
                return NULL;
            }
            if (InputBuffer && InputBufferLength) std::memcpy(systemBuffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
    } else if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    } else {
        Report(Violation::InvalidParameter, "IoBuildDeviceIoControlRequest", "direct I/O is not supported here");
        IoFreeIrp(irp);
        return NULL;
    }
    irp->UserBuffer = OutputBuffer;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    IoManager &io = Io();
    std::lock_guard g(io.lock);
    io.irps[irp].onComplete = [method, OutputBuffer, OutputBufferLength](PIRP done) {
        FinishRequest(done, method == METHOD_BUFFERED, OutputBuffer, OutputBufferLength, true);
    };
    return irp;
}

}  // extern "C"

// ---- Requests of applications --------------------------------------------------------------------------------

namespace emu {

PIRP IoManager::buildUserIrp(PFILE_OBJECT file, PDEVICE_OBJECT top, const UserRequest &request) {
    // A handle's cleanup and close never fail for want of memory on Windows; an open, a read or a
    // control request fails with STATUS_INSUFFICIENT_RESOURCES before it reaches the driver.
    const bool mustSucceed = request.major == IRP_MJ_CLEANUP || request.major == IRP_MJ_CLOSE;
    PIRP irp = allocateIrp(top->StackSize, __builtin_return_address(0), mustSucceed);
    if (!irp) return nullptr;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->MinorFunction = request.minor;
    next->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->RequestorMode = UserMode;
    irp->UserEvent = request.event;
    irp->UserIosb = request.ioStatus;

    // Buffered I/O: the system buffer carries the input in and the output back.
    bool buffered = false, returnsOutput = false;
    ULONG copyBack = 0;
    auto systemBuffer = [&](ULONG size, ULONG inputLength) {
        buffered = true;
        PVOID buffer = Allocate(size, kBufferTag);
        if (buffer && request.input && inputLength) std::memcpy(buffer, request.input, inputLength);
        irp->AssociatedIrp.SystemBuffer = buffer;
    };
    switch (request.major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        bool read = request.major == IRP_MJ_READ;
        ULONG length = read ? request.outputLength : request.inputLength;
        next->Parameters.Read.Length = length;
        if ((top->Flags & DO_BUFFERED_IO) && length) {
            systemBuffer(length, read ? 0 : length);
            copyBack = read ? length : 0;
            returnsOutput = read;
        } else {
            irp->UserBuffer = read ? request.output : const_cast<void *>(request.input);
        }
        break;
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        auto &p = next->Parameters.DeviceIoControl;
        p.IoControlCode = request.ioControlCode;
        p.InputBufferLength = request.inputLength;
        p.OutputBufferLength = request.outputLength;
        ULONG method = METHOD_FROM_CTL_CODE(request.ioControlCode);
        if (method == METHOD_NEITHER) {
            p.Type3InputBuffer = const_cast<void *>(request.input);
            irp->UserBuffer = request.output;
        } else {
            // Direct I/O has no MDLs here; it is served like buffered I/O.
            ULONG size = std::max(request.inputLength, request.outputLength);
            if (size) {
                systemBuffer(size, request.inputLength);
                copyBack = request.outputLength;
                returnsOutput = true;
            }
        }
        break;
    }
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_SET_INFORMATION: {
        next->Parameters.QueryFile.Length = request.outputLength ? request.outputLength : request.inputLength;
        next->Parameters.QueryFile.FileInformationClass = static_cast<FILE_INFORMATION_CLASS>(request.ioControlCode);
        ULONG size = next->Parameters.QueryFile.Length;
        if (size) {
            systemBuffer(size, request.inputLength);
            copyBack = request.outputLength;
            returnsOutput = request.major == IRP_MJ_QUERY_INFORMATION;
        }
        break;
    }
    case IRP_MJ_CREATE:
        next->Parameters.Create.Options = request.options;
        break;
    default:
        break;
    }
    if (buffered && !irp->AssociatedIrp.SystemBuffer) {
        IoFreeIrp(irp);
        return nullptr;
    }

    std::lock_guard g(lock);
    auto &record = irps[irp];
    record.file = file;
    record.thread = CurrentThreadId();
    void *output = request.output;
    record.onComplete = [buffered, copyBack, output, returnsOutput, quiet = request.quietFailure,
                         hold = request.hold](PIRP done) {
        FinishRequest(done, buffered, output, copyBack, returnsOutput, quiet);
    };
    return irp;
}

NTSTATUS IoManager::submit(PFILE_OBJECT file, const UserRequest &request) {
    RequireIrql("submit", PASSIVE_LEVEL);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = buildUserIrp(file, top, request);
    NTSTATUS status = irp ? IoCallDriver(top, irp) : STATUS_INSUFFICIENT_RESOURCES;
    releaseDevice(top);
    return status;
}

NTSTATUS IoManager::callAndWait(PDEVICE_OBJECT top, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK status) {
    NTSTATUS result = IoCallDriver(top, irp);
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
    return result == STATUS_PENDING ? status->Status : result;
}

NTSTATUS IoManager::openFile(const std::u16string &path, ULONG options, PFILE_OBJECT *out) {
    RequireIrql("openFile", PASSIVE_LEVEL);
    *out = nullptr;
    PDEVICE_OBJECT device = Machine::current().service<Namespace>().Resolve(path);
    if (!device) return STATUS_OBJECT_NAME_NOT_FOUND;
    {
        std::lock_guard g(lock);
        if (deletePending.count(device)) return STATUS_DELETE_PENDING;
        device->ReferenceCount++;
    }
    auto file = static_cast<PFILE_OBJECT>(Allocate(sizeof(FILE_OBJECT), kFileTag));
    if (!file) {
        releaseDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->Type = 5;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);

    UserRequest create;
    create.major = IRP_MJ_CREATE;
    create.options = options;
    IO_STATUS_BLOCK iosb{};
    create.ioStatus = &iosb;
    create.event = &file->Event;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = buildUserIrp(file, top, create);
    NTSTATUS status = irp ? callAndWait(top, irp, &file->Event, &iosb) : STATUS_INSUFFICIENT_RESOURCES;
    releaseDevice(top);
    if (!NT_SUCCESS(status)) {
        Free(file, kFileTag);
        releaseDevice(device);
        return status;
    }
    *out = file;
    return status;
}

void IoManager::cleanupFile(PFILE_OBJECT file) {
    RequireIrql("cleanupFile", PASSIVE_LEVEL);
    sendFileRequest(file, IRP_MJ_CLEANUP);
}

void IoManager::closeFile(PFILE_OBJECT file, bool cleanedUp) {
    RequireIrql("closeFile", PASSIVE_LEVEL);
    if (!cleanedUp) sendFileRequest(file, IRP_MJ_CLEANUP);
    KEVENT drained;
    KeInitializeEvent(&drained, NotificationEvent, FALSE);
    bool wait;
    {
        std::lock_guard g(lock);
        wait = outstandingLocked(file) > 0;
        if (wait) drainWaiters[file] = &drained;
    }
    if (wait) KeWaitForSingleObject(&drained, Executive, KernelMode, FALSE, NULL);
    sendFileRequest(file, IRP_MJ_CLOSE);
    PDEVICE_OBJECT device = file->DeviceObject;
    Free(file, kFileTag);
    releaseDevice(device);
}

void IoManager::sendFileRequest(PFILE_OBJECT file, UCHAR major) {
    UserRequest r;
    r.major = major;
    IO_STATUS_BLOCK iosb{};
    r.ioStatus = &iosb;
    r.event = &file->Event;
    KeClearEvent(&file->Event);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = buildUserIrp(file, top, r);
    if (irp) callAndWait(top, irp, &file->Event, &iosb);
    releaseDevice(top);
}

void IoManager::cancelThreadRequests(PFILE_OBJECT file) {
    uint32_t thread = CurrentThreadId();
    // Cancel routines may complete (and free) IRPs, so pick one at a time under the lock.
    std::set<PIRP> done;
    for (;;) {
        PIRP target = nullptr;
        {
            std::lock_guard g(lock);
            for (auto &[irp, r] : irps)
                if (r.file == file && r.thread == thread && !r.completed && !r.freed && !done.count(irp)) {
                    target = irp;
                    break;
                }
            if (target) {
                done.insert(target);
                irps[target].pins++;
            }
        }
        if (!target) return;
        IoCancelIrp(target);
        bool release = false;
        {
            std::lock_guard g(lock);
            auto it = irps.find(target);
            if (--it->second.pins == 0 && it->second.freed && it->second.frames == 0) {
                release = true;
                forgetIrpLocked(it);
            }
        }
        if (release) PoolOf().free(target, kIrpTag, "IoFreeIrp");
    }
}

size_t IoManager::outstandingRequests(PFILE_OBJECT file) const {
    std::lock_guard g(lock);
    return outstandingLocked(file);
}

size_t IoManager::outstandingLocked(PFILE_OBJECT file) const {
    size_t n = 0;
    for (auto &[irp, r] : irps)
        if (r.file == file && !r.completed && !r.freed) n++;
    return n;
}

}  // namespace emu
