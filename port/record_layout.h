// The driver's own records that a host running the kernel image reads and writes through the
// image's symbols: the port table and its entries, the port records behind the devices, the
// rings, queued control packets and the settings block. Expanded like platform/layout/
// ddk_records.h, by the probe and the check in port/layout/: the image's layout, as the kernel
// compiler lays the records out, against the image host's. Every record is checked whole (size
// and alignment); the fields the host's programs and suites touch, and those past each 64-bit
// member, are checked one by one.
//
// No include guard: included once per expansion, with the layout macros defined.

LAYOUT_TYPE(PortRecord)
LAYOUT_FIELD(PortRecord, DeviceName)
LAYOUT_FIELD(PortRecord, DeviceObject)
LAYOUT_FIELD(PortRecord, PortIndex)
LAYOUT_FIELD(PortRecord, ComNumber)
LAYOUT_FIELD(PortRecord, ComNameCreated)
LAYOUT_FIELD(PortRecord, PortLock)
LAYOUT_FIELD(PortRecord, AckTimer)
LAYOUT_FIELD(PortRecord, ReadTotalTimer)
LAYOUT_FIELD(PortRecord, ImmediateTotalTimer)
LAYOUT_FIELD(PortRecord, WriteDpc)
LAYOUT_FIELD(PortRecord, ReadTotalTimeoutDpc)
LAYOUT_FIELD(PortRecord, LinkFlags)
LAYOUT_FIELD(PortRecord, ReadQueue)
LAYOUT_FIELD(PortRecord, CurrentReadIrp)
LAYOUT_FIELD(PortRecord, ReadIntervalMark)
LAYOUT_FIELD(PortRecord, ReadIntervalTime)
LAYOUT_FIELD(PortRecord, ReadIntervalStep)
LAYOUT_FIELD(PortRecord, LastReadTime)
LAYOUT_FIELD(PortRecord, ReadTotalTimerArmed)
LAYOUT_FIELD(PortRecord, CharsToRead)
LAYOUT_FIELD(PortRecord, RxAckPending)
LAYOUT_FIELD(PortRecord, ImmediateChar)
LAYOUT_FIELD(PortRecord, RetransmitPending)
LAYOUT_FIELD(PortRecord, WriteInFlight)
LAYOUT_FIELD(PortRecord, ChunkSequence)
LAYOUT_FIELD(PortRecord, LastSentCount)
LAYOUT_FIELD(PortRecord, RetransmitCopy)

LAYOUT_TYPE(PortTableEntry)
LAYOUT_FIELD(PortTableEntry, TxRing)
LAYOUT_FIELD(PortTableEntry, RxRing)
LAYOUT_FIELD(PortTableEntry, ControlQueue)
LAYOUT_FIELD(PortTableEntry, TxPending)
LAYOUT_FIELD(PortTableEntry, OpensQueued)
LAYOUT_FIELD(PortTableEntry, OpensUnanswered)
LAYOUT_FIELD(PortTableEntry, TxHeld)
LAYOUT_FIELD(PortTableEntry, RemoteAddress)
LAYOUT_FIELD(PortTableEntry, RemoteChannel)
LAYOUT_FIELD(PortTableEntry, InSeq)
LAYOUT_FIELD(PortTableEntry, OutSeq)
LAYOUT_FIELD(PortTableEntry, PortRecord)

LAYOUT_TYPE(ByteRing)
LAYOUT_FIELD(ByteRing, Buffer)
LAYOUT_FIELD(ByteRing, ReadIndex)
LAYOUT_FIELD(ByteRing, WriteIndex)
LAYOUT_TYPE(LineSettings)
LAYOUT_TYPE(ControlNode)
LAYOUT_FIELD(ControlNode, Next)
LAYOUT_TYPE(PortDeferredRoutines)
