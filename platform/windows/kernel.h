// Windows backend of platform/kernel.h: the mingw-w64 DDK headers. The build puts the DDK
// directory (<sysroot>/include/ddk) on the include path, since ntddk.h includes <wdm.h> directly.
#pragma once

// The driver targets Windows XP: the headers then hide what later versions added.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x05010000
#endif
// wdm.h tests this spelling of NTDDI_VISTA without defining it; undefined, it would read as 0.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif

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

// Code the system may page out: the image names the section PAGE, as the kernel expects.
#define PLATFORM_PAGEABLE __attribute__((section("PAGE")))

// Contracts: the IRQL checks are the DDK's NT_ASSERT, active in a checked build (DBG), nothing in
// a free one. Windows offers no cheap test that this thread holds a
// spin lock, nor a lock-order checker the driver can feed: those compile to nothing here and are
// checked on the host.
#define REQUIRE_IRQL(Level) NT_ASSERT(KeGetCurrentIrql() == (Level))
#define REQUIRE_IRQL_AT_MOST(Level) NT_ASSERT(KeGetCurrentIrql() <= (Level))
// The DDK's checked PAGED_CODE asserts through RtlAssert, which the import list leaves out; this
// one is the same test through NT_ASSERT (int 2Ch and KeGetCurrentIrql only).
#undef PAGED_CODE
#define PAGED_CODE() REQUIRE_IRQL_AT_MOST(APC_LEVEL)
#define REQUIRE_LOCK_HELD(Lock) ((VOID)0)
#define REQUIRE_LOCK_NOT_HELD(Lock) ((VOID)0)
#define REQUIRE_CANCEL_LOCK_HELD() ((VOID)0)
#define REQUIRE_CANCEL_LOCK_NOT_HELD() ((VOID)0)
#define DECLARE_LOCK_ORDER(...) ((VOID)0)
