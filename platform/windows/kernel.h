// Windows backend of platform/kernel.h: the mingw-w64 DDK headers. The build puts the DDK
// directory (<sysroot>/include/ddk) on the include path, since ntddk.h includes <wdm.h> directly.
#pragma once

// wdm.h declares these two intrinsics in a form g++ rejects; the compiler provides them.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ddk/wdm.h>
#include <ddk/ntddk.h>

// Wide literal: WCHAR is wchar_t here.
#define PLATFORM_WIDE(s) L##s
