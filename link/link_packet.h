// The link packet exchanged with the remote serial device servers, one per UDP datagram: a
// 4-byte header (type, channel, little-endian word of 12-bit total length and 4-bit sequence)
// and a payload; and the one outbound entry point, QueueLinkPacket, through which request
// handlers hand control packets and transmit data to the sender thread.
#pragma once

#include "port/port_record.h"

// UDP port of the link at both ends.
constexpr USHORT LINK_PORT = 519;

// Packet types (one value space for both directions).
constexpr UCHAR PKT_DATA = 0;
constexpr UCHAR PKT_OPEN = 1;
constexpr UCHAR PKT_CLOSE = 2;
constexpr UCHAR PKT_SETTINGS = 3;
constexpr UCHAR PKT_ACK = 4;
constexpr UCHAR PKT_DOWN = 5;
constexpr UCHAR PKT_POLL = 7;
constexpr UCHAR PKT_SEQDATA = 10;
constexpr UCHAR PKT_RXACK = 11;
constexpr UCHAR PKT_BREAK_ON = 12;
constexpr UCHAR PKT_BREAK_OFF = 13;

constexpr ULONG DATA_PAYLOAD_MAX = 128;
constexpr ULONG INBOUND_DATAGRAM_MAX = 512;
constexpr ULONG LINK_LENGTH_MASK = 0x0FFF;

// The header's fields as numbers.
struct LinkHeader {
  UCHAR Type;
  UCHAR Channel;
  USHORT Length;    // total packet length, header included (12 bits)
  UCHAR Sequence;   // 4 bits; 0 where the type carries none
};

// Writes a header: byte 0 type, byte 1 channel, bytes 2-3 the little-endian word
// (sequence << 12) | (length & 0xFFF).
inline VOID EncodeLinkHeader(PUCHAR bytes, UCHAR type, UCHAR channel, ULONG length, ULONG sequence) {
  USHORT word = (USHORT)(((sequence & 0xF) << 12) | (length & LINK_LENGTH_MASK));
  bytes[0] = type;
  bytes[1] = channel;
  bytes[2] = (UCHAR)(word & 0xFF);
  bytes[3] = (UCHAR)(word >> 8);
}

inline LinkHeader DecodeLinkHeader(const UCHAR* bytes) {
  USHORT word = (USHORT)(bytes[2] | (bytes[3] << 8));
  LinkHeader header;
  header.Type = bytes[0];
  header.Channel = bytes[1];
  header.Length = (USHORT)(word & LINK_LENGTH_MASK);
  header.Sequence = (UCHAR)(word >> 12);
  return header;
}

// Replaces the sequence nibble of an encoded header, keeping its length.
inline VOID SetLinkHeaderSequence(PUCHAR bytes, ULONG sequence) {
  bytes[3] = (UCHAR)((bytes[3] & 0x0F) | ((sequence & 0xF) << 4));
}

// The sequence after s: 1 to 15 and back to 1; NextSeq(0) is 1.
inline LONG NextSeq(LONG s) { return (s + 1 > 15) ? 1 : s + 1; }

// Queues a control packet (type, payload of at most 32 bytes) for the port and wakes the
// sender. While the port's link is not open only PKT_OPEN and PKT_CLOSE pass; everything else
// is dropped without trace, as is a packet whose node cannot be allocated (the sender is still
// woken). A PKT_ACK or PKT_RXACK that finds one of its type waiting replaces that one's
// sequence instead of queueing a second. Callable at IRQL <= DISPATCH_LEVEL, with the port's
// PortLock and/or the cancel lock held or not; takes the control-queue lock (a leaf lock).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID QueueLinkPacket(UCHAR type, const VOID* payload, ULONG length, LONG portIndex);

// Tells the sender that the port has data for it (TxPending), and wakes it: the bytes of its
// transmit ring, or the retransmission of its chunk in flight. Passes the same link gate as a
// control packet other than PKT_OPEN and PKT_CLOSE.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID MarkTxData(LONG portIndex);

// Prepares the lock of the control queues; StartLink calls it before anything can be queued.
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitializeControlQueues();

// Takes a port's whole control queue, leaving it empty, and returns its first node (null when
// nothing was queued). The caller owns the detached nodes and frees them (POOL_TAG) when sent.
// Callable at IRQL <= DISPATCH_LEVEL; excludes QueueLinkPacket's append on the same queue.
_IRQL_requires_max_(DISPATCH_LEVEL)
ControlNode* DetachControlQueue(LONG portIndex);

// Takes the first node of a port's control queue (null when it is empty); the rest stay queued,
// so an acknowledgement the port comes to owe meanwhile still replaces one waiting behind.
// The caller owns the node. IRQL <= DISPATCH_LEVEL; excludes QueueLinkPacket's append.
_IRQL_requires_max_(DISPATCH_LEVEL)
ControlNode* TakeControlHead(LONG portIndex);

// Whether the port's control queue holds a node. A hint: it may change at once after.
BOOLEAN ControlQueued(LONG portIndex);

// Frees a node the sender took from the port's queue, sent or not.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeControlNode(LONG portIndex, ControlNode* node);

// Detaches the port's control queue and frees its nodes unsent; returns how many there were.
// For unload, once the sender has ended.
_IRQL_requires_max_(DISPATCH_LEVEL)
LONG DiscardControlQueue(LONG portIndex);
