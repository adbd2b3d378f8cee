// Open, close and cleanup. A port serves one application at a time. Opening is a handshake
// with the remote: PKT_OPEN carries the port's default line settings, and the opening thread
// busy-waits until the remote's reply has opened the link (inbound dispatch sets LINK_OPEN).
// Closing sends PKT_CLOSE and waits briefly for the reply; cleanup cancels every request the
// application left. The handlers run in the caller's thread at PASSIVE_LEVEL; no lock is held
// while they wait. Each completes its own request and returns its status.
#include "port/configuration.h"
#include "link/chunk_in_flight.h"
#include "serial/serial_requests.h"

namespace {

constexpr ULONG OPEN_LINK_DELAY = 50000;  // microseconds before the first look at the link
constexpr ULONG LINK_POLL_STEP = 50;      // microseconds between looks
constexpr ULONG OPEN_POLLS = 100000;      // 5 s of steps
constexpr ULONG CLOSE_POLLS = 10000;      // 0.5 s of steps

// Open values of the settings image and line settings.
constexpr USHORT OPEN_MODE_WORD = 0x0CBF;
constexpr USHORT OPEN_FLOW_WORD = 0x8000;
constexpr ULONG OPEN_BAUD_RATE = 38400;
constexpr UCHAR OPEN_LINE_CONTROL = 3;  // 8 data bits, 1 stop bit, no parity

NTSTATUS Finish(PIRP irp, NTSTATUS status, CCHAR boost) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, boost);
  return status;
}

VOID ChangeLinkFlags(PortRecord* port, USHORT set, USHORT clear) {
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  WriteShared(port->LinkFlags, (ReadShared(port->LinkFlags) | set) & ~clear);
  KfReleaseSpinLock(&port->PortLock, portIrql);
}

// The remote answered, and the open's own PKT_OPEN has gone out: a reply can come before it
// (late from an earlier open that gave up), and the session's data must not precede its open.
BOOLEAN LinkAnswered(PortRecord* port) {
  return (BOOLEAN)((ReadShared(port->LinkFlags) & LINK_OPEN) != 0 &&
                   ReadShared(PortTable[port->PortIndex].OpensQueued) == 0);
}
// Answered, and every PKT_OPEN with it: no earlier open's packet is left for the remote to
// take after this open's and number its data afresh.
BOOLEAN LinkOpened(PortRecord* port) {
  return (BOOLEAN)(LinkAnswered(port) && ReadShared(PortTable[port->PortIndex].OpensUnanswered) == 0);
}
BOOLEAN LinkClosed(PortRecord* port) { return (BOOLEAN)(ReadShared(port->LinkFlags) == 0); }

// Looks at the link until `done` holds, busy-waiting a step between looks, at most `polls`
// steps; returns whether it held.
BOOLEAN AwaitLink(PortRecord* port, ULONG polls, BOOLEAN (*done)(PortRecord*)) {
  for (ULONG step = 0;; step++) {
    if (done(port)) return TRUE;
    if (step == polls) return FALSE;
    KeStallExecutionProcessor(LINK_POLL_STEP);
  }
}

// Forgets the wait state and the queued byte count, as open and close leave them.
VOID ForgetWaitsAndQueue(PortRecord* port) {
  InterlockedExchange(&port->CharsQueued, 0);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  port->HistoryMask = 0;
  WriteShared(port->WaitMask, 0);
  port->IrpMaskLocation = NULL;
  IoReleaseCancelSpinLock(cancelIrql);
}

// Gives the port its open values and builds the block PKT_OPEN carries from them in `block`
// (bytes 9 to 17 stay 0). The block is the opening thread's own: opens of different ports in
// different threads build theirs side by side.
VOID SetOpenValues(PortRecord* port, LineSettings* block) {
  port->SettingsWord0 = 0;
  port->SettingsWord1 = 0;
  port->ModeWord = OPEN_MODE_WORD;
  port->FlowWord = OPEN_FLOW_WORD;
  port->SettingsByte = 0;
  port->SettingsChars[4] = 1;
  port->SettingsChars[5] = 0;
  WriteShared(port->LineControl, OPEN_LINE_CONTROL);
  WriteShared(port->BaudRate, OPEN_BAUD_RATE);
  WriteShared(port->HandFlow[0], 0);
  WriteShared(port->HandFlow[HANDFLOW_REPLACE], 0);
  RtlZeroMemory(block, sizeof(*block));
  block->SettingsWord1 = port->SettingsWord1;
  block->ModeWord = port->ModeWord;
  block->FlowWord = port->FlowWord;
  block->SettingsByte = port->SettingsByte;
}

// The port as an open leaves it once the remote answered: no chunk in flight, no owed receive
// acknowledgement, carrier reported, rings attached (their contents stay), held by the
// application with its link open. Bytes a cancelled write or an immediate character left in
// the transmit ring are the first chunk of the session: the remote numbers afresh from here.
// Every PKT_OPEN counts as answered from here: a reply still to come is a repeat.
VOID PrepareOpenPort(PortRecord* port) {
  ForgetWaitsAndQueue(port);
  WriteShared(port->ModemStatus, port->ModemStatus | SERIAL_MSR_DCD);
  LONG index = port->PortIndex;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  port->TxRingFull = 0;
  AbandonChunk(port);
  WriteShared(port->RxAckPending, 0);
  InterlockedExchange(&PortTable[index].OpensUnanswered, 0);
  PortTable[index].RxRing.Buffer = RxRingStorage + index * RX_RING_SIZE;
  PortTable[index].TxRing.Buffer = TxRingStorage + index * TX_RING_SIZE;
  WriteShared(port->LinkFlags, ReadShared(port->LinkFlags) | LINK_PORT_HELD | LINK_OPEN);
  if (PortTable[index].TxHeld > 0) MarkChunkPlaced(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
}

// Numbers the link afresh for an open (the sender numbers PKT_OPEN with OutSeq 1), unless a
// reply taken since the open began has opened the link: that reply numbered the remote's data,
// and the open is refused as one that finds the link open is. The look and the numbering are
// one hold of PortLock, under which inbound dispatch applies replies. Returns whether it
// numbered. PASSIVE_LEVEL.
BOOLEAN NumberLinkAfresh(PortRecord* port) {
  LONG index = port->PortIndex;
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  BOOLEAN fresh = (BOOLEAN)((ReadShared(port->LinkFlags) & (LINK_PORT_HELD | LINK_OPEN)) == 0);
  if (fresh) {
    WriteShared(PortTable[index].OutSeq, 1);
    WriteShared(PortTable[index].InSeq, 1);
  }
  KfReleaseSpinLock(&port->PortLock, portIrql);
  return fresh;
}

}  // namespace

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  PortRecord* port = PortOf(device);
  LONG index = port->PortIndex;
  if (StackOf(irp)->Parameters.Create.Options & FILE_DIRECTORY_FILE) {
    return Finish(irp, STATUS_NOT_A_DIRECTORY, IO_NO_INCREMENT);
  }
  // Held, or a reply that came after its open gave up left the link open: refused until the
  // remote closes it or reports it down.
  if (ReadShared(port->LinkFlags) & (LINK_PORT_HELD | LINK_OPEN)) {
    return Finish(irp, STATUS_FILES_OPEN, IO_NO_INCREMENT);
  }
  (VOID) ReadPortConfiguration();
  if (ReadShared(PortTable[index].RemoteAddress) == 0) {
    return Finish(irp, STATUS_FILES_OPEN, IO_SERIAL_INCREMENT);
  }
  if (!NumberLinkAfresh(port)) return Finish(irp, STATUS_FILES_OPEN, IO_SERIAL_INCREMENT);
  LineSettings openBlock;
  SetOpenValues(port, &openBlock);
  QueueLinkPacket(PKT_OPEN, &openBlock, sizeof(openBlock), index);
  KeStallExecutionProcessor(OPEN_LINK_DELAY);
  // An earlier open's PKT_OPEN that stays unanswered for the whole wait was lost, or its reply
  // was: a link the remote answered then opens all the same, or the port could never open again.
  if (!AwaitLink(port, OPEN_POLLS, LinkOpened) && !LinkAnswered(port)) {
    return Finish(irp, STATUS_FILES_OPEN, IO_SERIAL_INCREMENT);
  }
  PrepareOpenPort(port);
  return Finish(irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}

NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  PortRecord* port = PortOf(device);
  LONG index = port->PortIndex;
  ChangeLinkFlags(port, 0, LINK_OPEN);
  QueueLinkPacket(PKT_CLOSE, NULL, 0, index);
  // Close goes on alike whether or not the remote's reply cleared the flags.
  (VOID) AwaitLink(port, CLOSE_POLLS, LinkClosed);
  ForgetWaitsAndQueue(port);
  WriteShared(port->ModemStatus, 0);
  for (ULONG& timeout : port->Timeouts) WriteShared(timeout, 0);
  KIRQL portIrql = KfAcquireSpinLock(&port->PortLock);
  port->HoldReasons = 0;
  WriteShared(port->LinkFlags, 0);
  AbandonChunk(port);
  KfReleaseSpinLock(&port->PortLock, portIrql);
  Finish(irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
  WriteShared(PortTable[index].OutSeq, 0);
  WriteShared(PortTable[index].InSeq, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  const RequestClass* const leftBehind[] = {&WriteClass, &ReadClass, &PurgeClass, &MaskClass,
                                             &WaitClass};
  for (const RequestClass* requestClass : leftBehind) KillAllRequests(PortOf(device), requestClass);
  return Finish(irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}
