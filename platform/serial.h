// Serial port interface (ntddser): IOCTL_SERIAL_* codes, SERIAL_* structures and flags, the COM
// port interface GUID and the serial WMI blocks — real DDK headers on Windows, ours on the host.
#pragma once

#if defined(_WIN32)
#include "platform/windows/serial.h"
#else
#include "platform/host/ntddser.h"
#endif
