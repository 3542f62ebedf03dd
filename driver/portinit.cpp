// Start defaults of a port: the settings a freshly started port has before an application sets any.
#include "control/control.h"
#include "driver/driver.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "requests/write.h"

NTSTATUS InitPortExtension(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);

    // ControlLock, FlagsLock and RxLock are initialised once, at creation: a restart must never
    // reinitialise a lock that a DPC of the stopped port could still be releasing.
    DECLARE_PORT_LOCK_ORDER(port);

    KeInitializeTimer(&port->ReadTotalTimer);
    KeInitializeTimer(&port->ReadIntervalTimer);
    KeInitializeTimer(&port->WriteTotalTimer);
    KeInitializeTimer(&port->ImmediateTotalTimer);
    KeInitializeTimer(&port->XoffCountTimer);
    KeInitializeTimer(&port->RtsDropTimer);

    // Every DPC of the port, each with the port as context: queueing one that was never initialised
    // would run address 0. Each is paired with the timer that queues it.
    InitializeCountedDpc(port, &port->CompleteReadDpc, CompleteReadDpc, NULL);
    InitializeCountedDpc(port, &port->ReadTimeoutDpc, ReadTimeoutDpc, &port->ReadTotalTimer);
    InitializeCountedDpc(port, &port->ReadIntervalTimeoutDpc, ReadIntervalTimeoutDpc, &port->ReadIntervalTimer);
    InitializeCountedDpc(port, &port->CompleteWriteDpc, CompleteWriteDpc, NULL);
    InitializeCountedDpc(port, &port->WriteTimeoutDpc, WriteTimeoutDpc, &port->WriteTotalTimer);
    InitializeCountedDpc(port, &port->ErrorAbortDpc, ErrorAbortDpc, NULL);
    InitializeCountedDpc(port, &port->CompleteImmediateDpc, CompleteImmediateDpc, NULL);
    InitializeCountedDpc(port, &port->ImmediateTimeoutDpc, ImmediateTimeoutDpc, &port->ImmediateTotalTimer);
    InitializeCountedDpc(port, &port->XoffCountTimeoutDpc, XoffCountTimeoutDpc, &port->XoffCountTimer);
    InitializeCountedDpc(port, &port->XoffCountDoneDpc, XoffCountDoneDpc, NULL);
    InitializeCountedDpc(port, &port->CompleteWaitDpc, CompleteWaitDpc, NULL);
    InitializeCountedDpc(port, &port->ArmRtsDropDpc, ArmRtsDropDpc, NULL);
    InitializeCountedDpc(port, &port->RtsDropDpc, RtsDropDpc, &port->RtsDropTimer);
    InitializeCountedDpc(port, &port->RxFlowDpc, RxFlowDpc, NULL);
    InitializeCountedDpc(port, &port->LineStateDpc, LineStateDpc, NULL);

    port->CurrentBaud = 0;
    port->LineControl = 0x1A;  // 7 data bits, even parity, 1 stop bit
    port->ValidDataMask = 0x7F;
    port->SpecialChars.XonChar = 0x11;
    port->SpecialChars.XoffChar = 0x13;
    port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    SetRingLimits(port);
    port->SettableBauds = SERIAL_BAUD_075 | SERIAL_BAUD_150 | SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 |
        SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |
        SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_57600 | SERIAL_BAUD_115200 |
        SERIAL_BAUD_USER;
    port->ShortIntervalStep.QuadPart = -1;
    port->LongIntervalStep.QuadPart = -10000000;
    port->IntervalCutOver.QuadPart = 200000000;
    port->RxFifoTrigger = 0;
    port->TxFifoDepth = 1;
    port->IsOpen = FALSE;
    return STATUS_SUCCESS;
}
