// The private chip-access requests (device type 0x22): descriptors, raw registers, raw pipe and
// class transfers, the EEPROM, register-1 option bits, the chip type, the newer chips' numbered
// registers, and stopping or restarting the continuous transfers. Each runs in the caller's
// thread with synchronous USB requests and returns the USB status.
//
// A request names the layout of its input and output; a buffer shorter than that layout is
// refused with STATUS_BUFFER_TOO_SMALL before anything is sent, so nothing is read or written
// outside the system buffer, and no request reports more output than the caller offered room for.
#include "control/control.h"
#include "usb/configuration.h"
#include "usb/transfer.h"

#define PRIVATE_CODE(n) (0x222000UL + 4 * (n))

enum PrivateOp {
    OpDeviceDescriptor,
    OpConfigurationDescriptor,
    OpStringDescriptor,
    OpRawWrite,
    OpRawRead,
    OpPipeRead,
    OpPipeWrite,
    OpControlLines,
    OpCommFeature,
    OpEepromWrite,
    OpEepromRead,
    OpNothing,
    OpSetRegister1Bit,
    OpGetRegister1Bit,
    OpChipType,
    OpByteRead,
    OpByteWrite,
    OpWordWrite,
    OpWordRead,
    OpTransfers,
};

struct PrivateRow {
    ULONG Code;
    UCHAR Op;
    CHAR MinChip;   // below it: STATUS_NOT_SUPPORTED (an option row answers as if the bit were clear)
    UCHAR In, Out;  // the layout: bytes the request reads from the input and writes to the output
    USHORT Arg;     // the register address, the bit, or the pipe
};

#define ANY_CHIP ((CHAR)ChipUnclassified)
#define USB_DEVICE_DESCRIPTOR_BYTES 18
#define CDC_SET_COMM_FEATURE 0x02
#define CDC_ABSTRACT_STATE 1
#define STRING_LANGUAGE_ENGLISH 0x0409
// The only option bit the chips below type 4 do not have.
#define REG1_TYPE4_OPTION 0x08

static const PrivateRow PrivateRows[] = {
    {PRIVATE_CODE(0), OpDeviceDescriptor, ANY_CHIP, 0, USB_DEVICE_DESCRIPTOR_BYTES, 0},
    {PRIVATE_CODE(1), OpConfigurationDescriptor, ANY_CHIP, 0, 0, 0},
    {PRIVATE_CODE(2), OpStringDescriptor, ANY_CHIP, 1, 0, 0},
    {PRIVATE_CODE(3), OpRawWrite, ANY_CHIP, 4, 0, 0},
    {PRIVATE_CODE(4), OpRawRead, ANY_CHIP, 2, 1, 0},
    {PRIVATE_CODE(5), OpPipeRead, ANY_CHIP, 0, 0, InterruptInPipe},
    {PRIVATE_CODE(6), OpPipeWrite, ANY_CHIP, 0, 0, BulkOutPipe},
    {PRIVATE_CODE(7), OpPipeRead, ANY_CHIP, 0, 0, BulkInPipe},
    {PRIVATE_CODE(8), OpControlLines, ANY_CHIP, 2, 0, 0},
    {PRIVATE_CODE(9), OpCommFeature, ANY_CHIP, 2, 0, 0},
    {PRIVATE_CODE(10), OpEepromWrite, ANY_CHIP, 0, 0, 0},
    {PRIVATE_CODE(11), OpEepromRead, ANY_CHIP, 2, 0, 0},
    {PRIVATE_CODE(12), OpNothing, ANY_CHIP, 0, 0, 0},
    // Meant to open a registry key it never names: answered as the request above, opening nothing.
    {PRIVATE_CODE(13), OpNothing, ANY_CHIP, 0, 0, 0},
    {PRIVATE_CODE(20), OpSetRegister1Bit, ANY_CHIP, 1, 0, 0x10},
    {PRIVATE_CODE(21), OpSetRegister1Bit, ANY_CHIP, 1, 0, 0x20},
    {PRIVATE_CODE(22), OpSetRegister1Bit, ANY_CHIP, 1, 0, 0x40},
    {PRIVATE_CODE(23), OpSetRegister1Bit, ANY_CHIP, 1, 0, 0x80},
    {PRIVATE_CODE(24), OpGetRegister1Bit, ANY_CHIP, 0, 1, 0x40},
    {PRIVATE_CODE(25), OpGetRegister1Bit, ANY_CHIP, 0, 1, 0x80},
    {PRIVATE_CODE(26), OpChipType, ANY_CHIP, 0, 1, 0},
    {PRIVATE_CODE(27), OpByteRead, ChipType3, 0, 1, 0x8E8E},
    {PRIVATE_CODE(28), OpByteWrite, ChipType3, 2, 0, 0x0E0E},
    {PRIVATE_CODE(29), OpByteRead, ChipType3, 0, 1, 0x8F8F},
    {PRIVATE_CODE(30), OpByteWrite, ChipType3, 2, 0, 0x0F0F},
    {PRIVATE_CODE(31), OpWordWrite, ChipType2, 2, 0, 0x0606},
    {PRIVATE_CODE(32), OpWordRead, ChipType2, 0, 2, 0x8686},
    {PRIVATE_CODE(33), OpWordWrite, ChipType2, 2, 0, 0x0707},
    {PRIVATE_CODE(34), OpWordRead, ChipType2, 0, 2, 0x8787},
    {PRIVATE_CODE(35), OpWordWrite, ChipType3, 2, 0, 0x0C0C},
    {PRIVATE_CODE(36), OpWordRead, ChipType3, 0, 2, 0x8C8C},
    {PRIVATE_CODE(37), OpWordWrite, ChipType3, 2, 0, 0x0D0D},
    {PRIVATE_CODE(38), OpWordRead, ChipType3, 0, 2, 0x8D8D},
    {PRIVATE_CODE(41), OpTransfers, ANY_CHIP, 2, 0, 0},
    {PRIVATE_CODE(42), OpSetRegister1Bit, ChipType4, 1, 0, REG1_TYPE4_OPTION},
    {PRIVATE_CODE(43), OpGetRegister1Bit, ChipType4, 0, 1, REG1_TYPE4_OPTION},
};

// A write reports its input word back, as far as the output has room for it.
#define ECHOED_WORD_BYTES 2

NTSTATUS WriteEepromBytes(PDEVICE_OBJECT DeviceObject, const UCHAR *Input, ULONG Length) {
    PAGED_CODE();
    if (Length < 2) return STATUS_SUCCESS;
    ULONG start = Input[0], count = Length - 1;
    // The address is 8 bits on the wire: a range past 0xFF would wrap onto the first bytes.
    if (start + count > 0x100) return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < count; i++) {
        // The chip ignores a write while busy, and a failed write leaves the rest without their
        // place: either ends the request with its status.
        NTSTATUS status = WaitEepromIdle(DeviceObject);
        if (NT_SUCCESS(status))
            status = VendorWrite(DeviceObject, CHIP_EEPROM_WRITE, (USHORT)((Input[1 + i] << 8) | (start + i)));
        if (!NT_SUCCESS(status)) return status == STATUS_INSUFFICIENT_RESOURCES ? STATUS_NO_MEMORY : status;
    }
    return STATUS_SUCCESS;
}

// One transfer on a pipe of the pipe map, into or from Buffer; *Moved is what the stack moved.
static NTSTATUS PipeTransfer(PortExtension *port, PipeRole role, PVOID buffer, ULONG length, PULONG moved) {
    *moved = 0;
    PUSBD_PIPE_INFORMATION pipe = MappedPipe(port, role);
    if (!pipe) return STATUS_INVALID_DEVICE_STATE;
    ULONG flags = role == BulkOutPipe ? USBD_TRANSFER_DIRECTION_OUT
                  : role == BulkInPipe ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                       : USBD_TRANSFER_DIRECTION_IN;
    const USHORT size = (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, MIRAVO_POOL_TAG);
    if (!urb) return STATUS_NO_MEMORY;
    RtlZeroMemory(urb, size);
    UsbBuildInterruptOrBulkTransferRequest(urb, size, pipe->PipeHandle, buffer, NULL, length, flags, NULL);
    NTSTATUS status = SyncUsbRequest(port->DeviceObject, urb);
    ULONG got = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (NT_SUCCESS(status)) *moved = got < length ? got : length;
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return status;
}

// A class request to the interface, with an optional host-to-device data stage.
static NTSTATUS ClassRequest(PortExtension *port, UCHAR request, USHORT value, const UCHAR *data, ULONG length) {
    struct ClassBlock {
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
        UCHAR Data[ECHOED_WORD_BYTES];
    };
    if (length > ECHOED_WORD_BYTES) return STATUS_INVALID_PARAMETER;
    ClassBlock *block = (ClassBlock *)ExAllocatePoolWithTag(NonPagedPool, sizeof(ClassBlock), MIRAVO_POOL_TAG);
    if (!block) return STATUS_NO_MEMORY;
    RtlZeroMemory(block, sizeof(ClassBlock));
    if (length) RtlCopyMemory(block->Data, data, length);
    UsbBuildVendorRequest((PURB)&block->Urb, URB_FUNCTION_CLASS_INTERFACE, (USHORT)CONTROL_URB_BYTES,
                          USBD_TRANSFER_DIRECTION_OUT, 0, request, value, 0, length ? block->Data : NULL, NULL, length,
                          NULL);
    NTSTATUS status = SyncUsbRequest(port->DeviceObject, (PURB)&block->Urb);
    ExFreePoolWithTag(block, MIRAVO_POOL_TAG);
    return status;
}

// A register that could not be read is neither reported nor written back: a bit changed in a stale
// copy would overwrite the chip's other bits with old values.
static NTSTATUS Register1Bit(PortExtension *port, UCHAR bit, BOOLEAN change, BOOLEAN set, PUCHAR isSet) {
    NTSTATUS status = ReadChipRegister(port, 1);
    if (!NT_SUCCESS(status)) return status;
    if (!change) {
        *isSet = (port->RegisterShadow[1] & bit) ? 1 : 0;
        return STATUS_SUCCESS;
    }
    if (set)
        port->RegisterShadow[1] |= bit;
    else
        port->RegisterShadow[1] &= (UCHAR)~bit;
    return WriteChipRegister(port, 1);
}

static USHORT InputWord(const UCHAR *buffer) { return (USHORT)(buffer[0] | (buffer[1] << 8)); }

static ULONG Echo(ULONG outLength) { return outLength < ECHOED_WORD_BYTES ? outLength : ECHOED_WORD_BYTES; }

static NTSTATUS RunPrivate(PortExtension *port, const PrivateRow *row, PUCHAR buffer, ULONG inLength,
                           ULONG outLength, PULONG information) {
    PDEVICE_OBJECT device = port->DeviceObject;
    ULONG moved = 0;
    NTSTATUS status;
    switch (row->Op) {
    case OpDeviceDescriptor:
        status = ReadDescriptorInto(device, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, row->Out, &moved);
        break;
    case OpConfigurationDescriptor:
        status = ReadDescriptorInto(device, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, outLength, &moved);
        break;
    case OpStringDescriptor:
        status = ReadDescriptorInto(device, USB_STRING_DESCRIPTOR_TYPE, buffer[0], STRING_LANGUAGE_ENGLISH, buffer,
                                    outLength, &moved);
        break;
    case OpRawWrite:
        status = VendorWrite(device, InputWord(buffer), InputWord(buffer + 2));
        break;
    case OpRawRead:
    case OpByteRead:
    case OpWordRead: {
        USHORT address = row->Op == OpRawRead ? InputWord(buffer) : row->Arg;
        status = VendorReadBytes(device, address, buffer, row->Out, &moved);
        break;
    }
    case OpPipeRead:
        status = PipeTransfer(port, (PipeRole)row->Arg, buffer, outLength, &moved);
        break;
    case OpPipeWrite:
        status = PipeTransfer(port, (PipeRole)row->Arg, buffer, inLength, &moved);
        moved = 0;
        break;
    case OpControlLines:
        // Straight to the chip: ModemControl keeps what the port last set.
        status = ClassRequest(port, CDC_SET_CONTROL_LINE_STATE, InputWord(buffer), NULL, 0);
        break;
    case OpCommFeature:
        status = ClassRequest(port, CDC_SET_COMM_FEATURE, CDC_ABSTRACT_STATE, buffer, ECHOED_WORD_BYTES);
        break;
    case OpEepromWrite:
        status = WriteEepromBytes(device, buffer, inLength);
        break;
    case OpEepromRead: {
        USHORT start = InputWord(buffer);
        if ((ULONG)start + outLength > 0x10000) return STATUS_INVALID_PARAMETER;
        status = ReadEepromBytes(device, start, outLength, buffer, &moved);
        if (status == STATUS_INSUFFICIENT_RESOURCES) status = STATUS_NO_MEMORY;
        break;
    }
    case OpSetRegister1Bit:
        status = port->ChipType < row->MinChip ? STATUS_SUCCESS
                                               : Register1Bit(port, (UCHAR)row->Arg, TRUE, buffer[0] != 0, NULL);
        break;
    case OpGetRegister1Bit:
        buffer[0] = 0;
        status = port->ChipType < row->MinChip ? STATUS_SUCCESS
                                               : Register1Bit(port, (UCHAR)row->Arg, FALSE, FALSE, buffer);
        moved = NT_SUCCESS(status) ? 1 : 0;
        break;
    case OpChipType:
        buffer[0] = (UCHAR)port->ChipType;
        moved = 1;
        status = STATUS_SUCCESS;
        break;
    case OpByteWrite:
    case OpWordWrite:
        status = VendorWrite(device, row->Arg, InputWord(buffer));
        moved = Echo(outLength);
        break;
    case OpTransfers:
        if (InputWord(buffer)) {
            CancelAllTransfers(port);
        } else {
            (void)SubmitTransfer(device, InterruptIn, NULL, STATUS_PACKET_BYTES);
            (void)SubmitTransfer(device, BulkIn, NULL, BULK_IN_BYTES);
        }
        *information = Echo(outLength);
        return STATUS_SUCCESS;
    default:
        status = STATUS_SUCCESS;
        break;
    }
    if (status == STATUS_INSUFFICIENT_RESOURCES) status = STATUS_NO_MEMORY;
    // The word writes report their word whatever became of it; every other failure reports nothing.
    *information = NT_SUCCESS(status) || row->Op == OpWordWrite ? moved : 0;
    return status;
}

NTSTATUS PrivateRequest(PortExtension *Port, PIRP Irp) {
    PAGED_CODE();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    Irp->IoStatus.Information = 0;
    const PrivateRow *row = NULL;
    for (ULONG i = 0; i < sizeof(PrivateRows) / sizeof(PrivateRows[0]) && !row; i++)
        if (PrivateRows[i].Code == code) row = &PrivateRows[i];
    if (!row) return STATUS_INVALID_PARAMETER;
    if (row->Op == OpNothing) return STATUS_SUCCESS;

    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (!buffer) return STATUS_INVALID_PARAMETER;
    BOOLEAN optionRow = row->Op == OpSetRegister1Bit || row->Op == OpGetRegister1Bit;
    if (Port->ChipType < row->MinChip && !optionRow) {
        if (row->Op == OpWordWrite) Irp->IoStatus.Information = Echo(outLength);
        return STATUS_NOT_SUPPORTED;
    }
    if (inLength < row->In || outLength < row->Out) return STATUS_BUFFER_TOO_SMALL;
    ULONG information = 0;
    NTSTATUS status = RunPrivate(Port, row, buffer, inLength, outLength, &information);
    Irp->IoStatus.Information = information;
    return status;
}
