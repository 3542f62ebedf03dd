// Evaluates every name of platform-items.inc (generated from the host headers) into one table,
// against the host declarations or, without PLATFORM_CHECK_HOST, the DDK headers. Both builds use
// the i386 compiler, so equal tables mean equal names, values and layouts on the Windows target.
#if PLATFORM_CHECK_HOST
#include "platform/host/wdm.h"
#include "platform/host/usb.h"
#include "platform/host/ntddser.h"
#include "platform/host/wmilib.h"
#else
#include "platform/kernel.h"
#include "platform/usb.h"
#include "platform/serial.h"
#include "platform/wmi.h"
#endif

#define X(name, expr) (unsigned long long)(expr),
extern "C" __attribute__((used, section(".pcheck"))) const unsigned long long platform_check_values[] = {
#include "platform-items.inc"
};
