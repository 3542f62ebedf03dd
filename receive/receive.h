// The receive ring, per-character processing, line status, statistics and event notification.
#pragma once

#include "driver/port.h"
#include "platform/miravo_ids.h"

// Every count goes to both records: IOCTL_SERIAL_GET_STATS reads one, WMI the other, and each is
// cleared on its own.
#define COUNT_STATISTIC(Port, Field) ((Port)->PerfStats.Field++, (Port)->WmiPerfData.Field++)

// Ring sizes by the system's size; a short pool steps down through them.
#define RING_BYTES_LARGE 4096
#define RING_BYTES_MEDIUM 1024
#define RING_BYTES_SMALL 128
// Room the RTS and XOFF receive holds leave beyond XoffLimit, for what is already on its way.
#define RX_HOLD_HEADROOM 400

// Open: sizes the ring by the system's size, stepping down when pool is short, and empties it in
// ring mode. STATUS_INSUFFICIENT_RESOURCES when not even the smallest ring can be had.
NTSTATUS AllocateRing(PortExtension *Port);
// Close and surprise removal: detaches the ring under the locks, then frees it. Harmless twice.
VOID FreeRing(PortExtension *Port);

// For the current RxBufferSize: XoffLimit an eighth of it, XonLimit half, the 80% mark at 13/16.
VOID SetRingLimits(PortExtension *Port);

// The receive rules over the bytes of one bulk IN completion, in order, taking the port's locks
// once (again only after resuming a write an XON released). Masks Bytes in place. Returns whether
// a receive hold keeps the bulk IN pipe idle. No port lock held.
BOOLEAN ReceiveBytes(PortExtension *Port, PUCHAR Bytes, ULONG Count);

// Stores one received character, into the ring or the waiting read's buffer.
VOID NTAPI PutChar(PortExtension *Port, UCHAR Char);
// Stores Count characters as Count calls of PutChar would, with block moves between the points
// where a rule acts (the read's buffer full, the ring's end, the 80% mark, a new hold, a full ring).
VOID PutChars(PortExtension *Port, const UCHAR *Chars, ULONG Count);

// Acts on the error bits of UartStatus and returns them as a line-status register byte; it stores
// characters, so it runs under RxLock too.
UCHAR NTAPI UpdateLineStatus(PortExtension *Port);

// Adds events to HistoryMask; any IRQL up to DISPATCH_LEVEL, with or without locks.
VOID AddHistory(PortExtension *Port, LONG Events);
// Keeps only the history bits of Mask; the same rules.
VOID KeepHistory(PortExtension *Port, LONG Mask);
// Hands HistoryMask to a waiting wait-on-mask request, if any. Any IRQL up to DISPATCH_LEVEL.
VOID NTAPI NotifyEvents(PortExtension *Port);
// Completes CurrentWait once NotifyEvents has written its events.
KDEFERRED_ROUTINE CompleteWaitDpc;
// ---- Modem status and receive flow control (modemstatus.cpp, flow.cpp, rtsdrop.cpp) ----
// Turns UartStatus into the modem-status register's state bits (SERIAL_MSR_CTS...), keeping the
// CTS/DSR transmit holds and the DSR receive hold, raising the modem events and inserting the
// status sequence; line status last. ControlLock and RxLock held.
UCHAR NTAPI UpdateModemStatus(PortExtension *Port);
// Gives the receive holds back once the ring has drained to XonLimit. ControlLock held; what the
// far end must hear of it, and the bulk IN restart, follow from RxFlowDpc.
VOID ReleaseRxHolds(PortExtension *Port);
// After a receive hold changed: RxFlowDpc tells the far end (XOFF/XON on the older chips, DTR in
// DTR handshake) and restarts the bulk IN pipe. ControlLock held.
VOID RequestRxFlowUpdate(PortExtension *Port);
KDEFERRED_ROUTINE RxFlowDpc;
// RxFlowState bits: what the far end was last told, and a bulk IN restart owed.
#define RX_FLOW_TOLD_XOFF 0x1
#define RX_FLOW_TOLD_DTR_LOW 0x2
#define RX_FLOW_RESUME_IN 0x4
#define RX_FLOW_TOLD_RTS_LOW 0x8
// One XON (TRUE) or XOFF character, beside the write stream; up to DISPATCH_LEVEL, holding no
// port lock (the bus may complete it inside the call).
NTSTATUS SendFlowChar(PortExtension *Port, BOOLEAN Xon);

// Transmit toggle: an RTS-drop trigger (end of a write, break off, XOFF...). Counts the attempt
// in RtsDropPending; RTS goes down once the last character has left the line, and every attempt
// ends (at the latest when the port closes). Any IRQL up to DISPATCH_LEVEL, any lock.
VOID TriggerRtsDrop(PortExtension *Port);
KDEFERRED_ROUTINE ArmRtsDropDpc;
KDEFERRED_ROUTINE RtsDropDpc;
// A bulk OUT transfer of Bytes has been taken by the chip: they are on the line once those before
// them are. Any IRQL up to DISPATCH_LEVEL, no lock.
VOID NoteBytesToLine(PortExtension *Port, ULONG Bytes);
// One character on the line in 100 ns units; a port that never had a rate counts as 9600 and keeps it.
LONGLONG CharTime(PortExtension *Port);

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
