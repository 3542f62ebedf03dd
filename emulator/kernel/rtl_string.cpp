// Run-time library: counted strings and number conversions. Lengths are in bytes, never counting
// a terminator; a terminator is written only where MaximumLength leaves room for it.
#include "emulator/kernel/rtl_string.h"

#include <algorithm>
#include <cstring>

#include "emulator/kernel/kernel_internal.h"

namespace emu {

std::u16string_view View(const UNICODE_STRING &s) {
    if (!s.Buffer) return {};
    return {s.Buffer, size_t(s.Length / sizeof(WCHAR))};
}

std::u16string_view View(PCWSTR terminated) { return terminated ? std::u16string_view(terminated) : std::u16string_view(); }

char16_t Upcase(char16_t c) {
    if (c >= u'a' && c <= u'z') return char16_t(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 0x20);
    if (c == 0xFF) return 0x178;
    return c;
}

std::u16string Upcase(std::u16string_view s) {
    std::u16string out(s);
    for (auto &c : out) c = Upcase(c);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (Upcase(a[i]) != Upcase(b[i])) return false;
    return true;
}

std::u16string Widen(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out.push_back(char16_t(UCHAR(c)));
    return out;
}

std::string Narrow(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char16_t c : s) out.push_back(c <= 0xFF ? char(c) : '?');
    return out;
}

NTSTATUS AllocateUnicodeString(PUNICODE_STRING out, std::u16string_view text) {
    size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    if (bytes > MAXUSHORT) return STATUS_INVALID_PARAMETER;
    auto buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kRtlStringTag));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = 0;
    out->Buffer = buffer;
    out->Length = USHORT(text.size() * sizeof(WCHAR));
    out->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

namespace {

CHAR WideToAnsi(char16_t c) { return c <= 0xFF ? CHAR(c) : '?'; }

// A counted string over a terminated one: the longest whole-character length a USHORT holds with
// room for the terminator.
template <class Counted, class Char> void InitCounted(Counted *to, const Char *from, const char *routine) {
    RequireIrql(routine, DISPATCH_LEVEL);
    to->Buffer = const_cast<Char *>(from);
    if (!from) {
        to->Length = to->MaximumLength = 0;
        return;
    }
    constexpr size_t kLongest = (MAXUSHORT & ~(sizeof(Char) - 1)) - sizeof(Char);
    size_t bytes = std::min<size_t>(std::char_traits<Char>::length(from) * sizeof(Char), kLongest);
    to->Length = USHORT(bytes);
    to->MaximumLength = USHORT(bytes + sizeof(Char));
}

}  // namespace
}  // namespace emu

using namespace emu;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    InitCounted(DestinationString, SourceString, "RtlInitUnicodeString");
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    RequireIrql("RtlCopyUnicodeString", DISPATCH_LEVEL);
    if (!SourceString) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = std::min(SourceString->Length, DestinationString->MaximumLength);
    n &= USHORT(~1u);
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    RequireIrql("RtlAppendUnicodeStringToString", DISPATCH_LEVEL);
    USHORT n = Source->Length;
    if (n == 0) return STATUS_SUCCESS;
    if (size_t(Destination->Length) + n > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source->Buffer, n);
    Destination->Length = USHORT(Destination->Length + n);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    RequireIrql("RtlAppendUnicodeToString", DISPATCH_LEVEL);
    if (!Source) return STATUS_SUCCESS;
    size_t n = std::char_traits<char16_t>::length(Source) * sizeof(WCHAR);
    if (size_t(Destination->Length) + n > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<PUCHAR>(Destination->Buffer) + Destination->Length, Source, n);
    Destination->Length = USHORT(Destination->Length + n);
    if (Destination->Length + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[Destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
    RequireIrql("RtlUnicodeStringToAnsiString", PASSIVE_LEVEL);
    auto src = View(*SourceString);
    size_t needed = src.size() + 1;  // with the terminator
    if (needed > MAXUSHORT) return STATUS_INVALID_PARAMETER_2;
    NTSTATUS status = STATUS_SUCCESS;
    size_t n = src.size();
    if (AllocateDestinationString) {
        auto buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, needed, kRtlStringTag));
        if (!buffer) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = USHORT(needed);
    } else if (n >= DestinationString->MaximumLength) {
        // Converts what fits, terminated, and says the rest was lost.
        if (DestinationString->MaximumLength == 0) return STATUS_BUFFER_OVERFLOW;
        status = STATUS_BUFFER_OVERFLOW;
        n = DestinationString->MaximumLength - 1u;
    }
    for (size_t i = 0; i < n; i++) DestinationString->Buffer[i] = WideToAnsi(src[i]);
    DestinationString->Buffer[n] = 0;
    DestinationString->Length = USHORT(n);
    return status;
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    RequireIrql("RtlFreeUnicodeString", PASSIVE_LEVEL);
    if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, kRtlStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID NTAPI RtlFreeAnsiString(PANSI_STRING AnsiString) {
    RequireIrql("RtlFreeAnsiString", PASSIVE_LEVEL);
    if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kRtlStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    RequireIrql("RtlIntegerToUnicodeString", PASSIVE_LEVEL);
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char16_t digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = char16_t(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value);
    // The terminator must fit as well.
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; i++) String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = USHORT(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // extern "C"
