// WMI library (wmilib) as the driver sees it — real DDK headers on Windows, the emulated kernel's
// declarations on the host.
#pragma once

#if defined(_WIN32)
#include "platform/windows/wmi.h"
#else
#include "platform/host/wmilib.h"
#endif
