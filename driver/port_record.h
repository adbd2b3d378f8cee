// The driver's state: the driver-wide globals, the port table shared by the link engine and
// the request handlers, and the per-port record held in each port's device object. Plain data
// only; the behaviour that moves each field lives with its owner (noted per field).
#pragma once

#include "kernel.h"

// Pool tag of every block the driver allocates: the four characters "Ddk " in memory order.
constexpr ULONG POOL_TAG = 0x206B6444;

constexpr int MAX_PORTS = 256;
constexpr LONG TX_RING_SIZE = 128;
constexpr LONG RX_RING_SIZE = 1024;
constexpr ULONG TX_RING_STORAGE_SIZE = MAX_PORTS * TX_RING_SIZE;  // 32768
constexpr ULONG RX_RING_STORAGE_SIZE = MAX_PORTS * RX_RING_SIZE;  // 262144
constexpr ULONG INBOUND_SCRATCH_SIZE = 4100;
constexpr ULONG OUTBOUND_SCRATCH_SIZE = 132;
constexpr USHORT CONFIG_PATH_CAPACITY = 512;  // bytes; the buffer holds two more

// LinkFlags bits.
constexpr USHORT LINK_OPENED = 0x02;     // set with LINK_OPEN when an open completes
constexpr USHORT LINK_OPEN = 0x04;       // the remote's channel is open
constexpr USHORT LINK_CONFIRMED = 0x10;  // set with LINK_OPEN by the remote's open reply

// HoldReasons bit: break is on.
constexpr ULONG BREAK_HOLD = 0x10;

// Creation values of the read-interval machinery, in 100-ns units.
constexpr LONGLONG SHORT_INTERVAL_STEP = -1000000;  // 100 ms, relative
constexpr LONGLONG LONG_INTERVAL_STEP = -10000000;  // 1 s, relative
constexpr LONGLONG INTERVAL_CUT_OVER = 200000000;   // 20 s

// The 18-byte settings block sent with PKT_OPEN and PKT_SETTINGS; 16-bit fields little-endian.
#pragma pack(push, 1)
struct LineSettings {
  USHORT SettingsWord0;
  USHORT SettingsWord1;
  USHORT ModeWord;
  USHORT FlowWord;
  UCHAR SettingsByte;
  UCHAR SettingsChars[8];
  UCHAR Padding;
};
#pragma pack(pop)
static_assert(sizeof(LineSettings) == 18, "LineSettings is 18 bytes on the wire");

// Single-word fields that threads and deferred calls read and write without a common lock
// (flags, sequence numbers, the Unloading flag) go through these: one load or store each, with
// acquire and release ordering, so that a producer's earlier stores (the ring bytes before the
// data mark) are visible to the consumer that sees its flag.
template <typename T>
inline T ReadShared(const volatile T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <typename T, typename V>
inline void WriteShared(volatile T& field, V value) {
  __atomic_store_n(&field, (T)value, __ATOMIC_RELEASE);
}

// A circular byte buffer of one port: 128 bytes (transmit) or 1024 bytes (receive). The indices
// are always reduced modulo the ring size. Written by one side and read by another without a
// common lock in places, hence volatile.
struct ByteRing {
  PUCHAR Buffer;
  volatile LONG ReadIndex;
  volatile LONG WriteIndex;
};

struct ControlNode;
struct PortRecord;

// One port's entries of the port table, indexed by PortIndex.
struct PortTableEntry {
  ByteRing TxRing;                     // open attaches; write path / sender move the indices
  ByteRing RxRing;                     // open attaches; inbound dispatch / read path
  ControlNode* volatile ControlQueue;  // first queued control packet, null when none
  volatile UCHAR TxPending;            // 1 = the sender owes this port a data packet
  volatile LONG TxHeld;                // bytes placed in TxRing and not yet taken (0..128)
  volatile ULONG RemoteAddress;        // IPv4, first octet most significant; 0 = none
  volatile LONG RemoteChannel;         // channel on the remote; low 8 bits on the wire
  volatile LONG InSeq;                 // last accepted inbound sequence, 0 while closed
  volatile LONG OutSeq;                // current outbound sequence, 0 while closed
  struct PortRecord* PortRecord;       // null for an index without a device
};

// The per-port record, held as the device extension of the port's device object. The platform
// zero-fills it at device creation; InitializePortRecord gives it its creation values.
struct PortRecord {
  UNICODE_STRING DeviceName;  // "\Device\vxserial<i>", non-paged buffer of length + 2 bytes
  PDEVICE_OBJECT DeviceObject;
  LONG PortIndex;
  ULONG ComNumber;  // PortIndex + StartPort, modulo 2^32 (a name is made only if it fits)

  // Wire image of the port's LineSettings, copied in this order into every block.
  USHORT SettingsWord0;
  USHORT SettingsWord1;
  USHORT ModeWord;
  USHORT FlowWord;
  volatile USHORT LinkFlags;
  UCHAR SettingsByte;
  UCHAR SettingsChars[8];

  KTIMER AckTimer;
  KTIMER WriteTotalTimer;
  KTIMER ReadIntervalTimer;
  KTIMER ReadTotalTimer;
  LONG CharsQueued;
  KSPIN_LOCK PortLock;

  KDPC WriteDpc;
  KDPC ReadDataDpc;
  KDPC ReadTotalTimeoutDpc;
  KDPC ReadIntervalTimeoutDpc;
  KDPC WriteTimeoutDpc;
  KDPC CompleteWaitDpc;
  KDPC ImmediateSendDpc;
  KDPC ImmediateTimeoutDpc;
  KDPC AckTimeoutDpc;

  LIST_ENTRY ReadQueue;
  LIST_ENTRY WriteQueue;
  LIST_ENTRY MaskQueue;
  LIST_ENTRY PurgeQueue;
  PIRP CurrentReadIrp;
  PIRP CurrentWriteIrp;
  PIRP CurrentWaitIrp;
  PIRP CurrentMaskIrp;
  PIRP CurrentPurgeIrp;
  PIRP CurrentImmediateIrp;

  LONG ReadIntervalMark;  // progress mark, or READ_MARK_* completion codes
  LONGLONG ReadIntervalTime;
  LONGLONG ShortIntervalStep;
  LONGLONG LongIntervalStep;
  LONGLONG IntervalCutOver;
  UCHAR ImmediateChar;
  KTIMER ImmediateTotalTimer;
  ULONG HistoryMask;
  PULONG IrpMaskLocation;
  UCHAR ImmediatePending;
  ULONG HoldReasons;
  LONGLONG* IntervalStepPtr;
  LONGLONG LastReadTime;
  LONG CharsToRead;
  ULONG WaitMask;
  ULONG BaudRate;
  UCHAR LineControl;
  UCHAR SpecialChars[6];  // Eof, Error, Break, Event, Xon, Xoff
  ULONG Timeouts[5];      // read interval, read multiplier, read constant, write mult., write const.
  ULONG HandFlow[4];      // control handshake, flow replace, Xon limit, Xoff limit
  UCHAR ReadTotalTimerArmed;
  UCHAR ReadTimeoutsActive;
  ULONG ModemStatus;
  UCHAR TxRingFull;
  volatile UCHAR RetransmitPending;
  volatile ULONG WriteInFlight;
  volatile LONG LastSentCount;
  volatile ULONG RxAckPending;
  UCHAR RetransmitCopy[TX_RING_SIZE];
  UCHAR ComNameCreated;  // 1 once this port's COM link was made (unload deletes only that)
};

// SpecialChars indices.
constexpr int SPECIAL_XON = 4;
constexpr int SPECIAL_XOFF = 5;

// Driver-wide globals.
extern LONG MaxPort;
extern LONG StartPort;
extern UNICODE_STRING ConfigPath;
extern volatile LONG Unloading;
extern HANDLE UdpAddressHandle;
extern PFILE_OBJECT volatile UdpAddressObject;
extern LONG ReceiverCount;
extern KEVENT SendEvent;
extern PUCHAR InboundScratch;
extern PUCHAR OutboundScratch;
extern PUCHAR TxRingStorage;
extern PUCHAR RxRingStorage;
extern LineSettings OpenSettings;
extern PortTableEntry PortTable[MAX_PORTS];

// Deferred routines bound to each port at creation; each is owned by the request path named.
struct PortDeferredRoutines {
  PKDEFERRED_ROUTINE Write;               // write engine
  PKDEFERRED_ROUTINE ReadData;            // read progress on new data
  PKDEFERRED_ROUTINE ReadTotalTimeout;    // read total timeout
  PKDEFERRED_ROUTINE ReadIntervalTimeout; // read interval timeout
  PKDEFERRED_ROUTINE WriteTimeout;        // write total timeout (does nothing)
  PKDEFERRED_ROUTINE CompleteWait;        // completion of the pending wait-on-mask
  PKDEFERRED_ROUTINE ImmediateSend;       // sending of the immediate character
  PKDEFERRED_ROUTINE ImmediateTimeout;    // immediate-character total timeout
  PKDEFERRED_ROUTINE AckTimeout;          // acknowledgement timeout and retransmission
};

// Gives a freshly created port's record and its port-table entries their creation values:
// empty queues and control queue, null current requests, link closed, Xon 0x11, Xoff 0x13,
// line control 3, 9600 baud, the interval constants, lock and timers initialised and the nine
// deferred calls bound to the given routines with the record as context. Ring indices of the
// receive ring go to 0 and the transmit ring is cleared; the rings stay unattached.
// Runs at PASSIVE_LEVEL during load, before any other thread can see the port.
VOID InitializePortRecord(PortRecord* record, LONG portIndex, const PortDeferredRoutines* routines);
