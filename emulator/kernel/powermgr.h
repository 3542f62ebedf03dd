// The power manager: system sleep and wake as Windows sends them to a device stack, and the
// device power requests drivers ask for (PoRequestPowerIrp), each sent from a system worker thread
// of its own. The verifier's power rules live with PoCallDriver and PoStartNextPowerIrp.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "emulator/kernel/machine.h"
#include "platform/host/wdm.h"

namespace emu {

class PowerManager {
public:
    ~PowerManager();

    // The system goes to `state` (S1..S4): IRP_MN_QUERY_POWER, then IRP_MN_SET_POWER, both
    // system requests to the top of the stack above `pdo`, each waited for. A refused query is
    // answered with IRP_MN_SET_POWER for the working state and its status returned.
    NTSTATUS sleep(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    // The system returns to the working state: IRP_MN_SET_POWER (S0), waited for.
    NTSTATUS wake(PDEVICE_OBJECT pdo);
    SYSTEM_POWER_STATE systemState() const { return systemState_.load(); }

    // Fault injection: the next `count` PoRequestPowerIrp calls fail with
    // STATUS_INSUFFICIENT_RESOURCES, as when no IRP can be allocated.
    void failRequests(int count) { failRequests_.store(count); }
    // Device requests issued through PoRequestPowerIrp, ever.
    long requestsIssued() const { return issued_.load(); }

    // PoRequestPowerIrp.
    NTSTATUS request(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PREQUEST_POWER_COMPLETE done,
                     PVOID context, PIRP *irpOut);
    // Waits until every worker has sent its request (their completions may still be pending).
    void settle();

private:
    struct Worker {
        Thread thread;
        std::shared_ptr<std::atomic<bool>> finished;
    };
    void reapLocked(bool all);
    std::mutex lock_;
    std::vector<Worker> workers_;
    std::atomic<int> failRequests_{0};
    std::atomic<long> issued_{0};
    std::atomic<SYSTEM_POWER_STATE> systemState_{PowerSystemWorking};
};

// Set by PoCallDriver for the IoCallDriver it makes: a power IRP sent any other way is reported.
bool &PoCallInProgress();

}  // namespace emu
