// Device control: the port's table of serial control codes. Each row gives a code's buffer
// minimums and what answers it: a routine that answers on the spot (the dispatcher completes
// the request with its status), a routine that hands the request on to its request class (it
// owns the request from then on and its result is what the dispatcher returns), or both, the
// first checking what the second is given. A code outside the table is refused.
//
// Buffered transfer: the system buffer holds max(input, output) bytes, so no answer reads more
// than the input minimum of its row or writes more than the output minimum.
#include "port/byte_ring.h"
#include "serial/serial_requests.h"

namespace {

// The configuration-block requests, which the public header does not name.
constexpr ULONG IOCTL_SERIAL_GET_COMMCONFIG =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_SERIAL_SET_COMMCONFIG =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS);

constexpr ULONG WAIT_MASK_INVALID = 0xFFFFE000;  // bits above SERIAL_EV_EVENT2
constexpr ULONG PURGE_INVALID = 0xFFFFFFF0;      // bits above SERIAL_PURGE_RXCLEAR
constexpr ULONG HANDFLOW_CONTROL = 0;            // HandFlow position of ControlHandShake
constexpr ULONG OUT_QUEUE_BUSY = 1024;           // reported while any output is queued

// Sizes of the answers the port writes whole.
constexpr ULONG PROPERTIES_SIZE = sizeof(SERIAL_COMMPROP);
constexpr ULONG COMM_STATUS_SIZE = sizeof(SERIAL_STATUS);
static_assert(PROPERTIES_SIZE == 64, "SERIAL_COMMPROP is 64 bytes");
static_assert(COMM_STATUS_SIZE == 20, "SERIAL_STATUS is 20 bytes");
static_assert(sizeof(SERIALPERF_STATS) == 24, "SERIALPERF_STATS is six counters");
static_assert(sizeof(SERIAL_TIMEOUTS) == sizeof(PortRecord::Timeouts), "Timeouts holds them");
static_assert(sizeof(SERIAL_CHARS) == sizeof(PortRecord::SpecialChars), "SpecialChars holds them");

ULONG FirstValue(PIRP irp) { return *(PULONG)SystemBuffer(irp); }

// Copies an answer out under PortLock, or zeros when `value` is null.
NTSTATUS Report(PortRecord* port, PIRP irp, const void* value, ULONG size) {
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  if (value != NULL) RtlCopyMemory(SystemBuffer(irp), value, size);
  else RtlZeroMemory(SystemBuffer(irp), size);
  KfReleaseSpinLock(&port->PortLock, irql);
  irp->IoStatus.Information = size;
  return STATUS_SUCCESS;
}

// Stores the request's input into a port-record field under PortLock.
NTSTATUS Store(PortRecord* port, PIRP irp, void* field, ULONG size) {
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  RtlCopyMemory(field, SystemBuffer(irp), size);
  KfReleaseSpinLock(&port->PortLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS Succeed(PortRecord*, PIRP) { return STATUS_SUCCESS; }
NTSTATUS Refuse(PortRecord*, PIRP) { return STATUS_INVALID_PARAMETER; }
NTSTATUS NotImplemented(PortRecord*, PIRP) { return STATUS_NOT_IMPLEMENTED; }

// All three read values MAXULONG is the one combination refused.
NTSTATUS SetTimeouts(PortRecord* port, PIRP irp) {
  auto timeouts = (const SERIAL_TIMEOUTS*)SystemBuffer(irp);
  if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
      timeouts->ReadTotalTimeoutConstant == MAXULONG) {
    return STATUS_INVALID_PARAMETER;
  }
  return Store(port, irp, port->Timeouts, sizeof(SERIAL_TIMEOUTS));
}

NTSTATUS GetTimeouts(PortRecord* port, PIRP irp) {
  return Report(port, irp, port->Timeouts, sizeof(SERIAL_TIMEOUTS));
}

// DTR and RTS are never driven: the requests only check that handshaking does not own the line.
NTSTATUS CheckDtr(PortRecord* port, PIRP) {
  ULONG dtr = ReadShared(port->HandFlow[HANDFLOW_CONTROL]) & SERIAL_DTR_MASK;
  return dtr == SERIAL_DTR_HANDSHAKE ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS CheckRts(PortRecord* port, PIRP) {
  ULONG rts = ReadShared(port->HandFlow[HANDFLOW_REPLACE]) & SERIAL_RTS_MASK;
  return rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE ? STATUS_INVALID_PARAMETER
                                                                      : STATUS_SUCCESS;
}

NTSTATUS GetWaitMask(PortRecord* port, PIRP irp) {
  ULONG mask = ReadShared(port->WaitMask);
  return Report(port, irp, &mask, sizeof mask);
}

// A new wait mask is checked and its event character given to the settings image before the
// request joins the mask queue.
NTSTATUS CheckWaitMask(PortRecord* port, PIRP irp) {
  ULONG mask = FirstValue(irp);
  if (mask & WAIT_MASK_INVALID) return STATUS_INVALID_PARAMETER;
  ApplyEventChar(port, mask);
  return STATUS_SUCCESS;
}

NTSTATUS CheckPurgeMask(PortRecord*, PIRP irp) {
  ULONG mask = FirstValue(irp);
  return mask == 0 || (mask & PURGE_INVALID) ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS QueueMaskRequest(PortRecord* port, PIRP irp) {
  return StartOrQueue(port, irp, &MaskClass, StartMask);
}

NTSTATUS QueuePurge(PortRecord* port, PIRP irp) {
  return StartOrQueue(port, irp, &PurgeClass, StartPurge);
}

NTSTATUS GetChars(PortRecord* port, PIRP irp) {
  return Report(port, irp, port->SpecialChars, sizeof(SERIAL_CHARS));
}

// Stored as given; the settings image keeps the event character it took with the wait mask.
NTSTATUS SetChars(PortRecord* port, PIRP irp) {
  return Store(port, irp, port->SpecialChars, sizeof(SERIAL_CHARS));
}

NTSTATUS GetModemStatus(PortRecord* port, PIRP irp) {
  ULONG status = ReadShared(port->ModemStatus);
  return Report(port, irp, &status, sizeof status);
}

NTSTATUS GetCommStatus(PortRecord* port, PIRP irp) {
  FillCommStatus(port, (PSERIAL_STATUS)SystemBuffer(irp));
  irp->IoStatus.Information = COMM_STATUS_SIZE;
  return STATUS_SUCCESS;
}

NTSTATUS GetProperties(PortRecord* port, PIRP irp) {
  FillProperties(port, (PSERIAL_COMMPROP)SystemBuffer(irp));
  irp->IoStatus.Information = PROPERTIES_SIZE;
  return STATUS_SUCCESS;
}

// The port keeps no configuration block and counts nothing: both answers are zeros.
NTSTATUS GetConfigSize(PortRecord* port, PIRP irp) { return Report(port, irp, NULL, sizeof(ULONG)); }
NTSTATUS GetStats(PortRecord* port, PIRP irp) {
  return Report(port, irp, NULL, sizeof(SERIALPERF_STATS));
}

struct ControlRow {
  ULONG Code;
  UCHAR InputMinimum;
  UCHAR OutputMinimum;
  SERIAL_CONTROL_HANDLER* Answer;  // answers, or checks what HandOn is given; may be null
  SERIAL_CONTROL_HANDLER* HandOn;  // null: the request is answered on the spot
};

const ControlRow CONTROL_TABLE[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, SetBaudRate, NULL},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 0, 0, Succeed, NULL},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, SetLineControl, NULL},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, SetBreakOn, NULL},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, SetBreakOff, NULL},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, NULL, AcceptImmediate},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, SetTimeouts, NULL},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, GetTimeouts, NULL},
    {IOCTL_SERIAL_SET_DTR, 0, 0, CheckDtr, NULL},
    {IOCTL_SERIAL_CLR_DTR, 0, 0, CheckDtr, NULL},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, Succeed, NULL},
    {IOCTL_SERIAL_SET_RTS, 0, 0, CheckRts, NULL},
    {IOCTL_SERIAL_CLR_RTS, 0, 0, CheckRts, NULL},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, NotImplemented, NULL},
    {IOCTL_SERIAL_SET_XON, 0, 0, NotImplemented, NULL},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, GetWaitMask, NULL},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, CheckWaitMask, QueueMaskRequest},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, NULL, QueueMaskRequest},
    {IOCTL_SERIAL_PURGE, 4, 0, CheckPurgeMask, QueuePurge},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, GetBaudRate, NULL},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, GetLineControl, NULL},
    {IOCTL_SERIAL_GET_CHARS, 0, 6, GetChars, NULL},
    {IOCTL_SERIAL_SET_CHARS, 6, 0, SetChars, NULL},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, 16, GetHandFlow, NULL},
    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0, SetHandFlow, NULL},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, GetModemStatus, NULL},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, GetCommStatus, NULL},
    {IOCTL_SERIAL_XOFF_COUNTER, 0, 0, NotImplemented, NULL},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64, GetProperties, NULL},
    {IOCTL_SERIAL_GET_DTRRTS, 0, 0, NotImplemented, NULL},
    {IOCTL_SERIAL_LSRMST_INSERT, 0, 0, NotImplemented, NULL},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, GetConfigSize, NULL},
    {IOCTL_SERIAL_GET_COMMCONFIG, 0, 0, Refuse, NULL},
    {IOCTL_SERIAL_SET_COMMCONFIG, 0, 0, Refuse, NULL},
    {IOCTL_SERIAL_GET_STATS, 0, 24, GetStats, NULL},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, Succeed, NULL},
};

const ControlRow* FindControlRow(ULONG code) {
  for (const ControlRow& row : CONTROL_TABLE) {
    if (row.Code == code) return &row;
  }
  return NULL;
}

}  // namespace

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  PortRecord* port = PortOf(device);
  irp->IoStatus.Information = 0;
  const ControlRow* row = FindControlRow(ControlCode(irp));
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (row != NULL) {
    if (InputLength(irp) < row->InputMinimum || OutputLength(irp) < row->OutputMinimum) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      status = row->Answer != NULL ? row->Answer(port, irp) : STATUS_SUCCESS;
      if (status == STATUS_SUCCESS && row->HandOn != NULL) return row->HandOn(port, irp);
    }
  }
  return CompleteAtOnce(irp, status);
}

VOID FillCommStatus(PortRecord* port, PSERIAL_STATUS status) {
  ENTRY_IRQL_REQUIRES_MAX(DISPATCH_LEVEL);
  ENTRY_REQUIRES_LOCK_NOT_HELD(port->PortLock);
  RtlZeroMemory(status, COMM_STATUS_SIZE);
  if (ReadShared(port->HoldReasons) & BREAK_HOLD) status->HoldReasons = SERIAL_TX_WAITING_ON_BREAK;
  // The receiver stores into the ring, and a read takes from it, under PortLock.
  const ByteRing& rx = PortTable[port->PortIndex].RxRing;
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  status->AmountInInQueue = (ULONG)RingHeld(&rx, RX_RING_SIZE);
  KfReleaseSpinLock(&port->PortLock, irql);
  status->AmountInOutQueue = ReadShared(port->CharsQueued) != 0 ? OUT_QUEUE_BUSY : 0;
  status->WaitForImmediate = ReadShared(port->ImmediatePending);
}

VOID FillProperties(PortRecord*, PSERIAL_COMMPROP properties) {
  RtlZeroMemory(properties, PROPERTIES_SIZE);
  properties->PacketLength = PROPERTIES_SIZE;
  properties->PacketVersion = 2;
  properties->ServiceMask = SERIAL_SP_SERIALCOMM;
  properties->MaxBaud = SERIAL_BAUD_USER;
  properties->ProvSubType = SERIAL_SP_RS232;
  properties->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                 SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF |
                                 SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                                 SERIAL_PCF_INTTIMEOUTS;
  properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                               SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                               SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
  properties->SettableBaud = SERIAL_BAUD_110 | SERIAL_BAUD_300 | SERIAL_BAUD_600 |
                             SERIAL_BAUD_1200 | SERIAL_BAUD_1800 | SERIAL_BAUD_2400 |
                             SERIAL_BAUD_4800 | SERIAL_BAUD_9600 | SERIAL_BAUD_19200 |
                             SERIAL_BAUD_38400 | SERIAL_BAUD_57600 | SERIAL_BAUD_115200 |
                             SERIAL_BAUD_USER;
  properties->SettableData =
      SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                   SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN;
}
