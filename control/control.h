// Serial control: line settings (rate, data bits, parity, stop bits) and their line coding.
#pragma once

#include "driver/port.h"

struct StandardRate {
    ULONG Rate;
    ULONG DivisorCode;
};

#define STANDARD_RATE_ROWS 35
extern const StandardRate StandardRateTable[STANDARD_RATE_ROWS];

// Nearest-rate search; may replace *Rate by the row's rate. FALSE for 37, the last midpoint.
BOOLEAN MatchStandardRate(PULONG Rate, PULONG Row);
// Exact search in ExtendedRateTable.
BOOLEAN MatchExtendedRate(ULONG Rate, PULONG Row);

// Both send SET_LINE_CODING and so run at PASSIVE_LEVEL only.
NTSTATUS SetBaudRate(PortExtension *Port, ULONG Rate);
NTSTATUS SendLineCoding(PortExtension *Port);

// IOCTL_SERIAL_SET_LINE_CONTROL: TRUE when the three bytes repeat the last line control applied
// (nothing more to do). SetLineControl remembers what it applies.
BOOLEAN LineControlRepeats(PortExtension *Port, const UCHAR *Bytes);
// Validates, applies and sends a line control: STATUS_SUCCESS or STATUS_INVALID_PARAMETER.
NTSTATUS SetLineControl(PortExtension *Port, const SERIAL_LINE_CONTROL *LineControl);
// The read-back requests, under ControlLock.
VOID GetBaudRate(PortExtension *Port, PSERIAL_BAUD_RATE BaudRate);
VOID GetLineControl(PortExtension *Port, PSERIAL_LINE_CONTROL LineControl);

// ---- Modem control lines (control/modem.cpp) ----
// Set or clear DTR or RTS in ModemControl and send it: synchronously at PASSIVE_LEVEL, without
// waiting above it. TRUE when the request went out (and, waited for, succeeded).
BOOLEAN SetDtr(PortExtension *Port);
BOOLEAN ClearDtr(PortExtension *Port);
BOOLEAN SetRts(PortExtension *Port);
BOOLEAN ClearRts(PortExtension *Port);

// ---- Wait-on-mask (control/waitmask.cpp) ----
// The events a mask may name; IOCTL_SERIAL_SET_WAIT_MASK refuses any other bit.
#define WAIT_MASK_VALID_EVENTS 0x1FFFUL
// Starter of MaskQueue: sets masks and arms waits until the queue is empty; returns the result of
// the request it was started for. PASSIVE_LEVEL.
NTSTATUS NTAPI StartMaskRequests(PortExtension *Port);
// The mask of the SET_WAIT_MASK request in CurrentMask: ends a wait still without events (event
// set 0) and drops history bits the new mask no longer wants.
VOID ApplyWaitMask(PortExtension *Port);
// Arms the request just made CurrentWait; history already there satisfies it at once.
VOID ArmWait(PortExtension *Port);
DRIVER_CANCEL CancelWait;
VOID NTAPI TakeBackWait(PortExtension *Port);
// The armed wait's result word, taken by whoever delivers to the wait: the event sources, a new
// mask, or the take-back of a cancel. NULL when no wait is armed or another party took it.
PULONG TakeArmedWait(PortExtension *Port);
// Writes Events for the wait whose result word the caller took; CompleteWaitDpc completes it.
VOID DeliverToWait(PortExtension *Port, PULONG Result, ULONG Events);
