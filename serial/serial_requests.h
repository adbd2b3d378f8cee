// The serial request layer: what applications see of a port. Requests that cannot be answered
// on the spot are served one at a time per request class. Each class is one row of routines
// and port-record fields (RequestClass); one queueing core serves every row: start a request
// at once or queue it (StartOrQueue), take the next one (GetNextRequest), finish the current
// one (CompleteCurrent), cancel a queued one (CancelQueuedRequest) or everything of a class
// (KillAllRequests). The classes' own files supply start, get-next and cancel routines.
//
// Locks, in the order of port/port_record.h (PortLock, then the cancel lock; the control-queue
// lock inside QueueLinkPacket a leaf). The cancel lock guards every queue, every current-request
// slot, every request's cancel routine and the wait state (WaitMask, HistoryMask,
// IrpMaskLocation). A port's PortLock guards its rings and write state against the receiver
// thread, and its line settings against concurrent settings requests. No request is completed,
// and no start routine is called, with the cancel lock held.
//
// Each routine's declaration states its IRQL and lock contract in the platform's annotations
// (_Global_cancel_spin_lock_ is the cancel lock); its definition begins with the entry checks
// of the same names (platform/entry_checks.h), which the host enforces.
#pragma once

#include "port/port_timer.h"
#include "link/link_packet.h"

struct RequestClass;

// A start routine: handles the request just made current in its class's slot (and, as long
// as requests finish at once, the ones that follow it) and returns the status of the first,
// STATUS_PENDING if that one is still under way. Entered without the cancel lock.
typedef NTSTATUS SERIAL_START_ROUTINE(PortRecord* port);

// A get-next routine: ends the class's current request (completing it when completeOld is
// set) and makes the head of the queue current; *next is the new current request or null.
// Entered without the cancel lock.
typedef VOID SERIAL_GET_NEXT_ROUTINE(PortRecord* port, const RequestClass* requestClass,
                                     PIRP* next, BOOLEAN completeOld);

// A device-control request answered on the spot: checks the request's buffer lengths, reads
// and writes its system buffer, sets its information count and returns its status. The
// device-control dispatcher completes the request. Caller's thread, PASSIVE_LEVEL, no lock.
typedef NTSTATUS SERIAL_CONTROL_HANDLER(PortRecord* port, PIRP irp);

// One request class: its slot, queue and timers in the port record, and its routines. Absent
// members are null.
struct RequestClass {
  PIRP PortRecord::*Current;          // the current-request slot
  LIST_ENTRY PortRecord::*Queue;      // waiting requests in arrival order
  KTIMER PortRecord::*IntervalTimer;  // stopped when the current request ends
  KTIMER PortRecord::*TotalTimer;     // stopped when the current request ends
  SERIAL_START_ROUTINE* Start;        // starts a request that became current from the queue
  SERIAL_GET_NEXT_ROUTINE* GetNext;   // null: the current request is completed directly
  PDRIVER_CANCEL CancelCurrent;       // cancel routine the start routine installs
};

extern const RequestClass ReadClass;
extern const RequestClass WriteClass;
extern const RequestClass MaskClass;
extern const RequestClass PurgeClass;
extern const RequestClass WaitClass;
extern const RequestClass ImmediateClass;

inline PIRP* CurrentSlot(PortRecord* port, const RequestClass* requestClass) {
  return &(port->*(requestClass->Current));
}

inline PortRecord* PortOf(PDEVICE_OBJECT device) { return (PortRecord*)device->DeviceExtension; }

// The request's parameters as this layer reads them (buffered transfer).
inline PIO_STACK_LOCATION StackOf(PIRP irp) { return IoGetCurrentIrpStackLocation(irp); }
inline ULONG InputLength(PIRP irp) {
  return StackOf(irp)->Parameters.DeviceIoControl.InputBufferLength;
}
inline ULONG OutputLength(PIRP irp) {
  return StackOf(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}
inline ULONG ControlCode(PIRP irp) {
  return StackOf(irp)->Parameters.DeviceIoControl.IoControlCode;
}
inline PVOID SystemBuffer(PIRP irp) { return irp->AssociatedIrp.SystemBuffer; }

// Completes a request answered or refused on the spot and returns its status.
inline NTSTATUS CompleteAtOnce(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// ReadIntervalMark values that say how the current read ended.
constexpr LONG READ_MARK_CANCEL = -1;
constexpr LONG READ_MARK_TOTAL = -2;
constexpr LONG READ_MARK_COMPLETE = -3;

// ModemStatus bit of the carrier, which an open port reports.
#ifndef SERIAL_MSR_DCD
#define SERIAL_MSR_DCD 0x80
#endif

// The largest timeout value, which read timeouts give meanings of their own.
#ifndef MAXULONG
#define MAXULONG 0xFFFFFFFFUL
#endif

// Positions in PortRecord::Timeouts (milliseconds, as SERIAL_TIMEOUTS orders them).
constexpr int TIMEOUT_READ_INTERVAL = 0;
constexpr int TIMEOUT_READ_MULTIPLIER = 1;
constexpr int TIMEOUT_READ_CONSTANT = 2;
constexpr int TIMEOUT_WRITE_MULTIPLIER = 3;
constexpr int TIMEOUT_WRITE_CONSTANT = 4;

// The status a start routine returns: that of the first request it handled, STATUS_PENDING
// while that one is under way.
struct FirstStatus {
  NTSTATUS Status = STATUS_PENDING;
  BOOLEAN Known = FALSE;
  // Records the status of a request the start routine handled; TRUE for the first one.
  BOOLEAN Note(NTSTATUS status) {
    if (Known) return FALSE;
    Status = status;
    Known = TRUE;
    return TRUE;
  }
};

// ---- the queueing core (request_queue.cpp) ----

// Makes the request current and calls `start` when its class is idle with an empty queue,
// returning what `start` returns; otherwise refuses it when already cancelled
// (STATUS_CANCELLED, completed here) or queues it pending with CancelQueuedRequest installed
// (STATUS_PENDING). A write's length joins CharsQueued when the write is accepted. A class
// without a queue (the wait and immediate classes) takes no request here: it is refused with
// STATUS_INVALID_DEVICE_REQUEST, completed.
// Caller's thread or a deferred call.
_IRQL_requires_max_(DISPATCH_LEVEL)
_Requires_lock_not_held_(_Global_cancel_spin_lock_)
_Requires_lock_not_held_(port->PortLock)
NTSTATUS StartOrQueue(PortRecord* port, PIRP irp, const RequestClass* requestClass,
                      SERIAL_START_ROUTINE* start);

// The get-next routine of the read, mask and purge classes, and the base of the write class's.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_GET_NEXT_ROUTINE GetNextRequest;

// Moves the head of the class's queue into its slot (null when the queue is empty), clearing
// its cancel routine, and returns it. The request that was current is left to the caller.
_Requires_lock_held_(_Global_cancel_spin_lock_)
PIRP TakeNextRequest(PortRecord* port, const RequestClass* requestClass);

// Ends the class's current request with `status` (information 0 when STATUS_CANCELLED): stops
// its timers and cancel routine, then completes it and starts its successor through the
// class's get-next and start routines, or, for a class without a get-next routine, empties
// the slot and completes it. Entered with the cancel lock held, taken at cancelIrql, and a
// current request in the slot; returns with the cancel lock released.
_Requires_lock_held_(_Global_cancel_spin_lock_)
VOID CompleteCurrent(PortRecord* port, KIRQL cancelIrql, NTSTATUS status,
                     const RequestClass* requestClass);

// Ends the class's current request for a reason of its own (data arrived, a timeout expired,
// the write was acknowledged), as CompleteCurrent does, but only a request that waits with its
// cancel routine installed: one just made current whose start routine has not yet run, or one
// being cancelled, is left to them. Cancel lock held at cancelIrql; returns with it released,
// TRUE when it ended the request.
_Requires_lock_held_(_Global_cancel_spin_lock_)
BOOLEAN CompleteWaitingRequest(PortRecord* port, KIRQL cancelIrql, NTSTATUS status,
                               const RequestClass* requestClass);

// Clears the current request's cancel routine and cancels the class's timers.
_Requires_lock_held_(_Global_cancel_spin_lock_)
VOID StopRequestTimers(PortRecord* port, const RequestClass* requestClass);

// Cancels every queued request of the class, newest first, then the current one if it has a
// cancel routine (a current request without one only gets its cancel flag set and finishes
// on its own). Each request ends through its own cancel routine. On the wait class it cancels
// the pending wait. IRQL <= DISPATCH_LEVEL, neither lock held: a cancelled current request may
// start its successor here.
_IRQL_requires_max_(DISPATCH_LEVEL)
_Requires_lock_not_held_(_Global_cancel_spin_lock_)
_Requires_lock_not_held_(port->PortLock)
VOID KillAllRequests(PortRecord* port, const RequestClass* requestClass);

// Cancel routine of every queued request: unlinks it, gives a write's length back to
// CharsQueued and completes it cancelled.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelQueuedRequest;

// Adds a write's length to CharsQueued (sign +1) or takes it back (sign -1); other requests
// count nothing. Interlocked: callable with any lock held or none.
VOID CountQueuedChars(PortRecord* port, PIRP irp, LONG sign);

// The class's current request when it waits with its cancel routine installed (neither being
// started nor being ended), else null.
_Requires_lock_held_(_Global_cancel_spin_lock_)
PIRP WaitingRequest(PortRecord* port, const RequestClass* requestClass);

// The longest read or write: its length is counted signed (CharsToRead, CharsQueued, the rings'
// counts).
constexpr ULONG TRANSFER_LENGTH_MAX = 0x7FFFFFFF;

// The handler body of reads and writes: a transfer of length 0 succeeds on the spot
// (IO_NO_INCREMENT), one longer than TRANSFER_LENGTH_MAX is refused with
// STATUS_INVALID_PARAMETER; any other is started or queued in its class.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartOrQueueTransfer(PDEVICE_OBJECT device, PIRP irp, const RequestClass* requestClass,
                              SERIAL_START_ROUTINE* start);

// The body of every current-request cancel routine: ends the class's current request with
// STATUS_CANCELLED through CompleteCurrent, or only releases the cancel lock when the class is
// idle. Entered as a cancel routine is, with the cancel lock held at irp->CancelIrql.
_Requires_lock_held_(_Global_cancel_spin_lock_)
VOID CancelCurrentRequest(PDEVICE_OBJECT device, PIRP irp, const RequestClass* requestClass);

// ---- open, close and cleanup (open_close.cpp) ----

// IRP_MJ_CREATE: the open handshake with the remote; STATUS_FILES_OPEN when the port is held
// or its link still open, has no remote, or the remote did not answer within about 5.05 s.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCreate;
// IRP_MJ_CLOSE: closes the remote channel, waiting at most 0.5 s for its reply.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchClose;
// IRP_MJ_CLEANUP: cancels every request the application left, the pending wait included.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCleanup;

// ---- reads (read.cpp) ----

_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchRead;
// Start routine of the read class.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_START_ROUTINE StartRead;
// Moves received bytes into the current read, behind those it holds: as many as the ring has
// and the read still wants. Returns the count.
_Requires_lock_held_(port->PortLock)
LONG CopyFromRxRing(PortRecord* port);
// Cancel routine of the current read (marks ReadIntervalMark READ_MARK_CANCEL).
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelCurrentRead;
// Deferred routines: data announced; expiry of the read total and interval timers.
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ReadDataDpc;
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;

// ---- writes and flushes (write.cpp) ----

_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchWrite;
// Start routines of the write class: of a write, and of a flush that finds the class idle.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_START_ROUTINE StartWrite;
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_START_ROUTINE StartFlush;
// Get-next routine of the write class: ends the current write or flush, completes the flushes
// whose writes have all ended, and raises SERIAL_EV_TXEMPTY when nothing is left.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_GET_NEXT_ROUTINE GetNextWrite;
// Cancel routine of the current write: frees the ring of its unplaced bytes (its chunk in flight
// stays), then ends it.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelCurrentWrite;
// Deferred routines: the write engine; the write total timeout. (The acknowledgement timeout's
// is the chunk in flight's, link/chunk_in_flight.h.)
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE WriteDpc;
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE WriteTimeoutDpc;

// ---- line settings (line_settings.cpp) ----

// HandFlow position of FlowReplace.
constexpr int HANDFLOW_REPLACE = 1;

// The rate code of a baud rate in ModeWord bits 0-3; 0 for a rate without one.
USHORT BaudCode(ULONG baudRate);

// Builds the 18-byte block from the port's settings image and queues it as PKT_SETTINGS.
_Requires_lock_held_(port->PortLock)
VOID QueueLineSettings(PortRecord* port);

// Carry BaudRate (ModeWord bits 0-3, then a 100-microsecond pause) or LineControl (bits 4-9)
// into the image and send it. They take PortLock.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ApplyBaudRate(PortRecord* port);
_IRQL_requires_(PASSIVE_LEVEL)
VOID ApplyLineControl(PortRecord* port);

_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER SetBaudRate;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER GetBaudRate;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER SetLineControl;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER GetLineControl;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER SetHandFlow;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER GetHandFlow;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER SetBreakOn;
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER SetBreakOff;

// The event-character step of a new wait mask, run by the dispatcher before the set-wait-mask
// request is queued: SERIAL_EV_RXFLAG in it puts EventChar into the image and FlowWord 0x0081;
// dropping it restores FlowWord 0x8000. Nothing is sent.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ApplyEventChar(PortRecord* port, ULONG newMask);

// ---- wait on mask (wait_mask.cpp) and purge (purge.cpp) ----

// Start routine of the mask class: set-wait-mask installs its mask; wait-on-mask becomes the
// port's pending wait or is refused.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_START_ROUTINE StartMask;

// Installs the mask of the current set-wait-mask request, ending a waiting wait with an empty
// event mask. No lock held; takes the cancel lock.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
VOID ApplyWaitMask(PortRecord* port);

// Delivers the events already seen to the wait just made current in CurrentWaitIrp, or lets
// it wait for them.
_Requires_lock_held_(_Global_cancel_spin_lock_)
VOID ArmWait(PortRecord* port);

// Records received data (SERIAL_EV_RXCHAR, SERIAL_EV_BREAK) for the wait mask and hands the
// events to a waiting wait. Called by the read-data call before any read completion.
// Takes the cancel lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
_Requires_lock_not_held_(_Global_cancel_spin_lock_)
_Requires_lock_not_held_(port->PortLock)
VOID RaiseEvents(PortRecord* port);

// Records SERIAL_EV_TXEMPTY when nothing is left to send (no current or queued write, no
// immediate character) and hands it to a waiting wait. Takes the cancel lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
_Requires_lock_not_held_(_Global_cancel_spin_lock_)
_Requires_lock_not_held_(port->PortLock)
VOID CheckTxEmpty(PortRecord* port);

// Cancel routine of the pending wait.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelWait;

// Routine of the record's CompleteWaitDpc: completes the pending wait once events were handed
// to it.
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE CompleteWaitDpc;

// Start routine of the purge class: aborts the writes and/or reads the purge mask names.
// Returns STATUS_SUCCESS.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_START_ROUTINE StartPurge;

// ---- the immediate character (immediate_char.cpp) ----

// The IOCTL_SERIAL_IMMEDIATE_CHAR step of the device-control dispatcher (input of at least one
// byte checked): refuses the request while another is current (STATUS_INVALID_PARAMETER) or
// when it is cancelled, completing it; else makes it current, starts it and returns
// STATUS_PENDING. Caller's thread.
_IRQL_requires_(PASSIVE_LEVEL)
SERIAL_CONTROL_HANDLER AcceptImmediate;
// Has a character that found no room try the ring again. Called by the write engine whenever
// it leaves the ring open to it.
_Requires_lock_held_(port->PortLock)
VOID OfferRingToImmediate(PortRecord* port);
// Routines of the record's ImmediateSendDpc (sends the character) and ImmediateTimeoutDpc.
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ImmediateSendDpc;
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ImmediateTimeoutDpc;
// Cancel routine of the current immediate request.
_IRQL_requires_(DISPATCH_LEVEL) _Requires_lock_held_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelImmediate;
// Get-next routine of the immediate class: ends the request, lowers CharsQueued, clears
// ImmediatePending and raises SERIAL_EV_TXEMPTY when nothing else is left to send.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(_Global_cancel_spin_lock_)
SERIAL_GET_NEXT_ROUTINE FinishImmediate;

// ---- device control (ioctl.cpp) ----

// Handler of IRP_MJ_DEVICE_CONTROL: answers a serial control code on the spot, or hands the
// request to its request class and returns what that returns. Caller's thread.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchDeviceControl;

// The 20-byte status answer: break hold, bytes waiting in the receive ring (read under
// PortLock, which the caller must not hold), whether output is queued, whether an immediate
// character waits. Below DISPATCH_LEVEL or at it.
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(port->PortLock)
VOID FillCommStatus(PortRecord* port, PSERIAL_STATUS status);

// The 64-byte properties answer, the same for every port in every state.
VOID FillProperties(PortRecord* port, PSERIAL_COMMPROP properties);

// ---- file information and flush (file_info.cpp) ----

// Handlers of IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION, answered on the spot.
// Caller's thread.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchQueryInformation;
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchSetInformation;
// Handler of IRP_MJ_FLUSH_BUFFERS: completes once every write sent before it has ended.
// Caller's thread.
_IRQL_requires_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchFlush;

// ---- the port's deferred routines (deferred_routines.cpp) ----

// The routines bound to every port's deferred calls at device creation.
extern const PortDeferredRoutines PortDeferredRoutineTable;

// ---- the request handlers load installs (request_handlers.cpp) ----

struct SerialHandler {
  UCHAR MajorFunction;
  PDRIVER_DISPATCH Handler;
};
extern const SerialHandler SerialHandlerTable[];
extern const ULONG SerialHandlerCount;
