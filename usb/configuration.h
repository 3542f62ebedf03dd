// Configuration and chip identification: the start path's USB bring-up, over the vendor requests.
// PASSIVE_LEVEL only.
#pragma once

#include "usb/syncrequest.h"

// Reads the device descriptor, classifies ChipType and selects the configuration.
NTSTATUS IdentifyChip(PDEVICE_OBJECT DeviceObject);
// Reads the configuration descriptor and selects it; fills the interface copies.
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject);

// One GET_DESCRIPTOR into Buffer (nonpaged, Length bytes); *Received is what arrived, at most Length.
NTSTATUS ReadDescriptorInto(PDEVICE_OBJECT DeviceObject, UCHAR Type, UCHAR Index, USHORT Language, PVOID Buffer,
                            ULONG Length, PULONG Received);

// The three pipes, by position in the interface copies; NULL until a selection succeeded.
enum PipeRole { InterruptInPipe, BulkOutPipe, BulkInPipe };
PUSBD_PIPE_INFORMATION MappedPipe(PortExtension *Port, PipeRole Role);

// Reads Count consecutive EEPROM bytes. Stops at the first failed read; *BytesRead counts the bytes
// that arrived before it.
NTSTATUS ReadEepromBytes(PDEVICE_OBJECT DeviceObject, USHORT Start, ULONG Count, PUCHAR Buffer, PULONG BytesRead);
BOOLEAN EepromHoldsVendorId(PDEVICE_OBJECT DeviceObject);
// Polls the EEPROM status every 5 ms until it is idle; STATUS_IO_TIMEOUT after EEPROM_BUSY_POLLS.
NTSTATUS WaitEepromIdle(PDEVICE_OBJECT DeviceObject);
// The three initialisation writes, recorded in RegisterShadow; the last write's status.
NTSTATUS ChipInit(PDEVICE_OBJECT DeviceObject);
// Reads registers 0..2 into RegisterShadow; a register that cannot be read keeps its copy.
VOID ReadBackRegisters(PDEVICE_OBJECT DeviceObject);

// A chip whose EEPROM stays busy this many polls (5 ms apart) fails the read.
#define EEPROM_BUSY_POLLS 40

#define CHIP_EEPROM_STATUS 0x8484
#define CHIP_EEPROM_START_READ 0x0404
#define CHIP_EEPROM_DATA 0x8383
#define CHIP_EEPROM_WRITE 0x0303
#define CHIP_REGISTER_READ 0x80
#define CHIP_OPTION 0x0B0B
