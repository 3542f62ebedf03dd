// IRP_MJ_SYSTEM_CONTROL: the five serial-port WMI blocks, answered through the WMI library. Every
// block is read-only; the paths that change a setting keep the stored blocks current.
#include "control/dispatch.h"
#include "power/power.h"

// GUIDs of the published serial blocks; the index in this table is the GuidIndex the library
// hands back.
static const GUID PortNameGuid = SERIAL_PORT_WMI_NAME_GUID;
static const GUID CommGuid = SERIAL_PORT_WMI_COMM_GUID;
static const GUID HardwareGuid = SERIAL_PORT_WMI_HW_GUID;
static const GUID PerformanceGuid = SERIAL_PORT_WMI_PERF_GUID;
static const GUID PropertiesGuid = SERIAL_PORT_WMI_PROPERTIES_GUID;

enum WmiBlock { PortNameBlock, CommBlock, HardwareBlock, PerformanceBlock, PropertiesBlock, WmiBlockCount };

static WMIGUIDREGINFO WmiGuidList[WmiBlockCount] = {
    {&PortNameGuid, 1, 0}, {&CommGuid, 1, 0}, {&HardwareGuid, 1, 0}, {&PerformanceGuid, 1, 0}, {&PropertiesGuid, 1, 0},
};

// The properties block is SERIAL_COMMPROP with its last word (ProvChar) read as a size of 0.
#define WMI_PROPERTIES_BYTES (sizeof(SERIAL_COMMPROP) + sizeof(ULONG))
#define WMI_PROVCHAR_SIZE_OFFSET 60

static NTSTATUS NTAPI WmiRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                                 PUNICODE_STRING *RegistryPath, PUNICODE_STRING MofResourceName, PDEVICE_OBJECT *Pdo) {
    UNREFERENCED_PARAMETER(InstanceName);
    UNREFERENCED_PARAMETER(MofResourceName);
    PAGED_CODE();
    *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
    *RegistryPath = &DriverGlobals.RegistryPath;
    *Pdo = PortOf(DeviceObject)->Pdo;
    return STATUS_SUCCESS;
}

// Copies a stored block of Size bytes, or reports the size a short buffer lacks.
static NTSTATUS CopyBlock(const VOID *Block, ULONG Size, PULONG InstanceLength, ULONG BufferAvail, PUCHAR Buffer,
                          PULONG Used) {
    *Used = Size;
    if (BufferAvail < Size) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(Buffer, Block, Size);
    *InstanceLength = Size;
    return STATUS_SUCCESS;
}

static NTSTATUS NTAPI WmiQueryBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                    ULONG InstanceCount, PULONG InstanceLengthArray, ULONG BufferAvail,
                                    PUCHAR Buffer) {
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(InstanceCount);
    PAGED_CODE();
    PortExtension *port = PortOf(DeviceObject);
    NTSTATUS status;
    ULONG used = 0;
    switch (GuidIndex) {
    case PortNameBlock: {
        USHORT length = port->WmiPortName.Length;
        used = (ULONG)length + sizeof(USHORT);
        if (BufferAvail < used) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (!port->WmiPortName.Buffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            used = length;
        } else {
            RtlCopyMemory(Buffer, &length, sizeof(length));
            RtlCopyMemory(Buffer + sizeof(USHORT), port->WmiPortName.Buffer, length);
            *InstanceLengthArray = used;
            status = STATUS_SUCCESS;
        }
        break;
    }
    case CommBlock:
        status = CopyBlock(&port->WmiCommData, sizeof(port->WmiCommData), InstanceLengthArray, BufferAvail, Buffer, &used);
        break;
    case HardwareBlock:
        status = CopyBlock(&port->WmiHwData, sizeof(port->WmiHwData), InstanceLengthArray, BufferAvail, Buffer, &used);
        break;
    case PerformanceBlock:
        status = CopyBlock(&port->WmiPerfData, sizeof(port->WmiPerfData), InstanceLengthArray, BufferAvail, Buffer, &used);
        break;
    case PropertiesBlock:
        used = WMI_PROPERTIES_BYTES;
        if (BufferAvail < used) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        // The serial request's own layout, then the size word the WMI class puts at ProvChar.
        RtlZeroMemory(Buffer, used);
        GetProperties(port, (PSERIAL_COMMPROP)Buffer);
        RtlZeroMemory(Buffer + WMI_PROVCHAR_SIZE_OFFSET, sizeof(ULONG));
        *InstanceLengthArray = used;
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_WMI_GUID_NOT_FOUND;
        break;
    }
    return WmiCompleteRequest(DeviceObject, Irp, status, used, IO_NO_INCREMENT);
}

static NTSTATUS RefuseSet(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex) {
    NTSTATUS status = GuidIndex < WmiBlockCount ? STATUS_INVALID_DEVICE_REQUEST : STATUS_WMI_GUID_NOT_FOUND;
    return WmiCompleteRequest(DeviceObject, Irp, status, 0, IO_NO_INCREMENT);
}

static NTSTATUS NTAPI WmiSetBlock(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                  ULONG BufferSize, PUCHAR Buffer) {
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(BufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    return RefuseSet(DeviceObject, Irp, GuidIndex);
}

static NTSTATUS NTAPI WmiSetItem(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG GuidIndex, ULONG InstanceIndex,
                                 ULONG DataItemId, ULONG BufferSize, PUCHAR Buffer) {
    UNREFERENCED_PARAMETER(InstanceIndex);
    UNREFERENCED_PARAMETER(DataItemId);
    UNREFERENCED_PARAMETER(BufferSize);
    UNREFERENCED_PARAMETER(Buffer);
    return RefuseSet(DeviceObject, Irp, GuidIndex);
}

NTSTATUS RegisterWmi(PortExtension *Port) {
    PAGED_CODE();
    WMILIB_CONTEXT *context = &Port->WmiLibContext;
    RtlZeroMemory(context, sizeof(*context));
    context->GuidCount = WmiBlockCount;
    context->GuidList = WmiGuidList;
    context->QueryWmiRegInfo = WmiRegInfo;
    context->QueryWmiDataBlock = WmiQueryBlock;
    context->SetWmiDataBlock = WmiSetBlock;
    context->SetWmiDataItem = WmiSetItem;
    NTSTATUS status = IoWMIRegistrationControl(Port->DeviceObject, WMIREG_ACTION_REGISTER);
    Port->WmiRegistered = NT_SUCCESS(status);
    return status;
}

VOID DeregisterWmi(PortExtension *Port) {
    PAGED_CODE();
    if (!Port->WmiRegistered) return;
    (void)IoWMIRegistrationControl(Port->DeviceObject, WMIREG_ACTION_DEREGISTER);
    Port->WmiRegistered = FALSE;
}

NTSTATUS NTAPI SystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PortExtension *port = PortOf(DeviceObject);
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&port->WmiLibContext, DeviceObject, Irp, &disposition);
    switch (disposition) {
    case IrpProcessed:
        return status;
    case IrpNotCompleted:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(port->LowerDevice, Irp);
    }
}
