// The link's one UDP endpoint: a transport address on local port 519, any local address, on
// the transport device "\device\udp", and the two operations the link threads use on it. The
// address object in use is published in UdpAddressObject; threads borrow it for each request
// (AcquireUdpAddress / ReleaseUdpAddress) so that a reopen can retire the old one safely.
// Every routine here runs at PASSIVE_LEVEL: they block in the transport.
#pragma once

#include "link/link_packet.h"

// Byte order of the transport's addresses (network order, first octet first in memory).
inline USHORT NetworkShort(USHORT value) { return (USHORT)((value >> 8) | (value << 8)); }
inline ULONG NetworkLong(ULONG value) {
  return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) | (value >> 24);
}

constexpr ULONG ENDPOINT_ATTRIBUTE_SIZE = 52;

// The transport device the endpoint is opened on: "\device\udp". A variable so that the
// host's tests can put a recording transport in its place.
extern PCWSTR LinkTransportDevice;
constexpr ULONG DATAGRAM_INFORMATION_SIZE = sizeof(TDI_CONNECTION_INFORMATION) + sizeof(TA_IP_ADDRESS);
// Distance between the two records of a receive, keeping the second one pointer-aligned.
constexpr ULONG DATAGRAM_INFORMATION_STRIDE = (DATAGRAM_INFORMATION_SIZE + 7) & ~7u;

// Fills the 52-byte "TransportAddress" open attribute for the given port and host-order
// address into a zeroed buffer.
VOID BuildEndpointAttribute(PUCHAR buffer, USHORT port, ULONG address);

// Fills a datagram information record (connection information followed by its own transport
// address) for the given remote port and host-order address into a zeroed buffer.
VOID BuildDatagramInformation(PUCHAR record, USHORT port, ULONG address);

// Prepares the endpoint's bookkeeping; called once by StartLink before the first open.
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitializeUdpEndpoint();

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS OpenTransportAddress(PCWSTR deviceName, ULONG attributeLength, PVOID attribute,
                              PHANDLE handle, PFILE_OBJECT* fileObject);

// Opens a new endpoint and publishes it; the address object it replaces is retired: its
// handle is closed at once (which ends the receives pending on it) and its reference dropped
// when its last borrower returns it. Concurrent opens are serialised.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS OpenUdpEndpoint();

// After a failed request on `failed`: reopens the endpoint unless another thread already
// replaced that address object, or unload has begun. Returns the status of the open made, or
// STATUS_SUCCESS when none was needed.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReopenUdpEndpoint(PFILE_OBJECT failed);

// True when `object` was published once and another open has replaced it since: a request
// that failed on it failed because the reopen closed it, not because the transport did.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsRetiredUdpAddress(PFILE_OBJECT object);

// True for a receive whose datagram was longer than the receive buffer: the transport kept its
// first bytes and dropped the rest (STATUS_BUFFER_OVERFLOW, a warning). Bad input from one
// remote, not a failure of the endpoint.
inline BOOLEAN IsOversizedDatagram(NTSTATUS status) { return (BOOLEAN)(status == STATUS_BUFFER_OVERFLOW); }

// Borrows the published address object (null when none is open) for one request.
_IRQL_requires_(PASSIVE_LEVEL)
PFILE_OBJECT AcquireUdpAddress();
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseUdpAddress(PFILE_OBJECT fileObject);

// Unload: closes the published endpoint so that pending receives return, and prevents any
// further open. ReleaseUdpEndpoint then drops every reference once the link threads are gone.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ShutdownUdpEndpoint();
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseUdpEndpoint();

// Sends `length` bytes of `buffer`, which lies in one non-paged pool block, to the remote.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendDatagram(PFILE_OBJECT addressObject, USHORT remotePort, ULONG remoteAddress,
                      PVOID buffer, ULONG length);
// Receives one datagram from the remote (a remote address filter of 0 takes any) into `buffer`,
// of *length bytes, through a non-paged staging block; *length becomes the count received.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReceiveDatagram(PFILE_OBJECT addressObject, USHORT remotePort, PULONG sourceAddress,
                         PVOID buffer, PULONG length, ULONG remoteAddressFilter);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS CallTransport(PIRP irp, PDEVICE_OBJECT device, PIO_STATUS_BLOCK statusBlock);
