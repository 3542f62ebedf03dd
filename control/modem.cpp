// DTR and RTS: not built yet; every change is refused.
#include "control/control.h"

BOOLEAN SetDtr(PortExtension *) { return FALSE; }
BOOLEAN ClearDtr(PortExtension *) { return FALSE; }
BOOLEAN SetRts(PortExtension *) { return FALSE; }
BOOLEAN ClearRts(PortExtension *) { return FALSE; }
