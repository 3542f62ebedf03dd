// Host backend: run-time library — counted strings, conversions, and the registry routines.
#pragma once

#include "platform/host/io.h"

extern "C" {

NTKERNELAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTKERNELAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);

}  // extern "C"

FORCEINLINE VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) { __builtin_memset(Destination, 0, Length); }
FORCEINLINE VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) { __builtin_memset(Destination, Fill, Length); }
FORCEINLINE VOID RtlCopyMemory(PVOID Destination, const VOID *Source, SIZE_T Length) { __builtin_memcpy(Destination, Source, Length); }
FORCEINLINE VOID RtlMoveMemory(PVOID Destination, const VOID *Source, SIZE_T Length) { __builtin_memmove(Destination, Source, Length); }
FORCEINLINE SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
    const UCHAR *a = (const UCHAR *)Source1, *b = (const UCHAR *)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) i++;
    return i;
}
