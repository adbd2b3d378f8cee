// GetCommState and SetCommState.
//
// GetCommState reads the rate, the line control, the special characters and the handflow, in
// that order. SetCommState first reads the same four (what the DCB cannot carry is kept, and
// the old state is what a refusal restores), then sets them in the same order, then sets the
// DTR and RTS lines that the DCB controls by hand ("enable" sets, "disable" clears; handshake
// and toggle leave the line to the driver). A refused request ends the call: the settings set
// before it are set back to their old values, and the refusal's error is the call's.
#include <array>

#include "device_control.h"
#include "serial_settings.h"

namespace comm {

namespace {

using detail::SerialSettings;

struct Request {
  ULONG code;
  const void* input;
  ULONG length;
};

constexpr size_t kSettingRequests = 4;

std::array<Request, kSettingRequests> SettingRequests(const SerialSettings& s) {
  return {{{IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud},
           {IOCTL_SERIAL_SET_LINE_CONTROL, &s.line, sizeof s.line},
           {IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars},
           {IOCTL_SERIAL_SET_HANDFLOW, &s.handflow, sizeof s.handflow}}};
}

BOOL ReadSettings(Port& port, SerialSettings& s) {
  return detail::ControlOut(port, IOCTL_SERIAL_GET_BAUD_RATE, s.baud) &&
         detail::ControlOut(port, IOCTL_SERIAL_GET_LINE_CONTROL, s.line) &&
         detail::ControlOut(port, IOCTL_SERIAL_GET_CHARS, s.chars) &&
         detail::ControlOut(port, IOCTL_SERIAL_GET_HANDFLOW, s.handflow);
}

// The line request for a DTR or RTS control of a DCB, or 0 when the driver owns the line.
ULONG LineRequest(DWORD control, ULONG set, ULONG clear) {
  if (control == DTR_CONTROL_ENABLE) return set;  // RTS_CONTROL_ENABLE has the same value
  if (control == DTR_CONTROL_DISABLE) return clear;
  return 0;
}

// Sets back the first `count` settings requests to the old state; their outcome is not
// reported (the call already failed with the refusal that led here).
void Restore(Port& port, const SerialSettings& old, size_t count) {
  const auto requests = SettingRequests(old);
  for (size_t i = 0; i < count; ++i) {
    detail::Control(port, requests[i].code, requests[i].input, requests[i].length, nullptr, 0);
  }
}

}  // namespace

BOOL GetCommState(Port& port, DCB& dcb) {
  SerialSettings s;
  if (!ReadSettings(port, s)) return FALSE;
  dcb = detail::DcbFromSettings(s);
  return TRUE;
}

BOOL SetCommState(Port& port, const DCB& dcb) {
  if (dcb.XonChar == dcb.XoffChar) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SerialSettings old;
  if (!ReadSettings(port, old)) return FALSE;
  const SerialSettings wanted = detail::SettingsFromDcb(dcb, old);
  const auto requests = SettingRequests(wanted);
  const ULONG lines[] = {LineRequest(dcb.fDtrControl, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR),
                         LineRequest(dcb.fRtsControl, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS)};
  size_t applied = 0;
  BOOL ok = TRUE;
  for (; ok && applied < requests.size(); applied += ok) {
    const Request& r = requests[applied];
    ok = detail::Control(port, r.code, r.input, r.length, nullptr, 0);
  }
  for (size_t i = 0; ok && i < 2; ++i) {
    if (lines[i] != 0) ok = detail::ControlNone(port, lines[i]);
  }
  if (ok) return TRUE;
  const DWORD error = GetLastError();
  Restore(port, old, applied);
  SetLastError(error);
  return FALSE;
}

}  // namespace comm
