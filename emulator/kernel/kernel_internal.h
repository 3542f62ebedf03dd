// Helpers shared by the emulated kernel's routines.
#pragma once

#include "platform/host/wdm.h"

namespace emu {

// Reports IrqlTooHigh and answers false when the caller runs above `maximum`.
bool RequireIrql(const char *routine, KIRQL maximum);

// A spin lock word as the emulator writes it: kSpinLockMark in the high half, the owner's thread
// id in the low half (0 while free). A word without the mark was never initialised: pool and
// stack hold garbage, and a zeroed extension holds zeros.
static_assert(sizeof(ULONG_PTR) == 8);
inline constexpr ULONG_PTR kSpinLockMark = 0x4B53504CULL << 32;
inline constexpr ULONG_PTR kSpinLockFree = kSpinLockMark;

// Threads now spinning for a spin lock that another thread holds. A test that holds a lock on
// purpose waits for this to know that its rival has come to the lock and waits there.
int SpinningThreads();

// KDPC.Type as KeInitializeDpc sets it (as Windows does).
inline constexpr UCHAR kDpcObjectType = 19;

// Dispatcher object types as the kernel numbers them in DISPATCHER_HEADER.Type.
inline constexpr UCHAR kSynchronizationEvent = 1;
inline constexpr UCHAR kNotificationTimer = 8;

}  // namespace emu
