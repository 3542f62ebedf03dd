// Start defaults of a port: the settings a freshly started port has before an application sets any.
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
    // would run address 0.
    KeInitializeDpc(&port->CompleteReadDpc, CompleteReadDpc, port);
    KeInitializeDpc(&port->ReadTimeoutDpc, ReadTimeoutDpc, port);
    KeInitializeDpc(&port->ReadIntervalTimeoutDpc, ReadIntervalTimeoutDpc, port);
    KeInitializeDpc(&port->CompleteWriteDpc, CompleteWriteDpc, port);
    KeInitializeDpc(&port->WriteTimeoutDpc, WriteTimeoutDpc, port);
    KeInitializeDpc(&port->ErrorAbortDpc, ErrorAbortDpc, port);
    KeInitializeDpc(&port->CompleteImmediateDpc, CompleteImmediateDpc, port);
    KeInitializeDpc(&port->ImmediateTimeoutDpc, ImmediateTimeoutDpc, port);
    KeInitializeDpc(&port->XoffCountTimeoutDpc, XoffCountTimeoutDpc, port);
    KeInitializeDpc(&port->XoffCountDoneDpc, XoffCountDoneDpc, port);
    KeInitializeDpc(&port->CompleteWaitDpc, CompleteWaitDpc, port);
    KeInitializeDpc(&port->ArmRtsDropDpc, ArmRtsDropDpc, port);
    KeInitializeDpc(&port->RtsDropDpc, RtsDropDpc, port);
    KeInitializeDpc(&port->RxFlowDpc, RxFlowDpc, port);

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
