// Chip identification from its descriptors, and selection of the USB configuration. Everything a
// device sends here is checked before it is believed: a descriptor's own length fields decide how
// far the USB library walks, so one that disagrees with what arrived never reaches it.
#include "usb/configuration.h"

#define DESCRIPTOR_URB_BYTES sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)
#define DEVICE_DESCRIPTOR_BYTES 18
#define STRING_PROBE_BYTES 64
#define STRING_LANGUAGE 0x0409
#define CONFIG_HEADER_BYTES 9

// The descriptor strings that set the newer variants apart.
#define TYPE3_STRING 2
#define TYPE3_POSITION 22
#define TYPE3_CHARACTER 0x43
#define TYPE4_STRING 1
#define TYPE4_POSITION 24
#define TYPE4_CHARACTER 0x20

static NTSTATUS GetDescriptor(PDEVICE_OBJECT device, PURB urb, UCHAR type, UCHAR index, USHORT language, PVOID buffer,
                              ULONG length, PULONG received) {
    RtlZeroMemory(urb, DESCRIPTOR_URB_BYTES);
    UsbBuildGetDescriptorRequest(urb, (USHORT)DESCRIPTOR_URB_BYTES, type, index, language, buffer, NULL, length, NULL);
    NTSTATUS status = SyncUsbRequest(device, urb);
    ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
    *received = NT_SUCCESS(status) ? (got < length ? got : length) : 0;
    return status;
}

NTSTATUS ReadDescriptorInto(PDEVICE_OBJECT DeviceObject, UCHAR Type, UCHAR Index, USHORT Language, PVOID Buffer,
                            ULONG Length, PULONG Received) {
    *Received = 0;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_BYTES, MIRAVO_POOL_TAG);
    if (!urb) return STATUS_NO_MEMORY;
    NTSTATUS status = GetDescriptor(DeviceObject, urb, Type, Index, Language, Buffer, Length, Received);
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return status;
}

// Descriptor `type` 0 into a new zeroed buffer of `length` bytes, which the caller frees; *buffer
// is NULL when nothing could be allocated.
static NTSTATUS ReadDescriptor(PDEVICE_OBJECT device, UCHAR type, ULONG length, PVOID *buffer, PULONG received) {
    *received = 0;
    PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, DESCRIPTOR_URB_BYTES, MIRAVO_POOL_TAG);
    *buffer = ExAllocatePoolWithTag(NonPagedPool, length, MIRAVO_POOL_TAG);
    if (!urb || !*buffer) {
        if (urb) ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
        if (*buffer) ExFreePoolWithTag(*buffer, MIRAVO_POOL_TAG);
        *buffer = NULL;
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(*buffer, length);
    NTSTATUS status = GetDescriptor(device, urb, type, 0, 0, *buffer, length, received);
    ExFreePoolWithTag(urb, MIRAVO_POOL_TAG);
    return status;
}

struct StringProbe {
    struct _URB_CONTROL_DESCRIPTOR_REQUEST Urb;
    UCHAR Text[STRING_PROBE_BYTES];
};

// Low byte of UTF-16 character `position` of string descriptor `index`, or -1 when the string the
// device returned (by what arrived and by its own bLength) does not reach that far.
static LONG StringCharacter(PDEVICE_OBJECT device, StringProbe *probe, UCHAR index, ULONG position) {
    PUCHAR buffer = probe->Text;
    RtlZeroMemory(buffer, STRING_PROBE_BYTES);
    ULONG received;
    if (!NT_SUCCESS(GetDescriptor(device, (PURB)&probe->Urb, USB_STRING_DESCRIPTOR_TYPE, index, STRING_LANGUAGE,
                                  buffer, STRING_PROBE_BYTES, &received)))
        return -1;
    if (received < 2 || buffer[1] != USB_STRING_DESCRIPTOR_TYPE) return -1;
    ULONG limit = buffer[0] < received ? buffer[0] : received;
    ULONG offset = 2 + 2 * position;
    if (offset + 2 > limit) return -1;
    return buffer[offset];
}

static ChipVariant Classify(const USB_DEVICE_DESCRIPTOR *d) {
    if (d->bDeviceClass == USB_DEVICE_CLASS_COMMUNICATIONS) return ChipType0;
    if (d->bMaxPacketSize0 == 0x40) return ChipType2;
    if (d->bDeviceClass == 0x00 || d->bDeviceClass == USB_DEVICE_CLASS_VENDOR_SPECIFIC) return ChipType1;
    return ChipUnclassified;
}

NTSTATUS IdentifyChip(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    PUSB_DEVICE_DESCRIPTOR descriptor;
    ULONG received;
    NTSTATUS status =
        ReadDescriptor(DeviceObject, USB_DEVICE_DESCRIPTOR_TYPE, DEVICE_DESCRIPTOR_BYTES, (PVOID *)&descriptor, &received);
    if (!descriptor) return status;
    // A short answer would be classified from bytes the device never sent.
    if (NT_SUCCESS(status) && received < DEVICE_DESCRIPTOR_BYTES) status = STATUS_DEVICE_DATA_ERROR;

    if (port->DeviceDescriptor) ExFreePoolWithTag(port->DeviceDescriptor, MIRAVO_POOL_TAG);
    port->DeviceDescriptor = descriptor;

    if (NT_SUCCESS(status)) {
        port->ChipType = Classify(descriptor);
        if (port->ChipType == ChipType2) {
            StringProbe *probe = (StringProbe *)ExAllocatePoolWithTag(NonPagedPool, sizeof(StringProbe), MIRAVO_POOL_TAG);
            if (probe) {
                if (StringCharacter(DeviceObject, probe, TYPE3_STRING, TYPE3_POSITION) == TYPE3_CHARACTER)
                    port->ChipType = ChipType3;
                if (StringCharacter(DeviceObject, probe, TYPE4_STRING, TYPE4_POSITION) == TYPE4_CHARACTER)
                    port->ChipType = ChipType4;
                ExFreePoolWithTag(probe, MIRAVO_POOL_TAG);
            }
        }
    }

    if (NT_SUCCESS(status)) status = SelectConfiguration(DeviceObject);
    port->UsbConfigured = 1;
    return status;
}

// What each role of the pipe map must be. A pipe of another type or direction would take
// transfers it can never complete.
static const struct {
    USBD_PIPE_TYPE Type;
    UCHAR Direction;
} PipeKinds[] = {{UsbdPipeTypeInterrupt, USB_ENDPOINT_DIRECTION_MASK}, {UsbdPipeTypeBulk, 0},
                 {UsbdPipeTypeBulk, USB_ENDPOINT_DIRECTION_MASK}};

// A copy of one interface record of a select-configuration URB, checked against the URB's bounds
// and against the pipes the pipe map takes from it by position, from role `first` on.
static NTSTATUS CopyInterface(PURB urb, PUSBD_INTERFACE_INFORMATION info, PipeRole first, ULONG pipesNeeded,
                              PUSBD_INTERFACE_INFORMATION *copy) {
    const ULONG header = (ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    ULONG_PTR start = (ULONG_PTR)info - (ULONG_PTR)urb;
    ULONG urbLength = urb->UrbHeader.Length;
    if (!info || start + header > urbLength) return STATUS_DEVICE_DATA_ERROR;
    ULONG length = info->Length;
    if (length < header || length > urbLength - start) return STATUS_DEVICE_DATA_ERROR;
    if (info->NumberOfPipes < pipesNeeded || info->NumberOfPipes > (length - header) / sizeof(USBD_PIPE_INFORMATION))
        return STATUS_DEVICE_DATA_ERROR;
    for (ULONG i = 0; i < pipesNeeded; i++) {
        const USBD_PIPE_INFORMATION *pipe = &info->Pipes[i];
        if (pipe->PipeType != PipeKinds[first + i].Type ||
            (pipe->EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != PipeKinds[first + i].Direction)
            return STATUS_DEVICE_DATA_ERROR;
    }

    PUSBD_INTERFACE_INFORMATION block =
        (PUSBD_INTERFACE_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, length, MIRAVO_POOL_TAG);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(block, info, length);
    if (*copy) ExFreePoolWithTag(*copy, MIRAVO_POOL_TAG);
    *copy = block;
    return STATUS_SUCCESS;
}

static NTSTATUS SelectOneInterface(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config) {
    PortExtension *port = PortOf(device);
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    PUSB_INTERFACE_DESCRIPTOR iface = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
    if (!iface) {
        ExFreePool(urb);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Pipes are taken by position: interrupt IN, bulk OUT, bulk IN (CopyInterface checks their kinds).
    if (iface->bNumEndpoints < 3) {
        ExFreePool(urb);
        return STATUS_DEVICE_DATA_ERROR;
    }
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbHeader.Length = size;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
    NTSTATUS status = SyncUsbRequest(device, urb);
    if (NT_SUCCESS(status)) status = CopyInterface(urb, &urb->UrbSelectConfiguration.Interface, InterruptInPipe, 3, &port->FirstInterfaceInfo);
    ExFreePool(urb);
    return status;
}

struct InterfaceMatch {
    LONG Class, SubClass, Protocol;
};

static NTSTATUS SelectTwoInterfaces(PDEVICE_OBJECT device, PUSB_CONFIGURATION_DESCRIPTOR config) {
    static const InterfaceMatch rows[2][2] = {
        {{0x02, 0x02, 0xFF}, {0x0A, 0x00, 0x00}},
        {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}},
    };
    PortExtension *port = PortOf(device);
    // No match row fits a chip that could not be classified.
    if (port->ChipType == ChipUnclassified) return STATUS_DEVICE_DATA_ERROR;
    const InterfaceMatch *row = rows[port->ChipType == ChipType0 ? 0 : 1];

    ULONG entries = (ULONG)config->bNumInterfaces + 1;
    if (entries < 3) entries = 3;
    ULONG listBytes = entries * sizeof(USBD_INTERFACE_LIST_ENTRY);
    PUSBD_INTERFACE_LIST_ENTRY list = (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(PagedPool, listBytes, MIRAVO_POOL_TAG);
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, listBytes);
    for (LONG i = 0; i < 2; i++)
        list[i].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(config, config, i, 0, row[i].Class, row[i].SubClass, row[i].Protocol);
    // The status interface needs its interrupt pipe, the data interface its two bulk pipes.
    if (!list[0].InterfaceDescriptor || !list[1].InterfaceDescriptor ||
        list[0].InterfaceDescriptor->bNumEndpoints < 1 || list[1].InterfaceDescriptor->bNumEndpoints < 2) {
        ExFreePoolWithTag(list, MIRAVO_POOL_TAG);
        return STATUS_DEVICE_DATA_ERROR;
    }

    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (!urb) {
        ExFreePoolWithTag(list, MIRAVO_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SyncUsbRequest(device, urb);
    if (!NT_SUCCESS(status)) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        // The chip wants SET_CONFIGURATION twice. Each selection hands out new pipe handles, so the
        // copies are taken after the second.
        status = SyncUsbRequest(device, urb);
        if (NT_SUCCESS(status)) status = CopyInterface(urb, list[0].Interface, InterruptInPipe, 1, &port->FirstInterfaceInfo);
        if (NT_SUCCESS(status)) status = CopyInterface(urb, list[1].Interface, BulkOutPipe, 2, &port->SecondInterfaceInfo);
    }
    ExFreePool(urb);
    ExFreePoolWithTag(list, MIRAVO_POOL_TAG);
    return status;
}

NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject) {
    PortExtension *port = PortOf(DeviceObject);
    PUSB_CONFIGURATION_DESCRIPTOR header;
    ULONG received;
    NTSTATUS status = ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, CONFIG_HEADER_BYTES,
                                     (PVOID *)&header, &received);
    if (!header) return status;
    ULONG total = header->wTotalLength;
    ExFreePoolWithTag(header, MIRAVO_POOL_TAG);
    if (NT_SUCCESS(status) && (received < CONFIG_HEADER_BYTES || total < CONFIG_HEADER_BYTES))
        status = STATUS_DEVICE_DATA_ERROR;
    if (!NT_SUCCESS(status)) return status;

    PUSB_CONFIGURATION_DESCRIPTOR config;
    status = ReadDescriptor(DeviceObject, USB_CONFIGURATION_DESCRIPTOR_TYPE, total, (PVOID *)&config, &received);
    if (!config) return status;
    // The USB library walks the descriptor to its own wTotalLength: it must be exactly what arrived.
    if (NT_SUCCESS(status) && (received != total || config->wTotalLength != total ||
                               config->bLength < CONFIG_HEADER_BYTES ||
                               config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE))
        status = STATUS_DEVICE_DATA_ERROR;
    // The chip has one interface or two; anything else is not this chip.
    if (NT_SUCCESS(status) && (config->bNumInterfaces < 1 || config->bNumInterfaces > 2))
        status = STATUS_DEVICE_DATA_ERROR;

    if (NT_SUCCESS(status)) {
        if (config->bNumInterfaces == 1) port->SingleInterfaceLayout = 1;
        status = port->SingleInterfaceLayout ? SelectOneInterface(DeviceObject, config)
                                             : SelectTwoInterfaces(DeviceObject, config);
    }
    ExFreePoolWithTag(config, MIRAVO_POOL_TAG);
    return status;
}

PUSBD_PIPE_INFORMATION MappedPipe(PortExtension *Port, PipeRole Role) {
    PUSBD_INTERFACE_INFORMATION info;
    ULONG index;
    if (Port->SingleInterfaceLayout) {
        info = Port->FirstInterfaceInfo;
        index = (ULONG)Role;
    } else if (Role == InterruptInPipe) {
        info = Port->FirstInterfaceInfo;
        index = 0;
    } else {
        info = Port->SecondInterfaceInfo;
        index = Role == BulkOutPipe ? 0 : 1;
    }
    if (!info || index >= info->NumberOfPipes) return NULL;
    return &info->Pipes[index];
}
