// The device-control dispatcher's small handlers (control/dispatch_handlers.cpp). Each runs after
// the dispatcher's buffer checks, at PASSIVE_LEVEL.
#pragma once

#include "driver/port.h"

DRIVER_DISPATCH DispatchDeviceControl;

// IOCTL_SERIAL_SET_QUEUE_SIZE: *Ring stays NULL when the ring is already as large; otherwise a
// quota-charged buffer for the read path to install, or the allocation's failure.
NTSTATUS AllocateQueueSizeRing(PortExtension *Port, ULONG InSize, PVOID *Ring);

NTSTATUS SetTimeouts(PortExtension *Port, const SERIAL_TIMEOUTS *Timeouts);
VOID GetTimeouts(PortExtension *Port, PSERIAL_TIMEOUTS Timeouts);
NTSTATUS SetChars(PortExtension *Port, const SERIAL_CHARS *Chars);
VOID GetChars(PortExtension *Port, PSERIAL_CHARS Chars);
VOID GetCommStatus(PortExtension *Port, PSERIAL_STATUS Status);
VOID GetProperties(PortExtension *Port, PSERIAL_COMMPROP Properties);
NTSTATUS SetEscapeChar(PortExtension *Port, UCHAR Char);
VOID GetStats(PortExtension *Port, PSERIALPERF_STATS Stats);
VOID ClearStats(PortExtension *Port);
