// Storage of the driver-wide globals and the port table. Zero-initialised by the loader (no
// constructors run in the kernel); load gives them their values.
#include "port/port_record.h"

LONG MaxPort;
LONG StartPort;
UNICODE_STRING ConfigPath;
volatile LONG Unloading;
HANDLE UdpAddressHandle;
PFILE_OBJECT volatile UdpAddressObject;
LONG ReceiverCount;
KEVENT SendEvent;
PUCHAR InboundScratch;
PUCHAR OutboundScratch;
PUCHAR TxRingStorage;
PUCHAR RxRingStorage;
PortTableEntry PortTable[MAX_PORTS];
