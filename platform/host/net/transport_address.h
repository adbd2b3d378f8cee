// Private to platform/host/net.
// The transport-address records of the UDP transport's interface, read and written with
// bounds checks: the "TransportAddress" extended attribute of an open, the TA_IP_ADDRESS of a
// datagram's remote address, and the connection-information record around it. Addresses and
// ports are held in host order here; on the interface they are in network order.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>

#include "host/ddk/tdi.h"

namespace host::net {

struct IpEndpoint {
  uint32_t address = 0;  // host order, first octet most significant; 0 = any
  uint16_t port = 0;     // host order; 0 = any
  auto operator<=>(const IpEndpoint&) const = default;
};

// The first IP entry of a TRANSPORT_ADDRESS of `length` bytes; false when there is none or
// the record does not fit in `length`.
bool ReadTransportAddress(const void* record, size_t length, IpEndpoint* endpoint);

// Writes a 22-byte TA_IP_ADDRESS (one IP entry, sin_zero cleared).
void WriteTransportAddress(void* record, const IpEndpoint& endpoint);

// The value of the "TransportAddress" entry in a chain of FILE_FULL_EA_INFORMATION records of
// `length` bytes; false when there is no such entry or the chain runs past `length`.
bool FindTransportAddressAttribute(const void* eaBuffer, size_t length, const void** value,
                                   size_t* valueLength);

// The remote address of a connection-information record (null or without an address: false).
bool ReadRemoteAddress(const TDI_CONNECTION_INFORMATION* information, IpEndpoint* endpoint);

// Writes the source of a datagram into a connection-information record, when it has room for
// a TA_IP_ADDRESS; false otherwise.
bool WriteRemoteAddress(TDI_CONNECTION_INFORMATION* information, const IpEndpoint& endpoint);

}  // namespace host::net
