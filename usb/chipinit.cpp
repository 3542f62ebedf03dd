// The chip's EEPROM probe, its initialisation writes and the register read-back.
#include "platform/miravo_ids.h"
#include "usb/configuration.h"

#define EEPROM_POLL_INTERVAL (-50000LL)  // 5 ms, relative

// A failed status read counts as idle, as the chip then answers nothing better; a chip that stays
// busy would hold the start (or an open) forever, so it is given a bounded number of polls.
NTSTATUS WaitEepromIdle(PDEVICE_OBJECT device) {
    for (ULONG poll = 0; poll < EEPROM_BUSY_POLLS; poll++) {
        LARGE_INTEGER pause;
        pause.QuadPart = EEPROM_POLL_INTERVAL;
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
        UCHAR busy = 0;
        if (!NT_SUCCESS(VendorRead(device, CHIP_EEPROM_STATUS, &busy)) || !(busy & 1)) return STATUS_SUCCESS;
    }
    return STATUS_IO_TIMEOUT;
}

NTSTATUS ReadEepromBytes(PDEVICE_OBJECT DeviceObject, USHORT Start, ULONG Count, PUCHAR Buffer, PULONG BytesRead) {
    *BytesRead = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < Count; i++) {
        USHORT address = (USHORT)(Start + i);
        status = WaitEepromIdle(DeviceObject);
        if (!NT_SUCCESS(status)) break;
        status = VendorWrite(DeviceObject, CHIP_EEPROM_START_READ, address);
        if (status == STATUS_INSUFFICIENT_RESOURCES) break;
        status = WaitEepromIdle(DeviceObject);
        if (!NT_SUCCESS(status)) break;
        // A byte that did not arrive must not be reported as read: stop here.
        status = VendorRead(DeviceObject, CHIP_EEPROM_DATA, &Buffer[i]);
        if (!NT_SUCCESS(status)) break;
        *BytesRead = i + 1;
    }
    return status;
}

static BOOLEAN VendorIdAt(PDEVICE_OBJECT device, USHORT address) {
    UCHAR bytes[2];
    ULONG read;
    if (!NT_SUCCESS(ReadEepromBytes(device, address, 2, bytes, &read)) || read != 2) return FALSE;
    return (USHORT)(bytes[0] | (bytes[1] << 8)) == MIRAVO_VENDOR_ID;
}

BOOLEAN EepromHoldsVendorId(PDEVICE_OBJECT DeviceObject) {
    // Type 3 tries every alternative block in turn, type 4 only 0x60, the others none.
    static const USHORT blocks[] = {0x20, 0x40, 0x60, 0x80, 0xA0};
    if (VendorIdAt(DeviceObject, 0x00)) return TRUE;
    LONG type = PortOf(DeviceObject)->ChipType;
    ULONG first = type == ChipType4 ? 2 : 0, end = type == ChipType3 ? 5 : type == ChipType4 ? 3 : 0;
    for (ULONG i = first; i < end; i++)
        if (VendorIdAt(DeviceObject, blocks[i])) return TRUE;
    return FALSE;
}

NTSTATUS ChipInit(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    const UCHAR values[3] = {0x01, 0x00, (UCHAR)(IsNewerChip(port) ? 0x44 : 0x24)};
    RtlCopyMemory(port->RegisterShadow, values, sizeof(values));

    NTSTATUS status = STATUS_SUCCESS;
    for (USHORT r = 0; r < 3; r++) {
        status = VendorWrite(DeviceObject, r, values[r]);
        if (status == STATUS_INSUFFICIENT_RESOURCES) break;
    }
    return status;
}

VOID ReadBackRegisters(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    for (USHORT r = 0; r < 3; r++) {
        UCHAR value;
        if (NT_SUCCESS(VendorRead(DeviceObject, (USHORT)(CHIP_REGISTER_READ + r), &value))) port->RegisterShadow[r] = value;
    }
}
