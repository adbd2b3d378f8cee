// Private to platform/host/net.
// The UDP transport's request handlers: the dispatch routines its driver
// object is given, and the datagram requests they route to.
#pragma once

#include "host/ddk/io.h"
#include "host/net/sockets.h"

namespace host::net::detail {

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);

// TDI_SEND_DATAGRAM and TDI_RECEIVE_DATAGRAM on an address object (udp_datagrams.cpp).
NTSTATUS SendDatagram(PIRP irp, PIO_STACK_LOCATION stack, AddressObject* object);
NTSTATUS ReceiveDatagram(PIRP irp, PIO_STACK_LOCATION stack, AddressObject* object);

// Completes a request that was answered on the spot.
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information);

}  // namespace host::net::detail
