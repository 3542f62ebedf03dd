// Windows backend of platform/usb.h: the mingw-w64 USB client headers.
#pragma once

#include "platform/windows/kernel.h"

#include <usb.h>
#include <usbioctl.h>
#include <ddk/usbdlib.h>
