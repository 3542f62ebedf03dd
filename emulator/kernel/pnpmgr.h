// The Plug and Play and power managers: the IRP sequences Windows sends a device stack when a
// device arrives, stops, restarts, leaves in order or is pulled out, and the power requests.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/wdm.h"

namespace emu {

class PnpManager {
public:
    // A device arrives under `pdo`: AddDevice of `driver`, then IRP_MN_START_DEVICE,
    // IRP_MN_QUERY_CAPABILITIES and IRP_MN_QUERY_PNP_DEVICE_STATE, as Windows orders them.
    // Returns the start's status; on failure the stack is removed again as Windows does.
    NTSTATUS plugIn(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    // Orderly removal: IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE (or, if the query is
    // refused, IRP_MN_CANCEL_REMOVE_DEVICE and the refusal's status).
    NTSTATUS remove(PDEVICE_OBJECT pdo);
    // The device is pulled out: IRP_MN_SURPRISE_REMOVAL now; IRP_MN_REMOVE_DEVICE follows when
    // the last handle is closed (call finishSurpriseRemoval then).
    NTSTATUS surpriseRemove(PDEVICE_OBJECT pdo);
    NTSTATUS finishSurpriseRemoval(PDEVICE_OBJECT pdo);
    // Resource rebalance: IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE (or
    // IRP_MN_CANCEL_STOP_DEVICE when the query is refused).
    NTSTATUS stopAndRestart(PDEVICE_OBJECT pdo);

    // One PnP request to the top of the stack above `pdo`, waited for. Information is returned too.
    NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, IO_STATUS_BLOCK *result = nullptr,
                  void (*prepare)(PIO_STACK_LOCATION, void *) = nullptr, void *context = nullptr);
    // One power request, the way the power manager builds them.
    NTSTATUS sendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);

    // IRP_MN_QUERY_ID to the stack above `pdo`; empty when unanswered. Multi-strings keep their
    // inner terminators.
    std::u16string queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type);
    NTSTATUS queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::u16string &id);

    // The top of the stack above a PDO, as AddDevice left it.
    PDEVICE_OBJECT stackTop(PDEVICE_OBJECT pdo);

    // WMI registrations by IoWMIRegistrationControl (1 for a registered device object).
    std::mutex lock;
    std::map<PDEVICE_OBJECT, int> wmiRegistrations;

private:
    NTSTATUS sendAndWait(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, IO_STATUS_BLOCK *result,
                         void (*prepare)(PIO_STACK_LOCATION, void *), void *context);
};

}  // namespace emu
