// Driver entry and unload, and the one driver-wide setting, ExtBaudrate.
#include "control/dispatch.h"
#include "driver/driver.h"
#include "power/power.h"
#include "receive/receive.h"
#include "requests/requests.h"
#include "requests/write.h"

GlobalState DriverGlobals;

// The longest number ExtBaudrate may hold, in characters, plus its separator.
#define EXT_FIELD_SPAN 22

// Decimal text to a 32-bit value: white space, an optional sign, digits. Overflow wraps modulo
// 2^32 rather than being undefined.
static LONG DecimalToLong(const CHAR *p, const CHAR *end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f')) p++;
    BOOLEAN negative = FALSE;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        p++;
    }
    ULONG value = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        value = value * 10 + (ULONG)(*p - '0');
        p++;
    }
    return (LONG)(negative ? 0u - value : value);
}

LONG ParseExtendedRates(const CHAR *Text, ULONG Length, ExtendedRate *Table) {
    // A NUL inside the value ends the text as the conversion would have.
    const CHAR *end = Text;
    while ((ULONG)(end - Text) < Length && *end) end++;

    ExtendedRate rows[EXTENDED_RATE_ROWS];
    RtlZeroMemory(rows, sizeof(rows));
    if (end == Text) {
        RtlCopyMemory(Table, rows, sizeof(rows));
        return 0;
    }

    LONG count = 0;
    const CHAR *p = Text;
    for (LONG i = 0;;) {
        const CHAR *comma = NULL;
        for (const CHAR *q = p; q < end && q < p + EXT_FIELD_SPAN; q++) {
            if (*q == ',') {
                comma = q;
                break;
            }
        }
        if (!comma) return 0;  // the table is all or nothing; leave it as it was (empty)
        rows[i].RequestedRate = DecimalToLong(p, comma);

        p = comma + 1;
        const CHAR *stop = NULL;
        for (const CHAR *q = p; q < p + EXT_FIELD_SPAN; q++) {
            if (q == end || *q == ' ') {
                stop = q;
                break;
            }
        }
        if (!stop) return 0;
        rows[i].ChipRateValue = (ULONG)DecimalToLong(p, stop);
        i++;
        if (stop == end || i == EXTENDED_RATE_ROWS) {
            count = i;
            break;
        }
        p = stop + 1;
    }
    RtlCopyMemory(Table, rows, sizeof(rows));
    return count;
}

// Only a string value is read: a value of another type delivered straight into a counted string
// would overwrite the string's header with foreign data.
static NTSTATUS NTAPI ExtBaudrateRoutine(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                         PVOID Context, PVOID EntryContext) {
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    UNREFERENCED_PARAMETER(EntryContext);
    if (ValueType != REG_SZ || !ValueData) return STATUS_SUCCESS;

    ULONG chars = ValueLength / sizeof(WCHAR);
    const WCHAR *text = (const WCHAR *)ValueData;
    while (chars && text[chars - 1] == 0) chars--;
    if (chars > MAXUSHORT / sizeof(WCHAR)) return STATUS_SUCCESS;

    UNICODE_STRING wide;
    wide.Length = (USHORT)(chars * sizeof(WCHAR));
    wide.MaximumLength = wide.Length;
    wide.Buffer = (PWSTR)ValueData;
    ANSI_STRING ansi;
    ansi.Buffer = NULL;
    if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&ansi, &wide, TRUE))) return STATUS_SUCCESS;
    DriverGlobals.ExtendedRateCount = ParseExtendedRates(ansi.Buffer, ansi.Length, DriverGlobals.ExtendedRateTable);
    RtlFreeAnsiString(&ansi);
    return STATUS_SUCCESS;
}

NTSTATUS ReadDriverSettings(PUNICODE_STRING RegistryPath) {
    DriverGlobals.ExtendedRateCount = 0;
    RtlZeroMemory(DriverGlobals.ExtendedRateTable, sizeof(DriverGlobals.ExtendedRateTable));

    ULONG size = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    PWSTR path = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, MIRAVO_POOL_TAG);
    if (!path) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(path, size);
    RtlCopyMemory(path, RegistryPath->Buffer, RegistryPath->Length);

    WCHAR valueName[] = PLATFORM_WIDE("ExtBaudrate");
    RTL_QUERY_REGISTRY_TABLE query[2];
    RtlZeroMemory(query, sizeof(query));
    query[0].QueryRoutine = ExtBaudrateRoutine;
    query[0].Name = valueName;
    query[0].DefaultType = REG_NONE;  // absent: the routine is not called and the table stays empty

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, query, NULL, NULL);
    ExFreePoolWithTag(path, MIRAVO_POOL_TAG);
    return status;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    // The image's globals belong to this load alone.
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
    DriverGlobals.NextPortNumber = 2;

    // The settings restore is pageable code that starts and opens lock in; the handle lets them
    // lock the same section again.
    DriverGlobals.PagingLockHandle = MmLockPagableCodeSection((PVOID)RestoreChipSettings);

    // Room for a terminator even if the caller's maximum length leaves none.
    ULONG size = RegistryPath->MaximumLength;
    if (size < (ULONG)RegistryPath->Length + sizeof(WCHAR)) size = (ULONG)RegistryPath->Length + sizeof(WCHAR);
    PWSTR copy = (PWSTR)ExAllocatePoolWithTag(PagedPool, size, MIRAVO_POOL_TAG);
    if (!copy) {
        MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(copy, size);
    RtlCopyMemory(copy, RegistryPath->Buffer, RegistryPath->Length);
    DriverGlobals.RegistryPath.Buffer = copy;
    DriverGlobals.RegistryPath.Length = RegistryPath->Length;
    DriverGlobals.RegistryPath.MaximumLength = (USHORT)(size > MAXUSHORT ? MAXUSHORT : size);

    DbgPrint("MIRAVO.SYS:\t<Build: %s - %s>\n", __DATE__, __TIME__);

    // Request kinds whose handlers are not built keep the platform's default, which fails them.
    DriverObject->DriverUnload = DriverUnload;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PnpDispatch;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = WriteDispatch;
    DriverObject->MajorFunction[IRP_MJ_READ] = ReadDispatch;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = CloseDispatch;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = CleanupDispatch;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FlushDispatch;
    DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = QueryInfoDispatch;
    DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = SetInfoDispatch;
    DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalControlDispatch;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = SystemControlDispatch;

    MmUnlockPagableImageSection(DriverGlobals.PagingLockHandle);

    (void)ReadDriverSettings(RegistryPath);
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    if (DriverGlobals.RegistryPath.Buffer) {
        ExFreePoolWithTag(DriverGlobals.RegistryPath.Buffer, MIRAVO_POOL_TAG);
        DriverGlobals.RegistryPath.Buffer = NULL;
    }
}
