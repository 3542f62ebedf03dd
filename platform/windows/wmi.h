// Windows backend of platform/wmi.h: the mingw-w64 WMI library header.
#pragma once

#include "platform/windows/kernel.h"

#include <wmistr.h>
#include <ddk/wmilib.h>
