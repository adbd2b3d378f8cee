// Private to platform/host/net.
// The UDP transport's sockets and address objects: binding, the sharing of one socket by the
// address objects on one (address, port), the delivery of each datagram to exactly one address
// object, the datagrams held for each source, pending receives, sends and the receiving thread.
// One mutex guards all of it; no request is completed while it is held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "host/ddk/io.h"
#include "host/net/transport_address.h"

namespace host::net::detail {

struct Datagram {
  IpEndpoint source;  // as the driver sees it (port mapping undone)
  std::vector<uint8_t> bytes;
  uint64_t arrival = 0;  // when the transport took it from its socket: a count, rising
};

// A receive request as decoded at dispatch, kept while it waits.
struct ReceiveRequest {
  PIRP irp = nullptr;
  IpEndpoint filter;  // zero fields match anything
  ULONG capacity = 0;  // bytes the request's MDL chain takes
  TDI_CONNECTION_INFORMATION* returnInformation = nullptr;
};

struct AddressObject;

// Binds an address object (address 0 = the any-address, ports mapped).
NTSTATUS OpenAddress(const IpEndpoint& requested, AddressObject** object);
// True for an address object that exists (opened, not yet closed).
bool IsAddressObject(const void* pointer);
// What the cleanup of an address object leaves its caller to complete.
struct Cleanup {
  // Its pending receives whose cancel routine could be cleared (receives being cancelled right
  // now are left to their cancel routine): to complete with STATUS_LOCAL_DISCONNECT.
  std::vector<ReceiveRequest> ended;
  // Pending receives of other address objects that took a datagram it held.
  std::vector<std::pair<ReceiveRequest, Datagram>> handed;
};
// The object stops taking datagrams. What it still held belongs to its (address, port): each
// datagram, oldest first, goes to a matching pending receive of another address object on the
// port, else into the newest one's queue for its source in order of arrival (the newest beyond
// the queue's bound dropped); with no other object there it is dropped.
Cleanup CleanupAddress(AddressObject* object);
// Frees the object (after its cleanup); deferred while a cancel routine still has a receive
// of it to take.
void CloseAddress(AddressObject* object);

enum class ReceiveOutcome {
  Taken,      // a matching datagram was waiting: *taken holds it, complete now
  Pending,    // queued with its cancel routine set; the request was marked pending
  Cancelled,  // marked pending but already cancelled: complete with STATUS_CANCELLED
  Closed,     // the object was cleaned up: complete with STATUS_LOCAL_DISCONNECT
};
ReceiveOutcome Receive(AddressObject* object, const ReceiveRequest& request, Datagram* taken,
                       PDRIVER_CANCEL cancelRoutine);
// Takes a cancelled receive out of its queue; nothing when it is not there (already taken).
std::optional<ReceiveRequest> TakeCancelledReceive(PIRP irp);
// Counts a receive completed with a datagram (and a truncated one).
void CountCompletion(bool truncated);

// Sends one datagram (guard and port mapping applied). Blocks at most as a socket send does.
NTSTATUS Send(AddressObject* object, const IpEndpoint& to, const void* bytes, size_t length);

// The receiving thread; completes receives through CompleteReceive (datagrams.cpp).
NTSTATUS StartReceiving();
void StopReceiving();
size_t AddressObjectsNotClosed();

// Completes a receive with a datagram: copies it and its source into the request and
// completes it; returns the status it was completed with (datagrams.cpp).
NTSTATUS CompleteReceive(const ReceiveRequest& request, const Datagram& datagram);

// Reports a datagram handed to a receive to the transport's observers (observers.cpp).
void ReportDelivered(const Datagram& datagram);

// A POSIX error as the transport's status.
NTSTATUS StatusOfErrno(int error);

}  // namespace host::net::detail
