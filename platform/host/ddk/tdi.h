// The transport driver interface as the host declares it: IP transport addresses, the
// connection-information record of a datagram request, and the parameters of the internal
// TDI_SEND_DATAGRAM and TDI_RECEIVE_DATAGRAM requests. The address records are byte-packed
// as on the wire of the interface.
#pragma once

#include "host/ddk/io.h"

#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_RECEIVE_NORMAL 0x00000020
#define TDI_ADDRESS_TYPE_IP 2
#define TdiTransportAddress "TransportAddress"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)

typedef struct _TDI_CONNECTION_INFORMATION {
  LONG UserDataLength;
  PVOID UserData;
  LONG OptionsLength;
  PVOID Options;
  LONG RemoteAddressLength;
  PVOID RemoteAddress;
} TDI_CONNECTION_INFORMATION, *PTDI_CONNECTION_INFORMATION;

typedef struct _TA_ADDRESS {
  USHORT AddressLength;
  USHORT AddressType;
  UCHAR Address[1];
} TA_ADDRESS, *PTA_ADDRESS;

typedef struct _TRANSPORT_ADDRESS {
  LONG TAAddressCount;
  TA_ADDRESS Address[1];
} TRANSPORT_ADDRESS, *PTRANSPORT_ADDRESS;

#pragma pack(push, 1)

typedef struct _TDI_ADDRESS_IP {
  USHORT sin_port;
  ULONG in_addr;
  UCHAR sin_zero[8];
} TDI_ADDRESS_IP, *PTDI_ADDRESS_IP;

#define TDI_ADDRESS_LENGTH_IP sizeof(TDI_ADDRESS_IP)

typedef struct _TA_ADDRESS_IP {
  LONG TAAddressCount;
  struct _AddrIp {
    USHORT AddressLength;
    USHORT AddressType;
    TDI_ADDRESS_IP Address[1];
  } Address[1];
} TA_IP_ADDRESS, *PTA_IP_ADDRESS;
#pragma pack(pop)

typedef struct _TDI_REQUEST_KERNEL_SENDDG {
  ULONG SendLength;
  PTDI_CONNECTION_INFORMATION SendDatagramInformation;
} TDI_REQUEST_KERNEL_SENDDG, *PTDI_REQUEST_KERNEL_SENDDG;

typedef struct _TDI_REQUEST_KERNEL_RECEIVEDG {
  ULONG ReceiveLength;
  PTDI_CONNECTION_INFORMATION ReceiveDatagramInformation;
  PTDI_CONNECTION_INFORMATION ReturnDatagramInformation;
  ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVEDG, *PTDI_REQUEST_KERNEL_RECEIVEDG;
