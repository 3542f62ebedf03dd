// The WMI library (WMILIB.SYS) a driver hands its IRP_MJ_SYSTEM_CONTROL requests to, and the WMI
// service's side of those requests: WNODE buffers built, sent to a provider's stack, read back.
#include "emulator/kernel/wmi.h"

#include <cstring>
#include <map>
#include <mutex>

#include "emulator/kernel/iomgr.h"
#include "emulator/kernel/kernel_internal.h"
#include "emulator/kernel/machine.h"
#include "emulator/kernel/pnpmgr.h"
#include "emulator/kernel/verifier.h"

namespace emu {

namespace {

constexpr ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

// What the library must remember between handing a query to the driver and WmiCompleteRequest.
struct PendingQuery {
    UCHAR minor = 0;
    ULONG dataOffset = 0;
    ULONG instanceCount = 0;
    std::vector<ULONG> lengths;
};

class WmiLibrary {
public:
    std::mutex lock;
    std::map<PIRP, PendingQuery> pending;
};

WmiLibrary &Library() { return Machine::current().service<WmiLibrary>(); }

// Appends a counted string (USHORT byte length, then the characters) at `offset`; the offset after it.
ULONG PutCounted(PUCHAR buffer, ULONG offset, const UNICODE_STRING *s) {
    USHORT length = s ? s->Length : 0;
    std::memcpy(buffer + offset, &length, sizeof length);
    if (length) std::memcpy(buffer + offset + sizeof length, s->Buffer, length);
    return offset + sizeof length + length;
}

NTSTATUS RegInfoRequest(PWMILIB_CONTEXT context, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION stack) {
    ULONG flags = 0;
    UNICODE_STRING instanceName{}, mofName{};
    PUNICODE_STRING registryPath = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = context->QueryWmiRegInfo
                          ? context->QueryWmiRegInfo(device, &flags, &instanceName, &registryPath, &mofName, &pdo)
                          : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    if (NT_SUCCESS(status)) {
        ULONG guids = context->GuidCount;
        ULONG header = ULONG(offsetof(WMIREGINFOW, WmiRegGuid) + guids * sizeof(WMIREGGUIDW));
        ULONG pathBytes = sizeof(USHORT) + (registryPath ? registryPath->Length : 0);
        ULONG mofBytes = mofName.Length ? sizeof(USHORT) + mofName.Length : 0;
        ULONG size = header + pathBytes + mofBytes;
        ULONG room = stack->Parameters.WMI.BufferSize;
        auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
        if (room < size) {
            // Too small: the size it needs, in a ULONG, for the service to ask again.
            if (room >= sizeof(ULONG)) {
                std::memcpy(buffer, &size, sizeof size);
                irp->IoStatus.Information = sizeof(ULONG);
            } else {
                status = STATUS_BUFFER_TOO_SMALL;
            }
        } else {
            std::memset(buffer, 0, size);
            auto *info = reinterpret_cast<PWMIREGINFOW>(buffer);
            info->BufferSize = size;
            info->GuidCount = guids;
            for (ULONG i = 0; i < guids; i++) {
                WMIREGGUIDW &g = info->WmiRegGuid[i];
                g.Guid = *context->GuidList[i].Guid;
                g.InstanceCount = context->GuidList[i].InstanceCount;
                g.Flags = context->GuidList[i].Flags | flags;
                if (flags & WMIREG_FLAG_INSTANCE_PDO) g.Pdo = ULONG_PTR(pdo);
            }
            info->RegistryPath = header;
            ULONG next = PutCounted(buffer, header, registryPath);
            if (mofBytes) {
                info->MofResourceName = next;
                PutCounted(buffer, next, &mofName);
            }
            irp->IoStatus.Information = size;
        }
    }
    irp->IoStatus.Status = status;
    return status;
}

// Completes a request the library refuses itself.
NTSTATUS Refuse(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

}  // namespace emu

using namespace emu;

extern "C" {

NTSTATUS NTAPI WmiSystemControl(PWMILIB_CONTEXT WmiLibInfo, PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                PSYSCTL_IRP_DISPOSITION IrpDisposition) {
    RequireIrql("WmiSystemControl", PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    UCHAR minor = stack->MinorFunction;
    if (stack->MajorFunction != IRP_MJ_SYSTEM_CONTROL || minor > IRP_MN_EXECUTE_METHOD) {
        *IrpDisposition = IrpNotWmi;
        return Irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != ULONG_PTR(DeviceObject)) {
        *IrpDisposition = IrpForward;
        return Irp->IoStatus.Status;
    }
    if (minor == IRP_MN_REGINFO) {
        *IrpDisposition = IrpNotCompleted;
        return RegInfoRequest(WmiLibInfo, DeviceObject, Irp, stack);
    }

    *IrpDisposition = IrpProcessed;
    // Every other minor function names its block by the GUID at DataPath.
    const GUID *guid = static_cast<const GUID *>(stack->Parameters.WMI.DataPath);
    ULONG index = 0;
    while (guid && index < WmiLibInfo->GuidCount && !IsEqualGUID(*WmiLibInfo->GuidList[index].Guid, *guid)) index++;
    if (!guid || index == WmiLibInfo->GuidCount) return Refuse(Irp, STATUS_WMI_GUID_NOT_FOUND);
    ULONG instances = WmiLibInfo->GuidList[index].InstanceCount;
    auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;

    switch (minor) {
    case IRP_MN_QUERY_ALL_DATA:
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!WmiLibInfo->QueryWmiDataBlock) return Refuse(Irp, STATUS_INVALID_DEVICE_REQUEST);
        PendingQuery query;
        query.minor = minor;
        ULONG instance = 0;
        if (minor == IRP_MN_QUERY_ALL_DATA) {
            if (size < sizeof(WNODE_ALL_DATA)) return Refuse(Irp, STATUS_BUFFER_TOO_SMALL);
            query.instanceCount = instances;
            query.dataOffset = Align8(ULONG(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) +
                                            instances * sizeof(OFFSETINSTANCEDATAANDLENGTH)));
        } else {
            if (size < offsetof(WNODE_SINGLE_INSTANCE, VariableData)) return Refuse(Irp, STATUS_BUFFER_TOO_SMALL);
            auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            instance = wnode->InstanceIndex;
            if (instance >= instances) return Refuse(Irp, STATUS_WMI_INSTANCE_NOT_FOUND);
            query.instanceCount = 1;
            query.dataOffset = wnode->DataBlockOffset;
            if (query.dataOffset > size) return Refuse(Irp, STATUS_BUFFER_TOO_SMALL);
        }
        query.lengths.assign(query.instanceCount, 0);
        ULONG offset = query.dataOffset, count = query.instanceCount;
        ULONG *lengths = nullptr;
        {
            WmiLibrary &library = Library();
            std::lock_guard<std::mutex> g(library.lock);
            lengths = (library.pending[Irp] = std::move(query)).lengths.data();
        }
        return WmiLibInfo->QueryWmiDataBlock(DeviceObject, Irp, index, instance, count, lengths, size - offset,
                                             buffer + offset);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE: {
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
        if (size < offsetof(WNODE_SINGLE_INSTANCE, VariableData) || wnode->DataBlockOffset > size ||
            wnode->SizeDataBlock > size - wnode->DataBlockOffset)
            return Refuse(Irp, STATUS_INVALID_PARAMETER);
        if (wnode->InstanceIndex >= instances) return Refuse(Irp, STATUS_WMI_INSTANCE_NOT_FOUND);
        if (!WmiLibInfo->SetWmiDataBlock) return Refuse(Irp, STATUS_WMI_READ_ONLY);
        return WmiLibInfo->SetWmiDataBlock(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->SizeDataBlock,
                                           buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        auto *wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer);
        if (size < offsetof(WNODE_SINGLE_ITEM, VariableData) || wnode->DataBlockOffset > size ||
            wnode->SizeDataItem > size - wnode->DataBlockOffset)
            return Refuse(Irp, STATUS_INVALID_PARAMETER);
        if (wnode->InstanceIndex >= instances) return Refuse(Irp, STATUS_WMI_INSTANCE_NOT_FOUND);
        if (!WmiLibInfo->SetWmiDataItem) return Refuse(Irp, STATUS_WMI_READ_ONLY);
        return WmiLibInfo->SetWmiDataItem(DeviceObject, Irp, index, wnode->InstanceIndex, wnode->ItemId,
                                          wnode->SizeDataItem, buffer + wnode->DataBlockOffset);
    }
    case IRP_MN_EXECUTE_METHOD:
        return Refuse(Irp, STATUS_INVALID_DEVICE_REQUEST);
    default:
        // Event and collection control: a provider without the callback has nothing to switch.
        if (!WmiLibInfo->WmiFunctionControl) return Refuse(Irp, STATUS_SUCCESS);
        return WmiLibInfo->WmiFunctionControl(
            DeviceObject, Irp, index,
            minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS ? WmiEventControl : WmiDataBlockControl,
            minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION);
    }
}

NTSTATUS NTAPI WmiCompleteRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS Status, ULONG BufferUsed,
                                  CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(DeviceObject);
    RequireIrql("WmiCompleteRequest", DISPATCH_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PendingQuery query;
    bool isQuery = false;
    {
        WmiLibrary &library = Library();
        std::lock_guard<std::mutex> g(library.lock);
        auto it = library.pending.find(Irp);
        if (it != library.pending.end()) {
            query = std::move(it->second);
            library.pending.erase(it);
            isQuery = true;
        }
    }
    auto *buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    ULONG size = stack->Parameters.WMI.BufferSize;
    auto *header = reinterpret_cast<PWNODE_HEADER>(buffer);
    ULONG_PTR information = 0;
    if (isQuery && Status == STATUS_BUFFER_TOO_SMALL) {
        // The service is told what to offer next time, and the request itself succeeds.
        auto *small = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
        header->Flags |= WNODE_FLAG_TOO_SMALL;
        header->BufferSize = sizeof(WNODE_TOO_SMALL);
        small->SizeNeeded = query.dataOffset + BufferUsed;
        information = sizeof(WNODE_TOO_SMALL);
        Status = STATUS_SUCCESS;
    } else if (isQuery && NT_SUCCESS(Status)) {
        if (BufferUsed > size - query.dataOffset)
            Report(Violation::InvalidParameter, "WmiCompleteRequest",
                   "BufferUsed " + std::to_string(BufferUsed) + " beyond the buffer offered");
        ULONG total = query.dataOffset + BufferUsed;
        if (query.minor == IRP_MN_QUERY_ALL_DATA) {
            auto *all = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
            all->DataBlockOffset = query.dataOffset;
            all->InstanceCount = query.instanceCount;
            all->OffsetInstanceNameOffsets = 0;
            bool fixed = true;
            for (ULONG length : query.lengths) fixed = fixed && length == query.lengths[0];
            if (fixed) {
                header->Flags |= WNODE_FLAG_ALL_DATA | WNODE_FLAG_FIXED_INSTANCE_SIZE;
                all->FixedInstanceSize = query.lengths.empty() ? 0 : query.lengths[0];
            } else {
                // Instances lie one after another, each 8-aligned, as the driver was asked to put them.
                header->Flags |= WNODE_FLAG_ALL_DATA;
                ULONG at = query.dataOffset;
                for (ULONG i = 0; i < query.instanceCount; i++) {
                    all->OffsetInstanceDataAndLength[i] = {at, query.lengths[i]};
                    at = Align8(at + query.lengths[i]);
                }
            }
        } else {
            auto *single = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer);
            header->Flags |= WNODE_FLAG_SINGLE_INSTANCE;
            single->SizeDataBlock = BufferUsed;
        }
        header->BufferSize = total;
        information = total;
    }
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, PriorityBoost);
    return Status;
}

}  // extern "C"

// ---- The WMI service's side ----------------------------------------------------------------------------------

namespace emu::wmi {

namespace {

// One IRP_MJ_SYSTEM_CONTROL request with `buffer` as its WNODE, to the top of the provider's
// stack, waited for.
NTSTATUS Send(PDEVICE_OBJECT provider, UCHAR minor, const GUID *guid, std::vector<uint64_t> &buffer, ULONG bytes,
              ULONG_PTR *information = nullptr) {
    RequireIrql("WMI service", PASSIVE_LEVEL);
    IoManager &io = Machine::current().service<IoManager>();
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(provider);
    PIRP irp = io.allocateIrp(top->StackSize, __builtin_return_address(0), false);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK result{};
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    next->MinorFunction = minor;
    next->Parameters.WMI.ProviderId = ULONG_PTR(provider);
    next->Parameters.WMI.DataPath = const_cast<GUID *>(guid);
    next->Parameters.WMI.BufferSize = bytes;
    next->Parameters.WMI.Buffer = buffer.data();
    // A request nobody answers says so.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    {
        std::lock_guard g(io.lock);
        io.irps[irp].onComplete = [&event, &result](PIRP done) {
            result = done->IoStatus;
            IoFreeIrp(done);
            KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        };
    }
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(top);
    if (information) *information = result.Information;
    return result.Status;
}

std::vector<uint64_t> WnodeBuffer(ULONG bytes, const GUID &guid, ULONG flags) {
    std::vector<uint64_t> buffer((bytes + 7) / 8, 0);
    auto *header = reinterpret_cast<PWNODE_HEADER>(buffer.data());
    header->BufferSize = bytes;
    header->Guid = guid;
    header->Flags = flags;
    return buffer;
}

Block ReadBack(NTSTATUS status, const std::vector<uint64_t> &buffer, ULONG dataOffset) {
    Block block;
    block.status = status;
    if (!NT_SUCCESS(status)) return block;
    const auto *bytes = reinterpret_cast<const uint8_t *>(buffer.data());
    const auto *header = reinterpret_cast<const WNODE_HEADER *>(bytes);
    if (header->Flags & WNODE_FLAG_TOO_SMALL) {
        block.status = STATUS_BUFFER_TOO_SMALL;
        ULONG needed = reinterpret_cast<const WNODE_TOO_SMALL *>(bytes)->SizeNeeded;
        block.needed = needed > dataOffset ? needed - dataOffset : 0;
        return block;
    }
    ULONG offset = 0, length = 0;
    if (header->Flags & WNODE_FLAG_SINGLE_INSTANCE) {
        const auto *single = reinterpret_cast<const WNODE_SINGLE_INSTANCE *>(bytes);
        offset = single->DataBlockOffset;
        length = single->SizeDataBlock;
    } else if (header->Flags & WNODE_FLAG_ALL_DATA) {
        const auto *all = reinterpret_cast<const WNODE_ALL_DATA *>(bytes);
        offset = all->DataBlockOffset;
        length = header->BufferSize > offset ? header->BufferSize - offset : 0;
    }
    if (ULONG64(offset) + length > buffer.size() * sizeof(uint64_t)) {
        block.status = STATUS_BUFFER_OVERFLOW;
        return block;
    }
    block.data.assign(bytes + offset, bytes + offset + length);
    return block;
}

constexpr ULONG kSingleDataOffset = Align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
constexpr ULONG kItemDataOffset = Align8(offsetof(WNODE_SINGLE_ITEM, VariableData));

}  // namespace

bool registered(PDEVICE_OBJECT provider) {
    PnpManager &pnp = Machine::current().service<PnpManager>();
    std::lock_guard<std::mutex> g(pnp.lock);
    auto it = pnp.wmiRegistrations.find(provider);
    return it != pnp.wmiRegistrations.end() && it->second > 0;
}

RegInfo regInfo(PDEVICE_OBJECT provider) {
    RegInfo info;
    if (!registered(provider)) {
        info.status = STATUS_WMI_GUID_NOT_FOUND;
        return info;
    }
    // Asked with a ULONG's room first, as the service does, then with what the provider said it needs.
    std::vector<uint64_t> buffer(1, 0);
    ULONG_PTR got = 0;
    info.status = Send(provider, IRP_MN_REGINFO, nullptr, buffer, sizeof(ULONG), &got);
    if (!NT_SUCCESS(info.status)) return info;
    if (got == sizeof(ULONG)) {
        ULONG needed = *reinterpret_cast<ULONG *>(buffer.data());
        buffer.assign((needed + 7) / 8, 0);
        info.status = Send(provider, IRP_MN_REGINFO, nullptr, buffer, needed, &got);
        if (!NT_SUCCESS(info.status)) return info;
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(buffer.data());
    const auto *reg = reinterpret_cast<const WMIREGINFOW *>(bytes);
    if (got < offsetof(WMIREGINFOW, WmiRegGuid) || reg->BufferSize > got) {
        info.status = STATUS_BUFFER_OVERFLOW;
        return info;
    }
    info.guids.assign(reg->WmiRegGuid, reg->WmiRegGuid + reg->GuidCount);
    if (reg->RegistryPath) {
        USHORT length;
        std::memcpy(&length, bytes + reg->RegistryPath, sizeof length);
        info.registryPath.resize(length / 2);
        std::memcpy(info.registryPath.data(), bytes + reg->RegistryPath + sizeof length, length);
    }
    return info;
}

Block querySingle(PDEVICE_OBJECT provider, const GUID &guid, ULONG instance, ULONG room) {
    if (!registered(provider)) return {STATUS_WMI_GUID_NOT_FOUND, 0, {}};
    auto buffer = WnodeBuffer(kSingleDataOffset + room, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    wnode->InstanceIndex = instance;
    wnode->DataBlockOffset = kSingleDataOffset;
    NTSTATUS status = Send(provider, IRP_MN_QUERY_SINGLE_INSTANCE, &guid, buffer, kSingleDataOffset + room);
    return ReadBack(status, buffer, kSingleDataOffset);
}

Block queryAll(PDEVICE_OBJECT provider, const GUID &guid, ULONG room) {
    if (!registered(provider)) return {STATUS_WMI_GUID_NOT_FOUND, 0, {}};
    ULONG offset = Align8(ULONG(offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength) + sizeof(OFFSETINSTANCEDATAANDLENGTH)));
    auto buffer = WnodeBuffer(offset + room, guid, WNODE_FLAG_ALL_DATA);
    NTSTATUS status = Send(provider, IRP_MN_QUERY_ALL_DATA, &guid, buffer, offset + room);
    return ReadBack(status, buffer, offset);
}

NTSTATUS setSingle(PDEVICE_OBJECT provider, const GUID &guid, ULONG instance, std::span<const uint8_t> data) {
    if (!registered(provider)) return STATUS_WMI_GUID_NOT_FOUND;
    auto buffer = WnodeBuffer(ULONG(kSingleDataOffset + data.size()), guid, WNODE_FLAG_SINGLE_INSTANCE);
    auto *wnode = reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer.data());
    wnode->InstanceIndex = instance;
    wnode->DataBlockOffset = kSingleDataOffset;
    wnode->SizeDataBlock = ULONG(data.size());
    if (!data.empty()) std::memcpy(reinterpret_cast<uint8_t *>(buffer.data()) + kSingleDataOffset, data.data(), data.size());
    return Send(provider, IRP_MN_CHANGE_SINGLE_INSTANCE, &guid, buffer, ULONG(kSingleDataOffset + data.size()));
}

NTSTATUS setItem(PDEVICE_OBJECT provider, const GUID &guid, ULONG instance, ULONG item,
                 std::span<const uint8_t> data) {
    if (!registered(provider)) return STATUS_WMI_GUID_NOT_FOUND;
    auto buffer = WnodeBuffer(ULONG(kItemDataOffset + data.size()), guid, WNODE_FLAG_SINGLE_ITEM);
    auto *wnode = reinterpret_cast<PWNODE_SINGLE_ITEM>(buffer.data());
    wnode->InstanceIndex = instance;
    wnode->ItemId = item;
    wnode->DataBlockOffset = kItemDataOffset;
    wnode->SizeDataItem = ULONG(data.size());
    if (!data.empty()) std::memcpy(reinterpret_cast<uint8_t *>(buffer.data()) + kItemDataOffset, data.data(), data.size());
    return Send(provider, IRP_MN_CHANGE_SINGLE_ITEM, &guid, buffer, ULONG(kItemDataOffset + data.size()));
}

}  // namespace emu::wmi
