// Windows backend of platform/usb.h: the mingw-w64 USB client headers.
#pragma once

#include "platform/windows/kernel.h"

#include <usb.h>
#include <usbioctl.h>
// usbdlib.h declares the USBD routines without C linkage.
extern "C" {
#include <ddk/usbdlib.h>
}
