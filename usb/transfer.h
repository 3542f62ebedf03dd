// The transfer engine: asynchronous bulk and interrupt transfers, any IRQL up to DISPATCH_LEVEL.
#pragma once

#include "driver/port.h"

enum TransferKind { InterruptIn = 0, BulkOut = 1, BulkIn = 2 };

// Where a bulk OUT transfer came from. Only a write chunk is write progress; characters sent
// beside the write stream must never advance or finish the write.
enum TransferOrigin { WriteChunk = 0, FlowChar = 1, ImmediateChar = 2, AsyncControl = 3 };

#define STATUS_PACKET_BYTES 10
#define BULK_IN_BYTES 384

// The paths above the engine, reached through the port's Handoffs table (the receive path's
// character rules reach PutChar, NotifyEvents and SendWriteChunk through it too); a NULL entry is
// a path that is not there, and the engine goes on without it.
typedef VOID(NTAPI PUT_CHAR_ROUTINE)(PortExtension *Port, UCHAR Char);           // ControlLock, RxLock held
typedef UCHAR(NTAPI MODEM_STATUS_ROUTINE)(PortExtension *Port);                  // ControlLock, RxLock held
typedef VOID(NTAPI NOTIFY_EVENTS_ROUTINE)(PortExtension *Port);                  // no lock held
// The write entries get the chunk's WriteGeneration: the write path checks it under its own lock,
// since a take-back may come between the engine's look and the call.
typedef VOID(NTAPI CONTINUE_WRITE_ROUTINE)(PortExtension *Port, ULONG Sent, LONG Generation);     // no lock held
typedef VOID(NTAPI WRITE_CHUNK_LOST_ROUTINE)(PortExtension *Port, NTSTATUS Why, LONG Generation);  // no lock held
typedef VOID(NTAPI SEND_WRITE_CHUNK_ROUTINE)(PortExtension *Port);               // no lock held

struct TransferHandoffs {
    PUT_CHAR_ROUTINE *PutChar;                  // stores one received character
    MODEM_STATUS_ROUTINE *UpdateModemStatus;    // acts on UartStatus, line status last
    NOTIFY_EVENTS_ROUTINE *NotifyEvents;        // hands HistoryMask to a waiting request
    CONTINUE_WRITE_ROUTINE *ContinueWrite;      // a chunk of the current write went out
    WRITE_CHUNK_LOST_ROUTINE *WriteChunkLost;   // a chunk of the current write failed or the port closed
    SEND_WRITE_CHUNK_ROUTINE *SendWriteChunk;   // tries a parked write again
};

// IN kinds start a chain only when none of the kind is outstanding (STATUS_SUCCESS when one
// already is). BulkOut sends Length bytes from Source (copied at once) as a write chunk.
NTSTATUS SubmitTransfer(PDEVICE_OBJECT Device, TransferKind Kind, const UCHAR *Source, ULONG Length);
NTSTATUS SubmitBulkOut(PDEVICE_OBJECT Device, TransferOrigin Origin, const UCHAR *Source, ULONG Length);
// Write chunks, stamped with the WriteGeneration their sender read under the cancel lock, so that a
// take-back after that still disowns them. Prepared under the cancel lock, where the write and its
// buffer cannot go away: the bytes are copied, a bulk OUT slot is taken (none free:
// STATUS_INSUFFICIENT_RESOURCES) and the chunk joins the port's send queue. SendPreparedChunks,
// called without locks, sends that queue in order, one sender at a time, so that a later write's
// chunk never overtakes an earlier one's on the pipe.
NTSTATUS PrepareWriteChunk(PDEVICE_OBJECT Device, const UCHAR *Source, ULONG Length, LONG Generation);
VOID SendPreparedChunks(PDEVICE_OBJECT Device);
IO_COMPLETION_ROUTINE TransferComplete;
// Up to DISPATCH_LEVEL, holding no lock: the completions, and the paths above, may run inside the
// call. A cancelled IN transfer ends its chain.
VOID CancelTransfer(PortExtension *Port, TransferKind Kind);
// The same for the write chunk of Generation still in flight, if any; its completion reaches
// ContinueWrite with what it moved.
VOID CancelWriteChunk(PortExtension *Port, LONG Generation);
VOID CancelAllTransfers(PortExtension *Port);
// PASSIVE_LEVEL: returns once no transfer or asynchronous URB of the port is outstanding and no
// completion routine of the engine is still running for it. Removal calls it before the device
// object goes.
VOID WaitForTransfers(PortExtension *Port);
BOOLEAN TransferOutstanding(PortExtension *Port, TransferKind Kind);
// The write path gives up on the chunk in flight: its completion is no longer write progress.
VOID DisownWriteChunk(PortExtension *Port);
// Takes ownership of a nonpaged 'COMX' URB and sends it without waiting; for DISPATCH_LEVEL callers.
NTSTATUS SubmitAsyncUrb(PDEVICE_OBJECT Device, PURB Urb);
