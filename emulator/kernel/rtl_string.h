// Counted-string helpers shared by the emulated kernel's routines (registry, namespace, I/O).
#pragma once

#include <string>
#include <string_view>

#include "emulator/kernel/pool.h"
#include "platform/host/wdm.h"

namespace emu {

// Pool tag of every string the run-time library allocates for a caller ("Rtl " in a pool dump).
// RtlFreeUnicodeString/RtlFreeAnsiString free with it, so a driver that hands them its own
// allocation trips the verifier's wrong-tag check, as it would corrupt a real pool.
inline constexpr ULONG kRtlStringTag = Tag("Rtl ");

// The characters of a counted string (Length bytes; an odd trailing byte is dropped).
std::u16string_view View(const UNICODE_STRING &s);
std::u16string_view View(PCWSTR terminated);  // NULL gives an empty view

// Upper case as the kernel's case-insensitive comparisons see it (ASCII and Latin-1).
char16_t Upcase(char16_t c);
std::u16string Upcase(std::u16string_view s);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);

// Narrow text to UTF-16 and back, for C++ callers and reports. Bytes are Latin-1; characters above
// U+00FF become '?' on the way back.
std::u16string Widen(std::string_view s);
std::string Narrow(std::u16string_view s);

// Fills `out` with a paged-pool copy of `text`, terminated, tagged kRtlStringTag: what the kernel
// hands a caller that must release it with RtlFreeUnicodeString. STATUS_INSUFFICIENT_RESOURCES
// when the pool refuses (fault injection), STATUS_INVALID_PARAMETER when it is too long.
NTSTATUS AllocateUnicodeString(PUNICODE_STRING out, std::u16string_view text);

}  // namespace emu
