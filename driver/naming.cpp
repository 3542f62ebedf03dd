// The port's external identity: COM name from the device's key, the \DosDevices link, the
// SERIALCOMM device-map entry and the COM-port device interface.
#include "driver/driver.h"

#define WORK_BUFFER_BYTES 258
#define DOS_NAME_BYTES 66  // 32 characters and a NUL

static const WCHAR SerialCommKey[] = PLATFORM_WIDE("SERIALCOMM");

VOID FreeString(PUNICODE_STRING s) {
    if (s->Buffer) ExFreePoolWithTag(s->Buffer, MIRAVO_POOL_TAG);
    s->Buffer = NULL;
    s->Length = 0;
    s->MaximumLength = 0;
}

// A copy of `source` in a buffer of its length plus a NUL.
static NTSTATUS CopyString(PUNICODE_STRING target, PCUNICODE_STRING source) {
    USHORT bytes = (USHORT)(source->Length + sizeof(WCHAR));
    target->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, bytes, MIRAVO_POOL_TAG);
    if (!target->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(target->Buffer, bytes);
    target->Length = 0;
    target->MaximumLength = bytes;
    RtlCopyUnicodeString(target, source);
    return STATUS_SUCCESS;
}

NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, PVOID Destination, ULONG DestinationSize) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);

    ULONG size = NameSize + DestinationSize + 24;
    PKEY_VALUE_FULL_INFORMATION info =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, MIRAVO_POOL_TAG);
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;

    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &valueName, KeyValueFullInformation, info, size, &resultLength);
    if (NT_SUCCESS(status)) {
        // A value that does not fit is not copied, and its caller must not mistake the untouched
        // destination for the value.
        if (info->DataLength > DestinationSize || info->DataOffset > size || info->DataLength > size - info->DataOffset)
            status = STATUS_BUFFER_OVERFLOW;
        else
            RtlCopyMemory(Destination, (PUCHAR)info + info->DataOffset, info->DataLength);
    }
    ExFreePoolWithTag(info, MIRAVO_POOL_TAG);
    return status;
}

// Reads a COM name into a zeroed 258-byte buffer; an empty name is no name.
static NTSTATUS ReadComName(HANDLE key, PCWSTR name, ULONG nameSize, PWSTR buffer) {
    RtlZeroMemory(buffer, WORK_BUFFER_BYTES);
    NTSTATUS status = QueryRegistryValue(key, name, nameSize, buffer, WORK_BUFFER_BYTES - sizeof(WCHAR));
    if (NT_SUCCESS(status) && buffer[0] == 0) status = STATUS_OBJECT_NAME_NOT_FOUND;
    return status;
}

NTSTATUS NamePort(PortExtension *Port) {
    HANDLE key;
    // Reading values needs KEY_QUERY_VALUE, not only the standard read right.
    NTSTATUS status = IoOpenDeviceRegistryKey(Port->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (status != STATUS_SUCCESS) return status;

    static const WCHAR skipName[] = PLATFORM_WIDE("SerialSkipExternalNaming");
    static const WCHAR portName[] = PLATFORM_WIDE("PortName");
    static const WCHAR identifierName[] = PLATFORM_WIDE("Identifier");

    // A read that ran out of memory is no answer: taking it for "no such value" would start the
    // port without the name it was given, or named against the user's wish.
    Port->SkipExternalNaming = 0;
    status = QueryRegistryValue(key, skipName, sizeof(skipName), &Port->SkipExternalNaming, sizeof(ULONG));
    if (status == STATUS_INSUFFICIENT_RESOURCES || Port->SkipExternalNaming) {
        ZwClose(key);
        return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
    }

    PWSTR linkBuffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, WORK_BUFFER_BYTES, MIRAVO_POOL_TAG);
    PWSTR comBuffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, WORK_BUFFER_BYTES, MIRAVO_POOL_TAG);
    if (!linkBuffer || !comBuffer) {
        if (linkBuffer) ExFreePoolWithTag(linkBuffer, MIRAVO_POOL_TAG);
        if (comBuffer) ExFreePoolWithTag(comBuffer, MIRAVO_POOL_TAG);
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(linkBuffer, WORK_BUFFER_BYTES);

    status = ReadComName(key, portName, sizeof(portName), comBuffer);
    if (!NT_SUCCESS(status) && status != STATUS_INSUFFICIENT_RESOURCES)
        status = ReadComName(key, identifierName, sizeof(identifierName), comBuffer);
    ZwClose(key);

    UNICODE_STRING comName;
    UNICODE_STRING link;
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&comName, comBuffer);
        // A name the device map cannot carry would publish an empty entry; refuse it whole.
        if (comName.Length + sizeof(WCHAR) > DOS_NAME_BYTES) status = STATUS_OBJECT_NAME_INVALID;
    }
    if (NT_SUCCESS(status)) status = CopyString(&Port->WmiPortName, &comName);
    if (NT_SUCCESS(status)) {
        link.Buffer = linkBuffer;
        link.Length = 0;
        link.MaximumLength = WORK_BUFFER_BYTES - sizeof(WCHAR);
        RtlAppendUnicodeToString(&link, PLATFORM_WIDE("\\DosDevices\\"));
        status = RtlAppendUnicodeStringToString(&link, &comName);
    }
    if (NT_SUCCESS(status)) status = CopyString(&Port->SymbolicLinkName, &link);
    if (NT_SUCCESS(status)) {
        Port->DosName.Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, DOS_NAME_BYTES, MIRAVO_POOL_TAG);
        if (!Port->DosName.Buffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlZeroMemory(Port->DosName.Buffer, DOS_NAME_BYTES);
            Port->DosName.Length = 0;
            Port->DosName.MaximumLength = DOS_NAME_BYTES;
            RtlCopyUnicodeString(&Port->DosName, &comName);
        }
    }
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&Port->SymbolicLinkName, &Port->DeviceName);
        if (NT_SUCCESS(status)) Port->CreatedSymbolicLink = TRUE;
    }
    if (NT_SUCCESS(status)) {
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer, REG_SZ,
                                       Port->DosName.Buffer, Port->DosName.Length + sizeof(WCHAR));
        if (NT_SUCCESS(status)) Port->CreatedSerialCommEntry = TRUE;
    }
    if (NT_SUCCESS(status)) {
        status = IoRegisterDeviceInterface(Port->Pdo, &GUID_DEVINTERFACE_COMPORT, NULL, &Port->InterfaceName);
        if (NT_SUCCESS(status))
            status = IoSetDeviceInterfaceState(&Port->InterfaceName, TRUE);
        else
            Port->InterfaceName.Buffer = NULL;
    }
    // Naming is all or nothing; only a failure of the key reads leaves nothing to undo.
    if (!NT_SUCCESS(status)) UndoNaming(Port);

    ExFreePoolWithTag(linkBuffer, MIRAVO_POOL_TAG);
    ExFreePoolWithTag(comBuffer, MIRAVO_POOL_TAG);
    return status;
}

// Withdraws and frees whatever naming made, and only that: surprise removal and the removal
// after it both come here, as does a naming that failed half-way.
VOID UndoNaming(PortExtension *Port) {
    if (Port->InterfaceName.Buffer) {
        IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
        RtlFreeUnicodeString(&Port->InterfaceName);
        Port->InterfaceName.Buffer = NULL;
    }
    if (Port->CreatedSymbolicLink) {
        IoDeleteSymbolicLink(&Port->SymbolicLinkName);
        Port->CreatedSymbolicLink = FALSE;
    }
    if (Port->CreatedSerialCommEntry) {
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer);
        Port->CreatedSerialCommEntry = FALSE;
    }
    FreeString(&Port->SymbolicLinkName);
    FreeString(&Port->DosName);
    FreeString(&Port->WmiPortName);
}
