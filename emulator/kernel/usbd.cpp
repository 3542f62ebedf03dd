// USBD: the configuration-descriptor routines a USB client driver calls to find its interfaces
// and to build its select-configuration URB.
#include <algorithm>
#include <vector>

#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/pool.h"
#include "platform/host/usb.h"

namespace {

constexpr ULONG kUsbdTag = emu::Tag("USBD");

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == LONG(actual); }

// Walks the descriptors from `from` to the end of the configuration's wTotalLength. A zero,
// short or overlong bLength ends the walk: descriptors come from the device and may be hostile.
PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR config, PVOID from, LONG number,
                                        LONG alternate, LONG cls, LONG subclass, LONG protocol) {
    auto *const base = reinterpret_cast<PUCHAR>(config);
    auto *const end = base + config->wTotalLength;
    auto *p = static_cast<PUCHAR>(from);
    if (p < base) return nullptr;
    while (end - p >= ptrdiff_t(sizeof(USB_COMMON_DESCRIPTOR))) {
        auto *common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || common->bLength > end - p) return nullptr;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            auto *iface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(p);
            if (Matches(number, iface->bInterfaceNumber) && Matches(alternate, iface->bAlternateSetting) &&
                Matches(cls, iface->bInterfaceClass) && Matches(subclass, iface->bInterfaceSubClass) &&
                Matches(protocol, iface->bInterfaceProtocol))
                return iface;
        }
        p += common->bLength;
    }
    return nullptr;
}

}  // namespace

extern "C" {

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                                    PVOID StartPosition, LONG InterfaceNumber,
                                                                    LONG AlternateSetting, LONG InterfaceClass,
                                                                    LONG InterfaceSubClass, LONG InterfaceProtocol) {
    if (!emu::RequireIrql("USBD_ParseConfigurationDescriptorEx", APC_LEVEL)) return nullptr;
    return FindInterface(ConfigurationDescriptor, StartPosition, InterfaceNumber, AlternateSetting, InterfaceClass,
                         InterfaceSubClass, InterfaceProtocol);
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (!emu::RequireIrql("USBD_CreateConfigurationRequestEx", DISPATCH_LEVEL)) return nullptr;

    // Each interface takes its information block with one pipe slot per endpoint, packed back to
    // back after the URB's fixed part; Hdr.Length is the sum, which must fit a USHORT.
    size_t length = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    for (auto *entry = InterfaceList; entry->InterfaceDescriptor; ++entry)
        length += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
    if (length > MAXUSHORT) return nullptr;

    // Never smaller than the declared structure, so that touching UrbSelectConfiguration.Interface
    // of an interface-less request stays inside the allocation.
    size_t allocation = std::max(length, sizeof(struct _URB_SELECT_CONFIGURATION));
    auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, allocation, kUsbdTag));
    if (!urb) return nullptr;
    RtlZeroMemory(urb, allocation);

    auto *info = &urb->UrbSelectConfiguration.Interface;
    for (auto *entry = InterfaceList; entry->InterfaceDescriptor; ++entry) {
        const auto *descriptor = entry->InterfaceDescriptor;
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        info->InterfaceNumber = descriptor->bInterfaceNumber;
        info->AlternateSetting = descriptor->bAlternateSetting;
        info->NumberOfPipes = descriptor->bNumEndpoints;
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;
        for (ULONG i = 0; i < info->NumberOfPipes; i++) pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        entry->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    UsbBuildSelectConfigurationRequest(urb, USHORT(length), ConfigurationDescriptor);
    return urb;
}

PURB NTAPI USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz) {
    if (!emu::RequireIrql("USBD_CreateConfigurationRequest", DISPATCH_LEVEL)) return nullptr;
    *Siz = 0;

    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    PVOID from = ConfigurationDescriptor;
    while (list.size() < ConfigurationDescriptor->bNumInterfaces) {
        auto *iface = FindInterface(ConfigurationDescriptor, from, -1, 0, -1, -1, -1);
        if (!iface) break;
        list.push_back({iface, nullptr});
        from = reinterpret_cast<PUCHAR>(iface) + iface->bLength;
    }
    list.push_back({nullptr, nullptr});

    PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list.data());
    if (urb) *Siz = urb->UrbHeader.Length;
    return urb;
}

}  // extern "C"
