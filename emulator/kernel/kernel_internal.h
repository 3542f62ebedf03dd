// Helpers shared by the emulated kernel's routines.
#pragma once

#include "platform/host/wdm.h"

namespace emu {

// Reports IrqlTooHigh and answers false when the caller runs above `maximum`.
bool RequireIrql(const char *routine, KIRQL maximum);

}  // namespace emu
