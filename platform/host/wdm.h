// Host backend of the kernel headers: what a driver gets from wdm.h and ntddk.h.
#pragma once

#include "platform/host/ntdef.h"
#include "platform/host/ke.h"
#include "platform/host/io.h"
#include "platform/host/rtl.h"
