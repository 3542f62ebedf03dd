// The kernel, HAL and run-time library as the driver sees them: the real DDK headers on Windows,
// the emulated kernel's declarations on the host.
#pragma once

#if defined(_WIN32)
#include "platform/windows/kernel.h"
#else
#include "platform/host/wdm.h"
#endif
