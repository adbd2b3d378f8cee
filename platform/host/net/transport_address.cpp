// Reading and writing the UDP transport's address records. Any level.
#include "host/net/transport_address.h"

#include <cstring>

namespace host::net {

namespace {

// Field offsets inside the packed records.
constexpr size_t kCountSize = sizeof(LONG);            // TAAddressCount
constexpr size_t kEntryHeader = 2 * sizeof(USHORT);    // AddressLength, AddressType
constexpr size_t kIpAddressBytes = TDI_ADDRESS_LENGTH_IP;  // sin_port, in_addr, sin_zero
static_assert(sizeof(TA_IP_ADDRESS) == 22);
static_assert(kIpAddressBytes == 14);

uint16_t Read16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

bool ReadTransportAddress(const void* record, size_t length, IpEndpoint* endpoint) {
  if (record == nullptr || length < kCountSize) return false;
  const auto* bytes = static_cast<const uint8_t*>(record);
  LONG count;
  std::memcpy(&count, bytes, sizeof count);
  size_t offset = kCountSize;
  for (LONG i = 0; i < count; ++i) {
    if (length - offset < kEntryHeader) return false;
    const uint16_t addressLength = Read16(bytes + offset);
    const uint16_t addressType = Read16(bytes + offset + sizeof(USHORT));
    offset += kEntryHeader;
    if (length - offset < addressLength) return false;
    if (addressType == TDI_ADDRESS_TYPE_IP && addressLength >= kIpAddressBytes) {
      const uint8_t* ip = bytes + offset;
      endpoint->port = static_cast<uint16_t>((ip[0] << 8) | ip[1]);
      endpoint->address = (uint32_t{ip[2]} << 24) | (uint32_t{ip[3]} << 16) |
                          (uint32_t{ip[4]} << 8) | uint32_t{ip[5]};
      return true;
    }
    offset += addressLength;
  }
  return false;
}

void WriteTransportAddress(void* record, const IpEndpoint& endpoint) {
  uint8_t bytes[sizeof(TA_IP_ADDRESS)] = {};
  const LONG count = 1;
  const USHORT addressLength = kIpAddressBytes;
  const USHORT addressType = TDI_ADDRESS_TYPE_IP;
  std::memcpy(bytes, &count, sizeof count);
  std::memcpy(bytes + kCountSize, &addressLength, sizeof addressLength);
  std::memcpy(bytes + kCountSize + sizeof(USHORT), &addressType, sizeof addressType);
  uint8_t* ip = bytes + kCountSize + kEntryHeader;
  ip[0] = static_cast<uint8_t>(endpoint.port >> 8);
  ip[1] = static_cast<uint8_t>(endpoint.port);
  ip[2] = static_cast<uint8_t>(endpoint.address >> 24);
  ip[3] = static_cast<uint8_t>(endpoint.address >> 16);
  ip[4] = static_cast<uint8_t>(endpoint.address >> 8);
  ip[5] = static_cast<uint8_t>(endpoint.address);
  std::memcpy(record, bytes, sizeof bytes);
}

bool FindTransportAddressAttribute(const void* eaBuffer, size_t length, const void** value,
                                   size_t* valueLength) {
  if (eaBuffer == nullptr) return false;
  const auto* bytes = static_cast<const uint8_t*>(eaBuffer);
  constexpr size_t kNameOffset = offsetof(FILE_FULL_EA_INFORMATION, EaName);
  size_t offset = 0;
  for (;;) {
    if (length - offset < kNameOffset) return false;
    FILE_FULL_EA_INFORMATION entry;
    std::memcpy(&entry, bytes + offset, kNameOffset);
    // The name, its terminating zero and the value follow the fixed part.
    const size_t needed = kNameOffset + entry.EaNameLength + 1 + entry.EaValueLength;
    if (length - offset < needed) return false;
    const uint8_t* name = bytes + offset + kNameOffset;
    if (entry.EaNameLength == TDI_TRANSPORT_ADDRESS_LENGTH &&
        std::memcmp(name, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH) == 0) {
      *value = name + entry.EaNameLength + 1;
      *valueLength = entry.EaValueLength;
      return true;
    }
    if (entry.NextEntryOffset == 0 || entry.NextEntryOffset > length - offset) return false;
    offset += entry.NextEntryOffset;
  }
}

bool ReadRemoteAddress(const TDI_CONNECTION_INFORMATION* information, IpEndpoint* endpoint) {
  if (information == nullptr || information->RemoteAddress == nullptr ||
      information->RemoteAddressLength <= 0) {
    return false;
  }
  return ReadTransportAddress(information->RemoteAddress,
                              static_cast<size_t>(information->RemoteAddressLength), endpoint);
}

bool WriteRemoteAddress(TDI_CONNECTION_INFORMATION* information, const IpEndpoint& endpoint) {
  if (information == nullptr || information->RemoteAddress == nullptr ||
      information->RemoteAddressLength < static_cast<LONG>(sizeof(TA_IP_ADDRESS))) {
    return false;
  }
  WriteTransportAddress(information->RemoteAddress, endpoint);
  return true;
}

}  // namespace host::net
