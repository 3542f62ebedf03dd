// WMI as a consumer meets it: the WNODE layouts of wmistr.h that travel in IRP_MJ_SYSTEM_CONTROL
// requests, and a query side that reads and writes a registered provider's blocks by GUID and
// instance the way the WMI service does (the library half, WmiSystemControl and
// WmiCompleteRequest, is in wmi.cpp).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/host/wdm.h"
#include "platform/host/wmilib.h"

#define WNODE_FLAG_ALL_DATA 0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_SINGLE_ITEM 0x00000004
#define WNODE_FLAG_FIXED_INSTANCE_SIZE 0x00000010
#define WNODE_FLAG_TOO_SMALL 0x00000020
#define WNODE_FLAG_STATIC_INSTANCE_NAMES 0x00000040
#define WNODE_FLAG_PDO_INSTANCE_NAMES 0x00004000

typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

typedef struct {
    ULONG OffsetInstanceData;
    ULONG LengthInstanceData;
} OFFSETINSTANCEDATAANDLENGTH;

typedef struct tagWNODE_ALL_DATA {
    WNODE_HEADER WnodeHeader;
    ULONG DataBlockOffset;
    ULONG InstanceCount;
    ULONG OffsetInstanceNameOffsets;
    union {
        ULONG FixedInstanceSize;
        OFFSETINSTANCEDATAANDLENGTH OffsetInstanceDataAndLength[1];
    };
} WNODE_ALL_DATA, *PWNODE_ALL_DATA;

typedef struct tagWNODE_SINGLE_INSTANCE {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[1];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;

typedef struct tagWNODE_SINGLE_ITEM {
    WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG ItemId;
    ULONG DataBlockOffset;
    ULONG SizeDataItem;
    UCHAR VariableData[1];
} WNODE_SINGLE_ITEM, *PWNODE_SINGLE_ITEM;

typedef struct tagWNODE_TOO_SMALL {
    WNODE_HEADER WnodeHeader;
    ULONG SizeNeeded;
} WNODE_TOO_SMALL, *PWNODE_TOO_SMALL;

typedef struct {
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList;
        ULONG BaseNameOffset;
        ULONG_PTR Pdo;
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUIDW, *PWMIREGGUIDW;

typedef struct {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;     // offset of a counted string (USHORT length in bytes, then UTF-16)
    ULONG MofResourceName;  // the same, 0 for none
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[1];
} WMIREGINFOW, *PWMIREGINFOW;

static_assert(sizeof(WNODE_HEADER) == 48 && offsetof(WNODE_SINGLE_INSTANCE, VariableData) == 64,
              "WNODE layouts as published");

namespace emu::wmi {

// A provider is a device object registered with IoWMIRegistrationControl; the requests go to the
// top of its stack, as the WMI service sends them.
bool registered(PDEVICE_OBJECT provider);

struct RegInfo {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<WMIREGGUIDW> guids;
    std::u16string registryPath;
};
RegInfo regInfo(PDEVICE_OBJECT provider);

// A block as read: its bytes, or STATUS_BUFFER_TOO_SMALL with the data bytes the provider needs.
// `room` is the space offered for the data itself (the WNODE around it comes on top).
struct Block {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG needed = 0;
    std::vector<uint8_t> data;
};
Block querySingle(PDEVICE_OBJECT provider, const GUID &guid, ULONG instance = 0, ULONG room = 4096);
Block queryAll(PDEVICE_OBJECT provider, const GUID &guid, ULONG room = 4096);
NTSTATUS setSingle(PDEVICE_OBJECT provider, const GUID &guid, ULONG instance, std::span<const uint8_t> data);
NTSTATUS setItem(PDEVICE_OBJECT provider, const GUID &guid, ULONG instance, ULONG item,
                 std::span<const uint8_t> data);

}  // namespace emu::wmi
