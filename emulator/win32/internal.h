// What the Win32 files share beyond the API itself.
#pragma once

#include <string>

#include "emulator/win32/win32.h"

namespace win32::internal {

// An ANSI string as UTF-16 (the machine's code page is Latin-1).
std::u16string Widen(LPCSTR s);
// Whether a Win32 device name ("COM3", "COM3:", "\\.\COM3") names a device of the machine.
bool DeviceExists(LPCWSTR name);

}  // namespace win32::internal
