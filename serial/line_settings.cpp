// Line settings: baud rate, line control, handflow and break, kept in the port record and
// forwarded to the remote. The remote's view is the settings image (SettingsWord0,
// SettingsWord1, ModeWord, FlowWord, SettingsByte, SettingsChars), sent whole as the 18-byte
// LineSettings block of PKT_SETTINGS whenever a baud rate, line control or handflow change
// reaches it; break travels as PKT_BREAK_ON / PKT_BREAK_OFF. The handlers run in the caller's
// thread; the image and the values it is made from change under PortLock, so that two settings
// requests in different threads neither lose each other's bits nor send a half-made block.
#include "serial/serial_requests.h"

namespace {

// ModeWord bits.
constexpr USHORT MODE_BAUD_MASK = 0x000F;
constexpr USHORT MODE_FRAME_MASK = 0x0070;  // word length (bits 4-5) and extra stop bits (6)
constexpr int MODE_LENGTH_SHIFT = 4;
constexpr USHORT MODE_EXTRA_STOP = 0x0040;
constexpr USHORT MODE_PARITY_ON = 0x0100;
constexpr USHORT MODE_PARITY_ODD = 0x0200;
constexpr USHORT MODE_RTS_NOT_HANDSHAKE = 0x0800;
// SettingsWord0 bits 10 and 12: receive-side automatic flow control is on.
constexpr USHORT SETTINGS_AUTO_RECEIVE = 0x1400;
// FlowWord without and with an event-character wait.
constexpr USHORT FLOW_WORD_PLAIN = 0x8000;
constexpr USHORT FLOW_WORD_EVENT_CHAR = 0x0081;

// LineControl: word length minus 5, extra stop bits, parity.
constexpr UCHAR LINE_LENGTH_MASK = 0x03;
constexpr UCHAR LINE_EXTRA_STOP = 0x04;
constexpr UCHAR LINE_PARITY_MASK = 0x38;
constexpr UCHAR LINE_PARITY_NONE = 0x00;
constexpr UCHAR LINE_PARITY_ODD = 0x08;
constexpr UCHAR LINE_PARITY_EVEN = 0x18;
// LineControl parity bits of NO_PARITY, ODD_PARITY, EVEN_PARITY, MARK_PARITY, SPACE_PARITY.
constexpr UCHAR PARITY_BITS[] = {LINE_PARITY_NONE, LINE_PARITY_ODD, LINE_PARITY_EVEN, 0x28, 0x38};

constexpr ULONG SETTINGS_PAUSE = 100;  // microseconds after a baud-rate block

struct BaudCodeEntry {
  ULONG Rate;
  USHORT Code;
};
constexpr BaudCodeEntry BAUD_CODES[] = {
    {110, 0x3},  {300, 0x7},  {600, 0x8},   {1200, 0x9},  {2400, 0xB},   {4800, 0xC},
    {9600, 0xD}, {19200, 0xE}, {38400, 0xF}, {57600, 0x2}, {115200, 0x5},
};

// Stores `value` in a setting under PortLock; TRUE when it differs from what was stored.
template <typename T>
BOOLEAN ReplaceSetting(PortRecord* port, T* setting, T value) {
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  BOOLEAN changed = (BOOLEAN)(*setting != value);
  WriteShared(*setting, value);  // the get handlers read it without the lock
  KfReleaseSpinLock(&port->PortLock, irql);
  return changed;
}

// The ModeWord of a LineControl value: frame bits replaced; parity none clears bit 8, odd sets
// bits 8 and 9, even sets 8 and clears 9, mark and space leave both as they were.
USHORT ModeWithLineControl(USHORT mode, UCHAR lineControl) {
  mode = (USHORT)(mode & ~MODE_FRAME_MASK);
  mode |= (USHORT)((lineControl & LINE_LENGTH_MASK) << MODE_LENGTH_SHIFT);
  if (lineControl & LINE_EXTRA_STOP) mode |= MODE_EXTRA_STOP;
  switch (lineControl & LINE_PARITY_MASK) {
    case LINE_PARITY_NONE: return (USHORT)(mode & ~MODE_PARITY_ON);
    case LINE_PARITY_ODD: return (USHORT)(mode | MODE_PARITY_ON | MODE_PARITY_ODD);
    case LINE_PARITY_EVEN: return (USHORT)((mode | MODE_PARITY_ON) & ~MODE_PARITY_ODD);
    default: return mode;
  }
}

// The LineControl byte of a SERIAL_LINE_CONTROL; FALSE for a value the port refuses. Checks
// word length, then parity, then stop bits (1.5 only with 5 data bits, 2 only with more).
BOOLEAN EncodeLineControl(const SERIAL_LINE_CONTROL* request, UCHAR* lineControl) {
  if (request->WordLength < 5 || request->WordLength > 8) return FALSE;
  UCHAR length = (UCHAR)(request->WordLength - 5);
  if (request->Parity >= sizeof(PARITY_BITS)) return FALSE;
  UCHAR stop = 0;
  if (request->StopBits == STOP_BITS_1_5 && length == 0) stop = LINE_EXTRA_STOP;
  else if (request->StopBits == STOP_BITS_2 && length != 0) stop = LINE_EXTRA_STOP;
  else if (request->StopBits != STOP_BIT_1) return FALSE;
  *lineControl = (UCHAR)(stop | PARITY_BITS[request->Parity] | length);
  return TRUE;
}

// Sends PKT_BREAK_ON / PKT_BREAK_OFF after setting or clearing BREAK_HOLD.
NTSTATUS SetBreak(PortRecord* port, BOOLEAN on) {
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  port->HoldReasons = on ? (port->HoldReasons | BREAK_HOLD) : (port->HoldReasons & ~BREAK_HOLD);
  KfReleaseSpinLock(&port->PortLock, irql);
  QueueLinkPacket(on ? PKT_BREAK_ON : PKT_BREAK_OFF, NULL, 0, port->PortIndex);
  return STATUS_SUCCESS;
}

}  // namespace

USHORT BaudCode(ULONG baudRate) {
  for (const BaudCodeEntry& entry : BAUD_CODES) {
    if (entry.Rate == baudRate) return entry.Code;
  }
  return 0;
}

VOID QueueLineSettings(PortRecord* port) {
  ENTRY_REQUIRES_LOCK_HELD(port->PortLock);
  LineSettings block;
  block.SettingsWord0 = port->SettingsWord0;
  block.SettingsWord1 = port->SettingsWord1;
  block.ModeWord = port->ModeWord;
  block.FlowWord = port->FlowWord;
  block.SettingsByte = port->SettingsByte;
  RtlCopyMemory(block.SettingsChars, port->SettingsChars, sizeof block.SettingsChars);
  block.Padding = 0;
  QueueLinkPacket(PKT_SETTINGS, &block, sizeof block, port->PortIndex);
}

VOID ApplyBaudRate(PortRecord* port) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  port->ModeWord = (USHORT)((port->ModeWord & ~MODE_BAUD_MASK) | BaudCode(port->BaudRate));
  QueueLineSettings(port);
  KfReleaseSpinLock(&port->PortLock, irql);
  KeStallExecutionProcessor(SETTINGS_PAUSE);
}

VOID ApplyLineControl(PortRecord* port) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  port->ModeWord = ModeWithLineControl(port->ModeWord, port->LineControl);
  QueueLineSettings(port);
  KfReleaseSpinLock(&port->PortLock, irql);
}

// The control handlers below run from the device-control table, which has held each request
// to its row's buffer minimums before they see it.
NTSTATUS SetBaudRate(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  ULONG rate = ((PSERIAL_BAUD_RATE)SystemBuffer(irp))->BaudRate;
  if (ReplaceSetting(port, &port->BaudRate, rate)) ApplyBaudRate(port);
  return STATUS_SUCCESS;
}

NTSTATUS GetBaudRate(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  ((PSERIAL_BAUD_RATE)SystemBuffer(irp))->BaudRate = ReadShared(port->BaudRate);
  irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
  return STATUS_SUCCESS;
}

NTSTATUS SetLineControl(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  UCHAR lineControl;
  if (!EncodeLineControl((PSERIAL_LINE_CONTROL)SystemBuffer(irp), &lineControl)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (ReplaceSetting(port, &port->LineControl, lineControl)) ApplyLineControl(port);
  return STATUS_SUCCESS;
}

NTSTATUS GetLineControl(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  UCHAR lineControl = ReadShared(port->LineControl);
  auto answer = (PSERIAL_LINE_CONTROL)SystemBuffer(irp);
  UCHAR length = lineControl & LINE_LENGTH_MASK;
  answer->WordLength = (UCHAR)(length + 5);
  answer->Parity = NO_PARITY;
  for (UCHAR parity = 0; parity < sizeof(PARITY_BITS); parity++) {
    if (PARITY_BITS[parity] == (lineControl & LINE_PARITY_MASK)) answer->Parity = parity;
  }
  answer->StopBits = !(lineControl & LINE_EXTRA_STOP) ? STOP_BIT_1
                     : length == 0                    ? STOP_BITS_1_5
                                                      : STOP_BITS_2;
  irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
  return STATUS_SUCCESS;
}

static_assert(sizeof(SERIAL_HANDFLOW) == sizeof(PortRecord::HandFlow),
              "HandFlow holds a SERIAL_HANDFLOW");

// Only the RTS control and SERIAL_AUTO_RECEIVE of FlowReplace reach the remote; every value is
// stored and reported back.
NTSTATUS SetHandFlow(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  auto request = (const SERIAL_HANDFLOW*)SystemBuffer(irp);
  if ((request->ControlHandShake & SERIAL_CONTROL_INVALID) ||
      (request->FlowReplace & SERIAL_FLOW_INVALID)) {
    return STATUS_INVALID_PARAMETER;
  }
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  ULONG differs = request->FlowReplace ^ port->HandFlow[HANDFLOW_REPLACE];
  if (differs & SERIAL_RTS_MASK) {
    BOOLEAN handshake = (request->FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
    port->ModeWord = handshake ? (USHORT)(port->ModeWord & ~MODE_RTS_NOT_HANDSHAKE)
                               : (USHORT)(port->ModeWord | MODE_RTS_NOT_HANDSHAKE);
  }
  if (differs & SERIAL_AUTO_RECEIVE) {
    port->SettingsWord0 = (request->FlowReplace & SERIAL_AUTO_RECEIVE)
                              ? (USHORT)(port->SettingsWord0 | SETTINGS_AUTO_RECEIVE)
                              : (USHORT)(port->SettingsWord0 & ~SETTINGS_AUTO_RECEIVE);
  }
  if (differs & (SERIAL_RTS_MASK | SERIAL_AUTO_RECEIVE)) QueueLineSettings(port);
  RtlCopyMemory(port->HandFlow, request, sizeof(SERIAL_HANDFLOW));
  KfReleaseSpinLock(&port->PortLock, irql);
  return STATUS_SUCCESS;
}

NTSTATUS GetHandFlow(PortRecord* port, PIRP irp) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  RtlCopyMemory(SystemBuffer(irp), port->HandFlow, sizeof(SERIAL_HANDFLOW));
  KfReleaseSpinLock(&port->PortLock, irql);
  irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
  return STATUS_SUCCESS;
}

NTSTATUS SetBreakOn(PortRecord* port, PIRP) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  return SetBreak(port, TRUE);
}

NTSTATUS SetBreakOff(PortRecord* port, PIRP) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  return SetBreak(port, FALSE);
}

VOID ApplyEventChar(PortRecord* port, ULONG newMask) {
  ENTRY_IRQL_REQUIRES(PASSIVE_LEVEL);
  KIRQL irql = KfAcquireSpinLock(&port->PortLock);
  if (newMask & SERIAL_EV_RXFLAG) {
    port->SettingsChars[0] = port->SpecialChars[SPECIAL_EVENT];
    port->SettingsChars[1] = port->SpecialChars[SPECIAL_EVENT];
    port->FlowWord = FLOW_WORD_EVENT_CHAR;
  } else if (ReadShared(port->WaitMask) & SERIAL_EV_RXFLAG) {
    port->FlowWord = FLOW_WORD_PLAIN;
  }
  KfReleaseSpinLock(&port->PortLock, irql);
}
