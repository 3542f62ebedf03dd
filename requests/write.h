// The transmit side: writes, the XOFF counter and the immediate character.
#pragma once

#include "requests/requests.h"
#include "usb/transfer.h"

DRIVER_DISPATCH WriteDispatch;
// Starter of WriteQueue (writes and XOFF counters) and its next-getter.
REQUEST_STARTER BeginWrite;
NEXT_REQUEST_GETTER TakeNextWrite;

// The transfer engine's entries (TransferHandoffs.ContinueWrite, WriteChunkLost, SendWriteChunk).
CONTINUE_WRITE_ROUTINE ContinueWrite;
WRITE_CHUNK_LOST_ROUTINE WriteChunkLost;
// Tries a parked write again; does nothing unless one is parked.
SEND_WRITE_CHUNK_ROUTINE SendWriteChunk;

KDEFERRED_ROUTINE CompleteWriteDpc;
KDEFERRED_ROUTINE WriteTimeoutDpc;

// XOFF counter (requests/xoff.cpp). The receive path calls CountXoffChars for the characters
// PutChar keeps.
// For a counter whose XOFF has gone out: makes it CurrentXoff and starts its count and time-out
// (TRUE), or sets the status it is to be completed with (FALSE).
BOOLEAN ArmXoffCounter(PortExtension *Port, PIRP Irp);
VOID CountXoffChars(PortExtension *Port, ULONG Count);
// A write begins: a counting XOFF counter ends with STATUS_SERIAL_MORE_WRITES.
VOID EndXoffForNewWrite(PortExtension *Port);
DRIVER_CANCEL CancelCurrentXoff;
KDEFERRED_ROUTINE XoffCountDoneDpc;
KDEFERRED_ROUTINE XoffCountTimeoutDpc;

// Immediate character (requests/immediate.cpp). IOCTL_SERIAL_IMMEDIATE_CHAR from the dispatcher:
// STATUS_PENDING once the request is taken (it is completed later), otherwise the refusal status
// with the request untouched, for the dispatcher to complete.
NTSTATUS ImmediateCharRequest(PortExtension *Port, PIRP Irp);
VOID BeginImmediate(PortExtension *Port);
DRIVER_CANCEL CancelCurrentImmediate;
KDEFERRED_ROUTINE CompleteImmediateDpc;
KDEFERRED_ROUTINE ImmediateTimeoutDpc;
