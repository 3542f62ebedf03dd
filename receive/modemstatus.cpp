// Modem status and receive flow control: not built yet.
#include "receive/receive.h"

UCHAR NTAPI UpdateModemStatus(PortExtension *Port) { return UpdateLineStatus(Port), 0; }
VOID ReleaseRxHolds(PortExtension *) {}
NTSTATUS SendFlowChar(PortExtension *, BOOLEAN) { return STATUS_NOT_IMPLEMENTED; }
