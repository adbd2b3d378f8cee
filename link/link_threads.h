// The link engine's threads: one sender for the whole driver and one receiver per distinct
// remote server address, started by StartLink at load and stopped by StopLink at unload.
#pragma once

#include "link/link_packet.h"

// Ring sizes of what a receiver takes and what the sender builds.
constexpr ULONG RECEIVE_BUFFER_SIZE = INBOUND_DATAGRAM_MAX;

// Starts the link engine: the send event, the UDP endpoint, the sender thread and one receiver
// thread per distinct non-zero RemoteAddress of ports 0 to MaxPort - 1. Requires MaxPort >= 1,
// the configuration read and OutboundScratch allocated. PASSIVE_LEVEL. Returns success: a
// failed open or thread start is not reported (the threads reopen on their first failure).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartLink();

// Stops the link engine for unload: Unloading must already be 1. Wakes the sender and every
// receiver (the endpoint is closed so that pending receives return, and pauses are cut short),
// waits for every link thread to end, then releases the endpoint.
_IRQL_requires_(PASSIVE_LEVEL)
VOID StopLink();

// Number of link threads started and not yet waited for by StopLink (sender included).
LONG LinkThreadCount();

_IRQL_requires_(PASSIVE_LEVEL)
VOID NTAPI SenderThread(PVOID context);
_IRQL_requires_(PASSIVE_LEVEL)
VOID NTAPI ReceiverThread(PVOID remoteAddress);

// One pass of the sender over every port, from the port after the given rotation start; returns
// the status of the last send of the pass, and the address object it failed on (or null).
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SendPass(LONG start, PFILE_OBJECT* failedOn);

// Applies one inbound packet (`received` bytes, at least a header) to port `portIndex`; a
// length field beyond the datagram is cut to it.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(PortTable[portIndex].PortRecord->PortLock)
VOID DispatchInboundPacket(LONG portIndex, const UCHAR* packet, ULONG received);

// What a receiver does with each datagram it receives: maps it to its port and applies it from
// the receiver's own non-paged copy (RECEIVE_BUFFER_SIZE bytes), so that receivers never share
// a dispatch buffer. A datagram shorter than a header, or for no port with a record, is dropped.
// `length` is at most RECEIVE_BUFFER_SIZE. Takes the port's PortLock.
_IRQL_requires_(PASSIVE_LEVEL)
VOID DeliverInboundDatagram(const UCHAR* datagram, ULONG length, ULONG source, PUCHAR copy);

// The port an inbound packet from (sourceAddress, channel) belongs to: the lowest index whose
// binding matches and which has a PortRecord; -1 when none.
LONG FindInboundPort(ULONG sourceAddress, UCHAR channel);

// Notification event set when unload begins (StopLink); what LinkPause waits on. Initialised by
// StartLink.
extern KEVENT LinkStopEvent;

// Waits up to `milliseconds` or until unload begins; link threads use it to pace retries.
_IRQL_requires_(PASSIVE_LEVEL)
VOID LinkPause(ULONG milliseconds);
