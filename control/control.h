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

// The communications-class request behind DTR and RTS.
#define CDC_SET_CONTROL_LINE_STATE 0x22

// ---- Modem control lines, break, XON/XOFF holds and modem status (control/modem.cpp) ----
// ModemControl bits.
#define MODEM_CONTROL_DTR 0x1
#define MODEM_CONTROL_RTS 0x2
// Set or clear DTR or RTS in ModemControl and send the word. At PASSIVE_LEVEL the request is sent
// and waited for: TRUE when it succeeded; FALSE, nothing changed, without memory for it. Above
// PASSIVE_LEVEL, with or without the port's locks held, the change is recorded and LineStateDpc
// sends it: TRUE. Whoever sends, the chip ends with the latest word.
BOOLEAN SetDtr(PortExtension *Port);
BOOLEAN ClearDtr(PortExtension *Port);
BOOLEAN SetRts(PortExtension *Port);
BOOLEAN ClearRts(PortExtension *Port);
KDEFERRED_ROUTINE LineStateDpc;
// Close, after its DPC drain: returns once no asynchronous line request sent after Mark (an earlier
// LineAsyncSends) is still on its way, so that none outlives the session.
VOID FlushLineState(PortExtension *Port, LONG Mark);

// IOCTL_SERIAL_SET_DTR / CLR_DTR and SET_RTS / CLR_RTS: STATUS_INVALID_PARAMETER while the line is
// the handshake's (or transmit toggle's), otherwise the line is set and STATUS_SUCCESS.
NTSTATUS DtrRequest(PortExtension *Port, BOOLEAN Set);
NTSTATUS RtsRequest(PortExtension *Port, BOOLEAN Set);
// IOCTL_SERIAL_SET_MODEM_CONTROL: the low 16 bits become ModemControl, then DTR and RTS follow them.
VOID SetModemControl(PortExtension *Port, ULONG Value);
ULONG GetModemControl(PortExtension *Port);
// IOCTL_SERIAL_GET_MODEMSTATUS: the SERIAL_MSR_* state bits; a ring on types 0 and 1 is reported once.
ULONG GetModemStatus(PortExtension *Port);
// The same evaluation for its effect on the holds, at start and open.
VOID RefreshModemStatus(PortExtension *Port);

// SEND_BREAK, 0xFFFF (until cleared) or 0; STATUS_INSUFFICIENT_RESOURCES when nothing was sent.
NTSTATUS SendBreak(PortExtension *Port, BOOLEAN On);
// IOCTL_SERIAL_SET_BREAK_ON / OFF: transmission is held while the break lasts. Off without a break
// sends nothing.
VOID BreakOn(PortExtension *Port);
VOID BreakOff(PortExtension *Port);
// IOCTL_SERIAL_SET_XOFF / SET_XON: transmission held (or released) as by a received XOFF (XON).
VOID SetXoffHold(PortExtension *Port);
VOID ClearXoffHold(PortExtension *Port);

// A control request without a data stage, in a nonpaged 'COMX' URB for SyncUsbRequest (the caller
// frees it) or SubmitAsyncUrb (which takes it). NULL without memory.
PURB BuildControlUrb(USHORT Function, UCHAR Request, USHORT Value, USHORT Index);

// ---- Handshake settings (control/handflow.cpp) ----
// IOCTL_SERIAL_SET_HANDFLOW's checks: STATUS_INVALID_PARAMETER for a setting the port cannot take.
NTSTATUS ValidateHandFlow(PortExtension *Port, const SERIAL_HANDFLOW *HandFlow);
// Brings lines, holds and chip registers in line with HandFlow, then makes it the port's. Only what
// changed is redone while the port is open; everything while it is not. PASSIVE_LEVEL.
VOID ApplyHandFlow(PortExtension *Port, const SERIAL_HANDFLOW *HandFlow);
VOID GetHandFlow(PortExtension *Port, PSERIAL_HANDFLOW HandFlow);
// Register Register (0..2) to or from RegisterShadow; a failed read keeps the copy. The USB
// request's status (STATUS_INSUFFICIENT_RESOURCES or STATUS_NO_MEMORY without memory for it). A
// write above PASSIVE_LEVEL goes out without waiting: its status is the submission's.
NTSTATUS ReadChipRegister(PortExtension *Port, ULONG Register);
NTSTATUS WriteChipRegister(PortExtension *Port, ULONG Register);
// One hardware handshake of the chip on or off. The RTS handshake needs type 2 or above
// (STATUS_NOT_SUPPORTED, nothing sent), the DSR handshake type 3 or 4 and XON/XOFF type 2 or
// above (nothing to do on the others). Each leaves the chip's other handshakes as they are.
NTSTATUS ChipRtsFlow(PortExtension *Port, BOOLEAN On);
NTSTATUS ChipCtsFlow(PortExtension *Port, BOOLEAN On);
NTSTATUS ChipDsrFlow(PortExtension *Port, BOOLEAN On);
NTSTATUS ChipXonXoffFlow(PortExtension *Port, BOOLEAN On);

// ---- Private chip-access requests (control/private.cpp) ----
// A device-control request of the private block (device type 0x22): carries it out and sets
// Information; STATUS_INVALID_PARAMETER for a code outside the block. PASSIVE_LEVEL.
NTSTATUS PrivateRequest(PortExtension *Port, PIRP Irp);
// Input: the start address, then the bytes to write there; nothing for fewer than 2 bytes. A range
// past the EEPROM's 8-bit address space is refused with nothing written.
NTSTATUS WriteEepromBytes(PDEVICE_OBJECT DeviceObject, const UCHAR *Input, ULONG Length);

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
