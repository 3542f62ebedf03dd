#include <utility>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/powermgr.h"
#include "emulator/kernel/verifier.h"

namespace emu {

bool &PoCallInProgress() {
    thread_local bool flag = false;
    return flag;
}

PowerManager::~PowerManager() {
    std::lock_guard<std::mutex> g(lock_);
    reapLocked(true);
}

void PowerManager::reapLocked(bool all) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || it->finished->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void PowerManager::settle() {
    std::vector<Worker> workers;
    {
        std::lock_guard<std::mutex> g(lock_);
        workers.swap(workers_);
    }
    for (auto &w : workers) w.thread.join();
}

NTSTATUS PowerManager::sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    PnpManager &pnp = Machine::current().service<PnpManager>();
    POWER_STATE s;
    s.SystemState = state;
    NTSTATUS status = pnp.sendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, s);
    if (!NT_SUCCESS(status)) {
        // Vetoed: the stacks that were asked hear that the system stays where it is.
        wake(pdo);
        return status;
    }
    status = pnp.sendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, s);
    systemState_.store(state);
    return status;
}

NTSTATUS PowerManager::wake(PDEVICE_OBJECT pdo) {
    POWER_STATE s;
    s.SystemState = PowerSystemWorking;
    NTSTATUS status =
        Machine::current().service<PnpManager>().sendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, s);
    systemState_.store(PowerSystemWorking);
    return status;
}

NTSTATUS PowerManager::request(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE done,
                               PVOID context, PIRP *irpOut) {
    if (irpOut) *irpOut = NULL;
    for (int n = failRequests_.load(); n > 0;)
        if (failRequests_.compare_exchange_weak(n, n - 1)) return STATUS_INSUFFICIENT_RESOURCES;

    IoManager &io = Machine::current().service<IoManager>();
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = io.allocateIrp(top->StackSize, __builtin_return_address(0), false);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    if (minor == IRP_MN_WAIT_WAKE) {
        next->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State = state;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    {
        // The callback runs where the IRP completes, and the IRP is the power manager's to free.
        std::lock_guard g(io.lock);
        io.irps[irp].onComplete = [device, minor, state, done, context](PIRP finished) {
            IO_STATUS_BLOCK status = finished->IoStatus;
            IoFreeIrp(finished);
            if (done) done(device, minor, state, context, &status);
        };
    }
    if (irpOut) *irpOut = irp;
    issued_++;

    std::lock_guard<std::mutex> g(lock_);
    reapLocked(false);
    auto finished = std::make_shared<std::atomic<bool>>(false);
    // A system worker sends it, never the caller: a caller that waits for its own request while
    // holding what the stack needs would deadlock as it would on Windows.
    workers_.push_back({Thread(
                            [top, irp, finished] {
                                PoCallDriver(top, irp);
                                ObDereferenceObject(top);
                                finished->store(true);
                            },
                            "power worker"),
                        finished});
    return STATUS_PENDING;
}

}  // namespace emu

using namespace emu;

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    RequireIrql("PoCallDriver", DISPATCH_LEVEL);
    IoManager &io = Machine::current().service<IoManager>();
    PDEVICE_OBJECT owed;
    {
        std::lock_guard g(io.lock);
        auto it = io.irps.find(Irp);
        owed = it == io.irps.end() ? nullptr : it->second.powerOwed;
    }
    if (owed)
        Report(Violation::PowerIrpNotStarted, "PoCallDriver",
               "power IRP " + Hex(Irp) + " passed on by " + Hex(owed) + " before PoStartNextPowerIrp");
    PoCallInProgress() = true;
    return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    RequireIrql("PoStartNextPowerIrp", DISPATCH_LEVEL);
    IoManager &io = Machine::current().service<IoManager>();
    std::lock_guard g(io.lock);
    auto it = io.irps.find(Irp);
    if (it != io.irps.end()) it->second.powerOwed = nullptr;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
    if (!RequireIrql("PoRequestPowerIrp", DISPATCH_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    return Machine::current().service<PowerManager>().request(DeviceObject, MinorFunction, PowerState,
                                                              CompletionFunction, Context, Irp);
}

}  // extern "C"
