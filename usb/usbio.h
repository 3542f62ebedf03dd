// Synchronous USB requests and the chip's two vendor requests. PASSIVE_LEVEL only: they block.
#pragma once

#include "driver/port.h"

// Sends one URB to the port's lower device and waits at most 3 seconds (STATUS_IO_TIMEOUT).
NTSTATUS SyncUsbRequest(PDEVICE_OBJECT DeviceObject, PURB Urb);
// bRequest 0x01 with the register or command address in wValue; one data byte on a read.
NTSTATUS VendorRead(PDEVICE_OBJECT DeviceObject, USHORT Address, PUCHAR Value);
NTSTATUS VendorWrite(PDEVICE_OBJECT DeviceObject, USHORT Address, USHORT Value);

#define CHIP_VENDOR_REQUEST 0x01
// A URB of this size carries every control request the driver builds.
#define CONTROL_URB_BYTES sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)

// ---- Configuration and chip identification (start path, PASSIVE_LEVEL) ----

// Reads the device descriptor, classifies ChipType and selects the configuration.
NTSTATUS IdentifyChip(PDEVICE_OBJECT DeviceObject);
// Reads the configuration descriptor and selects it; fills the interface copies.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject);

// The three pipes, by position in the interface copies; NULL until a selection succeeded.
enum PipeRole { InterruptInPipe, BulkOutPipe, BulkInPipe };
PUSBD_PIPE_INFORMATION MappedPipe(PortExtension *Port, PipeRole Role);

// Reads Count consecutive EEPROM bytes. Stops at the first failed read; *BytesRead counts the bytes
// that arrived before it.
NTSTATUS ReadEepromBytes(PDEVICE_OBJECT DeviceObject, USHORT Start, ULONG Count, PUCHAR Buffer, PULONG BytesRead);
BOOLEAN EepromHoldsVendorId(PDEVICE_OBJECT DeviceObject);
// The three initialisation writes, recorded in RegisterShadow; the last write's status.
NTSTATUS ChipInit(PDEVICE_OBJECT DeviceObject);
// Reads registers 0..2 into RegisterShadow; a register that cannot be read keeps its copy.
VOID ReadBackRegisters(PDEVICE_OBJECT DeviceObject);

// A chip whose EEPROM stays busy this many polls (5 ms apart) fails the read.
#define EEPROM_BUSY_POLLS 40

#define CHIP_EEPROM_STATUS 0x8484
#define CHIP_EEPROM_START_READ 0x0404
#define CHIP_EEPROM_DATA 0x8383
#define CHIP_REGISTER_READ 0x80
#define CHIP_OPTION 0x0B0B

// ---- Transfer engine: asynchronous bulk and interrupt transfers (any IRQL up to DISPATCH_LEVEL) ----

enum TransferKind { InterruptIn = 0, BulkOut = 1, BulkIn = 2 };

// Where a bulk OUT transfer came from. Only a write chunk is write progress; characters sent
// beside the write stream must never advance or finish the write.
enum TransferOrigin { WriteChunk = 0, FlowChar = 1, ImmediateChar = 2, AsyncControl = 3 };

#define STATUS_PACKET_BYTES 10
#define BULK_IN_BYTES 384

// The context of one transfer: one nonpaged allocation, released by whichever of the completion
// routine and the slot's holder (a canceller, or the completion itself) lets go of it second.
struct UsbTransfer {
    struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;
    PURB CallerUrb;  // SubmitAsyncUrb: the caller's URB, freed with the transfer
    PDEVICE_OBJECT Device;
    PUCHAR Buffer;
    ULONG Length;  // requested; the URB's length becomes what moved
    PIRP Irp;
    TransferKind Kind;
    TransferOrigin Origin;
    LONG Generation;  // WriteGeneration when a write chunk was sent
    ULONG Slot;
    LONG Handoff;
    UsbTransfer *NextToSend;  // write chunks built but not yet sent, in build order
};

// The paths above the engine, reached through the port's Handoffs table; a NULL entry is a path
// that is not there, and the engine goes on without it.
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
// PASSIVE_LEVEL only; does nothing above it. A cancelled IN transfer ends its chain.
VOID CancelTransfer(PortExtension *Port, TransferKind Kind);
VOID CancelAllTransfers(PortExtension *Port);
// PASSIVE_LEVEL: returns once no transfer or asynchronous URB of the port is outstanding and no
// completion routine of the engine is still running for it. Removal calls it before the device
// object goes.
VOID WaitForTransfers(PortExtension *Port);
BOOLEAN TransferOutstanding(PortExtension *Port, TransferKind Kind);
// The write path gives up on the chunk in flight: its completion is no longer write progress.
VOID DisownWriteChunk(PortExtension *Port);
NTSTATUS SetRemoteWakeup(PDEVICE_OBJECT Device, BOOLEAN Enable);
// Takes ownership of a nonpaged 'COMX' URB and sends it without waiting; for DISPATCH_LEVEL callers.
NTSTATUS SubmitAsyncUrb(PDEVICE_OBJECT Device, PURB Urb);

