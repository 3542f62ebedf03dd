// Until the receive ring exists there is nothing for SERIAL_PURGE_RXCLEAR to empty. The receive
// path's PurgeRing replaces this file when it lands.
#include "requests/requests.h"

VOID PurgeRing(PortExtension *Port) { UNREFERENCED_PARAMETER(Port); }
