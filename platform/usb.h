// USB client interface as the driver sees it: descriptors, URBs, USBD routines and the internal
// USB IOCTLs — the real DDK headers on Windows, the emulated kernel's declarations on the host.
#pragma once

#if defined(_WIN32)
#include "platform/windows/usb.h"
#else
#include "platform/host/usb.h"
#endif
