// The driver's state: the driver-wide globals, the port table shared by the link engine and
// the request handlers, and the per-port record held in each port's device object. Plain data
// only; each group of fields says who writes it, at what IRQL and under which lock.
//
// Locks, in the order they are taken: a port's PortLock, then the system-wide cancel lock;
// the control-queue lock and the endpoint lock are leaves (nothing is taken while they are
// held). The link's sender thread takes a PortLock only to move transmit-ring bytes.
// "Shared word" means a single-word field read and written without a common lock through
// ReadShared / WriteShared. "Load" and "unload" run at PASSIVE_LEVEL with no request in
// progress; "open" and "close" run in the caller's thread at PASSIVE_LEVEL while no other
// request of the port is in progress.
#pragma once

#include "port/shared_access.h"
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
constexpr USHORT LINK_PORT_HELD = 0x02;  // an application holds the port (set when an open completes)
constexpr USHORT LINK_OPEN = 0x04;       // the link to the remote's channel is open
constexpr USHORT LINK_CONFIRMED = 0x10;  // the remote confirmed the open (set with LINK_OPEN)

// HoldReasons bit: break is on.
constexpr ULONG BREAK_HOLD = 0x10;

// The read-interval timer's tick, in 100-ns units: the short one for interval timeouts below
// the cut-over, the long one from it on.
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

// A circular byte buffer of one port: 128 bytes (transmit) or 1024 bytes (receive). The indices
// are always reduced modulo the ring size. Written by one side and read by another without a
// common lock in places, hence volatile.
struct ByteRing {
  PUCHAR Buffer;             // attached by open; never detached
  volatile LONG ReadIndex;   // the consumer's, under the port's PortLock
  volatile LONG WriteIndex;  // the producer's, under the port's PortLock
};

// The link packet's header, and the most a control packet carries after it.
constexpr ULONG LINK_HEADER_SIZE = 4;
constexpr ULONG CONTROL_PAYLOAD_MAX = 32;

// One queued control packet, from non-paged pool, in its port's control queue (the link's
// QueueLinkPacket appends it, the sender takes it). The header is exactly as it goes on the
// wire (sequence nibble as set at queueing); the first length - 4 payload bytes are sent.
struct ControlNode {
  UCHAR Header[LINK_HEADER_SIZE];
  UCHAR Payload[CONTROL_PAYLOAD_MAX];
  ControlNode* Next;
};
static_assert(sizeof(ControlNode) == (sizeof(PVOID) == 4 ? 40 : 48),
              "ControlNode is 40 bytes in the kernel");

struct PortRecord;

// One port's entries of the port table, indexed by PortIndex. Creation (load) gives every
// field its first value.
struct PortTableEntry {
  ByteRing TxRing;                     // writers: write path, immediate char; reader: sender
  ByteRing RxRing;                     // writer: inbound dispatch; reader: read path
  ControlNode* volatile ControlQueue;  // first queued control packet, null when none; under the
                                       // control-queue lock (appended by QueueLinkPacket,
                                       // detached whole by the sender)
  volatile UCHAR TxPending;            // 1 = the sender owes this port a data packet; shared
                                       // word, set by QueueLinkPacket (any IRQL <= DISPATCH),
                                       // cleared by the sender
  volatile LONG OpensQueued;           // PKT_OPEN packets queued and not yet sent: added by
                                       // QueueLinkPacket, taken by the sender (interlocked)
  volatile LONG OpensUnanswered;       // PKT_OPEN packets queued and not yet answered: added
                                       // by QueueLinkPacket (interlocked), taken by inbound
                                       // dispatch's open replies and cleared by a finished
                                       // open (both under PortLock)
  volatile LONG TxHeld;                // bytes placed in TxRing and not yet taken (0..128);
                                       // under PortLock (writers add, the sender takes all)
  volatile ULONG RemoteAddress;        // IPv4, first octet most significant; 0 = none; shared
                                       // word, written by the configuration reads (load, open)
  volatile LONG RemoteChannel;         // channel on the remote; low 8 bits on the wire; as
                                       // RemoteAddress
  volatile LONG InSeq;                 // last accepted inbound sequence, 0 while closed; shared
                                       // word: open/close, and inbound dispatch under PortLock
  volatile LONG OutSeq;                // current outbound sequence, 0 while closed; shared
                                       // word: open/close (no lock), and the sender as it
                                       // takes a fresh data packet (PortLock)
  struct PortRecord* PortRecord;       // null for an index without a device; creation, unload
};

// The per-port record, held as the device extension of the port's device object. The platform
// zero-fills it at device creation; InitializePortRecord gives it its creation values. Fields
// are grouped by owner and lock; each group's note says who writes it and under which lock, and
// a field's own note only what differs.
struct PortRecord {
  // Identity: written at creation (load), read-only afterwards; the name buffer is freed and the
  // COM link deleted at unload.
  UNICODE_STRING DeviceName;  // "\Device\vxserial<i>", non-paged buffer of length + 2 bytes
  PDEVICE_OBJECT DeviceObject;
  LONG PortIndex;
  ULONG ComNumber;       // PortIndex + StartPort, modulo 2^32 (a name is made only if it fits)
  UCHAR ComNameCreated;  // 1 once this port's COM link was made, so that unload deletes only that

  // The port's lock, over its rings, the write and retransmission state, the read progress
  // fields and the line settings. It, the timers and the deferred calls are initialised at
  // creation. Each timer is set and cancelled by the request path of its deferred call
  // (KeSetTimer / KeCancelTimer need no lock of ours); each deferred call is bound to the
  // routine of its own name (driver/deferred_routines.cpp) with the record as context, and
  // queued by its timer, the request paths or the receiver threads.
  KSPIN_LOCK PortLock;
  KTIMER AckTimer;
  KTIMER WriteTotalTimer;
  KTIMER ReadIntervalTimer;
  KTIMER ReadTotalTimer;
  KTIMER ImmediateTotalTimer;
  KDPC WriteDpc;
  KDPC ReadDataDpc;
  KDPC ReadTotalTimeoutDpc;
  KDPC ReadIntervalTimeoutDpc;
  KDPC WriteTimeoutDpc;
  KDPC CompleteWaitDpc;
  KDPC ImmediateSendDpc;
  KDPC ImmediateTimeoutDpc;
  KDPC AckTimeoutDpc;

  // The link to the remote's channel (LINK_* bits). Shared word, written under PortLock:
  // LINK_OPEN and LINK_CONFIRMED set, LINK_OPEN cleared and the whole word cleared by inbound
  // dispatch (DISPATCH_LEVEL); LINK_PORT_HELD and LINK_OPEN set by open, LINK_OPEN and then the
  // word cleared by close (PASSIVE_LEVEL). Read without a lock by the link gate and the open and
  // close polls.
  volatile USHORT LinkFlags;

  // Line settings and line state. Written by open (no lock: no other request is in progress)
  // and by the settings requests in the caller's thread at PASSIVE_LEVEL under PortLock (the
  // event-character step of a new wait mask among them); close resets Timeouts and
  // HoldReasons. The wire image (the first six) is copied, in this order, into every settings
  // block under PortLock. Scalars are shared words that their queries read without a lock; the
  // arrays are copied under PortLock.
  USHORT SettingsWord0;
  USHORT SettingsWord1;
  USHORT ModeWord;
  USHORT FlowWord;
  UCHAR SettingsByte;
  UCHAR SettingsChars[8];
  ULONG BaudRate;
  UCHAR LineControl;
  UCHAR SpecialChars[6];  // Eof, Error, Break, Event, Xon, Xoff
  ULONG HandFlow[4];      // control handshake, flow replace, Xon limit, Xoff limit
  // Read interval, read multiplier, read constant, write multiplier, write constant (ms).
  ULONG Timeouts[5];
  ULONG HoldReasons;      // BREAK_HOLD while break is on (the break requests)
  ULONG ModemStatus;      // reported to callers: open sets SERIAL_MSR_DCD, close clears it; no lock

  // Requests: the queues and current-request slots of the request classes, under the cancel
  // lock at any IRQL up to DISPATCH_LEVEL. A request leaves a queue or a slot only under it,
  // and is completed only after it has left them.
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

  // Read: the pending read's progress and timing. Under the cancel lock, written by the read
  // start as the read becomes pending and by the data call as it takes bytes (both with
  // PortLock held too), and by the read's deferred calls and cancel routine as they end it.
  LONG ReadIntervalMark;       // bytes the read holds while pending, or how it ended (READ_MARK_*)
  LONGLONG ReadIntervalTime;   // its interval timeout, 100-ns units
  LONGLONG ReadIntervalStep;   // the interval timer's tick (relative); 0: no interval timeout
  LONGLONG LastReadTime;       // when it last took bytes
  UCHAR ReadTotalTimerArmed;   // its total timer is armed and has not ended it (cleared by the
                               // total-timeout call)
  UCHAR ReadEndsOnFirstByte;   // it ends as soon as it holds a byte (first-byte mode)
  // Bytes the current read still wants: the read start and the data call, under PortLock only.
  LONG CharsToRead;
  // 1 = the remote is owed a receive acknowledgement (sequenced data accepted, or sequenced
  // data refused since the last one): set by inbound dispatch and cleared by the read start,
  // under PortLock; cleared by open.
  volatile ULONG RxAckPending;

  // Wait on mask, under the cancel lock (the mask start, the hand-overs of events, the wait's
  // cancel and completion, at IRQL <= DISPATCH_LEVEL; open and close).
  ULONG WaitMask;         // events the application waits for; a shared word, read without a
                          // lock by the event-character step and the event raising
  ULONG HistoryMask;      // events seen and not yet handed to a wait
  PULONG IrpMaskLocation; // where the pending wait writes its mask while it waits

  // Immediate character: the current one and its request's state, under the cancel lock, set
  // as its request starts and cleared as it ends.
  UCHAR ImmediateChar;
  UCHAR ImmediatePending;     // from the hand-over of the character until its request ends
  UCHAR ImmediateTimerArmed;  // ImmediateTotalTimer was set for the current request
  // Waiting for its place in the TxRing: set as the request starts (both locks held), cleared
  // under PortLock once the character is placed or its request ends.
  UCHAR ImmediateUnsent;

  // Write: bytes of accepted write and immediate-character requests not yet finished, raised
  // and lowered by interlocked adds at IRQL <= DISPATCH_LEVEL (the request queues under the
  // cancel lock; the write path as a current write ends, however it ends; the immediate
  // character), read as a shared word, set to 0 by open and close.
  LONG CharsQueued;
  // The write engine's hold on the transmit ring, under PortLock: the current write still has
  // bytes to place, or an immediate character took the ring's last slot. Cleared by open.
  UCHAR TxRingFull;

  // The chunk in flight (with AckTimer): written only under PortLock, only by
  // link/chunk_in_flight.cpp, which states the discipline; the sender's first look at
  // RetransmitPending is a shared-word read. Abandoned by open and close.
  volatile UCHAR RetransmitPending;  // a poll is out for the sent chunk, or its resend is due
  volatile ULONG WriteInFlight;      // 1 = a chunk is placed or sent and not yet acknowledged
  LONG ChunkSequence;                // the sequence it went out with; 0 = not sent yet
  LONG LastSentCount;                // bytes of the last fresh data packet
  UCHAR RetransmitCopy[TX_RING_SIZE];  // that packet's payload, for retransmission
};

// SpecialChars indices.
constexpr int SPECIAL_EVENT = 3;
constexpr int SPECIAL_XON = 4;
constexpr int SPECIAL_XOFF = 5;

// Driver-wide globals. Load gives them their values before any other thread runs; unload
// releases them after every link thread has ended.
extern LONG MaxPort;                       // load; read-only afterwards
extern LONG StartPort;                     // load; read-only afterwards
extern UNICODE_STRING ConfigPath;          // load; read-only afterwards
extern volatile LONG Unloading;            // shared word: 1 once unload has begun; deferred
                                           // routines never re-arm a timer once it is 1
extern HANDLE UdpAddressHandle;            // the endpoint's, under the endpoint lock
extern PFILE_OBJECT volatile UdpAddressObject;  // the endpoint's, under the endpoint lock
extern LONG ReceiverCount;                 // load (StartLink)
extern KEVENT SendEvent;                   // initialised by StartLink; set by QueueLinkPacket
extern PUCHAR InboundScratch;              // load / unload
extern PUCHAR OutboundScratch;             // load / unload; the sender's alone in between
extern PUCHAR TxRingStorage;               // load / unload
extern PUCHAR RxRingStorage;               // load / unload
extern PortTableEntry PortTable[MAX_PORTS];

// Deferred routines bound to each port at creation, one per KDPC of the record and named
// alike; each is owned by the request path named.
struct PortDeferredRoutines {
  PKDEFERRED_ROUTINE WriteDpc;                // write engine
  PKDEFERRED_ROUTINE ReadDataDpc;             // read progress on new data
  PKDEFERRED_ROUTINE ReadTotalTimeoutDpc;     // read total timeout
  PKDEFERRED_ROUTINE ReadIntervalTimeoutDpc;  // read interval timeout
  PKDEFERRED_ROUTINE WriteTimeoutDpc;         // write total timeout (does nothing)
  PKDEFERRED_ROUTINE CompleteWaitDpc;         // completion of the pending wait-on-mask
  PKDEFERRED_ROUTINE ImmediateSendDpc;        // sending of the immediate character
  PKDEFERRED_ROUTINE ImmediateTimeoutDpc;     // immediate-character total timeout
  PKDEFERRED_ROUTINE AckTimeoutDpc;           // acknowledgement timeout and retransmission
};

// Gives a freshly created port's record and its port-table entries their creation values:
// empty queues and control queue, null current requests, link closed, Xon 0x11, Xoff 0x13,
// line control 3, 9600 baud, lock and timers initialised and the nine
// deferred calls bound to the given routines with the record as context. Ring indices of the
// receive ring go to 0 and the transmit ring is cleared; the rings stay unattached.
// Runs at PASSIVE_LEVEL during load, before any other thread can see the port.
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitializePortRecord(PortRecord* record, LONG portIndex, const PortDeferredRoutines* routines);
