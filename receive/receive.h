// The receive ring, per-character processing, line status, statistics and event notification.
#pragma once

#include "driver/port.h"

// RxHoldReasons bits.
#define RX_HOLD_DTR 0x1
#define RX_HOLD_XOFF 0x2
#define RX_HOLD_RTS 0x4
#define RX_HOLD_DSR 0x8

// Every count goes to both records: IOCTL_SERIAL_GET_STATS reads one, WMI the other, and each is
// cleared on its own.
#define COUNT_STATISTIC(Port, Field) ((Port)->PerfStats.Field++, (Port)->WmiPerfData.Field++)

// Open: sizes the ring by the system's size, stepping down when pool is short, and empties it in
// ring mode. STATUS_INSUFFICIENT_RESOURCES when not even the smallest ring can be had.
NTSTATUS AllocateRing(PortExtension *Port);
// Close and surprise removal: detaches the ring under the locks, then frees it. Harmless twice.
VOID FreeRing(PortExtension *Port);

// Stores one received character, into the ring or the waiting read's buffer.
VOID NTAPI PutChar(PortExtension *Port, UCHAR Char);

// Acts on the error bits of UartStatus and returns them as a line-status register byte; it stores
// characters, so it runs under RxLock too.
UCHAR NTAPI UpdateLineStatus(PortExtension *Port);

// Adds events to HistoryMask; any IRQL up to DISPATCH_LEVEL, with or without locks.
VOID AddHistory(PortExtension *Port, LONG Events);
// Hands HistoryMask to a waiting wait-on-mask request, if any. Any IRQL up to DISPATCH_LEVEL.
VOID NTAPI NotifyEvents(PortExtension *Port);
// Completes CurrentWait once NotifyEvents has written its events.
KDEFERRED_ROUTINE CompleteWaitDpc;
// Both RTS-drop DPCs (ArmRtsDropDpc, RtsDropDpc): ends one attempt of RtsDropPending.
KDEFERRED_ROUTINE EndRtsDropAttemptDpc;

// Copies what the ring holds, up to ReadNeeded, into the current read after what it already has;
// returns the count, which ConsumeFromRing then takes out of the ring.
ULONG CopyFromRing(PortExtension *Port);
VOID ConsumeFromRing(PortExtension *Port, ULONG Count);

// IOCTL_SERIAL_SET_QUEUE_SIZE current in ReadQueue: installs the buffer parked in the request if
// it is larger, keeping the ring's content. Always succeeds.
NTSTATUS ResizeRing(PortExtension *Port);

// SERIAL_PURGE_RXCLEAR: empties the ring, unless the receive path is filling a read directly.
VOID PurgeRing(PortExtension *Port);

// Read requests (read.cpp). StartRead is the starter of ReadQueue: it serves reads from the ring,
// hands a read that needs more to the receive path and arms its time-outs, and carries out the
// IOCTL_SERIAL_SET_QUEUE_SIZE requests queued among the reads.
DRIVER_DISPATCH ReadDispatch;
NTSTATUS NTAPI StartRead(PortExtension *Port);
KDEFERRED_ROUTINE CompleteReadDpc;
KDEFERRED_ROUTINE ReadTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;
DRIVER_CANCEL CancelCurrentRead;
// Take-back step: ends direct mode, settles how much the read holds and drops RefTransfer.
VOID NTAPI SwitchBackToRing(PortExtension *Port);
